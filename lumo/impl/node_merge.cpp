// lumo: the merge of one node tree into another, whole or not at all.
//
// A merge changes the target tree in many small steps. Each step is entered in a journal before
// it is made, so that a step which cannot be made (memory refused) takes every earlier one back
// and leaves both trees as they were; what a step displaces (an old value, a replaced child
// list, a consumed force flag) is kept until the whole merge has succeeded.
#include <lumo/trace.h>

#include <climits>
#include <cstring>

#include "attr.hpp"
#include "buffer.hpp"
#include "doc.hpp"
#include "keyhash.hpp"
#include "mem.hpp"
#include "node.hpp"
#include "node_data.hpp"
#include "str.hpp"

using lumo::AttrRec;
using lumo::NodeData;
using lumo::kForceRecursive;
using lumo::kNodeObject;
using lumo::kNodeSource;
using lumo::kNodeTid;
using lumo::orEmpty;

namespace {

constexpr int kIndexFrom = 16;  // lists this long are looked up through a table

NodeData *dataOf(LumoNode *node) noexcept { return lumo::nodeData(node); }

struct Change {
  enum Kind { SkipCleared, FlagDetached, AttrAppended, ValueSwapped, ChildrenReplaced, ChildAppended };
  Kind kind;
  LumoNode *node;
  AttrRec rec;        // the detached flag
  int at;             // the flag's position, or the position of the record whose value changed
  char *text;         // a swapped value: the staged one until the swap, then the one it replaced
  unsigned bits;
  char *decoded;
  LumoNode **childs;  // the replaced child list
  int count;          // its length
};

class Journal {
 public:
  bool record(const Change &c) noexcept { return changes_.push(c); }
  Change &last() noexcept { return changes_.top(); }
  void dropLast() noexcept { changes_.pop(); }

  // Latest first, so every step finds the node as it left it.
  void rollback() noexcept {
    for (int i = changes_.size() - 1; i >= 0; --i) undo(changes_[i]);
  }
  void commit() noexcept {
    for (int i = 0; i < changes_.size(); ++i) release(changes_[i]);
  }

 private:
  static void undo(Change &c) noexcept {
    NodeData *d = dataOf(c.node);
    switch (c.kind) {
      case Change::SkipCleared:
        d->flags |= lumo::kNodeSkipMerge;
        break;
      case Change::FlagDetached:
        lumo::storeInsert(d, c.at, c.rec);
        break;
      case Change::AttrAppended:
        lumo::storeRelease(d, lumo::storeDetach(d, d->attrCount - 1));
        break;
      case Change::ValueSwapped:
        lumo::storeSwapValue(d, c.at, &c.text, &c.bits, &c.decoded);
        if (c.bits & lumo::kRecTextOwned) lumo::freeText(c.text);
        lumo::freeText(c.decoded);
        break;
      case Change::ChildrenReplaced:
        for (int i = 0; i < d->childCount; ++i) node_del(d->childs[i]);
        lumo::nodeChildFree(d->childs);
        d->childs = c.childs;
        d->childCount = c.count;
        break;
      case Change::ChildAppended:
        node_del(d->childs[--d->childCount]);
        d->childs[d->childCount] = nullptr;
        break;
    }
  }
  static void release(Change &c) noexcept {
    switch (c.kind) {
      case Change::FlagDetached:
        lumo::storeRelease(dataOf(c.node), c.rec);
        break;
      case Change::ValueSwapped:
        if (c.bits & lumo::kRecTextOwned) lumo::freeText(c.text);
        lumo::freeText(c.decoded);
        break;
      case Change::ChildrenReplaced:
        for (int i = 0; i < c.count; ++i) node_del(c.childs[i]);
        lumo::nodeChildFree(c.childs);
        break;
      default:
        break;
    }
  }

  lumo::Buffer<Change> changes_{kNodeTid, kNodeSource};
};

Change change(Change::Kind kind, LumoNode *node) noexcept {
  return Change{kind, node, AttrRec{nullptr, nullptr, 0, 0}, 0, nullptr, 0, nullptr, nullptr, 0};
}

// The first entry of each name (case ignored) of a target's child or attribute list, for merges
// that look up many names among many entries. It knows the list it was built for; once that list
// has changed in any other way than by the appends it was told of, look-ups scan the list.
const char *nameOf(LumoNode *const &node) noexcept { return node_getName(node); }
const char *nameOf(const AttrRec &rec) noexcept { return orEmpty(rec.name); }

template <class T>
struct FirstByName {
  int *slots;
  int cap;
  const T *list;
  int known;

