// lumo: the node tree: named elements with ordered attributes and children, the typed attribute
// accessors that configuration and commands are read through, and the merge of one tree into
// another. Text forms come from the document module.
#include "node.hpp"

#include <lumo/doc.h>
#include <lumo/mutex.h>
#include <lumo/trace.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <initializer_list>

#include "attr.hpp"
#include "doc.hpp"
#include "mem.hpp"
#include "object.hpp"
#include "str.hpp"

namespace {

constexpr int kTid = LUMO_TID_NODE;
constexpr const char *kSource = "impl/node";
constexpr const char *kObject = "ONode";
constexpr const char *kForceRecursive = "__forcerecursive__";

lumo::ClassInfo nodeClass{"ONode", kTid, kSource};

struct NodeData {
  char *name = nullptr;
  char *element = nullptr;
  int type = 0;
  int attrCount = 0;
  int childCount = 0;
  LumoNode *parent = nullptr;  // not owned; reused as the work-list link while a tree is deleted
  LumoAttr **attrs = nullptr;
  // Exact-name look-up of the attributes (see findByName): null while the node has few.
  int *attrIndex = nullptr;
  int indexCap = 0;
  LumoNode **childs = nullptr;
  int attrCap = 0;  // slots allocated in attrs and childs
  int childCap = 0;
  // Made by the first wait, which any thread may call: it is published once, atomically.
  std::atomic<LumoMutex *> mux{nullptr};
  int skipMerge = 0;
};

NodeData *dataOf(LumoNode *node) noexcept { return lumo::dataOf<NodeData>(node); }

const char *orEmpty(const char *s) noexcept { return s ? s : ""; }

char *dupText(const char *text, int line) noexcept {
  return str_dupTagged(text, kTid, kSource, line);
}

void freeBlock(void *p, int line) noexcept {
  if (p) mem_freeTID(p, kTid, kSource, line);
}

// Appends one entry. The array grows by half its size when full (nothing outside the node sees
// its capacity), so building a node of n entries costs O(n) copies, not O(n^2).
template <class T>
bool appendSlot(T **&array, int &count, int &capacity, T *item) noexcept {
  if (count >= capacity) {
    if (count >= INT_MAX / static_cast<int>(sizeof(T *)) / 2 - 4) return false;
    int grown = count < 4 ? 4 : count + count / 2;
    int size = grown * static_cast<int>(sizeof(T *));
    void *fresh = array ? mem_realloc(array, size, kSource, __LINE__)
                        : mem_allocTID(size, kTid, kSource, __LINE__);
    if (!fresh) return false;
    array = static_cast<T **>(fresh);
    capacity = grown;
  }
  array[count++] = item;
  return true;
}

// ---- the attribute look-up index ----
//
// The look-up finds the latest added attribute of a name that the node still holds; an empty or
// missing name finds nothing. A node with few attributes is searched from its last attribute
// backwards; from kIndexFrom attributes on, an open-addressing table of positions (the latest
// position of each name) answers instead, rebuilt whenever an attribute goes.
constexpr int kIndexFrom = 16;

unsigned nameHash(const char *name) noexcept {
  unsigned h = 2166136261u;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p; ++p)
    h = (h ^ *p) * 16777619u;
  return h;
}

void dropIndex(NodeData *d) noexcept {
  freeBlock(d->attrIndex, __LINE__);
  d->attrIndex = nullptr;
  d->indexCap = 0;
}

// Enters position pos under its attribute's name, replacing an earlier position of that name.
void indexPut(NodeData *d, int pos) noexcept {
  const char *name = attr_getName(d->attrs[pos]);
  if (!name) return;
  unsigned mask = static_cast<unsigned>(d->indexCap - 1);
  for (unsigned i = nameHash(name) & mask;; i = (i + 1) & mask) {
    int slot = d->attrIndex[i];
    if (slot == 0 || str_equals(attr_getName(d->attrs[slot - 1]), name)) {
      d->attrIndex[i] = pos + 1;
      return;
    }
  }
}

