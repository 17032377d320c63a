// Document module: the switches, the parser (node heads, attributes, element text, markup
// nodes, limits, errors with their exact messages, the running commentary), the serializer in
// both forms, and document instances with their accessors.
#include <gtest/gtest.h>
#include <lumo/doc.h>
#include <lumo/mem.h>
#include <lumo/str.h>
#include <lumo/thread.h>
#include <lumo/trace.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/testutil.hpp"
#include "lumo/impl/testing.h"

namespace {

// Each flag switch with its reader; the prolog and element-text switches have no public reader.
struct Flag {
  void (*set)(int);
  int (*is)(void);
};
const Flag kFlags[] = {{DocOp.setHTMLEscapes, DocOp.isHTMLEscapes},
                       {DocOp.setIgnoreCase, DocOp.isIgnoreCase},
                       {DocOp.setUTF2Latin, DocOp.isUTF2Latin},
                       {DocOp.setUniCodeEscapes, DocOp.isUniCodeEscapes}};

// The switches are process-wide: every test leaves them at their defaults. Every test must
// also leave no node, attribute or document behind, whatever the parser gave up on.
class DocTest : public ::testing::Test {
 protected:
  void SetUp() override {
    nodes_ = NodeOp.count();
    attrs_ = AttrOp.count();
    docs_ = DocOp.count();
    TraceListener::clear();
  }
  void TearDown() override {
    DocOp.setEncoding(DocOp.utf8Name);
    for (const Flag &f : kFlags) f.set(0);
    DocOp.setXMLProlog(1);
    DocOp.setXMLElementVal(0);
    EXPECT_EQ(NodeOp.count(), nodes_);
    EXPECT_EQ(AttrOp.count(), attrs_);
    EXPECT_EQ(DocOp.count(), docs_);
  }
  TraceListener listener_;
  int nodes_ = 0, attrs_ = 0, docs_ = 0;
};

TEST_F(DocTest, DefaultsNameUtf8AndLeaveTheFlagsOff) {
  EXPECT_STREQ(DocOp.utf8Name, "UTF-8");
  EXPECT_STREQ(DocOp.latin15Name, "ISO-8859-15");
  EXPECT_STREQ(DocOp.getEncoding(), "UTF-8");
  EXPECT_TRUE(DocOp.isUTF8Encoding());
  for (const Flag &f : kFlags) {
    EXPECT_EQ(f.is(), 0);
    f.set(7);
    EXPECT_EQ(f.is(), 1);
  }
  EXPECT_STREQ(DocOp.name(), "ODoc");
  EXPECT_EQ(DocOp.count(), 0);
}

TEST_F(DocTest, EncodingNameIsKeptAsGivenButOnlyExactUtf8MeansUtf8) {
  const char *lower = "utf-8";
  DocOp.setEncoding(lower);
  EXPECT_EQ(DocOp.getEncoding(), lower);
  EXPECT_FALSE(DocOp.isUTF8Encoding());
  int strings = MemOp.getAllocCntID(LUMO_TID_STRING);
  char *declaration = DocOp.getEncodingProperty();
  EXPECT_STREQ(declaration, "<?xml version=\"1.0\" encoding=\"utf-8\"?>");
  StrOp.freeStr(declaration);
  EXPECT_EQ(MemOp.getAllocCntID(LUMO_TID_STRING), strings);

  DocOp.setEncoding(DocOp.latin15Name);
  EXPECT_FALSE(DocOp.isUTF8Encoding());
  char utf8[] = "UTF-8";  // not the table's own text: the name decides
  DocOp.setEncoding(utf8);
  EXPECT_TRUE(DocOp.isUTF8Encoding());
}

TEST_F(DocTest, SwitchesMayBeReadWhileAnotherThreadSetsThem) {
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop.load()) {
      for (const Flag &f : kFlags) (void)f.is();
      (void)DocOp.isUTF8Encoding();
      (void)DocOp.getEncoding();
    }
  });
  for (int i = 0; i <= 2000; ++i) {  // ends on an even round: UTF-8
    for (const Flag &f : kFlags) f.set(i & 1);
    DocOp.setEncoding(i & 1 ? DocOp.latin15Name : DocOp.utf8Name);
  }
  stop.store(true);
  reader.join();
  EXPECT_TRUE(DocOp.isUTF8Encoding());
}


// --- parser and serializer -----------------------------------------------------------------

