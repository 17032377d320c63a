// lumo: the node tree: named elements with ordered attributes and children, made, copied and
// deleted as whole trees. The attributes live in node_attrs.cpp, the merge of one tree into
// another in node_merge.cpp; text forms come from the document module.
#include "node.hpp"

#include <lumo/doc.h>
#include <lumo/mutex.h>
#include <lumo/trace.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <new>

#include "attr.hpp"
#include "buffer.hpp"
#include "doc.hpp"
#include "mem.hpp"
#include "names.hpp"
#include "node_data.hpp"
#include "object.hpp"
#include "str.hpp"

using lumo::AttrRec;
using lumo::ChildHead;
using lumo::NodeData;
using lumo::NodeExtra;

namespace {

constexpr int kTid = lumo::kNodeTid;
constexpr const char *kSource = lumo::kNodeSource;
constexpr const char *kObject = lumo::kNodeObject;

lumo::ClassInfo nodeClass{"ONode", kTid, kSource};

NodeData *nodeOf(LumoNode *node) noexcept { return lumo::nodeData(node); }

using lumo::orEmpty;

void freeBlock(void *p, int line) noexcept { lumo::nodeFree(p, line); }

}  // namespace

// ---- child blocks ----

LumoNode **lumo::nodeChildBlock(int cap) noexcept {
  if (cap > (INT_MAX - static_cast<int>(sizeof(ChildHead))) / static_cast<int>(sizeof(LumoNode *)))
    return nullptr;
  int bytes = static_cast<int>(sizeof(ChildHead)) + cap * static_cast<int>(sizeof(LumoNode *));
  void *raw = mem_allocTID(bytes, kTid, kSource, __LINE__);
  if (!raw) return nullptr;
  ChildHead *head = new (raw) ChildHead;
  head->cap = cap;
  head->hint.store(0, std::memory_order_relaxed);
  return reinterpret_cast<LumoNode **>(head + 1);
}

void lumo::nodeChildFree(LumoNode **childs) noexcept {
  if (childs) freeBlock(lumo::childHead(childs), __LINE__);
}