// (Re)builds the table for the present attributes, or drops it when the node has few. Without
// memory for it the node is searched by the scan, with the same results.
void rebuildIndex(NodeData *d) noexcept {
  dropIndex(d);
  if (d->attrCount < kIndexFrom) return;
  int cap = 32;
  while (cap < 2 * d->attrCount && cap < INT_MAX / 4) cap *= 2;
  void *table = mem_allocTID(cap * static_cast<int>(sizeof(int)), kTid, kSource, __LINE__);
  if (!table) return;
  d->attrIndex = static_cast<int *>(table);
  d->indexCap = cap;
  for (int i = 0; i < d->attrCount; ++i) indexPut(d, i);
}

// The attribute at position pos has just been appended.
void indexAppended(NodeData *d, int pos) noexcept {
  if (d->attrCount < kIndexFrom) return;
  if (!d->attrIndex || 2 * d->attrCount > d->indexCap) {
    rebuildIndex(d);
    return;
  }
  indexPut(d, pos);
}

LumoAttr *findByName(NodeData *d, const char *name) noexcept {
  if (!name || !*name) return nullptr;
  if (!d->attrIndex) {
    for (int i = d->attrCount - 1; i >= 0; --i) {
      const char *own = attr_getName(d->attrs[i]);
      if (own && std::strcmp(own, name) == 0) return d->attrs[i];
    }
    return nullptr;
  }
  unsigned mask = static_cast<unsigned>(d->indexCap - 1);
  for (unsigned i = nameHash(name) & mask;; i = (i + 1) & mask) {
    int slot = d->attrIndex[i];
    if (slot == 0) return nullptr;
    LumoAttr *attr = d->attrs[slot - 1];
    if (str_equals(attr_getName(attr), name)) return attr;
  }
}

// Removes entry i, moving the later ones forward in order.
template <class T>
void removeSlot(T **array, int &count, int i) noexcept {
  std::memmove(array + i, array + i + 1, static_cast<std::size_t>(count - i - 1) * sizeof(T *));
  array[--count] = nullptr;
}

// The node takes the attribute over, so one it cannot hold is deleted rather than lost.
bool appendAttr(LumoNode *node, LumoAttr *attr) noexcept {
  NodeData *d = dataOf(node);
  if (!d || !attr) return false;
  if (!appendSlot(d->attrs, d->attrCount, d->attrCap, attr)) {
    attr_del(attr);
    return false;
  }
  indexAppended(d, d->attrCount - 1);
  return true;
}

bool appendChild(LumoNode *node, LumoNode *child) noexcept {
  NodeData *d = dataOf(node);
  if (!d || !child) return false;
  if (!appendSlot(d->childs, d->childCount, d->childCap, child)) {
    node_del(child);
    return false;
  }
  return true;
}

// findAttr without the trace line: for callers that only ask whether an attribute is there.
LumoAttr *lookUpAttr(NodeData *d, const char *name) noexcept {
  if (doc_isIgnoreCase()) {
    for (int i = 0; i < d->attrCount; ++i)
      if (str_equalsi(attr_getName(d->attrs[i]), name)) return d->attrs[i];
    return nullptr;
  }
  return findByName(d, name);
}

void removeAttrAt(NodeData *d, int i) noexcept {
  LumoAttr *attr = d->attrs[i];
  removeSlot(d->attrs, d->attrCount, i);
  // When the latest attribute of a name goes, an earlier one of the same name that the node
  // still holds becomes the one found, instead of becoming unreachable.
  if (d->attrIndex) rebuildIndex(d);
  attr_del(attr);
}

// Releases what the node itself owns besides its children, then the node.
void releaseNode(LumoNode *node, NodeData *d) noexcept {
  LumoMutex *mux = d->mux.exchange(nullptr);
  if (mux) MutexOp.del(mux);
  for (int i = 0; i < d->attrCount; ++i) attr_del(d->attrs[i]);
  freeBlock(d->attrs, __LINE__);
  freeBlock(d->attrIndex, __LINE__);
  freeBlock(d->name, __LINE__);
  freeBlock(d->element, __LINE__);
  freeBlock(d->childs, __LINE__);
  lumo::freeInstance<NodeData>(node, nodeClass, __LINE__);
}

// A growable stack of walk frames under the node allocation type, for the walks that would
// otherwise recurse once per level of the tree.
template <class Frame>
class FrameStack {
 public:
  FrameStack() = default;
  FrameStack(const FrameStack &) = delete;
  FrameStack &operator=(const FrameStack &) = delete;
  ~FrameStack() { freeBlock(frames_, __LINE__); }