// A parsed document with its root; the root is the caller's and goes with it.
struct Parsed {
  explicit Parsed(const std::string &text, int *errPos = nullptr)
      : doc(DocOp.parseErr(text.c_str(), errPos)), root(DocOp.getRootNode(doc)) {}
  ~Parsed() {
    DocOp.del(doc);
    NodeOp.del(root);
  }
  Parsed(const Parsed &) = delete;
  Parsed &operator=(const Parsed &) = delete;
  LumoDoc *doc;
  LumoNode *root;
};

std::string write(LumoNode *node, int serialization) {
  return take(DocOp.node2String(node, serialization));
}

const char *textAttr(LumoNode *node) { return NodeOp.getStr(node, "text", "<none>"); }

// The messages of the records heard at level E, in order.
std::vector<std::string> errors() {
  std::vector<std::string> out;
  for (const HeardRecord &r : TraceListener::heard())
    if (r.level == LUMO_TRC_E && r.object == "ODoc") out.push_back(r.text);
  return out;
}

const char *const kPrologLine = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

TEST_F(DocTest, SelfClosingElementWritesBackInPlainAndSerializationForm) {
  Parsed p("<a x=\"1\"/>");
  ASSERT_NE(p.root, nullptr);
  EXPECT_STREQ(NodeOp.getName(p.root), "a");
  EXPECT_STREQ(NodeOp.getStr(p.root, "x", nullptr), "1");
  EXPECT_EQ(NodeOp.getChildCnt(DocOp.getDocNode(p.doc)), 0);
  EXPECT_EQ(write(p.root, 0), "<a x=\"1\"/>\n");
  EXPECT_EQ(write(p.root, 1), std::string(kPrologLine) + "<a x=\"1\"/>\n");
  char *toEsc = NodeOp.toEscString(p.root);
  EXPECT_EQ(take(toEsc), std::string(kPrologLine) + "<a x=\"1\"/>\n");
  DocOp.setXMLProlog(0);
  EXPECT_EQ(write(p.root, 1), "<a x=\"1\"/>\n");
  EXPECT_EQ(write(nullptr, 1), "");
}

TEST_F(DocTest, ChildrenAreIndentedTwoSpacesPerLevel) {
  Parsed p("<a>\n <b/><b k=\"v\">\t<c/></b>\n</a>");
  ASSERT_NE(p.root, nullptr);
  EXPECT_EQ(write(p.root, 0),
            "<a>\n"
            "  <b/>\n"
            "  <b k=\"v\">\n"
            "    <c/>\n"
            "  </b>\n"
            "</a>\n");
  // A subtree is written from its own level 0.
  EXPECT_EQ(write(NodeOp.getChild(p.root, 1), 0), "<b k=\"v\">\n  <c/>\n</b>\n");
}

TEST_F(DocTest, ElementTextIsReadAndWrittenOnlyWithElementVal) {
  {
    Parsed p("<a>hello world</a>");
    EXPECT_EQ(NodeOp.getElement(p.root), nullptr);
  }
  DocOp.setXMLElementVal(1);
  struct Case {
    const char *xml;
    const char *element;  // of the root; null: none
  };
  const Case cases[] = {
      {"<a>hello world</a>", "hello world"},
      {"<a> hello</a>", nullptr},   // text starting with whitespace is dropped
      {"<a>\nhello</a>", nullptr},
      {"<a>x &amp; y</a>", "x &amp; y"},  // taken as it stands
      {"<a>first<b/>last</a>", "last"},   // a later text replaces an earlier one
      {"<a>first<b></b>after end tag</a>", "first"},
  };
  for (const Case &c : cases) {
    Parsed p(c.xml);
    ASSERT_NE(p.root, nullptr) << c.xml;
    EXPECT_STREQ(NodeOp.getElement(p.root), c.element) << c.xml;
  }
  std::string longText(3000, 't');
  Parsed p("<a>" + longText + "</a>");
  EXPECT_EQ(std::string(NodeOp.getElement(p.root)), longText.substr(0, 2048));

  // Element text replaces the children on the way out; an empty one still opens and closes.
  LumoNode *a = NodeOp.inst("a", nullptr, LUMO_NODE_ELEMENT);
  NodeOp.addChild(a, NodeOp.inst("b", a, LUMO_NODE_ELEMENT));
  NodeOp.setElement(a, "text");
  EXPECT_EQ(write(a, 0), "<a>text</a>\n");
  NodeOp.del(NodeOp.removeChild(a, NodeOp.getChild(a, 0)));
  NodeOp.setElement(a, "");
  EXPECT_EQ(write(a, 0), "<a>\n</a>\n");
  DocOp.setXMLElementVal(0);
  EXPECT_EQ(write(a, 0), "<a/>\n");
  NodeOp.del(a);
}

