// lumo: how a node is laid out in memory, shared by the node module, its attribute store, the
// merge, the parser and the serializer.
//
// A node is one tracked block: the copy of NodeOp that callers hold, the node's record, and what
// the node was made with: its attribute records and their stored texts. Documents are mostly
// nodes, and most nodes never change after they are read, so everything a parsed node needs
// comes in that one block. What a node gains later lives in blocks of its own: the extra record
// (element text, lock, attribute records that outgrew the block, look-up index, attribute
// objects and decoded copies), the child array, and the texts of changed values.
//
// Attributes are compact records, not objects: an AttrOp object is made only when a caller asks
// for one (getAttr, findAttr) or hands one over (addAttr). The node keeps it with its record; it
// reads and changes the record itself, so the object and the node's accessors always see one
// value, and it lives until its attribute is removed or the node is deleted.
#ifndef LUMO_IMPL_NODE_DATA_HPP
#define LUMO_IMPL_NODE_DATA_HPP

#include <lumo/mutex.h>
#include <lumo/node.h>

#include <atomic>
#include <cstddef>

#include "attr.hpp"
#include "object.hpp"

namespace lumo {

// The node module's allocation type, source tag and trace object, and its control attribute.
constexpr int kNodeTid = LUMO_TID_NODE;
constexpr const char *kNodeSource = "impl/node";
constexpr const char *kNodeObject = "ONode";
constexpr const char *kForceRecursive = "__forcerecursive__";

inline void nodeFree(void *p, int line) noexcept {
  if (p) MemOp.freeTID(p, kNodeTid, kNodeSource, line);
}

// One attribute of a node. name is a shared name (names.hpp) or null; text is the stored (escaped)
// text, inside the node's block or in a block of its own (bits: kRecEntities, kRecTextOwned).
struct AttrRec {
  const char *name;
  char *text;
  unsigned aux;  // 1 + the index of its AuxEntry; 0 when it has none
  unsigned bits;
};

// What a few attributes gain: the object handed out for them and the decoded copy of the value.
// rec is the position of the record (kept current when records move), -1 while the entry is
// free or its record is out of the list; nextFree chains the free entries (1 + index, 0 ends).
struct AuxEntry {
  LumoAttr *attr;
  char *decoded;
  int rec;
  int nextFree;
};

struct NodeExtra {
  // Made by the first wait, which any thread may call: published once, atomically.
  std::atomic<LumoMutex *> mux{nullptr};
  char *element = nullptr;
  AttrRec *attrs = nullptr;  // the records once they left the node's block
  int attrCap = 0;
  // Exact-name look-up: positions of the latest attribute of each name, for nodes with many.
  int *index = nullptr;
  int indexCap = 0;
  AuxEntry *aux = nullptr;
  int auxCount = 0;
  int auxCap = 0;
  int auxFree = 0;  // 1 + the first free entry; 0 when none is free
};

struct NodeData {
  LumoNode *parent = nullptr;  // not owned; the work-list link while a tree is deleted
  LumoNode **childs = nullptr;  // entries of a child block (see childCap)
  const char *name = nullptr;   // in the node's block, or a shared name (kNodeNameShared)
  // Any thread may create it (wait) while the thread that uses the tree changes the node.
  std::atomic<NodeExtra *> extra{nullptr};
  int type = 0;
  int childCount = 0;
  int attrCount = 0;
  unsigned flags = 0;
};
enum : unsigned {
  kNodeSkipMerge = 1u,
  kNodeNameShared = 2u,
  kNodeAttrsOut = 4u,  // the records live in extra->attrs
};

inline NodeData *nodeData(LumoNode *node) noexcept { return dataOf<NodeData>(node); }

inline NodeExtra *extraOf(const NodeData *d) noexcept {
  return d->extra.load(std::memory_order_acquire);
}

inline AttrRec *recordsOf(NodeData *d) noexcept {
  return d->flags & kNodeAttrsOut ? extraOf(d)->attrs : reinterpret_cast<AttrRec *>(d + 1);
}

// A child block: its capacity and the look-up hint of findNextNode ahead of the entries.
struct ChildHead {
  int cap;
  // Where findNextNode last stopped, so that walking the children of one name is linear: a hint
  // only, checked against the list before use (any thread reading the tree may move it).
  std::atomic<int> hint;
};
static_assert(sizeof(ChildHead) % alignof(LumoNode *) == 0, "entries follow the head aligned");

inline ChildHead *childHead(LumoNode **childs) noexcept {
  return reinterpret_cast<ChildHead *>(childs) - 1;
}

// ---- the node module (node.cpp) ----

// A node block with room for bytes more after its record (where records and texts go); the name
// is stored as given (shared: the reference passes to the node) or copied into the block.
// Counted; null when memory is refused (a shared name stays the caller's then).
LumoNode *nodeMake(const char *name, bool nameShared, LumoNode *parent, int type,
                   std::size_t bytes, int line) noexcept;
// The node's extra record, made when missing; null when memory is refused.
NodeExtra *nodeExtra(NodeData *d) noexcept;
// A child block for cap entries, and its release.
LumoNode **nodeChildBlock(int cap) noexcept;
void nodeChildFree(LumoNode **childs) noexcept;
// Installs count children (taken over) as the node's child list, which must be empty; false
// (nothing taken) when memory is refused.
bool nodeSetChildren(LumoNode *node, LumoNode *const *children, int count) noexcept;

// ---- the attribute store (node_attrs.cpp) ----

// The position of the attribute named name: the latest added of that name, or with the ignore-
// case switch on the first in order that matches ignoring case; -1 when there is none. No trace.
int storeLookUp(NodeData *d, const char *name) noexcept;
// storeLookUp with the "not found" trace line of the node module.
int storeFind(NodeData *d, const char *name) noexcept;
void storeTraceMissing(NodeData *d, const char *name) noexcept;
// Appends a record (its name reference and text pass to the node); false when memory is
// refused, and the record is then still the caller's.
bool storeAppend(NodeData *d, const AttrRec &rec) noexcept;
// A new record for name holding text escaped by the switches of the moment (raw: unchanged),
// appended; false (node unchanged) when memory is refused.
bool storeAdd(NodeData *d, const char *name, const char *text, bool raw) noexcept;
// Takes the record at i out of the list without releasing it, and puts one back at i.
AttrRec storeDetach(NodeData *d, int i) noexcept;
void storeInsert(NodeData *d, int i, const AttrRec &rec) noexcept;
// Releases what a record holds: name reference, own text, its object and decoded copy.
void storeRelease(NodeData *d, const AttrRec &rec) noexcept;
// Releases every record and everything that goes with them (node deletion and takeOver).
void storeClear(NodeData *d) noexcept;
// Builds, rebuilds or drops the exact-name index for the records as they are now (after a
// node was made with its records, or records were removed or renamed).
void storeReindex(NodeData *d) noexcept;
// The decoded value of record i (see AttrOp getVal); null when memory is refused.
const char *storeGetVal(NodeData *d, int i) noexcept;
// The object of record i, made on first request; null when memory is refused.
LumoAttr *storeObject(LumoNode *node, int i) noexcept;
// The position of attr among the node's records when the node keeps it, else -1.
int storeIndexOf(LumoNode *node, LumoAttr *attr) noexcept;
// The decoded copy slot of record i, or null when it has none.
char **storeDecodedSlot(NodeData *d, int i) noexcept;
// Exchanges the value of record i (text and entity/ownership bits) and its decoded copy with
// the given ones: changes staged whole (a merge, an object's deserialize) and their undoing.
void storeSwapValue(NodeData *d, int i, char **text, unsigned *bits, char **decoded) noexcept;

}  // namespace lumo

#endif