  bool push(const Frame &f) noexcept {
    if (size_ == capacity_) {
      if (capacity_ > INT_MAX / 2 / static_cast<int>(sizeof(Frame))) return false;
      int capacity = capacity_ ? capacity_ * 2 : 32;
      int bytes = capacity * static_cast<int>(sizeof(Frame));
      void *fresh = frames_ ? mem_realloc(frames_, bytes, kSource, __LINE__)
                            : mem_allocTID(bytes, kTid, kSource, __LINE__);
      if (!fresh) return false;
      frames_ = static_cast<Frame *>(fresh);
      capacity_ = capacity;
    }
    frames_[size_++] = f;
    return true;
  }
  bool empty() const noexcept { return size_ == 0; }
  Frame &top() noexcept { return frames_[size_ - 1]; }
  void pop() noexcept { --size_; }

 private:
  Frame *frames_ = nullptr;
  int size_ = 0;
  int capacity_ = 0;
};

// The node with its name and clones of its attributes, without children.
LumoNode *shallowClone(LumoNode *node) noexcept {
  NodeData *d = dataOf(node);
  LumoNode *copy = node_inst(d->name, nullptr, LUMO_NODE_ELEMENT);
  if (!copy) return nullptr;
  for (int i = 0; i < d->attrCount; ++i) {
    LumoAttr *a = attr_clone(d->attrs[i]);
    if (!a || !appendAttr(copy, a)) {
      node_del(copy);
      return nullptr;
    }
  }
  return copy;
}

// One level of a merge: a pending skip, the attributes, and a wholesale replacement of the
// children. True when the children are still to be merged one by one.
bool mergeLevel(LumoNode *target, LumoNode *source, int overwrite, int recursive, int keepId,
                int replaceChilds) noexcept {
  NodeData *td = dataOf(target);
  NodeData *sd = dataOf(source);
  if (td->skipMerge) {
    LumoAttr *id = lookUpAttr(td, "id");
    TraceOp.trc(kObject, LUMO_TRC_S, __LINE__, LUMO_TRC_CODE, "%s %s skip merge",
                orEmpty(td->name), id ? orEmpty(attr_getVal(id)) : "-");
    td->skipMerge = 0;
    return false;
  }
  bool forceRecursive = false;
  if (lumo_node_getBool(source, kForceRecursive, 0)) {
    node_removeAttrByName(source, kForceRecursive);
    forceRecursive = true;
  }
  for (int i = 0; i < sd->attrCount; ++i) {
    LumoAttr *from = sd->attrs[i];
    const char *name = attr_getName(from);
    LumoAttr *to = node_findAttr(target, name);
    if (!to) {
      LumoAttr *fresh = attr_inst(name, attr_getEscVal(from));
      if (fresh) appendAttr(target, fresh);
    } else if (overwrite && !(keepId && str_equals(name, "id"))) {
      attr_setVal(to, attr_getEscVal(from));
    }
  }
  if (forceRecursive || (recursive && replaceChilds)) {
    if (target == source) return false;  // its children already are copies of themselves
    // The clones are made before anything goes, so a source inside the target's subtree is
    // still intact while it is copied.
    int before = td->childCount;
    for (int i = 0; i < sd->childCount; ++i) appendChild(target, node_clone(sd->childs[i]));
    for (int i = 0; i < before; ++i) node_del(td->childs[i]);
    std::memmove(td->childs, td->childs + before,
                 static_cast<std::size_t>(td->childCount - before) * sizeof(LumoNode *));
    td->childCount -= before;
    return false;
  }
  return recursive != 0;
}

}  // namespace

// ---- creation and the walks over whole trees ----

LumoNode *node_inst(const char *name, LumoNode *parent, int type) noexcept {
  NodeData *d = nullptr;
  LumoNode *node = lumo::newInstance<NodeData>(NodeOp, nodeClass, __LINE__, &d);
  if (!node) return nullptr;
  d->name = dupText(name, __LINE__);
  if (name && !d->name) {
    lumo::freeInstance<NodeData>(node, nodeClass, __LINE__, false);
    return nullptr;
  }
  d->parent = parent;
  d->type = type;
  lumo::countInstance(nodeClass);
  return node;
}