  void clear() noexcept {
    lumo::nodeFree(slots, __LINE__);
    slots = nullptr;
    cap = known = 0;
    list = nullptr;
  }
  bool current(const T *l, int count) const noexcept {
    return slots && list == l && known == count;
  }
  void put(const T *l, int pos) noexcept {
    const char *name = nameOf(l[pos]);
    unsigned mask = static_cast<unsigned>(cap - 1);
    for (unsigned i = lumo::keyedHash(name, true) & mask;; i = (i + 1) & mask) {
      int slot = slots[i];
      if (slot == 0) {
        slots[i] = pos + 1;
        return;
      }
      if (str_equalsi(nameOf(l[slot - 1]), name)) return;  // an earlier one keeps the name
    }
  }
  void build(const T *l, int count) noexcept {
    clear();
    int size = 32;
    while (size < 2 * count && size < INT_MAX / 4) size *= 2;
    void *table = mem_allocTID(size * static_cast<int>(sizeof(int)), kNodeTid, kNodeSource, __LINE__);
    if (!table) return;  // the scan gives the same answers
    slots = static_cast<int *>(table);
    cap = size;
    list = l;
    known = count;
    for (int i = 0; i < count; ++i) put(l, i);
  }
  // The position of the first entry named name ignoring case, or -1.
  int find(const T *l, int count, const char *name) noexcept {
    if (count >= kIndexFrom && !current(l, count)) build(l, count);
    if (!current(l, count)) {
      for (int i = 0; i < count; ++i)
        if (str_equalsi(nameOf(l[i]), name)) return i;
      return -1;
    }
    unsigned mask = static_cast<unsigned>(cap - 1);
    for (unsigned i = lumo::keyedHash(name, true) & mask;; i = (i + 1) & mask) {
      int slot = slots[i];
      if (slot == 0) return -1;
      if (str_equalsi(nameOf(l[slot - 1]), name)) return slot - 1;
    }
  }
  // An entry has just been appended to a list that was before.
  void appended(const T *l, int count, const T *before) noexcept {
    if (!slots || list != before || known != count - 1) return;
    if (2 * count > cap) {
      build(l, count);
      return;
    }
    list = l;
    known = count;
    put(l, count - 1);
  }
};

using ChildIndex = FirstByName<LumoNode *>;

struct MergeRun {
  int overwrite;
  int recursive;
  int replaceChilds;
  Journal journal;
};

bool appendAttrLogged(MergeRun &run, LumoNode *target, const char *name, const char *text) noexcept {
  if (!run.journal.record(change(Change::AttrAppended, target))) return false;
  if (!lumo::storeAdd(dataOf(target), name, text, false)) {
    run.journal.dropLast();
    return false;
  }
  return true;
}

bool overwriteLogged(MergeRun &run, LumoNode *target, int at, const char *text) noexcept {
  Change c = change(Change::ValueSwapped, target);
  c.at = at;
  c.text = lumo::escapeToBlock(text, &c.bits);
  if (!c.text) return false;
  if (!run.journal.record(c)) {
    lumo::freeText(c.text);
    return false;
  }
  Change &logged = run.journal.last();
  lumo::storeSwapValue(dataOf(target), at, &logged.text, &logged.bits, &logged.decoded);
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
    fresh = lumo::nodeChildBlock(n);
    if (!fresh) return false;
  }
  int made = 0;
  while (made < n && (fresh[made] = node_clone(sd->childs[made])) != nullptr) ++made;
  Change c = change(Change::ChildrenReplaced, target);
  c.childs = td->childs;
  c.count = td->childCount;
  if (made < n || !run.journal.record(c)) {
    for (int i = 0; i < made; ++i) node_del(fresh[i]);
    lumo::nodeChildFree(fresh);
    return false;
  }
  td->childs = fresh;
  td->childCount = n;
  return true;
}