namespace {

// Room for n children in all: the list moves to a block of exactly that many.
bool reserveChildren(NodeData *d, int n) noexcept {
  if (n <= (d->childs ? lumo::childHead(d->childs)->cap : 0)) return true;
  LumoNode **fresh = lumo::nodeChildBlock(n);
  if (!fresh) return false;
  if (d->childs) {
    std::memcpy(fresh, d->childs, static_cast<std::size_t>(d->childCount) * sizeof(LumoNode *));
    lumo::nodeChildFree(d->childs);
  }
  d->childs = fresh;
  return true;
}

// The node takes the child over, so one it cannot hold is deleted rather than lost. A full list
// grows by half its size (nothing outside the node sees its capacity), so building a node of n
// children costs O(n) copies, not O(n^2).
bool appendChild(LumoNode *node, LumoNode *child) noexcept {
  NodeData *d = nodeOf(node);
  if (!d || !child) return false;
  int count = d->childCount;
  bool room = d->childs && count < lumo::childHead(d->childs)->cap;
  if (!room && (count >= INT_MAX / static_cast<int>(sizeof(LumoNode *)) / 2 - 4 ||
                !reserveChildren(d, count < 4 ? 4 : count + count / 2))) {
    node_del(child);
    return false;
  }
  d->childs[d->childCount++] = child;
  return true;
}

// The position of the first child whose name equals name ignoring case, or -1.
int firstChildNamed(NodeData *d, const char *name) noexcept {
  for (int i = 0; i < d->childCount; ++i)
    if (str_equalsi(node_getName(d->childs[i]), name)) return i;
  return -1;
}

void traceMissingChild(NodeData *d, const char *name) noexcept {
  TraceOp.trc(kObject, LUMO_TRC_S, __LINE__, LUMO_TRC_CODE, "Child node [%s] not found in node [%s].",
              orEmpty(name), orEmpty(d->name));
}

// Releases what the node itself owns besides its children, then the node.
void releaseNode(LumoNode *node, NodeData *d) noexcept {
  lumo::storeClear(d);
  NodeExtra *x = lumo::extraOf(d);
  if (x) {
    LumoMutex *mux = x->mux.exchange(nullptr);
    if (mux) MutexOp.del(mux);
    freeBlock(x->element, __LINE__);
    x->~NodeExtra();
    freeBlock(x, __LINE__);
  }
  if (d->flags & lumo::kNodeNameShared) lumo::nameRelease(d->name);
  lumo::nodeChildFree(d->childs);
  lumo::freeInstanceBlock<NodeData>(node, nodeClass, __LINE__);
}

// The node with its name and copies of its attributes, without children, in one block. Each
// copy is the attribute's clone: its stored text escaped again by the switches of the moment,
// as a new attribute made with that text would hold it.
LumoNode *shallowClone(LumoNode *node) noexcept {
  NodeData *d = nodeOf(node);
  const AttrRec *recs = lumo::recordsOf(d);
  const lumo::EscapeMode mode = lumo::escapeMode();
  std::size_t bytes = static_cast<std::size_t>(d->attrCount) * sizeof(AttrRec);
  for (int i = 0; i < d->attrCount; ++i) {
    bool entities = false;
    bytes += lumo::escapeText(orEmpty(recs[i].text), mode, nullptr, &entities) + 1;
  }
  bool shared = (d->flags & lumo::kNodeNameShared) != 0;
  LumoNode *copy = lumo::nodeMake(d->name, shared, nullptr, LUMO_NODE_ELEMENT, bytes, __LINE__);
  if (!copy) return nullptr;
  if (shared) lumo::nameRetain(d->name);
  NodeData *cd = nodeOf(copy);
  AttrRec *to = reinterpret_cast<AttrRec *>(cd + 1);
  char *text = reinterpret_cast<char *>(to + d->attrCount);
  for (int i = 0; i < d->attrCount; ++i) {
    bool entities = false;
    std::size_t len = lumo::escapeText(orEmpty(recs[i].text), mode, text, &entities);
    text[len] = '\0';
    lumo::nameRetain(recs[i].name);
    to[i] = AttrRec{recs[i].name, text, 0, entities ? lumo::kRecEntities : 0u};
    text += len + 1;
  }
  cd->attrCount = d->attrCount;
  lumo::storeReindex(cd);
  return copy;
}

}  // namespace

// ---- creation and the walks over whole trees ----

namespace lumo {

LumoNode *nodeMake(const char *name, bool nameShared, LumoNode *parent, int type,
                   std::size_t bytes, int line) noexcept {
  std::size_t nameBytes = name && !nameShared ? std::strlen(name) + 1 : 0;
  if (bytes > static_cast<std::size_t>(INT_MAX / 2) || nameBytes > static_cast<std::size_t>(INT_MAX / 2))
    return nullptr;
  NodeData *d = nullptr;
  LumoNode *node = newInstanceBlock<NodeData>(NodeOp, nodeClass, line, &d, bytes + nameBytes);
  if (!node) return nullptr;
  if (nameShared) {
    d->name = name;
    d->flags = kNodeNameShared;
  } else if (name) {
    char *own = reinterpret_cast<char *>(d + 1) + bytes;
    std::memcpy(own, name, nameBytes);
    d->name = own;
  }
  d->parent = parent;
  d->type = type;
  countInstance(nodeClass);
  return node;
}

NodeExtra *nodeExtra(NodeData *d) noexcept {
  NodeExtra *x = extraOf(d);
  if (x) return x;
  void *raw = mem_allocTID(static_cast<int>(sizeof(NodeExtra)), kTid, kSource, __LINE__);
  if (!raw) return nullptr;
  NodeExtra *fresh = new (raw) NodeExtra;
  // A first wait on another thread may make one at the same moment: one of them stays.
  if (d->extra.compare_exchange_strong(x, fresh, std::memory_order_acq_rel)) return fresh;
  fresh->~NodeExtra();
  freeBlock(fresh, __LINE__);
  return x;
}

bool nodeSetChildren(LumoNode *node, LumoNode *const *children, int count) noexcept {
  NodeData *d = nodeOf(node);
  if (count == 0) return true;
  LumoNode **block = lumo::nodeChildBlock(count);
  if (!block) return false;
  std::memcpy(block, children, static_cast<std::size_t>(count) * sizeof(LumoNode *));
  d->childs = block;
  d->childCount = count;
  return true;
}

}  // namespace lumo