// The subtree is walked through a work list threaded through the parent fields of the nodes
// being deleted: no recursion, no allocation, any depth.
void node_del(LumoNode *node) noexcept {
  NodeData *d = dataOf(node);
  if (!d) return;
  d->parent = nullptr;
  LumoNode *pending = node;
  while (pending) {
    LumoNode *n = pending;
    NodeData *nd = dataOf(n);
    pending = nd->parent;
    for (int i = 0; i < nd->childCount; ++i) {
      NodeData *cd = dataOf(nd->childs[i]);
      if (!cd) continue;
      cd->parent = pending;
      pending = nd->childs[i];
    }
    releaseNode(n, nd);
  }
}

LumoNode *node_clone(LumoNode *node) noexcept {
  if (!dataOf(node)) return nullptr;
  LumoNode *root = shallowClone(node);
  if (!root) return nullptr;
  struct Frame {
    LumoNode *source;
    LumoNode *copy;
    int next;
  };
  FrameStack<Frame> stack;
  bool ok = stack.push({node, root, 0});
  while (ok && !stack.empty()) {
    Frame &f = stack.top();
    NodeData *sd = dataOf(f.source);
    if (f.next >= sd->childCount) {
      stack.pop();
      continue;
    }
    LumoNode *child = sd->childs[f.next++];
    LumoNode *copy = shallowClone(child);
    ok = copy && appendChild(f.copy, copy) && stack.push({child, copy, 0});
  }
  if (!ok) {
    node_del(root);
    return nullptr;
  }
  return root;
}

// ---- attributes ----

void node_addAttr(LumoNode *node, LumoAttr *attr) noexcept {
  if (dataOf(node)) appendAttr(node, attr);
}

void node_clearControlAttributes(LumoNode *node) noexcept {
  NodeData *d = dataOf(node);
  if (!d) return;
  for (const char *name : {"replacechilds", kForceRecursive, "prev_id"}) {
    LumoAttr *attr = lookUpAttr(d, name);
    if (attr) node_removeAttr(node, attr);
  }
}

LumoAttr *node_findAttr(LumoNode *node, const char *name) noexcept {
  NodeData *d = dataOf(node);
  if (!d) return nullptr;
  LumoAttr *attr = lookUpAttr(d, name);
  if (!attr)
    TraceOp.trc(kObject, LUMO_TRC_S, __LINE__, LUMO_TRC_CODE,
                "Attribute [%s] not found in node [%s].", orEmpty(name), orEmpty(d->name));
  return attr;
}

LumoAttr *node_getAttr(LumoNode *node, int index) noexcept {
  NodeData *d = dataOf(node);
  return d && index >= 0 && index < d->attrCount ? d->attrs[index] : nullptr;
}

int node_getAttrCnt(LumoNode *node) noexcept {
  NodeData *d = dataOf(node);
  return d ? d->attrCount : 0;
}

void node_removeAttr(LumoNode *node, LumoAttr *attr) noexcept {
  NodeData *d = dataOf(node);
  if (!d || !attr) return;
  // Only an attribute of this node is deleted; any other belongs to someone else.
  for (int i = 0; i < d->attrCount; ++i)
    if (d->attrs[i] == attr) {
      removeAttrAt(d, i);
      return;
    }
}

void node_removeAttrByName(LumoNode *node, const char *name) noexcept {
  LumoAttr *attr = node_findAttr(node, name);
  if (attr) node_removeAttr(node, attr);
}

namespace {

LumoAttr *findOrAppend(LumoNode *node, const char *name) noexcept {
  LumoAttr *attr = node_findAttr(node, name);
  if (attr) return attr;
  attr = attr_inst(name, nullptr);
  return attr && appendAttr(node, attr) ? attr : nullptr;
}

}  // namespace

int lumo_node_getBool(LumoNode *node, const char *name, int def) {
  LumoAttr *attr = node_findAttr(node, name);
  return attr ? attr_getBoolean(attr) : def;
}

double lumo_node_getFloat(LumoNode *node, const char *name, double def) {
  LumoAttr *attr = node_findAttr(node, name);
  return attr ? attr_getFloat(attr) : def;
}

int lumo_node_getInt(LumoNode *node, const char *name, int def) {
  LumoAttr *attr = node_findAttr(node, name);
  return attr ? attr_getInt(attr) : def;
}

