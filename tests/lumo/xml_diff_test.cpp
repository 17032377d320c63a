// Differential test of the XML parser: seeded random documents inside the subset this system
// reads (elements, double-quoted attributes with entities, ISO 8859-15 and UTF-8 text, comments,
// processing instructions, a document type, nesting) are parsed here and by libxml2, and the
// trees must agree. Everything is compared in UTF-8: what this system holds in ISO 8859-15 is
// converted first.
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <lumo/doc.h>
#include <lumo/str.h>

#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

// --- text in both encodings --------------------------------------------------------------------

std::string utf8(unsigned cp) {
  std::string out;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return out;
}

// The character an ISO 8859-15 byte stands for.
unsigned latin15CodePoint(unsigned char b) {
  switch (b) {
    case 0xA4: return 0x20AC;
    case 0xA6: return 0x160;
    case 0xA8: return 0x161;
    case 0xB4: return 0x17D;
    case 0xB8: return 0x17E;
    case 0xBC: return 0x152;
    case 0xBD: return 0x153;
    case 0xBE: return 0x178;
    default: return b;
  }
}

std::string latin15ToUtf8(const std::string &latin) {
  std::string out;
  for (unsigned char b : latin) out += utf8(latin15CodePoint(b));
  return out;
}

// One generated character: its code point, or 0 for none.
struct Char {
  unsigned cp;
};

// --- generator ---------------------------------------------------------------------------------

class Generator {
 public:
  Generator(unsigned seed, bool utf8Doc) : rng_(seed), utf8Doc_(utf8Doc) {}

  std::string document() {
    std::string xml = std::string("<?xml version=\"1.0\" encoding=\"") +
                      (utf8Doc_ ? "UTF-8" : "ISO-8859-15") + "\"?>\n";
    if (chance(15)) xml += "<!DOCTYPE " + name() + ">\n";
    for (int i = pick(0, 2); i > 0; --i) xml += markup() + "\n";
    xml += element(0, pick(2, 6));
    for (int i = pick(0, 2); i > 0; --i) xml += "\n" + markup();
    return xml + "\n";
  }

  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  bool chance(int percent) { return pick(0, 99) < percent; }

 private:
  // A character of the document's repertoire, written in the document's encoding. In UTF-8
  // documents only characters that survive the conversion to ISO 8859-15 are used: the Latin-1
  // range where both agree, and the euro sign.
  std::string character(bool high) {
    if (!high || chance(70)) {
      static const char kPlain[] =
          "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
          " .,:;!?()[]{}=+-*_/@#$%~|^";
      return std::string(1, kPlain[pick(0, sizeof kPlain - 2)]);
    }
    if (utf8Doc_) {
      static const unsigned kDiffers[] = {0xA4, 0xA6, 0xA8, 0xB4, 0xB8, 0xBC, 0xBD, 0xBE};
      for (;;) {
        unsigned cp = static_cast<unsigned>(pick(0xA0, 0x100));
        if (cp == 0x100) return utf8(0x20AC);
        bool differs = false;
        for (unsigned d : kDiffers) differs |= cp == d;
        if (!differs) return utf8(cp);
      }
    }
    return std::string(1, static_cast<char>(pick(0xA0, 0xFF)));
  }

  std::string name() {
    static const char kFirst[] = "abcdefghijklmnopqrstuvwyzABCDEFGHIJKLMNOPQRSTUVWYZ_";
    static const char kRest[] = "abcdefghijklmnopqrstuvwxyz0123456789_-.";
    std::string n(1, kFirst[pick(0, sizeof kFirst - 2)]);
    for (int i = pick(0, 8); i > 0; --i) n += kRest[pick(0, sizeof kRest - 2)];
    return n;
  }