TEST_F(DocTest, EndTagMatchesTheStartNameOverItsLengthIgnoringCase) {
  for (const char *xml : {"<Ab></aB>", "<ab></AB >", "<ab></abc>", "<a><B></b></A>"}) {
    Parsed p(xml);
    EXPECT_NE(p.root, nullptr) << xml;
  }
  Parsed p("<ab></a>");
  EXPECT_EQ(p.doc, nullptr);
}

TEST_F(DocTest, OnlyDoubleQuotesDelimitAttributeValues) {
  Parsed p("<a x='1' y=\"it's &lt;b&gt;\" z/>");
  ASSERT_NE(p.root, nullptr);
  ASSERT_EQ(NodeOp.getAttrCnt(p.root), 4);
  EXPECT_STREQ(AttrOp.getName(NodeOp.getAttr(p.root, 0)), "x");
  EXPECT_STREQ(AttrOp.getVal(NodeOp.getAttr(p.root, 0)), "");
  EXPECT_STREQ(AttrOp.getName(NodeOp.getAttr(p.root, 1)), "'1'");
  EXPECT_STREQ(NodeOp.getStr(p.root, "y", nullptr), "it's <b>");
  EXPECT_STREQ(NodeOp.getStr(p.root, "z", nullptr), "");
  EXPECT_EQ(write(p.root, 0), "<a x=\"\" '1'=\"\" y=\"it&apos;s &lt;b&gt;\" z=\"\"/>\n");
}

// A stray "</" after the children is read as one more attribute of the element, as the forgiving
// reader always did: the element was made with its start tag's attributes and takes this one on.
TEST_F(DocTest, AnAttributeReadAfterTheChildrenJoinsTheElement) {
  Parsed p("<a x=\"1\" y=\"&amp;\"><b/></>");
  ASSERT_NE(p.root, nullptr);
  EXPECT_EQ(write(p.root, 0), "<a x=\"1\" y=\"&amp;\" <=\"\">\n  <b/>\n</a>\n");
  EXPECT_STREQ(NodeOp.getStr(p.root, "y", nullptr), "&");
  EXPECT_STREQ(NodeOp.getStr(p.root, "<", nullptr), "");
  Parsed unclosed("<a x=\"1\"><b/></ y=\"2\"/>");
  EXPECT_EQ(unclosed.doc, nullptr);
}

TEST_F(DocTest, MarkupBecomesPropertyVariableAndRemarkNodesOfTheDocument) {
  Parsed p(
      "<?xml version=\"1.0\"?>\n<!DOCTYPE a [x]>\n<!-- a/b\tc\r\nd -->\n<a><!--in--><?pi x?></a>"
      "<b/>");
  ASSERT_NE(p.root, nullptr);
  LumoNode *doc = DocOp.getDocNode(p.doc);
  EXPECT_EQ(DocOp.properties(p.doc), doc);
  EXPECT_STREQ(NodeOp.getName(doc), "document");
  ASSERT_EQ(NodeOp.getChildCnt(doc), 4);
  struct Want {
    const char *name;
    int type;
    const char *text;
  };
  const Want want[] = {{"property", LUMO_NODE_PROPERTY, "xml version=\"1.0\""},
                       {"variable", LUMO_NODE_VARIABLE, ""},
                       {"remark", LUMO_NODE_REMARK, " a b c  d "},
                       {"b", LUMO_NODE_ELEMENT, "<none>"}};
  for (int i = 0; i < 4; ++i) {
    LumoNode *n = NodeOp.getChild(doc, i);
    EXPECT_STREQ(NodeOp.getName(n), want[i].name);
    EXPECT_EQ(NodeOp.getType(n), want[i].type);
    EXPECT_STREQ(textAttr(n), want[i].text);
  }
  ASSERT_EQ(NodeOp.getChildCnt(p.root), 2);
  EXPECT_EQ(NodeOp.getType(NodeOp.getChild(p.root, 0)), LUMO_NODE_REMARK);
  EXPECT_EQ(NodeOp.getParent(NodeOp.getChild(p.root, 0)), p.root);
  EXPECT_STREQ(textAttr(NodeOp.getChild(p.root, 1)), "pi x");
  EXPECT_FALSE(DocOp.isUTF8Encoded(p.doc));
  // Markup nodes are written as elements with their text attribute.
  EXPECT_EQ(write(p.root, 0), "<a>\n  <remark text=\"in\"/>\n  <property text=\"pi x\"/>\n</a>\n");
  EXPECT_EQ(take(DocOp.toString(p.doc)),
            "<document>\n"
            "  <property text=\"xml version=&quot;1.0&quot;\"/>\n"
            "  <variable text=\"\"/>\n"
            "  <remark text=\" a b c  d \"/>\n"
            "  <b/>\n"
            "</document>\n");
}