long lumo_node_getLong(LumoNode *node, const char *name, long def) {
  LumoAttr *attr = node_findAttr(node, name);
  return attr ? attr_getLong(attr) : def;
}

const char *lumo_node_getStr(LumoNode *node, const char *name, const char *def) {
  LumoAttr *attr = node_findAttr(node, name);
  const char *value = attr ? attr_getVal(attr) : nullptr;
  return value ? value : def;
}

const char *lumo_node_getRawVal(LumoNode *node, const char *name, const char *def) {
  LumoAttr *attr = node_findAttr(node, name);
  return attr ? attr_getRawVal(attr) : def;
}

void lumo_node_setBool(LumoNode *node, const char *name, int value) {
  if (!dataOf(node)) return;
  LumoAttr *attr = findOrAppend(node, name);
  if (attr) attr_setBoolean(attr, value);
}

void lumo_node_setFloat(LumoNode *node, const char *name, double value) {
  if (!dataOf(node)) return;
  LumoAttr *attr = findOrAppend(node, name);
  if (attr) attr_setFloat(attr, value);
}

void lumo_node_setInt(LumoNode *node, const char *name, int value) {
  if (!dataOf(node)) return;
  LumoAttr *attr = findOrAppend(node, name);
  if (attr) attr_setInt(attr, value);
}

void lumo_node_setLong(LumoNode *node, const char *name, long value) {
  if (!dataOf(node)) return;
  LumoAttr *attr = findOrAppend(node, name);
  if (attr) attr_setLong(attr, value);
}

void lumo_node_setStr(LumoNode *node, const char *name, const char *text) {
  if (!dataOf(node)) return;
  LumoAttr *attr = node_findAttr(node, name);
  if (attr) {
    attr_setVal(attr, text ? text : "");
  } else if (text) {
    attr = attr_inst(name, text);
    if (attr) appendAttr(node, attr);
  }
}

void lumo_node_setRawVal(LumoNode *node, const char *name, const char *text) {
  if (!dataOf(node)) return;
  LumoAttr *attr = node_findAttr(node, name);
  if (!text) {
    if (attr) node_removeAttr(node, attr);
    return;
  }
  if (!attr) {
    attr = attr_inst(name, nullptr);
    if (!attr || !appendAttr(node, attr)) return;
  }
  attr_setRawVal(attr, text);
}

void node_setForceRecursive(LumoNode *node) noexcept {
  lumo_node_setBool(node, kForceRecursive, 1);
}

// ---- children ----

void node_addChild(LumoNode *node, LumoNode *child) noexcept {
  if (dataOf(node)) appendChild(node, child);
}

LumoNode *node_findNode(LumoNode *node, const char *name) noexcept {
  NodeData *d = dataOf(node);
  if (!d) return nullptr;
  for (int i = 0; i < d->childCount; ++i)
    if (str_equalsi(node_getName(d->childs[i]), name)) return d->childs[i];
  TraceOp.trc(kObject, LUMO_TRC_S, __LINE__, LUMO_TRC_CODE, "Child node [%s] not found in node [%s].",
              orEmpty(name), orEmpty(d->name));
  return nullptr;
}

LumoNode *node_findNextNode(LumoNode *node, LumoNode *child) noexcept {
  NodeData *d = dataOf(node);
  if (!d || !child) return nullptr;
  int i = 0;
  while (i < d->childCount && d->childs[i] != child) ++i;
  const char *name = node_getName(child);
  for (++i; i < d->childCount; ++i)
    if (str_equalsi(node_getName(d->childs[i]), name)) return d->childs[i];
  return nullptr;
}

LumoNode *node_getChild(LumoNode *node, int index) noexcept {
  NodeData *d = dataOf(node);
  return d && index >= 0 && index < d->childCount ? d->childs[index] : nullptr;
}

int node_getChildCnt(LumoNode *node) noexcept {
  NodeData *d = dataOf(node);
  return d ? d->childCount : 0;
}

LumoNode *node_getNode(LumoNode *node, const char *name) noexcept {
  if (!dataOf(node)) return nullptr;
  LumoNode *child = node_findNode(node, name);
  if (child) return child;
  child = node_inst(name, node, LUMO_NODE_ELEMENT);
  return child && appendChild(node, child) ? child : nullptr;
}