  // An attribute value: characters, the markup characters that may stand raw (> and '), and
  // entities: the predefined ones and the numeric ones this system decodes.
  std::string value() {
    static const char *const kEntities[] = {"&lt;",   "&gt;",   "&amp;",   "&quot;",
                                            "&apos;", "&#34;",  "&#38;",   "&#39;",
                                            "&#60;",  "&#62;",  "&#8364;", "&#233;"};
    std::string v;
    for (int i = pick(0, 24); i > 0; --i) {
      int kind = pick(0, 9);
      if (kind == 0) {
        v += kEntities[pick(0, sizeof kEntities / sizeof *kEntities - 1)];
      } else if (kind == 1) {
        for (;;) {  // &#N; for a byte from 0xA1 upwards that has an escape, save 0xA4 and 0xB7
          int b = pick(0xA1, 0xFF);
          if (b == 0xA4 || b == 0xA6 || b == 0xA8 || b == 0xAD || b == 0xB4 || b == 0xB7 ||
              b == 0xB8 || b == 0xBC || b == 0xBD || b == 0xBE)
            continue;
          v += "&#" + std::to_string(b) + ";";
          break;
        }
      } else if (kind == 2) {
        v += chance(50) ? ">" : "'";
      } else {
        v += character(true);
      }
    }
    return v;
  }

  // Text of a comment or instruction: no entity-like "&", no "--", no "?>", no carriage return.
  std::string markupText(bool comment) {
    std::string t;
    for (int i = pick(0, 30); i > 0; --i) {
      int kind = pick(0, 12);
      std::string c = kind == 0 ? "\n" : kind == 1 ? "\t" : kind == 2 ? "<" : character(true);
      if (comment && c == "-" && !t.empty() && t.back() == '-') continue;
      if (!comment && c == ">" && !t.empty() && t.back() == '?') continue;
      t += c;
    }
    if (comment && !t.empty() && t.back() == '-') t += ' ';
    return t;
  }

  std::string markup() {
    if (chance(50)) return "<!--" + markupText(true) + "-->";
    std::string target = name();
    if ((target[0] == 'x' || target[0] == 'X') && target.size() >= 3) target[0] = 'p';
    std::string data = markupText(false);
    // The instruction's data starts after one space; leading whitespace would be dropped.
    while (!data.empty() && static_cast<unsigned char>(data[0]) <= 32) data.erase(0, 1);
    return "<?" + target + (data.empty() ? "" : " " + data) + "?>";
  }

  // Element text: starts with a non-space, holds no markup character.
  std::string elementText() {
    std::string t = character(true);
    while (t == " ") t = character(true);
    for (int i = pick(0, 40); i > 0; --i) t += character(true);
    return t;
  }

  std::string element(int level, int maxDepth) {
    std::string indent(2 * level, ' ');
    std::string n = name();
    std::string xml = "<" + n;
    std::vector<std::string> used;
    for (int i = pick(0, 4); i > 0; --i) {
      std::string a = name();
      bool dup = false;
      for (const std::string &u : used) dup |= u == a;
      if (dup) continue;
      used.push_back(a);
      xml += (chance(80) ? " " : "\n" + indent + "   ") + a + "=\"" + value() + "\"";
    }
    int kind = level == 0 ? 3 : level + 1 >= maxDepth ? pick(0, 2) : pick(0, 4);
    if (kind == 0) return xml + (chance(50) ? "/>" : " />");
    if (kind == 1) return xml + "></" + n + ">";
    if (kind == 2) return xml + ">" + elementText() + "</" + n + ">";
    xml += ">";
    for (int i = pick(1, 5); i > 0; --i) {
      xml += "\n" + indent + "  ";
      xml += chance(80) ? element(level + 1, maxDepth) : markup();
    }
    return xml + "\n" + indent + "</" + n + ">";
  }

  std::mt19937 rng_;
  bool utf8Doc_;
};

// --- comparison --------------------------------------------------------------------------------

class Comparer {
 public:
  explicit Comparer(bool utf8Doc) : utf8Doc_(utf8Doc) {}

  // Attribute values were converted to ISO 8859-15 in both kinds of document; comments,
  // instructions and element text stay in the document's encoding.
  std::string fromValue(const char *v) const { return latin15ToUtf8(v ? v : ""); }
  std::string fromBody(const char *v) const {
    std::string s = v ? v : "";
    return utf8Doc_ ? s : latin15ToUtf8(s);
  }