TEST_F(DocTest, MarkupTextIsKeptWhenItsMarkerStartsWithin1023Characters) {
  for (int len : {1019, 1020}) {
    Parsed p("<a><!--" + std::string(len, 'c') + "--><?" + std::string(len + 2, 'p') + "?></a>");
    ASSERT_NE(p.root, nullptr);
    bool kept = len == 1019;  // "<!--" plus 1019 characters: the marker starts 1023 on
    EXPECT_EQ(std::strlen(textAttr(NodeOp.getChild(p.root, 0))), kept ? 1019u : 0u);
    EXPECT_EQ(std::strlen(textAttr(NodeOp.getChild(p.root, 1))), kept ? 1021u : 0u);
  }
}

TEST_F(DocTest, MarkupWithoutClosingMarkerStepsOverTheOpeningMarker) {
  struct Case {
    const char *xml;
    int rootChildren;  // -1: no document
  };
  const Case cases[] = {
      {"<a><!-- x</a>", 1}, {"<a><? x</a>", 1},   {"<a><!--</a>", 1},  {"<a><! x</a>", -1},
      {"<a><!-->", -1},     {"<a><?", -1},        {"<a><!", -1},       {"<!--", 0},
      {"<?", 0},            {"<!", 0},            {"<!-- -- >", 0},    {"<?xml ?", 0},
  };
  for (const Case &c : cases) {
    Parsed p(c.xml);
    if (c.rootChildren < 0) {
      EXPECT_EQ(p.doc, nullptr) << c.xml;
      continue;
    }
    ASSERT_NE(p.doc, nullptr) << c.xml;
    if (c.rootChildren == 0) {
      EXPECT_EQ(p.root, nullptr) << c.xml;
      EXPECT_STREQ(textAttr(NodeOp.getChild(DocOp.getDocNode(p.doc), 0)), "") << c.xml;
    } else {
      ASSERT_EQ(NodeOp.getChildCnt(p.root), c.rootChildren) << c.xml;
      EXPECT_STREQ(textAttr(NodeOp.getChild(p.root, 0)), "") << c.xml;
    }
  }
}

TEST_F(DocTest, TextEndingInsideAnOpenElementIsUnexpectedEof) {
  struct Case {
    const char *xml;
    int pos;
  };
  const Case cases[] = {
      {"<a>", 3},           {"<a><b/>", 7},      {"<a><b/><c></c>", 14},
      {"<a><b", 5},         {"<a x=\"1\"", 8},   {"<a>text", 7},
      {"<a><b></b>\n", 11}, {"<a/><b>  ", 9},
  };
  for (const Case &c : cases) {
    TraceListener::clear();
    int pos = -1;
    Parsed p(c.xml, &pos);
    EXPECT_EQ(p.doc, nullptr) << c.xml;
    EXPECT_EQ(pos, c.pos) << c.xml;
    EXPECT_EQ(errors(), std::vector<std::string>{"Parser error at " + std::to_string(c.pos) +
                                                 ": unexpected eof!"})
        << c.xml;
  }
}

TEST_F(DocTest, StuckParseReportsLineColumnAndPosition) {
  int pos = -1;
  Parsed p("<a>\n  <b x = \"1\"/>\n</a>", &pos);
  EXPECT_EQ(p.doc, nullptr);
  EXPECT_EQ(pos, 13);
  EXPECT_EQ(errors(), std::vector<std::string>{"Parser error at line 2:10, file position 13"});
  TraceListener::clear();
  Parsed first("<a \"x\"/>", &pos);  // no newline before: the column is the position
  EXPECT_EQ(pos, 3);
  EXPECT_EQ(errors(), std::vector<std::string>{"Parser error at line 1:3, file position 3"});
}

TEST_F(DocTest, AttributeValuesUpTo204799CharactersAreRead) {
  std::string fits(204799, 'v');
  {
    Parsed p("<a x=\"" + fits + "\" y=\"2\"/>");
    ASSERT_NE(p.root, nullptr);
    EXPECT_EQ(std::strlen(NodeOp.getStr(p.root, "x", "")), fits.size());
    EXPECT_STREQ(NodeOp.getStr(p.root, "y", nullptr), "2");
    EXPECT_TRUE(errors().empty());
  }
  Parsed p("<a x=\"" + fits + "v\"/>");
  EXPECT_EQ(p.doc, nullptr);
  std::vector<std::string> heard = errors();
  ASSERT_FALSE(heard.empty());
  EXPECT_EQ(heard[0],
            "Parser error at 204805: attribut value exceeds the maximum length of 204800");

  TraceListener::clear();
  int pos = -1;
  Parsed open("<a x=\"abc", &pos);
  EXPECT_EQ(open.doc, nullptr);
  EXPECT_EQ(pos, 9);
  EXPECT_EQ(errors(), (std::vector<std::string>{
                          "Parser error at 9: encountered string-termination-symbol while "
                          "reading an attribut value.",
                          "Parser error at 9: unexpected eof!"}));
}