LumoNode *node_removeChild(LumoNode *node, LumoNode *child) noexcept {
  NodeData *d = dataOf(node);
  if (!d || !child) return nullptr;
  for (int i = 0; i < d->childCount; ++i)
    if (d->childs[i] == child) {
      removeSlot(d->childs, d->childCount, i);
      return child;
    }
  return nullptr;
}

// Each level is merged before the next one is entered, in the order the recursive form would
// take, but the levels are kept in a frame stack of their own: trees built through the API may
// be deeper than any thread stack.
LumoNode *node_mergeNode(LumoNode *target, LumoNode *source, int overwrite, int recursive,
                         int keepId, int replaceChilds) noexcept {
  if (!dataOf(target) || !dataOf(source)) return nullptr;
  if (!mergeLevel(target, source, overwrite, recursive, keepId, replaceChilds)) return target;
  struct Frame {
    LumoNode *target;
    LumoNode *source;
    int next;
  };
  FrameStack<Frame> stack;
  if (!stack.push({target, source, 0})) return nullptr;
  while (!stack.empty()) {
    Frame &f = stack.top();
    NodeData *sd = dataOf(f.source);
    if (f.next >= sd->childCount) {
      stack.pop();
      continue;
    }
    LumoNode *child = sd->childs[f.next++];
    LumoNode *into = f.target;  // f may move when the stack grows
    const char *name = node_getName(child);
    if (!node_findNode(into, name)) appendChild(into, node_clone(child));
    LumoNode *match = node_findNode(into, name);
    if (match && mergeLevel(match, child, overwrite, recursive, 0, replaceChilds) &&
        !stack.push({match, child, 0}))
      return nullptr;
  }
  return target;
}

// ---- the node's own fields ----

const char *node_getElement(LumoNode *node) noexcept {
  NodeData *d = dataOf(node);
  return d ? d->element : nullptr;
}

const char *node_getName(LumoNode *node) noexcept {
  NodeData *d = dataOf(node);
  return d ? orEmpty(d->name) : "";
}

LumoNode *node_getParent(LumoNode *node) noexcept {
  NodeData *d = dataOf(node);
  return d ? d->parent : nullptr;
}

int node_getType(LumoNode *node) noexcept {
  NodeData *d = dataOf(node);
  return d ? d->type : 0;
}

void node_setElement(LumoNode *node, const char *text) noexcept {
  NodeData *d = dataOf(node);
  if (!d) return;
  char *copy = dupText(text, __LINE__);
  if (text && !copy) return;
  freeBlock(d->element, __LINE__);
  d->element = copy;
}

void node_setName(LumoNode *node, const char *name) noexcept {
  NodeData *d = dataOf(node);
  if (!d) return;
  char *copy = dupText(name, __LINE__);
  if (name && !copy) return;
  freeBlock(d->name, __LINE__);
  d->name = copy;
}

void node_setParent(LumoNode *node, LumoNode *parent) noexcept {
  NodeData *d = dataOf(node);
  if (d) d->parent = parent;
}

void node_setType(LumoNode *node, int type) noexcept {
  NodeData *d = dataOf(node);
  if (d) d->type = type;
}

void node_triggerSkipMerge(LumoNode *node) noexcept {
  NodeData *d = dataOf(node);
  if (d) d->skipMerge = 1;
}

// ---- coordination between threads ----

int node_post(LumoNode *node) noexcept {
  NodeData *d = dataOf(node);
  LumoMutex *mux = d ? d->mux.load(std::memory_order_acquire) : nullptr;
  return mux ? MutexOp.post(mux) : 0;
}