LumoNode *node_inst(const char *name, LumoNode *parent, int type) noexcept {
  return lumo::nodeMake(name, false, parent, type, 0, __LINE__);
}

// The subtree is walked through a work list threaded through the parent fields of the nodes
// being deleted: no recursion, no allocation, any depth.
void node_del(LumoNode *node) noexcept {
  NodeData *d = nodeOf(node);
  if (!d) return;
  d->parent = nullptr;
  LumoNode *pending = node;
  while (pending) {
    LumoNode *n = pending;
    NodeData *nd = nodeOf(n);
    pending = nd->parent;
    for (int i = 0; i < nd->childCount; ++i) {
      NodeData *cd = nodeOf(nd->childs[i]);
      if (!cd) continue;
      cd->parent = pending;
      pending = nd->childs[i];
    }
    releaseNode(n, nd);
  }
}

LumoNode *node_clone(LumoNode *node) noexcept {
  if (!nodeOf(node)) return nullptr;
  LumoNode *root = shallowClone(node);
  if (!root) return nullptr;
  struct Frame {
    LumoNode *source;
    LumoNode *copy;
    int next;
  };
  lumo::Buffer<Frame> stack(kTid, kSource);
  bool ok = reserveChildren(nodeOf(root), nodeOf(node)->childCount) && stack.push({node, root, 0});
  while (ok && !stack.empty()) {
    Frame &f = stack.top();
    NodeData *sd = nodeOf(f.source);
    if (f.next >= sd->childCount) {
      stack.pop();
      continue;
    }
    LumoNode *child = sd->childs[f.next++];
    LumoNode *copy = shallowClone(child);
    ok = copy && appendChild(f.copy, copy) &&
         reserveChildren(nodeOf(copy), nodeOf(child)->childCount) && stack.push({child, copy, 0});
  }
  if (!ok) {
    node_del(root);
    return nullptr;
  }
  return root;
}

// ---- children ----

void node_addChild(LumoNode *node, LumoNode *child) noexcept { node_appendChild(node, child); }

bool node_appendChild(LumoNode *node, LumoNode *child) noexcept { return appendChild(node, child); }

LumoNode *node_findNode(LumoNode *node, const char *name) noexcept {
  NodeData *d = nodeOf(node);
  if (!d) return nullptr;
  int i = firstChildNamed(d, name);
  if (i >= 0) return d->childs[i];
  traceMissingChild(d, name);
  return nullptr;
}

// Callers walk the children of one name with findNode and then findNextNode on each result;
// the hint makes finding the given child a single step in that walk instead of a scan.
LumoNode *node_findNextNode(LumoNode *node, LumoNode *child) noexcept {
  NodeData *d = nodeOf(node);
  if (!d || !child || !d->childs) return nullptr;
  std::atomic<int> &hint = lumo::childHead(d->childs)->hint;
  int i = hint.load(std::memory_order_relaxed);
  if (i < 0 || i >= d->childCount || d->childs[i] != child) {
    i = 0;
    while (i < d->childCount && d->childs[i] != child) ++i;
  }
  const char *name = node_getName(child);
  for (++i; i < d->childCount; ++i)
    if (str_equalsi(node_getName(d->childs[i]), name)) {
      hint.store(i, std::memory_order_relaxed);
      return d->childs[i];
    }
  return nullptr;
}

LumoNode *node_getChild(LumoNode *node, int index) noexcept {
  NodeData *d = nodeOf(node);
  return d && index >= 0 && index < d->childCount ? d->childs[index] : nullptr;
}

int node_getChildCnt(LumoNode *node) noexcept {
  NodeData *d = nodeOf(node);
  return d ? d->childCount : 0;
}

LumoNode *node_getNode(LumoNode *node, const char *name) noexcept {
  if (!nodeOf(node)) return nullptr;
  LumoNode *child = node_findNode(node, name);
  if (child) return child;
  child = node_inst(name, node, LUMO_NODE_ELEMENT);
  return child && appendChild(node, child) ? child : nullptr;
}