  static std::string xmlText(const xmlChar *t) {
    return t ? std::string(reinterpret_cast<const char *>(t)) : std::string();
  }

  static std::string attrValue(xmlDocPtr doc, xmlAttrPtr a) {
    xmlChar *v = xmlNodeListGetString(doc, a->children, 1);
    std::string out = xmlText(v);
    xmlFree(v);
    return out;
  }

  static bool blank(const std::string &s) {
    for (unsigned char c : s)
      if (c > 32) return false;
    return true;
  }

  // The nodes of a libxml2 child list that this system keeps: elements, comments,
  // instructions and document types (text lives on the element instead).
  static std::vector<xmlNodePtr> kept(xmlNodePtr first) {
    std::vector<xmlNodePtr> out;
    for (xmlNodePtr n = first; n; n = n->next)
      if (n->type == XML_ELEMENT_NODE || n->type == XML_COMMENT_NODE || n->type == XML_PI_NODE ||
          n->type == XML_DTD_NODE)
        out.push_back(n);
    return out;
  }

  void fail(const std::string &where, const std::string &want, const std::string &got) {
    if (error_.empty()) error_ = where + ": libxml2 [" + want + "] lumo [" + got + "]";
  }

  void markup(LumoNode *ours, xmlNodePtr theirs, const std::string &where) {
    const char *text = NodeOp.getStr(ours, "text", nullptr);
    if (theirs->type == XML_COMMENT_NODE) {
      std::string want = xmlText(theirs->content);
      for (char &c : want)
        if (c == '/' || c == '\n' || c == '\t' || c == '\r') c = ' ';
      if (NodeOp.getType(ours) != LUMO_NODE_REMARK) fail(where, "comment", NodeOp.getName(ours));
      if (fromBody(text) != want) fail(where + " comment", want, fromBody(text));
    } else if (theirs->type == XML_PI_NODE) {
      std::string want = xmlText(theirs->name);
      std::string data = xmlText(theirs->content);
      if (!data.empty()) want += " " + data;
      if (NodeOp.getType(ours) != LUMO_NODE_PROPERTY) fail(where, "pi", NodeOp.getName(ours));
      if (fromBody(text) != want) fail(where + " pi", want, fromBody(text));
    } else if (NodeOp.getType(ours) != LUMO_NODE_VARIABLE) {
      fail(where, "doctype", NodeOp.getName(ours));
    }
  }

  void element(LumoNode *ours, xmlDocPtr doc, xmlNodePtr theirs, const std::string &path) {
    std::string where = path + "/" + xmlText(theirs->name);
    if (NodeOp.getName(ours) != xmlText(theirs->name))
      fail(path, xmlText(theirs->name), NodeOp.getName(ours));
    if (NodeOp.getType(ours) != LUMO_NODE_ELEMENT) fail(where, "element", "other type");

    int i = 0;
    for (xmlAttrPtr a = theirs->properties; a; a = a->next, ++i) {
      LumoAttr *attr = NodeOp.getAttr(ours, i);
      if (!attr) {
        fail(where, xmlText(a->name), "missing attribute");
        break;
      }
      if (AttrOp.getName(attr) != xmlText(a->name))
        fail(where, xmlText(a->name), AttrOp.getName(attr));
      if (fromValue(AttrOp.getVal(attr)) != attrValue(doc, a))
        fail(where + "@" + xmlText(a->name), attrValue(doc, a), fromValue(AttrOp.getVal(attr)));
      ++attributes;
    }
    if (NodeOp.getAttrCnt(ours) != i) fail(where, std::to_string(i) + " attributes", "more");

    std::vector<xmlNodePtr> children = kept(theirs->children);
    std::string text;
    bool onlyText = true;
    for (xmlNodePtr n = theirs->children; n; n = n->next) {
      if (n->type == XML_TEXT_NODE) text += xmlText(n->content);
      else onlyText = false;
    }
    const char *elementText = NodeOp.getElement(ours);
    if (onlyText && !blank(text)) {
      if (fromBody(elementText) != text) fail(where + " text", text, fromBody(elementText));
      ++texts;
    } else if (elementText) {
      fail(where + " text", "(none)", elementText);
    }

    if (NodeOp.getChildCnt(ours) != static_cast<int>(children.size())) {
      fail(where, std::to_string(children.size()) + " children",
           std::to_string(NodeOp.getChildCnt(ours)));
      return;
    }
    for (size_t c = 0; c < children.size(); ++c) {
      LumoNode *child = NodeOp.getChild(ours, static_cast<int>(c));
      if (children[c]->type == XML_ELEMENT_NODE) {
        element(child, doc, children[c], where);
      } else {
        markup(child, children[c], where);
        ++markups;
      }
      ++nodes;
    }
  }

