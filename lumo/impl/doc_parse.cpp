// lumo: the XML parser: a forgiving single-pass reader of elements, double-quoted attributes,
// element text, comments, processing instructions and declarations into a node tree. It writes
// a running commentary of its position at level S and its errors at level E.
//
// Every read is bounded by the text's terminating NUL: a position never passes it, and a byte
// after the current one is only looked at once the current one is known not to be the NUL.
// Positions are ints, so a text that int cannot index is refused before anything is read.
//
// A parse is whole or nothing: an attribute, child, text or element text that cannot be kept
// (memory refused) fails the parse like a syntax error, rather than leaving a document that
// silently lacks it.
#include <climits>
#include <cstdarg>
#include <cstring>

#include <lumo/system.h>
#include <lumo/trace.h>

#include "attr.hpp"
#include "buffer.hpp"
#include "doc.hpp"
#include "mem.hpp"
#include "names.hpp"
#include "node.hpp"
#include "node_data.hpp"
#include "object.hpp"
#include "str.hpp"
#include "trace.hpp"

namespace {

constexpr const char *kObject = "ODoc";
constexpr const char *kSource = "impl/doc";
constexpr int kTid = LUMO_TID_DOC;

constexpr int kNameMax = 1023;         // element and attribute names; the rest is the next token
constexpr int kMarkupTextMax = 1023;   // "<" to closing marker of a comment or instruction
constexpr int kElementTextMax = 2048;  // element text keeps its first characters only
constexpr int kValueStep = 2048;       // attribute value buffer: start and growth step
constexpr int kValueMax = 204800;      // attribute value buffer limit, terminator included

// An attribute read but not yet in its node: a node is made in one block with every attribute
// of its start tag, once the tag is read. Its stored text lies in the parser's text buffer.
struct Pending {
  const char *name;  // a reference to a shared name
  int text;
  int len;
  bool entities;
};

struct Parser {
  const char *s = nullptr;
  int pos = 0;
  bool error = false;
  bool refused = false;  // the error is a refused allocation, not the text
  int errPos = 0;
  lumo::DocData *doc = nullptr;
  char *value = nullptr;  // attribute value buffer, kept for the whole parse
  int valueCap = 0;
  // Per closing marker ("-->", "?>", ">"): the position from which on the text holds none, so
  // that a text full of unclosed markers is not searched to its end once for each of them.
  int markerMissingFrom[3] = {INT_MAX, INT_MAX, INT_MAX};
  char name[kNameMax + 1] = {};
  char text[kElementTextMax + 1] = {};
  lumo::NameDict names;
  lumo::Buffer<Pending> pending{kTid, kSource};
  lumo::Buffer<char> texts{kTid, kSource};
  // The children of the open elements, each element's above the ones of its ancestors; they go
  // to their node in a list of the exact size when its end tag is read.
  lumo::Buffer<LumoNode *> children{kTid, kSource};