LumoNode *node_removeChild(LumoNode *node, LumoNode *child) noexcept {
  NodeData *d = nodeOf(node);
  if (!d || !child) return nullptr;
  for (int i = 0; i < d->childCount; ++i)
    if (d->childs[i] == child) {
      std::memmove(d->childs + i, d->childs + i + 1,
                   static_cast<std::size_t>(d->childCount - i - 1) * sizeof(LumoNode *));
      d->childs[--d->childCount] = nullptr;
      return child;
    }
  return nullptr;
}

// ---- the node's own fields ----

const char *node_getElement(LumoNode *node) noexcept {
  NodeData *d = nodeOf(node);
  NodeExtra *x = d ? lumo::extraOf(d) : nullptr;
  return x ? x->element : nullptr;
}

const char *node_getName(LumoNode *node) noexcept {
  NodeData *d = nodeOf(node);
  return d ? orEmpty(d->name) : "";
}

LumoNode *node_getParent(LumoNode *node) noexcept {
  NodeData *d = nodeOf(node);
  return d ? d->parent : nullptr;
}

int node_getType(LumoNode *node) noexcept {
  NodeData *d = nodeOf(node);
  return d ? d->type : 0;
}

void node_setElement(LumoNode *node, const char *text) noexcept { node_putElement(node, text); }

bool node_putElement(LumoNode *node, const char *text) noexcept {
  NodeData *d = nodeOf(node);
  if (!d) return false;
  NodeExtra *x = lumo::extraOf(d);
  if (!text && !x) return true;
  x = lumo::nodeExtra(d);
  if (!x) return false;
  char *copy = str_dupTagged(text, kTid, kSource, __LINE__);
  if (text && !copy) return false;
  freeBlock(x->element, __LINE__);
  x->element = copy;
  return true;
}

void node_setName(LumoNode *node, const char *name) noexcept {
  NodeData *d = nodeOf(node);
  if (!d) return;
  const char *fresh = name ? lumo::nameNew(name, std::strlen(name)) : nullptr;
  if (name && !fresh) return;
  if (d->flags & lumo::kNodeNameShared) lumo::nameRelease(d->name);
  d->name = fresh;
  d->flags = name ? d->flags | lumo::kNodeNameShared : d->flags & ~lumo::kNodeNameShared;
}

void node_setParent(LumoNode *node, LumoNode *parent) noexcept {
  NodeData *d = nodeOf(node);
  if (d) d->parent = parent;
}

void node_setType(LumoNode *node, int type) noexcept {
  NodeData *d = nodeOf(node);
  if (d) d->type = type;
}

void node_triggerSkipMerge(LumoNode *node) noexcept {
  NodeData *d = nodeOf(node);
  if (d) d->flags |= lumo::kNodeSkipMerge;
}

// ---- coordination between threads ----

int node_post(LumoNode *node) noexcept {
  NodeData *d = nodeOf(node);
  NodeExtra *x = d ? lumo::extraOf(d) : nullptr;
  LumoMutex *mux = x ? x->mux.load(std::memory_order_acquire) : nullptr;
  return mux ? MutexOp.post(mux) : 0;
}

int node_wait(LumoNode *node, int timeoutMs) noexcept {
  NodeData *d = nodeOf(node);
  NodeExtra *x = d ? lumo::nodeExtra(d) : nullptr;
  if (!x) return 0;
  LumoMutex *mux = x->mux.load(std::memory_order_acquire);
  if (!mux) {
    LumoMutex *fresh = MutexOp.inst(nullptr, 1);
    if (!fresh) return 0;
    // Two first waits at once must end up on the same mutex.
    if (x->mux.compare_exchange_strong(mux, fresh, std::memory_order_acq_rel))
      mux = fresh;
    else
      MutexOp.del(fresh);
  }
  return MutexOp.trywait(mux, timeoutMs);
}

// ---- text forms ----

char *node_toEscString(LumoNode *node) noexcept { return DocOp.node2String(node, 1); }