int node_wait(LumoNode *node, int timeoutMs) noexcept {
  NodeData *d = dataOf(node);
  if (!d) return 0;
  LumoMutex *mux = d->mux.load(std::memory_order_acquire);
  if (!mux) {
    LumoMutex *fresh = MutexOp.inst(nullptr, 1);
    if (!fresh) return 0;
    // Two first waits at once must end up on the same mutex.
    if (d->mux.compare_exchange_strong(mux, fresh, std::memory_order_acq_rel))
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
// a pending skip of the next merge. A text that yields no root leaves the node as it was.
void takeOver(LumoNode *node, const char *text) noexcept {
  NodeData *d = dataOf(node);
  if (!d || !text) return;
  LumoDoc *doc = DocOp.parse(text);
  if (!doc) return;
  LumoNode *root = DocOp.getRootNode(doc);
  DocOp.del(doc);
  NodeData *rd = dataOf(root);
  if (!rd) return;
  for (int i = 0; i < d->attrCount; ++i) attr_del(d->attrs[i]);
  for (int i = 0; i < d->childCount; ++i) node_del(d->childs[i]);
  freeBlock(d->attrs, __LINE__);
  freeBlock(d->childs, __LINE__);
  freeBlock(d->name, __LINE__);
  freeBlock(d->element, __LINE__);
  freeBlock(d->attrIndex, __LINE__);
  d->name = rd->name;
  d->element = rd->element;
  d->type = rd->type;
  d->attrCount = rd->attrCount;
  d->attrCap = rd->attrCap;
  d->attrs = rd->attrs;
  d->attrIndex = rd->attrIndex;
  d->indexCap = rd->indexCap;
  d->childCount = rd->childCount;
  d->childCap = rd->childCap;
  d->childs = rd->childs;
  for (int i = 0; i < d->childCount; ++i) node_setParent(d->childs[i], node);
  rd->name = rd->element = nullptr;
  rd->attrs = nullptr;
  rd->childs = nullptr;
  rd->attrCount = rd->childCount = rd->attrCap = rd->childCap = rd->indexCap = 0;
  rd->attrIndex = nullptr;
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

  static constexpr auto &addAttr = node_addAttr;
  static constexpr auto &addChild = node_addChild;
  static constexpr auto &clearControlAttributes = node_clearControlAttributes;
  static constexpr auto &findAttr = node_findAttr;
  static constexpr auto &findNextNode = node_findNextNode;
  static constexpr auto &findNode = node_findNode;
  static constexpr auto &getAttr = node_getAttr;
  static constexpr auto &getAttrCnt = node_getAttrCnt;
  static constexpr auto &getBool = lumo_node_getBool;
  static constexpr auto &getChild = node_getChild;
  static constexpr auto &getChildCnt = node_getChildCnt;
  static constexpr auto &getElement = node_getElement;
  static constexpr auto &getFloat = lumo_node_getFloat;
  static constexpr auto &getInt = lumo_node_getInt;
  static constexpr auto &getLong = lumo_node_getLong;
  static constexpr auto &getName = node_getName;
  static constexpr auto &getNode = node_getNode;
  static constexpr auto &getParent = node_getParent;
  static constexpr auto &getStr = lumo_node_getStr;
  static constexpr auto &getStr2 = lumo_node_getStr;
  static constexpr auto &getType = node_getType;
  static constexpr auto &inst = node_inst;
  static constexpr auto &mergeNode = node_mergeNode;
  static constexpr auto &post = node_post;
  static constexpr auto &removeAttr = node_removeAttr;
  static constexpr auto &removeAttrByName = node_removeAttrByName;
  static constexpr auto &removeChild = node_removeChild;
  static constexpr auto &setBool = lumo_node_setBool;
  static constexpr auto &setElement = node_setElement;
  static constexpr auto &setFloat = lumo_node_setFloat;
  static constexpr auto &setForceRecursive = node_setForceRecursive;
  static constexpr auto &setInt = lumo_node_setInt;
  static constexpr auto &setLong = lumo_node_setLong;
  static constexpr auto &setName = node_setName;
  static constexpr auto &setParent = node_setParent;
  static constexpr auto &setStr = lumo_node_setStr;
  static constexpr auto &setStr2 = lumo_node_setStr;
  static constexpr auto &setType = node_setType;
  static constexpr auto &toEscString = node_toEscString;
  static constexpr auto &triggerSkipMerge = node_triggerSkipMerge;
  static constexpr auto &wait = node_wait;
};

}  // namespace

const LumoNode NodeOp = {LUMO_BASE_INIT(Impl), LUMO_NODE_OPS(LUMO_SLOT_INIT_MEMBER, Impl)};

namespace {
constexpr const char *kNodeSlots[] = {LUMO_NODE_OPS(LUMO_SLOT_NAME, _)};
static_assert(lumo::namesAscending(kNodeSlots), "NodeOp slots are in byte-wise order");
static_assert(lumo::classLayoutOk<LumoNode, 41>(), "NodeOp has the base slots and 41 own slots");
}  // namespace