// One level: a pending skip, the force flag, the attributes, and a wholesale replacement of the
// children. *descend tells whether the children are still to be merged one by one.
bool mergeLevel(MergeRun &run, LumoNode *target, LumoNode *source, int keepId,
                bool *descend) noexcept {
  NodeData *td = dataOf(target);
  NodeData *sd = dataOf(source);
  *descend = false;
  if (td->flags & lumo::kNodeSkipMerge) {
    int id = lumo::storeLookUp(td, "id");
    TraceOp.trc(kNodeObject, LUMO_TRC_S, __LINE__, LUMO_TRC_CODE, "%s %s skip merge",
                orEmpty(td->name), id >= 0 ? orEmpty(lumo::storeGetVal(td, id)) : "-");
    if (!run.journal.record(change(Change::SkipCleared, target))) return false;
    td->flags &= ~lumo::kNodeSkipMerge;
    return true;
  }
  bool forceRecursive = false;
  if (lumo_node_getBool(source, kForceRecursive, 0)) {
    Change c = change(Change::FlagDetached, source);
    c.at = lumo::storeLookUp(sd, kForceRecursive);
    if (!run.journal.record(c)) return false;
    run.journal.last().rec = lumo::storeDetach(sd, c.at);
    forceRecursive = true;
  }
  // Look-ups that ignore case scan the attributes; over many of them an index of the first of
  // each name answers instead.
  const bool ignoreCase = doc_isIgnoreCase() != 0;
  // Released when the level is done, whichever way it ends.
  struct Folded {
    FirstByName<AttrRec> index{};
    ~Folded() { index.clear(); }
  } folded;
  for (int i = 0; i < sd->attrCount; ++i) {
    // Names and texts stay where they are while records move: the pointers outlive an append.
    const char *name = lumo::recordsOf(sd)[i].name;
    const char *text = lumo::recordsOf(sd)[i].text;
    int to = -1;
    if (!ignoreCase) {
      to = lumo::storeFind(td, name);
    } else {
      to = folded.index.find(lumo::recordsOf(td), td->attrCount, orEmpty(name));
      if (to < 0) lumo::storeTraceMissing(td, name);
    }
    bool ok = true;
    if (to < 0) {
      const AttrRec *before = lumo::recordsOf(td);
      ok = appendAttrLogged(run, target, name, orEmpty(text));
      if (ok && ignoreCase) folded.index.appended(lumo::recordsOf(td), td->attrCount, before);
    } else if (run.overwrite && !(keepId && str_equals(name, "id"))) {
      ok = overwriteLogged(run, target, to, orEmpty(text));
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
  int at = index.find(td->childs, td->childCount, name);
  if (at >= 0) return td->childs[at];
  TraceOp.trc(kNodeObject, LUMO_TRC_S, __LINE__, LUMO_TRC_CODE, "Child node [%s] not found in node [%s].",
              orEmpty(name), orEmpty(td->name));
  LumoNode *copy = node_clone(child);
  if (!copy) return nullptr;
  if (!run.journal.record(change(Change::ChildAppended, target))) {
    node_del(copy);
    return nullptr;
  }
  LumoNode **before = td->childs;
  if (!node_appendChild(target, copy)) {
    run.journal.dropLast();
    return nullptr;
  }
  index.appended(td->childs, td->childCount, before);
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
  lumo::Buffer<Frame> stack(kNodeTid, kNodeSource);
  bool ok = stack.push(Frame{target, source, 0, ChildIndex{}});
  while (ok && !stack.empty()) {
    Frame &f = stack.top();
    NodeData *sd = dataOf(f.source);
    if (f.next >= sd->childCount) {
      f.index.clear();
      stack.pop();
      continue;
    }
    LumoNode *child = sd->childs[f.next++];
    LumoNode *match = matchOrAppend(run, f.target, f.index, child);  // f moves on a push only
    ok = match && mergeLevel(run, match, child, 0, &descend) &&
         (!descend || stack.push(Frame{match, child, 0, ChildIndex{}}));
  }
  for (int i = 0; i < stack.size(); ++i) stack[i].index.clear();
  return ok;
}

// Whether node lies below root in root's subtree; -1 when the walk had no memory.
int liesBelow(LumoNode *root, LumoNode *node) noexcept {
  lumo::Buffer<LumoNode *> pending(kNodeTid, kNodeSource);
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
  if (recursive && !replaceChilds && target != source && !(td->flags & lumo::kNodeSkipMerge)) {
    int flag = lumo::storeLookUp(sd, kForceRecursive);
    if (flag < 0 || !str_equalsi(lumo::recordsOf(sd)[flag].text, "true")) {
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
    TraceOp.trc(kNodeObject, LUMO_TRC_E, __LINE__, LUMO_TRC_CODE,
                "mergeNode(): out of memory, node [%s] left as it was.", orEmpty(td->name));
    return nullptr;
  }
  return target;
}