namespace {

// The parsed root's contents replace the node's own; the node keeps its parent, its mutex and
// a pending skip of the next merge. A text that yields no root, or memory refused on the way,
// leaves the node as it was. What lay in the root's block is copied; the rest changes hands.
void takeOver(LumoNode *node, const char *text) noexcept {
  NodeData *d = nodeOf(node);
  if (!d || !text) return;
  LumoDoc *doc = DocOp.parse(text);
  if (!doc) return;
  LumoNode *root = DocOp.getRootNode(doc);
  DocOp.del(doc);
  NodeData *rd = nodeOf(root);
  if (!rd) return;
  NodeExtra *rx = lumo::extraOf(rd);
  bool rootNameShared = (rd->flags & lumo::kNodeNameShared) != 0;
  const char *name = rd->name && !rootNameShared ? lumo::nameNew(rd->name, std::strlen(rd->name))
                                                 : rd->name;
  int n = rd->attrCount;
  AttrRec *recs = n > 0 ? static_cast<AttrRec *>(mem_allocTID(
                              n * static_cast<int>(sizeof(AttrRec)), kTid, kSource, __LINE__))
                        : nullptr;
  bool ok = (name || !rd->name) && (recs || n == 0) && lumo::nodeExtra(d);
  const AttrRec *from = lumo::recordsOf(rd);
  int copied = 0;
  for (; ok && copied < n; ++copied) {
    AttrRec r = from[copied];
    r.aux = 0;
    if (!(r.bits & lumo::kRecTextOwned)) {
      char *own = str_dupTagged(orEmpty(r.text), LUMO_TID_ATTR, "impl/attr", __LINE__);
      if (!own) break;
      r.text = own;
      r.bits |= lumo::kRecTextOwned;
    }
    recs[copied] = r;
  }
  if (!ok || copied < n) {
    for (int i = 0; i < copied; ++i)
      if (!(from[i].bits & lumo::kRecTextOwned)) lumo::freeText(recs[i].text);
    freeBlock(recs, __LINE__);
    if (!rootNameShared) lumo::nameRelease(name);
    node_del(root);
    return;
  }
  // Nothing can fail from here on: the node lets go of its own contents and takes the root's.
  lumo::storeClear(d);
  for (int i = 0; i < d->childCount; ++i) node_del(d->childs[i]);
  lumo::nodeChildFree(d->childs);
  if (d->flags & lumo::kNodeNameShared) lumo::nameRelease(d->name);
  NodeExtra *x = lumo::extraOf(d);
  freeBlock(x->element, __LINE__);
  x->element = rx ? rx->element : nullptr;
  if (rx) rx->element = nullptr;
  d->name = name;
  d->flags = (d->flags & lumo::kNodeSkipMerge) | (name ? lumo::kNodeNameShared : 0u);
  if (n > 0) {
    x->attrs = recs;
    x->attrCap = n;
    d->flags |= lumo::kNodeAttrsOut;
  }
  d->attrCount = n;
  d->type = rd->type;
  d->childs = rd->childs;
  d->childCount = rd->childCount;
  for (int i = 0; i < d->childCount; ++i) node_setParent(d->childs[i], node);
  lumo::storeReindex(d);
  // The root keeps nothing that went over: its records' names and texts, children and name.
  rd->attrCount = 0;
  rd->childs = nullptr;
  rd->childCount = 0;
  if (rootNameShared) rd->name = nullptr;
  node_del(root);
}

struct Impl : lumo::Base<LumoNode, nodeClass> {
  static void del(LumoNode *node) noexcept { node_del(node); }
  static char *toString(LumoNode *node) noexcept { return DocOp.node2String(node, 0); }
  static unsigned char *serialize(LumoNode *node, int *length) noexcept {
    char *text = DocOp.node2String(node, 1);
    if (length) *length = text ? str_len(text) : 0;
    return reinterpret_cast<unsigned char *>(text);
  }
  static void deserialize(LumoNode *node, const unsigned char *image) noexcept {
    takeOver(node, reinterpret_cast<const char *>(image));
  }
  static LumoNode *clone(LumoNode *node) noexcept { return node_clone(node); }
};

}  // namespace

const LumoNode NodeOp = {LUMO_BASE_INIT(Impl), LUMO_NODE_OPS(LUMO_SLOT_INIT_PREFIXED, node_)};

LUMO_CHECK_TABLE(LumoNode, LUMO_NODE_OPS, lumo::kOwnSlotsAt);
