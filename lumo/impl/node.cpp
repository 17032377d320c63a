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
#include "keyhash.hpp"
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
  // Where findNextNode last stopped, so that walking the children of one name is linear: a hint
  // only, checked against the list before use (any thread reading the tree may move it).
  std::atomic<int> nextHint{0};
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

// Keyed per process: names that collide cannot be chosen by whoever writes the document.
unsigned nameHash(const char *name) noexcept { return lumo::keyedHash(name); }

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

// Takes entry i out of the node's attributes without deleting it.
LumoAttr *detachAttrAt(NodeData *d, int i) noexcept {
  LumoAttr *attr = d->attrs[i];
  removeSlot(d->attrs, d->attrCount, i);
  // When the latest attribute of a name goes, an earlier one of the same name that the node
  // still holds becomes the one found, instead of becoming unreachable.
  if (d->attrIndex) rebuildIndex(d);
  return attr;
}

void removeAttrAt(NodeData *d, int i) noexcept { attr_del(detachAttrAt(d, i)); }

// The position of the first child whose name equals name ignoring case, or -1.
int firstChildNamed(NodeData *d, const char *name) noexcept {
  for (int i = 0; i < d->childCount; ++i)
    if (str_equalsi(node_getName(d->childs[i]), name)) return i;
  return -1;
}

void traceMissingAttr(NodeData *d, const char *name) noexcept {
  TraceOp.trc(kObject, LUMO_TRC_S, __LINE__, LUMO_TRC_CODE, "Attribute [%s] not found in node [%s].",
              orEmpty(name), orEmpty(d->name));
}