  unsigned char at(int i) const { return static_cast<unsigned char>(s[i]); }
  unsigned char cur() const { return at(pos); }
  // The byte after the current one, or NUL when the current one ends the text.
  unsigned char next() const { return cur() ? at(pos + 1) : 0; }
  bool startsHere(const char *prefix) const {
    return std::strncmp(s + pos, prefix, std::strlen(prefix)) == 0;
  }
};

__attribute__((format(printf, 3, 4))) void noteAlways(int level, int line, const char *format,
                                                      ...) noexcept {
  va_list args;
  va_start(args, format);
  trace_vtrc(kObject, level, line, LUMO_TRC_CODE, format, args);
  va_end(args);
}

// A commentary or error line. The commentary runs to a dozen lines per element, and mostly no
// trace wants level S: then not even the arguments are put together.
#define NOTE(level, ...) (trace_mayWrite(level) ? noteAlways(level, __VA_ARGS__) : void())

// The commentary's position line: position, the byte there and the ten bytes after it.
void pointing(const Parser &p, int line, const char *where, const char *tail = "") noexcept {
  NOTE(LUMO_TRC_S, line, "%s Now pointing at %d [%c][%-10.10s]%s", where, p.pos, p.cur(),
       p.cur() ? p.s + p.pos + 1 : "", tail);
}

enum Marker { kCommentEnd, kInstructionEnd, kDeclarationEnd };

// The next closing marker at or after from, or null.
const char *findMarker(Parser &p, Marker which, int from, const char *marker) noexcept {
  if (from >= p.markerMissingFrom[which]) return nullptr;
  const char *found = std::strstr(p.s + from, marker);
  if (!found) p.markerMissingFrom[which] = from;
  return found;
}

// Marks the parse as failed; the caller traces the message.
void fail(Parser &p, int position) noexcept {
  p.error = true;
  p.errPos = position;
}

void failMemory(Parser &p) noexcept {
  NOTE(LUMO_TRC_E, __LINE__, "Parser error at %d: out of memory!", p.pos);
  fail(p, p.pos);
  p.refused = true;
}

void failEof(Parser &p) noexcept {
  NOTE(LUMO_TRC_E, __LINE__, "Parser error at %d: unexpected eof!", p.pos);
  fail(p, p.pos);
}

void failAtLine(Parser &p) noexcept {
  int newlines = 0, lastNewline = -1;
  for (int i = 0; i < p.pos; ++i) {
    if (p.s[i] == '\n') {
      ++newlines;
      lastNewline = i;
    }
  }
  int column = lastNewline < 0 ? p.pos : p.pos - lastNewline;
  NOTE(LUMO_TRC_E, __LINE__, "Parser error at line %d:%d, file position %d", newlines + 1, column,
       p.pos);
  fail(p, p.pos);
}

bool isSpace(unsigned char c) noexcept { return c >= 1 && c <= 32; }

unsigned char lowerAscii(unsigned char c) noexcept {
  return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

// Skips whitespace; true when a byte other than the terminator follows.
bool skipSpace(Parser &p) noexcept {
  while (isSpace(p.cur())) ++p.pos;
  return p.cur() != 0;
}

// The bytes that end a name: the terminator, whitespace and the given stops.
struct NameStops {
  bool stop[256] = {};
  constexpr explicit NameStops(const char *stops) {
    for (int c = 0; c <= 32; ++c) stop[c] = true;
    for (; *stops; ++stops) stop[static_cast<unsigned char>(*stops)] = true;
  }
};
constexpr NameStops kElementNameStops(">/");
constexpr NameStops kAttributeNameStops(">/=\"");

// Reads a name up to a stop byte, at most kNameMax bytes.
int readName(Parser &p, const NameStops &stops) noexcept {
  const unsigned char *from = reinterpret_cast<const unsigned char *>(p.s + p.pos);
  int n = 0;
  while (n < kNameMax && !stops.stop[from[n]]) ++n;
  std::memcpy(p.name, from, static_cast<std::size_t>(n));
  p.name[n] = '\0';
  p.pos += n;
  return n;
}

// Moves to the next "<" (or the end of the text). What stands before it becomes the element
// text of node, when element text is read and the text does not start with whitespace or a
// bracket. True when a "<" was found.
__attribute__((noinline)) bool readElementText(Parser &p, LumoNode *node) noexcept {
  pointing(p, __LINE__, "__skipTo:1");
  int start = p.pos;
  unsigned char first = p.cur();
  const char *lt = std::strchr(p.s + start, '<');
  p.pos = lt ? static_cast<int>(lt - p.s) : start + static_cast<int>(std::strlen(p.s + start));
  if (!lt) return false;
  bool collect = !(first == '\n' || first == '\r' || first == '\t' || first == ' ' ||
                   first == '<' || first == '>');
  int n = p.pos - start;
  if (collect && n > 0 && node && doc_isXMLElementVal()) {
    if (n > kElementTextMax) n = kElementTextMax;
    std::memcpy(p.text, p.s + start, static_cast<size_t>(n));
    p.text[n] = '\0';
    NOTE(LUMO_TRC_S, __LINE__, "set node %s element to [%s] not starting with[%c]",
         NodeOp.getName(node), p.text, '<');
    if (!node_putElement(node, p.text)) failMemory(p);
  }
  return true;
}

// The shared name for len bytes of text (terminated); null with the parse failed when memory is
// refused.
const char *shareName(Parser &p, const char *text, int len) noexcept {
  const char *name = p.names.share(text, len);
  if (!name) failMemory(p);
  return name;
}

void dropPending(Parser &p) noexcept {
  for (int i = 0; i < p.pending.size(); ++i) lumo::nameRelease(p.pending[i].name);
  p.pending.clear();
  p.texts.clear();
}

// Reads an attribute into the pending list: its name shared, its value escaped into stored form
// (entities of the XML text stay; a raw "<", ">" or "'" is escaped). False with the parse failed
// when memory is refused.
bool pend(Parser &p, const char *name, int nameLen, const char *value) noexcept {
  const char *shared = shareName(p, name, nameLen);
  if (!shared) return false;
  // One pass, into room for the longest stored form (no byte's escape is longer than 10).
  std::size_t plain = std::strlen(value);
  int at = p.texts.size();
  if (plain >= static_cast<std::size_t>(INT_MAX / 16 - at) ||
      !p.texts.reserve(at + static_cast<int>(plain) * 10 + 1) ||
      !p.pending.push(Pending{shared, at, 0, false})) {
    lumo::nameRelease(shared);
    failMemory(p);
    return false;
  }
  bool entities = false;
  std::size_t len = lumo::escapeText(value, lumo::escapeMode(), p.texts.data() + at, &entities);
  p.texts.data()[at + len] = '\0';
  p.texts.resize(at + static_cast<int>(len) + 1);
  p.pending.top().len = static_cast<int>(len);
  p.pending.top().entities = entities;
  return true;
}

// The node of a start tag, made with every pending attribute in one block; it takes over the
// reference to its name and those of the attributes. Null with the parse failed when memory is
// refused (the references are given back then).
LumoNode *makeNode(Parser &p, const char *name, LumoNode *parent, int type) noexcept {
  int n = p.pending.size();
  std::size_t bytes = static_cast<std::size_t>(n) * sizeof(lumo::AttrRec) +
                      static_cast<std::size_t>(p.texts.size());
  LumoNode *node = lumo::nodeMake(name, true, parent, type, bytes, __LINE__);
  if (!node) {
    lumo::nameRelease(name);
    dropPending(p);
    failMemory(p);
    return nullptr;
  }
  lumo::NodeData *d = lumo::nodeData(node);
  lumo::AttrRec *recs = reinterpret_cast<lumo::AttrRec *>(d + 1);
  char *texts = reinterpret_cast<char *>(recs + n);
  if (n > 0) std::memcpy(texts, p.texts.data(), static_cast<std::size_t>(p.texts.size()));
  for (int i = 0; i < n; ++i) {
    const Pending &a = p.pending[i];
    recs[i] = lumo::AttrRec{a.name, texts + a.text, 0, a.entities ? lumo::kRecEntities : 0u};
  }
  d->attrCount = n;
  if (n >= 16) lumo::storeReindex(d);
  p.pending.clear();
  p.texts.clear();
  return node;
}

// Attributes that turn up after a node was made (a stray end tag read as an attribute) are
// appended to it one by one. False with the parse failed when memory is refused.
bool appendPending(Parser &p, LumoNode *node) noexcept {
  lumo::NodeData *d = lumo::nodeData(node);
  for (int i = 0; i < p.pending.size(); ++i) {
    Pending &a = p.pending[i];
    char *text = str_dupTagged(p.texts.data() + a.text, LUMO_TID_ATTR, "impl/attr", __LINE__);
    lumo::AttrRec rec{a.name, text, 0,
                      lumo::kRecTextOwned | (a.entities ? lumo::kRecEntities : 0u)};
    if (!text || !lumo::storeAppend(d, rec)) {
      lumo::freeText(text);
      dropPending(p);  // the names of those appended are the node's: they were cleared
      failMemory(p);
      return false;
    }
    a.name = nullptr;
  }
  p.pending.clear();
  p.texts.clear();
  return true;
}

// A node with one attribute "text"; null (and the parse failed) when memory is refused.
LumoNode *textNode(Parser &p, const char *name, LumoNode *parent, int type,
                   const char *text) noexcept {
  const char *shared = shareName(p, name, static_cast<int>(std::strlen(name)));
  if (!shared) return nullptr;
  if (!pend(p, "text", 4, text)) {
    lumo::nameRelease(shared);
    return nullptr;
  }
  return makeNode(p, shared, parent, type);
}

// A comment or processing instruction: its text is what lies between the markers, kept only
// when the closing marker starts at most kMarkupTextMax bytes after the "<". Without a closing
// marker the text is empty and the parse goes on after the opening marker.
__attribute__((noinline)) LumoNode *readMarkup(Parser &p, LumoNode *parent, const char *open,
                                               Marker which, const char *close, const char *name,
                                               int type) noexcept {
  int start = p.pos;
  int openLen = static_cast<int>(std::strlen(open));
  const char *end = findMarker(p, which, start + openLen, close);
  p.text[0] = '\0';
  if (!end) {
    p.pos = start + openLen;
  } else {
    int marker = static_cast<int>(end - p.s);
    if (marker - start <= kMarkupTextMax) {
      int n = marker - start - openLen;
      std::memcpy(p.text, p.s + start + openLen, static_cast<size_t>(n));
      p.text[n] = '\0';
    }
    p.pos = marker + static_cast<int>(std::strlen(close));
  }
  if (type == LUMO_NODE_REMARK) {
    for (char *c = p.text; *c; ++c)
      if (*c == '/' || *c == '\r' || *c == '\n' || *c == '\t') *c = ' ';
  } else if (std::strncmp(p.text, "xml ", 4) == 0 && std::strstr(p.text, "encoding") &&
             std::strstr(p.text, "UTF-8")) {
    p.doc->utf8Encoded = 1;
  }
  LumoNode *node = textNode(p, name, parent, type, p.text);
  if (node && type == LUMO_NODE_REMARK) NOTE(LUMO_TRC_S, __LINE__, "REMARK_NODE created.");
  return node;
}

// The head of the next node: a complete comment, instruction or declaration, or the name of an
// element (a shared name in *element: its node is made once its start tag is read). Null (and
// no name) at the end of the text.
__attribute__((noinline)) LumoNode *readHead(Parser &p, LumoNode *parent,
                                             const char **element) noexcept {
  *element = nullptr;
  pointing(p, __LINE__, "__parseNodeName:1");
  if (p.cur() != '<') {
    NOTE(LUMO_TRC_S, __LINE__, "__parseNodeName: s[*pIdx] != '<' s[*pIdx] = [%c]", p.cur());
    if (!readElementText(p, parent)) return nullptr;
  }
  pointing(p, __LINE__, "__parseNodeName:2");
  if (p.startsHere("<!--")) {
    NOTE(LUMO_TRC_S, __LINE__, "Remark found.");
    return readMarkup(p, parent, "<!--", kCommentEnd, "-->", "remark", LUMO_NODE_REMARK);
  }
  if (p.startsHere("<?")) {
    NOTE(LUMO_TRC_S, __LINE__, "Property found.");
    return readMarkup(p, parent, "<?", kInstructionEnd, "?>", "property", LUMO_NODE_PROPERTY);
  }
  if (p.startsHere("<!")) {
    NOTE(LUMO_TRC_S, __LINE__, "Variable found.");
    const char *end = findMarker(p, kDeclarationEnd, p.pos + 2, ">");
    p.pos = end ? static_cast<int>(end - p.s) + 1 : p.pos + 2;
    return textNode(p, "variable", parent, LUMO_NODE_VARIABLE, "");
  }
  pointing(p, __LINE__, "__parseNodeName:3");
  ++p.pos;
  int len = readName(p, kElementNameStops);
  pointing(p, __LINE__, "__parseNodeName:4");
  if (!p.cur()) return nullptr;
  *element = shareName(p, p.name, len);
  if (!*element) return nullptr;
  NOTE(LUMO_TRC_S, __LINE__, "__parseNodeName = [%s]", p.name);
  NOTE(LUMO_TRC_S, __LINE__, "ELEMENT_NODE created.");
  return nullptr;
}

// Makes room for a value of length bytes and its terminator, in steps of kValueStep up to
// kValueMax; false with the parse failed when memory is refused.
bool growValue(Parser &p, int length) noexcept {
  if (length + 1 <= p.valueCap) return true;
  int cap = (length + kValueStep) / kValueStep * kValueStep;
  void *fresh = lumo::growBlock(p.value, cap, kTid, kSource, __LINE__);
  if (!fresh) {
    failMemory(p);
    return false;
  }
  p.value = static_cast<char *>(fresh);
  p.valueCap = cap;
  return true;
}

// One attribute, name="value", read into the pending list. A value that is not closed, or that
// does not fit, is traced and gives no attribute; the node goes on from where the reading
// stopped. The parse fails when memory is refused.
__attribute__((noinline)) void readAttribute(Parser &p) noexcept {
  int nameLen = readName(p, kAttributeNameStops);
  if (nameLen == 0) return;
  skipSpace(p);
  if (!growValue(p, 0)) return;
  int length = 0;
  if (p.cur() == '=' && p.next() == '"') {
    p.pos += 2;
    // The value runs to the next double quote; the text's end or the length limit come first
    // when they come sooner.
    const char *start = p.s + p.pos;
    const char *quote = std::strchr(start, '"');
    std::size_t n = quote ? static_cast<std::size_t>(quote - start) : std::strlen(start);
    if (n >= static_cast<std::size_t>(kValueMax)) {
      p.pos += kValueMax - 1;
      NOTE(LUMO_TRC_E, __LINE__,
           "Parser error at %d: attribut value exceeds the maximum length of %d", p.pos,
           kValueMax);
      return;
    }
    length = static_cast<int>(n);
    if (!quote) {
      p.pos += length;
      NOTE(LUMO_TRC_E, __LINE__,
           "Parser error at %d: encountered string-termination-symbol while reading an "
           "attribut value.",
           p.pos);
      return;
    }
    if (!growValue(p, length)) return;
    std::memcpy(p.value, start, n);
    p.pos += length + 1;
    p.value[length] = '\0';
    NOTE(LUMO_TRC_S, __LINE__, "val = [%s]", p.value);
  } else if (p.cur() == '=') {
    ++p.pos;
  }
  p.value[length] = '\0';
  if (p.doc->utf8Encoded && doc_isUTF2Latin()) {
    char *latin = SystemOp.utf2latin(p.value);  // null only when memory is refused
    if (!latin) {
      failMemory(p);
      return;
    }
    pend(p, p.name, nameLen, latin);
    str_freeStr(latin);
  } else {
    pend(p, p.name, nameLen, p.value);
  }
}

// Whether the text at the position is "</" and the name, compared over the name's length with
// case ignored.
bool atEndTag(const Parser &p, const char *name) noexcept {
  if (p.cur() != '<' || p.next() != '/') return false;
  for (int i = 0; name[i]; ++i) {
    unsigned char a = p.at(p.pos + 2 + i), b = static_cast<unsigned char>(name[i]);
    if (a == 0 || lowerAscii(a) != lowerAscii(b)) return false;
  }
  return true;
}

// Gives up the element being read: its node or its name, its pending attributes and the
// children read so far. Always null.
LumoNode *abandon(Parser &p, LumoNode *node, const char *name, int base) noexcept {
  for (int i = base; i < p.children.size(); ++i) NodeOp.del(p.children[i]);
  p.children.resize(base);
  dropPending(p);
  lumo::nameRelease(name);
  NodeOp.del(node);
  return nullptr;
}

// The element's node with every attribute read so far: made on first need, appended to after.
bool settle(Parser &p, LumoNode **node, const char **name, LumoNode *parent) noexcept {
  if (*node) return p.pending.empty() || appendPending(p, *node);
  *node = makeNode(p, *name, parent, LUMO_NODE_ELEMENT);
  *name = nullptr;  // the node's now, or given back
  return *node != nullptr;
}

// The element is complete: its children go to it in one list. Null when memory is refused.
LumoNode *finish(Parser &p, LumoNode *node, int base) noexcept {
  int count = p.children.size() - base;
  if (!lumo::nodeSetChildren(node, p.children.data() + base, count)) {
    failMemory(p);
    return abandon(p, node, nullptr, base);
  }
  p.children.resize(base);
  return node;
}

// Reads one node and, for an element, its attributes, element text and children up to its end
// tag. Null at the end of the text or on an error (then p.error is set and nothing is left of
// what this call built). Kept small: it is the one function that recurses per level.
LumoNode *parseNode(Parser &p, int level, LumoNode *parent) noexcept {
  NOTE(LUMO_TRC_S, __LINE__, "ParseLevel = %d", level);
  int start = p.pos;
  const char *name = nullptr;
  LumoNode *node = readHead(p, parent, &name);
  if (!name) return node;
  if (level > LUMO_DOC_MAX_DEPTH) {
    NOTE(LUMO_TRC_E, __LINE__,
         "Parser error at %d: element nesting exceeds the maximum depth of %d", start,
         LUMO_DOC_MAX_DEPTH);
    fail(p, start);
    lumo::nameRelease(name);
    return nullptr;
  }
  const int base = p.children.size();
  for (;;) {
    int passStart = p.pos;
    if (!skipSpace(p)) break;
    readAttribute(p);
    if (p.error) return abandon(p, node, name, base);
    if (p.cur() == '>') {
      ++p.pos;
      if (!settle(p, &node, &name, parent)) return abandon(p, node, name, base);
      pointing(p, __LINE__, "_parse:0");
      bool more = readElementText(p, node);
      while (more && !p.error && p.next() != '/') {
        NOTE(LUMO_TRC_S, __LINE__, "Looking for childnodes...");
        LumoNode *child = parseNode(p, level + 1, node);
        if (!child || p.error) {
          NodeOp.del(child);
          if (!p.error) failEof(p);  // the text ended inside the child's start tag
          return abandon(p, node, name, base);
        }
        if (!p.children.push(child)) {
          NodeOp.del(child);
          failMemory(p);
          return abandon(p, node, name, base);
        }
        pointing(p, __LINE__, "_parse:1");
        // The text may end after a complete child: that leaves this element open.
        more = !p.error && readElementText(p, node);
        if (!more || p.error) {
          if (!p.error) failEof(p);
          return abandon(p, node, name, base);
        }
      }
      if (p.error) return abandon(p, node, name, base);
      pointing(p, __LINE__, "_parse:2");
    } else if (p.cur() == '/' && p.next() == '>') {
      p.pos += 2;
      if (!settle(p, &node, &name, parent)) return abandon(p, node, name, base);
      NOTE(LUMO_TRC_S, __LINE__, "End (inline) of node [%s].", node_getName(node));
      return finish(p, node, base);
    }
    if (!skipSpace(p)) break;
    pointing(p, __LINE__, "_parse:3", "\n");
    const char *own = node ? node_getName(node) : name;
    if (atEndTag(p, own)) {
      p.pos += 2 + static_cast<int>(std::strlen(own));
      if (!settle(p, &node, &name, parent)) return abandon(p, node, name, base);
      NOTE(LUMO_TRC_S, __LINE__, "End of node [%s].", own);
      return finish(p, node, base);
    }
    if (p.pos == passStart) {
      failAtLine(p);
      return abandon(p, node, name, base);
    }
  }
  failEof(p);
  return abandon(p, node, name, base);
}

}  // namespace

LumoDoc *doc_parseErr(const char *text, int *errPos) noexcept {
  return lumo::doc_parseText(text, errPos, nullptr);
}

LumoDoc *lumo::doc_parseText(const char *text, int *errPos, bool *refused) noexcept {
  if (refused) *refused = false;
  if (!text || !*text) return nullptr;
  if (std::strlen(text) >= static_cast<std::size_t>(INT_MAX)) {
    NOTE(LUMO_TRC_E, __LINE__, "Parser error at %d: text exceeds the maximum length of %d", 0,
         INT_MAX - 1);
    if (errPos) *errPos = 0;
    return nullptr;
  }
  LumoDoc *doc = lumo::doc_newDocument(__LINE__);
  if (!doc) {
    if (refused) *refused = true;
    return nullptr;
  }
  NOTE(LUMO_TRC_S, __LINE__, "Parsing started, input: %-20.20s...", text);

  Parser p;
  p.s = text;
  p.doc = static_cast<lumo::DocData *>(doc->data);
  LumoNode *root = nullptr;
  for (;;) {
    LumoNode *node = parseNode(p, 1, nullptr);
    if (!node) {
      NOTE(LUMO_TRC_S, __LINE__, "childNode == NULL");
      break;
    }
    int type = NodeOp.getType(node);
    if (!root && type == LUMO_NODE_ELEMENT) {
      root = node;
      NOTE(LUMO_TRC_S, __LINE__, "Found rootnode [%s].", NodeOp.getName(node));
    } else {
      NOTE(LUMO_TRC_S, __LINE__, "Adding [%s][type=%d] to document.", NodeOp.getName(node), type);
      if (!node_appendChild(p.doc->docNode, node)) {
        failMemory(p);
        break;
      }
    }
  }
  if (p.value) mem_freeTID(p.value, kTid, kSource, __LINE__);

  if (p.error) {
    if (errPos) *errPos = p.errPos;
    if (refused) *refused = p.refused;
    NodeOp.del(root);
    DocOp.del(doc);
    return nullptr;
  }
  p.doc->rootNode = root;
  return doc;
}
