// lumo: the XML serializer: a node tree as text, in plain form (stored attribute text) or in
// serialization form (declaration line first, attribute values converted for UTF-8 output).
//
// The text grows in one buffer that doubles when full, so writing costs time in proportion to
// its length; the tree is walked with a stack of its own, so no depth of tree built through the
// API can exhaust a thread's stack.
#include <climits>
#include <cstring>

#include <lumo/system.h>
#include <lumo/trace.h>

#include "attr.hpp"
#include "buffer.hpp"
#include "doc.hpp"
#include "mem.hpp"
#include "node.hpp"
#include "node_data.hpp"
#include "str.hpp"

namespace {

constexpr const char *kObject = "ODoc";
constexpr const char *kSource = "impl/doc";
constexpr int kTid = LUMO_TID_DOC;

// The result text: a string block (the caller frees it through the string module).
struct Out {
  char *buf = nullptr;
  int len = 0;
  int cap = 0;
  bool failed = false;

  bool reserve(int more) noexcept {
    if (failed) return false;
    if (more < INT_MAX - len && len + more < cap) return true;
    if (more >= INT_MAX / 2 - len) {
      failed = true;
      return false;
    }
    int want = cap ? cap : 256;
    while (want <= len + more) want *= 2;
    void *fresh = lumo::growBlock(buf, want, LUMO_TID_STRING, kSource, __LINE__);
    if (!fresh) {
      failed = true;
      return false;
    }
    buf = static_cast<char *>(fresh);
    cap = want;
    return true;
  }
  void put(const char *text, int n) noexcept {
    if (n <= 0 || !reserve(n)) return;
    std::memcpy(buf + len, text, static_cast<size_t>(n));
    len += n;
    buf[len] = '\0';
  }
  void put(const char *text) noexcept {
    if (text) put(text, static_cast<int>(std::strlen(text)));
  }
  void indent(int level) noexcept {
    for (int i = 0; i < level; ++i) put("  ", 2);
  }
  // The finished text, or null (and the buffer released) when memory was refused.
  char *take() noexcept {
    if (!failed && !buf) reserve(0);
    if (failed) {
      if (buf) str_freeStr(buf);
      return nullptr;
    }
    return buf;
  }
};

// The nodes whose end tag is still to be written, each with the index of its next child.
struct Frame {
  LumoNode *node;
  int next;
};

// Writes the start tag and attributes of node at level. When the node has children (or an
// empty element text that is written as a start and end tag pair), leaves it open: the caller
// then writes the children and the end tag. True when the node was left open.
bool openNode(Out &out, LumoNode *node, int level, bool converts, bool elementval) noexcept {
  lumo::NodeData *d = lumo::nodeData(node);
  const char *name = node_getName(node);
  out.indent(level);
  out.put("<", 1);
  out.put(name);
  const lumo::AttrRec *recs = d ? lumo::recordsOf(d) : nullptr;
  const int attrs = d ? d->attrCount : 0;
  for (int i = 0; i < attrs; ++i) {
    const char *text = recs[i].text ? recs[i].text : "";
    char *utf = nullptr;
    if (converts) {
      // Without the attribute's text the document would silently lose it: the whole text fails.
      utf = SystemOp.latin2utf(text);
      if (!utf) {
        out.failed = true;
        break;
      }
      text = utf;
    }
    out.put(" ", 1);
    out.put(recs[i].name);
    out.put("=\"", 2);
    out.put(text);
    out.put("\"", 1);
    if (utf) str_freeStr(utf);
  }
  const char *element = node_getElement(node);
  if (node_getChildCnt(node) == 0 && (!elementval || !element)) {
    out.put("/>\n", 3);
    return false;
  }
  if (elementval && element && *element) {
    out.put(">", 1);
    out.put(element);
    out.put("</", 2);
    out.put(name);
    out.put(">\n", 2);
    TraceOp.trc(kObject, LUMO_TRC_S, __LINE__, LUMO_TRC_CODE, "set node %s element to [%s]", name,
                element);
    return false;
  }
  out.put(">\n", 2);
  return true;
}

}  // namespace

char *doc_node2String(LumoNode *node, int serialization) noexcept {
  Out out;
  if (!node) return out.take();
  bool elementval = doc_isXMLElementVal() != 0;
  if (serialization && doc_isXMLProlog()) {
    char *prolog = doc_getEncodingProperty();
    if (!prolog) out.failed = true;  // a document without its declaration reads differently
    out.put(prolog);
    out.put("\n", 1);
    str_freeStr(prolog);
  }
  // Only the serialization form converts values, and only for UTF-8 output from Latin text.
  const bool converts = serialization && doc_isUTF8Encoding() && doc_isUTF2Latin();
  lumo::Buffer<Frame> open(kTid, kSource);
  if (openNode(out, node, 0, converts, elementval) && !open.push(Frame{node, 0})) out.failed = true;
  while (!open.empty() && !out.failed) {
    Frame &top = open.top();
    if (top.next < node_getChildCnt(top.node)) {
      LumoNode *child = node_getChild(top.node, top.next++);
      if (child && openNode(out, child, open.size(), converts, elementval) &&
          !open.push(Frame{child, 0}))
        out.failed = true;
      continue;
    }
    out.indent(open.size() - 1);
    out.put("</", 2);
    out.put(node_getName(top.node));
    out.put(">\n", 2);
    open.pop();
  }
  return out.take();
}