void traceMissingChild(NodeData *d, const char *name) noexcept {
  TraceOp.trc(kObject, LUMO_TRC_S, __LINE__, LUMO_TRC_CODE, "Child node [%s] not found in node [%s].",
              orEmpty(name), orEmpty(d->name));
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
  int size() const noexcept { return size_; }
  Frame &at(int i) noexcept { return frames_[i]; }
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

void node_addAttr(LumoNode *node, LumoAttr *attr) noexcept { node_appendAttr(node, attr); }

bool node_appendAttr(LumoNode *node, LumoAttr *attr) noexcept { return appendAttr(node, attr); }

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
  if (!attr) traceMissingAttr(d, name);
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

// A typed setter: an existing attribute takes the value in place; a missing one is made, given
// the value and only then appended, so a refusal anywhere leaves the node as it was.
template <class Put>
void setTyped(LumoNode *node, const char *name, Put put) noexcept {
  if (!dataOf(node)) return;
  LumoAttr *attr = node_findAttr(node, name);
  if (attr) {
    put(attr);
    return;
  }
  attr = attr_inst(name, nullptr);
  if (!attr) return;
  if (!put(attr)) {
    attr_del(attr);
    return;
  }
  appendAttr(node, attr);
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
  setTyped(node, name, [value](LumoAttr *a) { return attr_putBoolean(a, value); });
}

void lumo_node_setFloat(LumoNode *node, const char *name, double value) {
  setTyped(node, name, [value](LumoAttr *a) { return attr_putFloat(a, value); });
}

void lumo_node_setInt(LumoNode *node, const char *name, int value) {
  setTyped(node, name, [value](LumoAttr *a) { return attr_putInt(a, value); });
}

void lumo_node_setLong(LumoNode *node, const char *name, long value) {
  setTyped(node, name, [value](LumoAttr *a) { return attr_putLong(a, value); });
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
  if (!text) {
    LumoAttr *attr = node_findAttr(node, name);
    if (attr) node_removeAttr(node, attr);
    return;
  }
  setTyped(node, name, [text](LumoAttr *a) { return attr_putRawVal(a, text); });
}

void node_setForceRecursive(LumoNode *node) noexcept {
  lumo_node_setBool(node, kForceRecursive, 1);
}

// ---- children ----

void node_addChild(LumoNode *node, LumoNode *child) noexcept { node_appendChild(node, child); }

bool node_appendChild(LumoNode *node, LumoNode *child) noexcept { return appendChild(node, child); }

LumoNode *node_findNode(LumoNode *node, const char *name) noexcept {
  NodeData *d = dataOf(node);
  if (!d) return nullptr;
  int i = firstChildNamed(d, name);
  if (i >= 0) return d->childs[i];
  traceMissingChild(d, name);
  return nullptr;
}

// Callers walk the children of one name with findNode and then findNextNode on each result;
// the hint makes finding the given child a single step in that walk instead of a scan.
LumoNode *node_findNextNode(LumoNode *node, LumoNode *child) noexcept {
  NodeData *d = dataOf(node);
  if (!d || !child) return nullptr;
  int i = d->nextHint.load(std::memory_order_relaxed);
  if (i < 0 || i >= d->childCount || d->childs[i] != child) {
    i = 0;
    while (i < d->childCount && d->childs[i] != child) ++i;
  }
  const char *name = node_getName(child);
  for (++i; i < d->childCount; ++i)
    if (str_equalsi(node_getName(d->childs[i]), name)) {
      d->nextHint.store(i, std::memory_order_relaxed);
      return d->childs[i];
    }
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

// ---- merging ----
//
// A merge changes the target tree in many small steps. Each step is entered in a journal before
// it is made, so that a step which cannot be made (memory refused) takes every earlier one back
// and leaves both trees as they were; what a step displaces (an old value, a replaced child
// list, a consumed force flag) is kept until the whole merge has succeeded.

namespace {

struct Change {
  enum Kind { SkipCleared, FlagDetached, AttrAppended, ValueSwapped, ChildrenReplaced, ChildAppended };
  Kind kind;
  LumoNode *node;
  LumoAttr *attr;     // the detached flag, or the attribute whose value was swapped
  LumoAttr *spare;    // the value swapped out
  LumoNode **childs;  // the replaced child list
  int count;          // the flag's position, or the replaced list's length
  int capacity;       // the replaced list's capacity
};

class Journal {
 public:
  bool record(const Change &c) noexcept { return changes_.push(c); }
  void dropLast() noexcept { changes_.pop(); }

  // Latest first, so every step finds the node as it left it.
  void rollback() noexcept {
    for (int i = changes_.size() - 1; i >= 0; --i) undo(changes_.at(i));
  }
  void commit() noexcept {
    for (int i = 0; i < changes_.size(); ++i) release(changes_.at(i));
  }

 private:
  static void undo(const Change &c) noexcept {
    NodeData *d = dataOf(c.node);
    switch (c.kind) {
      case Change::SkipCleared:
        d->skipMerge = 1;
        break;
      case Change::FlagDetached:
        // The slot it left is still allocated: the list never shrinks.
        std::memmove(d->attrs + c.count + 1, d->attrs + c.count,
                     static_cast<std::size_t>(d->attrCount - c.count) * sizeof(LumoAttr *));
        d->attrs[c.count] = c.attr;
        ++d->attrCount;
        rebuildIndex(d);
        break;
      case Change::AttrAppended:
        attr_del(detachAttrAt(d, d->attrCount - 1));
        break;
      case Change::ValueSwapped:
        attr_swapValues(c.attr, c.spare);
        attr_del(c.spare);
        break;
      case Change::ChildrenReplaced:
        for (int i = 0; i < d->childCount; ++i) node_del(d->childs[i]);
        freeBlock(d->childs, __LINE__);
        d->childs = c.childs;
        d->childCount = c.count;
        d->childCap = c.capacity;
        break;
      case Change::ChildAppended:
        node_del(d->childs[--d->childCount]);
        d->childs[d->childCount] = nullptr;
        break;
    }
  }
  static void release(const Change &c) noexcept {
    switch (c.kind) {
      case Change::FlagDetached:
        attr_del(c.attr);
        break;
      case Change::ValueSwapped:
        attr_del(c.spare);
        break;
      case Change::ChildrenReplaced:
        for (int i = 0; i < c.count; ++i) node_del(c.childs[i]);
        freeBlock(c.childs, __LINE__);
        break;
      default:
        break;
    }
  }

  FrameStack<Change> changes_;
};

// The first entry of each name (case ignored) of a target's child or attribute list, for merges
// that look up many names among many entries. It knows the list it was built for; once that list
// has changed in any other way than by the appends it was told of, look-ups scan the list.
template <class T>
struct FirstByName {
  int *slots;
  int cap;
  T **list;
  int known;
};

const char *nameOf(LumoNode *node) noexcept { return node_getName(node); }
const char *nameOf(LumoAttr *attr) noexcept { return orEmpty(attr_getName(attr)); }

template <class T>
void indexFree(FirstByName<T> &x) noexcept {
  freeBlock(x.slots, __LINE__);
  x = FirstByName<T>{};
}

template <class T>
bool indexCurrent(const FirstByName<T> &x, T **list, int count) noexcept {
  return x.slots && x.list == list && x.known == count;
}

template <class T>
void indexPut(FirstByName<T> &x, T **list, int pos) noexcept {
  const char *name = nameOf(list[pos]);
  unsigned mask = static_cast<unsigned>(x.cap - 1);
  for (unsigned i = lumo::keyedHash(name, true) & mask;; i = (i + 1) & mask) {
    int slot = x.slots[i];
    if (slot == 0) {
      x.slots[i] = pos + 1;
      return;
    }
    if (str_equalsi(nameOf(list[slot - 1]), name)) return;  // an earlier one keeps the name
  }
}

template <class T>
void indexBuild(FirstByName<T> &x, T **list, int count) noexcept {
  indexFree(x);
  int cap = 32;
  while (cap < 2 * count && cap < INT_MAX / 4) cap *= 2;
  void *table = mem_allocTID(cap * static_cast<int>(sizeof(int)), kTid, kSource, __LINE__);
  if (!table) return;  // the scan gives the same answers
  x = FirstByName<T>{static_cast<int *>(table), cap, list, count};
  for (int i = 0; i < count; ++i) indexPut(x, list, i);
}

// The position of the first entry named name ignoring case, or -1.
template <class T>
int indexFind(FirstByName<T> &x, T **list, int count, const char *name) noexcept {
  if (count >= kIndexFrom && !indexCurrent(x, list, count)) indexBuild(x, list, count);
  if (!indexCurrent(x, list, count)) {
    for (int i = 0; i < count; ++i)
      if (str_equalsi(nameOf(list[i]), name)) return i;
    return -1;
  }
  unsigned mask = static_cast<unsigned>(x.cap - 1);
  for (unsigned i = lumo::keyedHash(name, true) & mask;; i = (i + 1) & mask) {
    int slot = x.slots[i];
    if (slot == 0) return -1;
    if (str_equalsi(nameOf(list[slot - 1]), name)) return slot - 1;
  }
}

// An entry has just been appended to a list that was before.
template <class T>
void indexAppended(FirstByName<T> &x, T **list, int count, T **before) noexcept {
  if (!x.slots || x.list != before || x.known != count - 1) return;
  if (2 * count > x.cap) {
    indexBuild(x, list, count);
    return;
  }
  x.list = list;
  x.known = count;
  indexPut(x, list, count - 1);
}

using ChildIndex = FirstByName<LumoNode>;

// Releases an attribute index when a level of the merge is done, whichever way it ends.
struct AttrIndexGuard {
  FirstByName<LumoAttr> index{};
  ~AttrIndexGuard() { indexFree(index); }
};

struct MergeRun {
  int overwrite;
  int recursive;
  int replaceChilds;
  Journal journal;
};

bool appendAttrLogged(MergeRun &run, LumoNode *target, const char *name, const char *text) noexcept {
  LumoAttr *fresh = attr_inst(name, text);
  if (!fresh) return false;
  if (!run.journal.record(Change{Change::AttrAppended, target, nullptr, nullptr, nullptr, 0, 0})) {
    attr_del(fresh);
    return false;
  }
  if (!appendAttr(target, fresh)) {
    run.journal.dropLast();
    return false;
  }
  return true;
}

bool overwriteLogged(MergeRun &run, LumoNode *target, LumoAttr *to, const char *text) noexcept {
  LumoAttr *spare = attr_staged(to, text);
  if (!spare) return false;
  if (!run.journal.record(Change{Change::ValueSwapped, target, to, spare, nullptr, 0, 0})) {
    attr_del(spare);
    return false;
  }
  attr_swapValues(to, spare);
  return true;
}

// The clones are all made before the list is swapped, so a source inside the target's subtree
// is still intact while it is copied.
bool replaceChildren(MergeRun &run, LumoNode *target, LumoNode *source) noexcept {
  NodeData *td = dataOf(target);
  NodeData *sd = dataOf(source);
  int n = sd->childCount;
  LumoNode **fresh = nullptr;
  if (n > 0) {
    if (n > INT_MAX / static_cast<int>(sizeof(LumoNode *))) return false;
    fresh = static_cast<LumoNode **>(
        mem_allocTID(n * static_cast<int>(sizeof(LumoNode *)), kTid, kSource, __LINE__));
    if (!fresh) return false;
  }
  int made = 0;
  while (made < n && (fresh[made] = node_clone(sd->childs[made])) != nullptr) ++made;
  if (made < n || !run.journal.record(Change{Change::ChildrenReplaced, target, nullptr, nullptr,
                                             td->childs, td->childCount, td->childCap})) {
    for (int i = 0; i < made; ++i) node_del(fresh[i]);
    freeBlock(fresh, __LINE__);
    return false;
  }
  td->childs = fresh;
  td->childCount = n;
  td->childCap = n;
  return true;
}

// One level: a pending skip, the force flag, the attributes, and a wholesale replacement of the
// children. *descend tells whether the children are still to be merged one by one.
bool mergeLevel(MergeRun &run, LumoNode *target, LumoNode *source, int keepId,
                bool *descend) noexcept {
  NodeData *td = dataOf(target);
  NodeData *sd = dataOf(source);
  *descend = false;
  if (td->skipMerge) {
    LumoAttr *id = lookUpAttr(td, "id");
    TraceOp.trc(kObject, LUMO_TRC_S, __LINE__, LUMO_TRC_CODE, "%s %s skip merge",
                orEmpty(td->name), id ? orEmpty(attr_getVal(id)) : "-");
    if (!run.journal.record(Change{Change::SkipCleared, target, nullptr, nullptr, nullptr, 0, 0}))
      return false;
    td->skipMerge = 0;
    return true;
  }
  bool forceRecursive = false;
  if (lumo_node_getBool(source, kForceRecursive, 0)) {
    LumoAttr *flag = lookUpAttr(sd, kForceRecursive);
    int at = 0;
    while (sd->attrs[at] != flag) ++at;
    if (!run.journal.record(Change{Change::FlagDetached, source, flag, nullptr, nullptr, at, 0}))
      return false;
    detachAttrAt(sd, at);
    forceRecursive = true;
  }
  // Look-ups that ignore case scan the attributes; over many of them an index of the first of
  // each name answers instead.
  const bool ignoreCase = doc_isIgnoreCase() != 0;
  AttrIndexGuard folded;
  for (int i = 0; i < sd->attrCount; ++i) {
    LumoAttr *from = sd->attrs[i];
    const char *name = attr_getName(from);
    LumoAttr *to = nullptr;
    if (!ignoreCase) {
      to = node_findAttr(target, name);
    } else {
      int at = indexFind(folded.index, td->attrs, td->attrCount, orEmpty(name));
      if (at >= 0)
        to = td->attrs[at];
      else
        traceMissingAttr(td, name);
    }
    bool ok = true;
    if (!to) {
      LumoAttr **before = td->attrs;
      ok = appendAttrLogged(run, target, name, attr_getEscVal(from));
      if (ok && ignoreCase) indexAppended(folded.index, td->attrs, td->attrCount, before);
    } else if (run.overwrite && !(keepId && str_equals(name, "id"))) {
      ok = overwriteLogged(run, target, to, attr_getEscVal(from));
    }
    if (!ok) return false;
  }
  if (forceRecursive || (run.recursive && run.replaceChilds)) {
    if (target == source) return true;  // its children already are copies of themselves
    return replaceChildren(run, target, source);
  }
  *descend = run.recursive != 0;
  return true;
}

// The first child of target named like child, appending a clone of child when there is none.
LumoNode *matchOrAppend(MergeRun &run, LumoNode *target, ChildIndex &index,
                        LumoNode *child) noexcept {
  NodeData *td = dataOf(target);
  const char *name = node_getName(child);
  int at = indexFind(index, td->childs, td->childCount, name);
  if (at >= 0) return td->childs[at];
  traceMissingChild(td, name);
  LumoNode *copy = node_clone(child);
  if (!copy) return nullptr;
  if (!run.journal.record(Change{Change::ChildAppended, target, nullptr, nullptr, nullptr, 0, 0})) {
    node_del(copy);
    return nullptr;
  }
  LumoNode **before = td->childs;
  if (!appendChild(target, copy)) {
    run.journal.dropLast();
    return nullptr;
  }
  indexAppended(index, td->childs, td->childCount, before);
  return copy;
}

// Each level is merged before the next one is entered, in the order the recursive form would
// take, but the levels are kept in a frame stack of their own: trees built through the API may
// be deeper than any thread stack. False when memory was refused.
bool mergeTrees(MergeRun &run, LumoNode *target, LumoNode *source, int keepId) noexcept {
  bool descend = false;
  if (!mergeLevel(run, target, source, keepId, &descend)) return false;
  if (!descend) return true;
  struct Frame {
    LumoNode *target;
    LumoNode *source;
    int next;
    ChildIndex index;
  };
  FrameStack<Frame> stack;
  bool ok = stack.push(Frame{target, source, 0, ChildIndex{}});
  while (ok && !stack.empty()) {
    Frame &f = stack.top();
    NodeData *sd = dataOf(f.source);
    if (f.next >= sd->childCount) {
      indexFree(f.index);
      stack.pop();
      continue;
    }
    LumoNode *child = sd->childs[f.next++];
    LumoNode *match = matchOrAppend(run, f.target, f.index, child);  // f moves on a push only
    ok = match && mergeLevel(run, match, child, 0, &descend) &&
         (!descend || stack.push(Frame{match, child, 0, ChildIndex{}}));
  }
  for (int i = 0; i < stack.size(); ++i) indexFree(stack.at(i).index);
  return ok;
}

// Whether node lies below root in root's subtree; -1 when the walk had no memory.
int liesBelow(LumoNode *root, LumoNode *node) noexcept {
  FrameStack<LumoNode *> pending;
  if (!pending.push(root)) return -1;
  while (!pending.empty()) {
    NodeData *d = dataOf(pending.top());
    pending.pop();
    for (int i = 0; i < d->childCount; ++i) {
      if (d->childs[i] == node) return 1;
      if (!pending.push(d->childs[i])) return -1;
    }
  }
  return 0;
}

}  // namespace

// A recursive merge into the source's own subtree would merge what it has just added again and
// again; it merges from a copy of the source taken before anything changes instead. Only that
// case needs one: merging a node into itself adds nothing, and a replacing merge copies first.
LumoNode *node_mergeNode(LumoNode *target, LumoNode *source, int overwrite, int recursive,
                         int keepId, int replaceChilds) noexcept {
  NodeData *td = dataOf(target);
  NodeData *sd = dataOf(source);
  if (!td || !sd) return nullptr;
  MergeRun run{overwrite, recursive, replaceChilds, Journal{}};
  LumoNode *snapshot = nullptr;
  bool ok = true;
  if (recursive && !replaceChilds && target != source && !td->skipMerge) {
    LumoAttr *flag = lookUpAttr(sd, kForceRecursive);
    if (!flag || !attr_getBoolean(flag)) {
      int below = liesBelow(source, target);
      if (below > 0) snapshot = node_clone(source);
      ok = below == 0 || snapshot;
    }
  }
  ok = ok && mergeTrees(run, target, snapshot ? snapshot : source, keepId);
  if (ok)
    run.journal.commit();
  else
    run.journal.rollback();
  node_del(snapshot);
  if (!ok) {
    TraceOp.trc(kObject, LUMO_TRC_E, __LINE__, LUMO_TRC_CODE,
                "mergeNode(): out of memory, node [%s] left as it was.", orEmpty(td->name));
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

void node_setElement(LumoNode *node, const char *text) noexcept { node_putElement(node, text); }

bool node_putElement(LumoNode *node, const char *text) noexcept {
  NodeData *d = dataOf(node);
  if (!d) return false;
  char *copy = dupText(text, __LINE__);
  if (text && !copy) return false;
  freeBlock(d->element, __LINE__);
  d->element = copy;
  return true;
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