// Positions in a text are ints: a text of INT_MAX bytes or more is refused before anything is
// read. Such a text is an element holding 2 GiB of element text, built from a few pages of
// memory mapped over and over, so the test needs no 2 GiB of memory.
TEST_F(DocTest, NamesLongerThan1023AreCutAndTheRestReadOn) {
  std::string name(1030, 'n');
  Parsed p("<a " + name + "=\"1\"/>");
  ASSERT_NE(p.root, nullptr);
  ASSERT_EQ(NodeOp.getAttrCnt(p.root), 2);
  EXPECT_EQ(std::string(AttrOp.getName(NodeOp.getAttr(p.root, 0))), name.substr(0, 1023));
  EXPECT_STREQ(AttrOp.getName(NodeOp.getAttr(p.root, 1)), "nnnnnnn");
  EXPECT_STREQ(AttrOp.getVal(NodeOp.getAttr(p.root, 1)), "1");
}

TEST_F(DocTest, Utf8DeclarationWithUtf2LatinReadsEAcuteAsOneByte) {
  const std::string decl = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
  const std::string body = "<a x=\"caf\xC3\xA9 \xE2\x82\xAC\"/>";
  {
    Parsed p(decl + body);
    EXPECT_TRUE(DocOp.isUTF8Encoded(p.doc));
    EXPECT_STREQ(NodeOp.getStr(p.root, "x", nullptr), "caf\xC3\xA9 \xE2\x82\xAC");
  }
  DocOp.setUTF2Latin(1);
  {
    Parsed p(decl + body);
    EXPECT_STREQ(NodeOp.getStr(p.root, "x", nullptr), "caf\xE9 \xA4");
    // And back to UTF-8 on the way out.
    EXPECT_EQ(write(p.root, 1), decl + "\n<a x=\"caf\xC3\xA9 \xE2\x82\xAC\"/>\n");
  }
  for (const char *other : {"<?xml version=\"1.0\" encoding=\"ISO-8859-15\"?>",
                            "<?xml version=\"1.0\" encoding=\"utf-8\"?>", "<?xml?>", ""}) {
    Parsed p(other + body);
    EXPECT_FALSE(DocOp.isUTF8Encoded(p.doc)) << other;
    EXPECT_STREQ(NodeOp.getStr(p.root, "x", nullptr), "caf\xC3\xA9 \xE2\x82\xAC") << other;
  }
}

std::string nested(int depth, const std::string &inner = "") {
  std::string xml;
  for (int i = 0; i < depth; ++i) xml += "<e>";
  xml += inner;
  for (int i = 0; i < depth; ++i) xml += "</e>";
  return xml;
}

TEST_F(DocTest, NestingDeeperThanTheLimitIsAParseError) {
  {
    Parsed p(nested(256));
    ASSERT_NE(p.root, nullptr);
    EXPECT_TRUE(errors().empty());
  }
  {
    // Markup nodes inside the deepest element do not nest further.
    Parsed p(nested(256, "<!--c--><?p?>"));
    ASSERT_NE(p.root, nullptr);
  }
  int pos = -1;
  Parsed p(nested(257), &pos);
  EXPECT_EQ(p.doc, nullptr);
  EXPECT_EQ(pos, 256 * 3);
  EXPECT_EQ(errors(), std::vector<std::string>{
                          "Parser error at 768: element nesting exceeds the maximum depth of 256"});
}

// The highest stack use of fn, run on a thread whose 256 KiB stack (the size threads get)
// was filled with a pattern first.
__attribute__((no_sanitize("address", "thread"))) size_t untouched(const unsigned char *stack,
                                                                    size_t size) {
  size_t n = 0;
  while (n < size && stack[n] == 0xA5) ++n;
  return n;
}

size_t stackUse(void (*fn)()) {
  const size_t size = 256 * 1024;
  void *stack = nullptr;
  if (posix_memalign(&stack, 4096, size) != 0) return size;
  std::memset(stack, 0xA5, size);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstack(&attr, stack, size);
  pthread_t thread;
  auto body = [](void *arg) -> void * {
    reinterpret_cast<void (*)()>(arg)();
    return nullptr;
  };
  size_t used = 0;  // the thread could not be started on that stack
  if (pthread_create(&thread, &attr, body, reinterpret_cast<void *>(fn)) == 0) {
    pthread_join(thread, nullptr);
    used = size - untouched(static_cast<unsigned char *>(stack), size);
  }
  pthread_attr_destroy(&attr);
  std::free(stack);
  return used;
}