  // Compares the whole document; the declaration is a node here but not in libxml2's tree.
  void document(LumoDoc *ours, xmlDocPtr theirs) {
    LumoNode *docNode = DocOp.getDocNode(ours);
    std::vector<xmlNodePtr> top = kept(theirs->children);
    std::vector<xmlNodePtr> rest;
    xmlNodePtr root = nullptr;
    for (xmlNodePtr n : top) {
      if (n->type == XML_ELEMENT_NODE && !root) root = n;
      else rest.push_back(n);
    }
    int count = NodeOp.getChildCnt(docNode);
    if (count != static_cast<int>(rest.size()) + 1) {
      fail("document", std::to_string(rest.size() + 1) + " top-level nodes", std::to_string(count));
      return;
    }
    for (size_t i = 0; i < rest.size(); ++i) {
      markup(NodeOp.getChild(docNode, static_cast<int>(i) + 1), rest[i], "document");
      ++markups;
    }
    if (!root || !DocOp.getRootNode(ours)) {
      fail("document", "root", "none");
      return;
    }
    element(DocOp.getRootNode(ours), theirs, root, "");
  }

  std::string error_;
  long attributes = 0, nodes = 0, markups = 0, texts = 0;

 private:
  bool utf8Doc_;
};

TEST(XmlDiffTest, GeneratedDocumentsGiveTheTreesLibxml2Builds) {
  DocOp.setXMLElementVal(1);
  DocOp.setUTF2Latin(1);
  const int kDocuments = 4000;
  int compared = 0, failures = 0;
  long attributes = 0, nodes = 0, markups = 0, texts = 0;
  for (int seed = 1; seed <= kDocuments; ++seed) {
    bool utf8Doc = seed % 2 == 0;
    Generator gen(static_cast<unsigned>(seed), utf8Doc);
    std::string xml = gen.document();

    xmlDocPtr theirs = xmlReadMemory(xml.data(), static_cast<int>(xml.size()), "generated.xml",
                                     nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR |
                                                  XML_PARSE_NOWARNING | XML_PARSE_NOENT);
    ASSERT_NE(theirs, nullptr) << "libxml2 rejects the generated document (seed " << seed
                               << "):\n"
                               << xml;
    LumoDoc *ours = DocOp.parse(xml.c_str());
    Comparer cmp(utf8Doc);
    if (!ours) {
      cmp.fail("document", "parsed", "parse error");
    } else {
      if (DocOp.isUTF8Encoded(ours) != utf8Doc) cmp.fail("declaration", "encoding", "flag");
      cmp.document(ours, theirs);
    }
    if (!cmp.error_.empty() && ++failures <= 5)
      ADD_FAILURE() << "seed " << seed << ": " << cmp.error_ << "\n" << xml;
    attributes += cmp.attributes;
    nodes += cmp.nodes;
    markups += cmp.markups;
    texts += cmp.texts;
    ++compared;
    if (ours) NodeOp.del(DocOp.getRootNode(ours));
    DocOp.del(ours);
    xmlFreeDoc(theirs);
  }
  xmlCleanupParser();
  DocOp.setXMLElementVal(0);
  DocOp.setUTF2Latin(0);
  std::printf(
      "compared %d generated documents with libxml2 (%ld nested nodes, %ld attributes, %ld "
      "comments/instructions/doctypes, %ld element texts), %d differ\n",
      compared, nodes, attributes, markups, texts, failures);
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(compared, kDocuments);
}

}  // namespace
