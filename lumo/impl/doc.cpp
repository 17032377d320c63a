// lumo: the document module: document instances and their accessors, and the process-wide
// switches. Any thread that escapes, looks up, parses or serializes reads the switches at the
// moment of use, so each one is an atomic. The parser and the serializer have files of their own.
#include "doc.hpp"

#include <atomic>
#include <cstring>

#include "object.hpp"
#include "str.hpp"

namespace {

constexpr const char *kUtf8Name = "UTF-8";
constexpr const char *kLatin15Name = "ISO-8859-15";

lumo::ClassInfo docClass{"ODoc", LUMO_TID_DOC, "impl/doc"};

std::atomic<bool> xmlprolog{true};
std::atomic<const char *> docencoding{kUtf8Name};
std::atomic<bool> utf8encoding{true};
std::atomic<bool> utf2latin{false};
std::atomic<bool> unicodeescapes{false};
std::atomic<bool> htmlescapes{false};
std::atomic<bool> ignorecase{false};
std::atomic<bool> elementval{false};

constexpr auto kRelaxed = std::memory_order_relaxed;

using lumo::DocData;

struct Impl : lumo::Base<LumoDoc, docClass> {
  // The root node is not the document's: whoever parsed took it over.
  static void del(LumoDoc *self) noexcept {
    DocData *d = lumo::dataOf<DocData>(self);
    if (!d) return;
    NodeOp.del(d->docNode);
    d->docNode = nullptr;
    lumo::freeInstance<DocData>(self, docClass, __LINE__);
  }

  static char *toString(LumoDoc *self) noexcept {
    DocData *d = lumo::dataOf<DocData>(self);
    return d ? doc_node2String(d->docNode, 0) : nullptr;
  }

  static unsigned char *serialize(LumoDoc *self, int *length) noexcept {
    char *text = toString(self);
    if (length) *length = text ? static_cast<int>(std::strlen(text)) : 0;
    return reinterpret_cast<unsigned char *>(text);
  }

  // A text that does not parse leaves the document as it was, rather than without nodes. The
  // old root is forgotten, not deleted: getRootNode handed it to the caller, who owns it.
  static void deserialize(LumoDoc *self, const unsigned char *image) noexcept {
    DocData *d = lumo::dataOf<DocData>(self);
    if (!d) return;
    LumoDoc *parsed = doc_parse(reinterpret_cast<const char *>(image));
    DocData *p = lumo::dataOf<DocData>(parsed);
    if (!p) return;
    NodeOp.del(d->docNode);
    d->docNode = p->docNode;
    d->rootNode = p->rootNode;
    d->utf8Encoded = p->utf8Encoded;
    p->docNode = nullptr;
    p->rootNode = nullptr;
    del(parsed);
  }

  static void *properties(LumoDoc *self) noexcept {
    DocData *d = lumo::dataOf<DocData>(self);
    return d ? d->docNode : nullptr;
  }
};

// The root's first child of that name (case ignored; findNode traces when there is none).
LumoNode *rootChild(LumoDoc *self, const char *child) noexcept {
  DocData *d = lumo::dataOf<DocData>(self);
  if (!d || !d->rootNode) return nullptr;
  return NodeOp.findNode(d->rootNode, child);
}

}  // namespace

LumoDoc *lumo::doc_newDocument(int line) noexcept {
  DocData *d = nullptr;
  LumoDoc *doc = lumo::newInstance<DocData>(DocOp, docClass, line, &d);
  if (!doc) return nullptr;
  d->docNode = NodeOp.inst("document", nullptr, LUMO_NODE_ELEMENT);
  if (!d->docNode) {
    lumo::freeInstance<DocData>(doc, docClass, line, false);
    return nullptr;
  }
  lumo::countInstance(docClass);
  return doc;
}

int doc_getBool(LumoDoc *self, const char *child, const char *attr, int def) noexcept {
  LumoNode *node = rootChild(self, child);
  return node ? NodeOp.getBool(node, attr, def) : def;
}

LumoNode *doc_getDocNode(LumoDoc *self) noexcept {
  DocData *d = lumo::dataOf<DocData>(self);
  return d ? d->docNode : nullptr;
}

const char *doc_getEncoding(void) noexcept { return docencoding.load(kRelaxed); }

char *doc_getEncodingProperty(void) noexcept {
  const char *name = docencoding.load(kRelaxed);
  return str_fmt("<?xml version=\"1.0\" encoding=\"%s\"?>", lumo::orEmpty(name));
}

int doc_getInt(LumoDoc *self, const char *child, const char *attr, int def) noexcept {
  LumoNode *node = rootChild(self, child);
  return node ? NodeOp.getInt(node, attr, def) : def;
}

LumoNode *doc_getRootNode(LumoDoc *self) noexcept {
  DocData *d = lumo::dataOf<DocData>(self);
  return d ? d->rootNode : nullptr;
}

const char *doc_getStr(LumoDoc *self, const char *child, const char *attr,
                       const char *def) noexcept {
  LumoNode *node = rootChild(self, child);
  return node ? NodeOp.getStr(node, attr, def) : def;
}

int doc_isHTMLEscapes(void) noexcept { return htmlescapes.load(kRelaxed); }

int doc_isIgnoreCase(void) noexcept { return ignorecase.load(kRelaxed); }

int doc_isUTF2Latin(void) noexcept { return utf2latin.load(kRelaxed); }

int doc_isUTF8Encoded(LumoDoc *self) noexcept {
  DocData *d = lumo::dataOf<DocData>(self);
  return d ? d->utf8Encoded : 0;
}

int doc_isUTF8Encoding(void) noexcept { return utf8encoding.load(kRelaxed); }

int doc_isUniCodeEscapes(void) noexcept { return unicodeescapes.load(kRelaxed); }

int doc_isXMLElementVal(void) noexcept { return elementval.load(kRelaxed); }

int doc_isXMLProlog(void) noexcept { return xmlprolog.load(kRelaxed); }

LumoDoc *doc_parse(const char *text) noexcept { return doc_parseErr(text, nullptr); }

// The name is kept, not copied; only the exact upper-case spelling means UTF-8 output.
void doc_setEncoding(const char *name) noexcept {
  docencoding.store(name, kRelaxed);
  utf8encoding.store(str_equals(name, kUtf8Name) != 0, kRelaxed);
}

void doc_setHTMLEscapes(int flag) noexcept { htmlescapes.store(flag != 0, kRelaxed); }

void doc_setIgnoreCase(int flag) noexcept { ignorecase.store(flag != 0, kRelaxed); }

void doc_setUTF2Latin(int flag) noexcept { utf2latin.store(flag != 0, kRelaxed); }

void doc_setUniCodeEscapes(int flag) noexcept { unicodeescapes.store(flag != 0, kRelaxed); }

void doc_setXMLElementVal(int flag) noexcept { elementval.store(flag != 0, kRelaxed); }

void doc_setXMLProlog(int flag) noexcept { xmlprolog.store(flag != 0, kRelaxed); }

const LumoDoc DocOp = {LUMO_BASE_INIT(Impl), kUtf8Name, kLatin15Name,
                       LUMO_DOC_OPS(LUMO_SLOT_INIT_PREFIXED, doc_)};

LUMO_CHECK_TABLE(LumoDoc, LUMO_DOC_OPS, lumo::kOwnSlotsAt + 2 * sizeof(void *));
static_assert(offsetof(LumoDoc, utf8Name) == lumo::kOwnSlotsAt &&
                  offsetof(LumoDoc, latin15Name) == lumo::kOwnSlotsAt + sizeof(void *),
              "the two names sit between the base slots and the operations");