int stackDepth = 256;

void parseWithCommentary() {
  TraceOp.setLevel(nullptr, LUMO_TRC_S);  // the deepest frames format records as well
  std::string xml = nested(stackDepth);
  LumoDoc *doc = DocOp.parse(xml.c_str());
  LumoNode *root = DocOp.getRootNode(doc);
  StrOp.freeStr(DocOp.node2String(root, 1));
  LumoNode *copy = NodeOp.clone(root);
  NodeOp.del(copy);
  NodeOp.del(root);
  DocOp.del(doc);
  TraceOp.setLevel(nullptr, 0);
}

TEST_F(DocTest, ParsingAtTheDepthLimitUsesLessThanHalfOfAThreadStack) {
  // First on a thread of the library with its default stack.
  std::atomic<bool> done{false};
  LumoThread *t = ThreadOp.inst(
      "deepparse",
      [](LumoThread *self) {
        parseWithCommentary();
        static_cast<std::atomic<bool> *>(ThreadOp.getParm(self))->store(true);
      },
      &done);
  ASSERT_TRUE(ThreadOp.start(t));
  for (int i = 0; i < 3000 && !done.load(); ++i) ThreadOp.sleep(10);
  EXPECT_TRUE(done.load());
  ThreadOp.del(t);

  // Then measured on a stack of the same size that was filled with a pattern first.
  stackDepth = 1;
  size_t flat = stackUse(parseWithCommentary);
  stackDepth = 256;
  size_t used = stackUse(parseWithCommentary);
  if (used == 0)  // ThreadSanitizer keeps its thread state on such stacks and needs more
    GTEST_SKIP() << "no thread starts on a pre-allocated 256 KiB stack here";
  std::printf("stack used by a parse at depth 1: %zu, at depth 256: %zu bytes of 262144\n", flat,
              used);
  EXPECT_LT(used, 128u * 1024u);
}

TEST_F(DocTest, TreesBuiltDeeperThroughTheApiAreStillWritten) {
  const int depth = 2000;  // the indentation alone makes the text grow with the square
  LumoNode *root = NodeOp.inst("e", nullptr, LUMO_NODE_ELEMENT);
  LumoNode *leaf = root;
  for (int i = 1; i < depth; ++i) {
    LumoNode *child = NodeOp.inst("e", leaf, LUMO_NODE_ELEMENT);
    NodeOp.addChild(leaf, child);
    leaf = child;
  }
  std::string xml = write(root, 0);
  // Each level n writes 2n spaces twice: "<e>\n" and "</e>\n", the leaf "<e/>\n".
  size_t expected = 0;
  for (size_t n = 0; n + 1 < static_cast<size_t>(depth); ++n) expected += 2 * (2 * n) + 4 + 5;
  expected += 2 * static_cast<size_t>(depth - 1) + 5;
  EXPECT_EQ(xml.size(), expected);
  // Too deep to read back: an error, not a crash.
  Parsed p(xml);
  EXPECT_EQ(p.doc, nullptr);
  NodeOp.del(root);
}

TEST_F(DocTest, TextWithoutElementGivesADocumentWithoutRoot) {
  EXPECT_EQ(DocOp.parse(nullptr), nullptr);
  EXPECT_EQ(DocOp.parse(""), nullptr);
  for (const char *xml : {"just text", "<?pi?>", "<a", "  <!-- c -->  "}) {
    Parsed p(xml);
    ASSERT_NE(p.doc, nullptr) << xml;
    EXPECT_EQ(p.root, nullptr) << xml;
  }
}

// Each commentary record's message, in order (the echoed record minus its head).
std::vector<std::string> commentary(const std::string &xml) {
  TraceOp.setLevel(nullptr, LUMO_TRC_S);
  TraceOp.setStdErr(nullptr, 1);
  std::vector<std::string> lines;
  {
    StreamCapture out;
    LumoDoc *doc = DocOp.parse(xml.c_str());
    NodeOp.del(DocOp.getRootNode(doc));
    DocOp.del(doc);
    lines = out.lines();
  }
  TraceOp.setStdErr(nullptr, 0);
  TraceOp.setLevel(nullptr, 0);
  std::vector<std::string> out;
  for (const std::string &line : lines) {
    size_t at = line.find(" ODoc     ");
    if (at == std::string::npos) {
      out.push_back(line);  // the continuation of a record with a line feed of its own
      continue;
    }
    EXPECT_EQ(line.substr(at - 14, 5), "9999S") << line;
    out.push_back(line.substr(at + 15));
  }
  return out;
}

TEST_F(DocTest, ParserCommentsItsProgressAtLevelS) {
  EXPECT_EQ(commentary("<a x=\"1\"><b/></a>"),
            (std::vector<std::string>{
                "Parsing started, input: <a x=\"1\"><b/></a>   ...",
                "ParseLevel = 1",
                "__parseNodeName:1 Now pointing at 0 [<][a x=\"1\"><b]",
                "__parseNodeName:2 Now pointing at 0 [<][a x=\"1\"><b]",
                "__parseNodeName:3 Now pointing at 0 [<][a x=\"1\"><b]",
                "__parseNodeName:4 Now pointing at 2 [ ][x=\"1\"><b/>]",
                "__parseNodeName = [a]",
                "ELEMENT_NODE created.",
                "val = [1]",
                "_parse:0 Now pointing at 9 [<][b/></a>   ]",
                "__skipTo:1 Now pointing at 9 [<][b/></a>   ]",
                "Looking for childnodes...",
                "ParseLevel = 2",
                "__parseNodeName:1 Now pointing at 9 [<][b/></a>   ]",
                "__parseNodeName:2 Now pointing at 9 [<][b/></a>   ]",
                "__parseNodeName:3 Now pointing at 9 [<][b/></a>   ]",
                "__parseNodeName:4 Now pointing at 11 [/][></a>     ]",
                "__parseNodeName = [b]",
                "ELEMENT_NODE created.",
                "End (inline) of node [b].",
                "_parse:1 Now pointing at 13 [<][/a>       ]",
                "__skipTo:1 Now pointing at 13 [<][/a>       ]",
                "_parse:2 Now pointing at 13 [<][/a>       ]",
                "_parse:3 Now pointing at 13 [<][/a>       ]",
                "",
                "End of node [a].",
                "Found rootnode [a].",
                "ParseLevel = 1",
                "__parseNodeName:1 Now pointing at 16 [>][          ]",
                "__parseNodeName: s[*pIdx] != '<' s[*pIdx] = [>]",
                "__skipTo:1 Now pointing at 16 [>][          ]",
                "childNode == NULL",
            }));
  DocOp.setXMLElementVal(1);
  std::vector<std::string> lines = commentary("<!--c--><a>hi</a>");
  auto has = [&](const std::string &line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  };
  EXPECT_TRUE(has("Remark found."));
  EXPECT_TRUE(has("REMARK_NODE created."));
  EXPECT_TRUE(has("Adding [remark][type=3] to document."));
  EXPECT_TRUE(has("set node a element to [hi] not starting with[<]"));
}

TEST_F(DocTest, DocumentOwnsItsDocNodeButNotTheRoot) {
  int docs = DocOp.count(), nodes = NodeOp.count();
  LumoDoc *doc = DocOp.parse("<!--c--><a/>");
  EXPECT_EQ(DocOp.count(), docs + 1);
  LumoNode *root = DocOp.getRootNode(doc);
  DocOp.del(doc);
  DocOp.del(nullptr);
  EXPECT_EQ(DocOp.count(), docs);
  EXPECT_EQ(NodeOp.count(), nodes + 1);  // the root lives on
  EXPECT_STREQ(NodeOp.getName(root), "a");
  NodeOp.del(root);
}

TEST_F(DocTest, DocumentBaseSlotsWriteAndReplaceTheDocNode) {
  LumoDoc *doc = DocOp.parse("<?pi?><a/>");
  NodeOp.del(DocOp.getRootNode(doc));
  int length = -1;
  unsigned char *image = doc->serialize(doc, &length);
  EXPECT_STREQ(reinterpret_cast<char *>(image),
               "<document>\n  <property text=\"pi\"/>\n</document>\n");
  EXPECT_EQ(length, static_cast<int>(std::strlen(reinterpret_cast<char *>(image))));
  StrOp.freeStr(reinterpret_cast<char *>(image));

  // The root handed out before belongs to the caller: deserialize forgets it, deletes nothing.
  LumoDoc *other = DocOp.parse("<a k=\"v\"/>");
  LumoNode *mine = DocOp.getRootNode(other);
  DocOp.deserialize(other, reinterpret_cast<const unsigned char *>(
                               "<?xml version=\"1.0\" encoding=\"UTF-8\"?><!--x--><r k=\"1\"/>"));
  EXPECT_STREQ(NodeOp.getStr(mine, "k", nullptr), "v");
  NodeOp.del(mine);
  EXPECT_TRUE(DocOp.isUTF8Encoded(other));
  EXPECT_EQ(NodeOp.getChildCnt(DocOp.getDocNode(other)), 2);
  EXPECT_STREQ(NodeOp.getName(DocOp.getRootNode(other)), "r");
  // A text that does not parse leaves the document as it was.
  DocOp.deserialize(other, reinterpret_cast<const unsigned char *>("<b>"));
  DocOp.deserialize(other, nullptr);
  EXPECT_STREQ(NodeOp.getName(DocOp.getRootNode(other)), "r");
  EXPECT_EQ(DocOp.clone(other), nullptr);
  EXPECT_FALSE(DocOp.equals(other, doc));
  NodeOp.del(DocOp.getRootNode(other));
  DocOp.del(other);
  DocOp.del(doc);
}

TEST_F(DocTest, DocumentAccessorsReadAttributesOfTheRootsChildren) {
  Parsed p("<cfg><Net port=\"80\" on=\"TRUE\" host=\"h&amp;s\"/><net port=\"81\"/></cfg>");
  EXPECT_EQ(DocOp.getInt(p.doc, "net", "port", 1), 80);
  EXPECT_EQ(DocOp.getBool(p.doc, "NET", "on", 0), 1);
  EXPECT_STREQ(DocOp.getStr(p.doc, "net", "host", nullptr), "h&s");
  EXPECT_EQ(DocOp.getInt(p.doc, "net", "missing", 7), 7);
  EXPECT_EQ(DocOp.getInt(p.doc, "disk", "port", 7), 7);
  EXPECT_STREQ(DocOp.getStr(p.doc, "disk", "host", "def"), "def");
  EXPECT_EQ(DocOp.getBool(nullptr, "net", "on", 1), 1);
  EXPECT_EQ(DocOp.getRootNode(nullptr), nullptr);
  EXPECT_EQ(DocOp.getDocNode(nullptr), nullptr);
  EXPECT_FALSE(DocOp.isUTF8Encoded(nullptr));
  Parsed rootless("<!-- no root -->");
  EXPECT_STREQ(DocOp.getStr(rootless.doc, "net", "host", "def"), "def");
}

TEST_F(DocTest, SerializedTreesParseBackToTheSameText) {
  const char *xml =
      "<cfg a=\"x &lt; y\" b=\"&#233;&euro;\" c=\"AT&amp;T\">\n"
      "  <digint host=\"h\" id=\"1\">\n"
      "    <remark text=\"note\"/>\n"
      "    <rs485 dev=\"/dev/ttyS0\"/>\n"
      "  </digint>\n"
      "  <empty/>\n"
      "</cfg>\n";
  Parsed p(xml);
  std::string once = write(p.root, 1);
  Parsed again(once);
  EXPECT_EQ(write(again.root, 1), once);
  EXPECT_EQ(write(again.root, 0), xml);
}

}  // namespace

// A text that cannot be finished is no text: with any one allocation failing, node2String gives
// null or the whole document, never one without an attribute.
TEST_F(DocTest, SerializingUnderAFailingAllocationGivesNullOrTheWholeText) {
  LumoNode *root = NodeOp.inst("root", nullptr, LUMO_NODE_ELEMENT);
  NodeOp.setStr(root, "first", "a<b");
  NodeOp.setInt(root, "second", 2);
  NodeOp.addChild(root, NodeOp.inst("child", nullptr, LUMO_NODE_ELEMENT));
  char *whole = DocOp.node2String(root, 1);
  ASSERT_NE(whole, nullptr);
  for (long n = 1; n < 100; ++n) {
    char *text;
    long left;
    {
      StreamCapture out;
      lumo_mem_failAfter(n);
      text = DocOp.node2String(root, 1);
      left = lumo_mem_failAfter(0);
    }
    if (text) {
      EXPECT_STREQ(text, whole) << "failure at allocation " << n;
    }
    StrOp.freeStr(text);
    if (left > 0) break;
  }
  StrOp.freeStr(whole);
  NodeOp.del(root);
}

TEST_F(DocTest, TextsLongerThanAPositionCanReachAreRefused) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer shadows every byte read";
#endif
  HugeText huge(129);  // 2064 MiB
  if (!huge.text()) GTEST_SKIP() << "no room for such a text in this process";
  int pos = -1;
  EXPECT_EQ(DocOp.parseErr(huge.text(), &pos), nullptr);
  EXPECT_EQ(pos, 0);
  EXPECT_EQ(errors(), std::vector<std::string>{
                          "Parser error at 0: text exceeds the maximum length of 2147483646"});
}
