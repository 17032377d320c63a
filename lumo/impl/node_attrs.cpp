// lumo: the attributes of a node: compact records, the look-up by name, the typed accessors that
// configuration and commands are read through, and the attribute objects made on request.
#include <lumo/doc.h>
#include <lumo/trace.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>

#include "attr.hpp"
#include "buffer.hpp"
#include "doc.hpp"
#include "keyhash.hpp"
#include "mem.hpp"
#include "names.hpp"
#include "node.hpp"
#include "node_data.hpp"
#include "str.hpp"

using lumo::AttrRec;
using lumo::AuxEntry;
using lumo::NodeData;
using lumo::kForceRecursive;
using lumo::kNodeObject;
using lumo::kNodeSource;
using lumo::kNodeTid;
using lumo::orEmpty;
using lumo::NodeExtra;

namespace {


// ---- the look-up index ----
//
// The look-up finds the latest added attribute of a name that the node still holds; an empty or
// missing name finds nothing. A node with few attributes is searched from its last attribute
// backwards; from kIndexFrom attributes on, an open-addressing table of positions (the latest
// position of each name) answers instead, rebuilt whenever an attribute goes.
constexpr int kIndexFrom = 16;

// Keyed per process: names that collide cannot be chosen by whoever writes the document.
unsigned nameHash(const char *name) noexcept { return lumo::keyedHash(name); }

void dropIndex(NodeExtra *x) noexcept {
  if (!x) return;
  lumo::nodeFree(x->index, __LINE__);
  x->index = nullptr;
  x->indexCap = 0;
}

// Enters position pos under its attribute's name, replacing an earlier position of that name.
void indexPut(NodeExtra *x, const AttrRec *recs, int pos) noexcept {
  const char *name = recs[pos].name;
  if (!name) return;
  unsigned mask = static_cast<unsigned>(x->indexCap - 1);
  for (unsigned i = nameHash(name) & mask;; i = (i + 1) & mask) {
    int slot = x->index[i];
    if (slot == 0 || str_equals(recs[slot - 1].name, name)) {
      x->index[i] = pos + 1;
      return;
    }
  }
}

// (Re)builds the table for the present attributes, or drops it when the node has few. Without
// memory for it the node is searched by the scan, with the same results.
void rebuildIndex(NodeData *d) noexcept {
  dropIndex(extraOf(d));
  if (d->attrCount < kIndexFrom) return;
  NodeExtra *x = lumo::nodeExtra(d);
  if (!x) return;
  int cap = 32;
  while (cap < 2 * d->attrCount && cap < INT_MAX / 4) cap *= 2;
  void *table = mem_allocTID(cap * static_cast<int>(sizeof(int)), kNodeTid, kNodeSource, __LINE__);
  if (!table) return;
  x->index = static_cast<int *>(table);
  x->indexCap = cap;
  const AttrRec *recs = recordsOf(d);
  for (int i = 0; i < d->attrCount; ++i) indexPut(x, recs, i);
}

// The record at position pos has just been appended.
void indexAppended(NodeData *d, int pos) noexcept {
  if (d->attrCount < kIndexFrom) return;
  NodeExtra *x = extraOf(d);
  if (!x || !x->index || 2 * d->attrCount > x->indexCap) {
    rebuildIndex(d);
    return;
  }
  indexPut(x, recordsOf(d), pos);
}

int findByName(NodeData *d, const char *name) noexcept {
  if (!name || !*name) return -1;
  const AttrRec *recs = recordsOf(d);
  NodeExtra *x = extraOf(d);
  if (!x || !x->index) {
    for (int i = d->attrCount - 1; i >= 0; --i)
      if (recs[i].name && std::strcmp(recs[i].name, name) == 0) return i;
    return -1;
  }
  unsigned mask = static_cast<unsigned>(x->indexCap - 1);
  for (unsigned i = nameHash(name) & mask;; i = (i + 1) & mask) {
    int slot = x->index[i];
    if (slot == 0) return -1;
    if (str_equals(recs[slot - 1].name, name)) return slot - 1;
  }
}

// ---- aux entries ----

AuxEntry *auxOf(NodeData *d, const AttrRec &r) noexcept {
  return r.aux ? &extraOf(d)->aux[r.aux - 1] : nullptr;
}

// Gives record i an aux entry when it has none; false when memory is refused.
bool auxFor(NodeData *d, int i) noexcept {
  if (recordsOf(d)[i].aux) return true;
  NodeExtra *x = lumo::nodeExtra(d);
  if (!x) return false;
  int at = x->auxFree - 1;
  if (at >= 0) {
    x->auxFree = x->aux[at].nextFree;
  } else {
    if (x->auxCount == x->auxCap) {
      if (x->auxCap > INT_MAX / 4 / static_cast<int>(sizeof(AuxEntry))) return false;
      int cap = x->auxCap ? 2 * x->auxCap : 4;
      int bytes = cap * static_cast<int>(sizeof(AuxEntry));
      void *fresh = lumo::growBlock(x->aux, bytes, kNodeTid, kNodeSource, __LINE__);
      if (!fresh) return false;
      x->aux = static_cast<AuxEntry *>(fresh);
      x->auxCap = cap;
    }
    at = x->auxCount++;
  }
  x->aux[at] = AuxEntry{nullptr, nullptr, i, 0};
  recordsOf(d)[i].aux = static_cast<unsigned>(at + 1);
  return true;
}

void auxFree(NodeData *d, unsigned aux) noexcept {
  if (!aux) return;
  NodeExtra *x = extraOf(d);
  AuxEntry &e = x->aux[aux - 1];
  lumo::attrDrop(e.attr);
  lumo::freeText(e.decoded);
  e = AuxEntry{nullptr, nullptr, -1, x->auxFree};
  x->auxFree = static_cast<int>(aux);
}

// Records from..count-1 have moved to new positions: their aux entries follow.
void auxRenumber(NodeData *d, int from) noexcept {
  AttrRec *recs = recordsOf(d);
  for (int i = from; i < d->attrCount; ++i)
    if (recs[i].aux) extraOf(d)->aux[recs[i].aux - 1].rec = i;
}

// Moves the records out of the node's block (or grows their block) to hold one more.
bool roomForOne(NodeData *d) noexcept {
  NodeExtra *x = lumo::nodeExtra(d);
  if (!x) return false;
  bool out = (d->flags & lumo::kNodeAttrsOut) != 0;
  if (out && d->attrCount < x->attrCap) return true;
  if (d->attrCount >= INT_MAX / 2 / static_cast<int>(sizeof(AttrRec)) - 4) return false;
  int cap = d->attrCount < 4 ? 4 : d->attrCount + d->attrCount / 2;
  int bytes = cap * static_cast<int>(sizeof(AttrRec));
  // Records still inside the node's own block move out into a block of their own.
  void *fresh = lumo::growBlock(out ? x->attrs : nullptr, bytes, kNodeTid, kNodeSource, __LINE__);
  if (!fresh) return false;
  if (!out) {
    std::memcpy(fresh, recordsOf(d), static_cast<std::size_t>(d->attrCount) * sizeof(AttrRec));
    d->flags |= lumo::kNodeAttrsOut;
  }
  x->attrs = static_cast<AttrRec *>(fresh);
  x->attrCap = cap;
  return true;
}

// The value of record i, for the setters.
lumo::ValueRef valueOf(NodeData *d, int i) noexcept {
  AttrRec &r = recordsOf(d)[i];
  return lumo::ValueRef{&r.text, &r.bits, lumo::storeDecodedSlot(d, i), nullptr};
}

// A typed setter: an existing attribute takes the value in place; a missing one is made, given
// the value and only then appended, so a refusal anywhere leaves the node as it was.
template <class Put>
void setTyped(LumoNode *node, const char *name, Put put) noexcept {
  NodeData *d = lumo::nodeData(node);
  if (!d) return;
  int i = lumo::storeFind(d, name);
  if (i >= 0) {
    put(valueOf(d, i));
    return;
  }
  const char *shared = name ? lumo::nameNew(name, std::strlen(name)) : nullptr;
  if (name && !shared) return;
  AttrRec rec{shared, nullptr, 0, 0};
  if (!put(lumo::ValueRef{&rec.text, &rec.bits, nullptr, nullptr}) ||
      !lumo::storeAppend(d, rec)) {
    lumo::storeRelease(d, rec);
  }
}

}  // namespace

// ---- the store ----

namespace lumo {

int storeLookUp(NodeData *d, const char *name) noexcept {
  if (doc_isIgnoreCase()) {
    const AttrRec *recs = recordsOf(d);
    for (int i = 0; i < d->attrCount; ++i)
      if (str_equalsi(recs[i].name, name)) return i;
    return -1;
  }
  return findByName(d, name);
}

void storeTraceMissing(NodeData *d, const char *name) noexcept {
  TraceOp.trc(kNodeObject, LUMO_TRC_S, __LINE__, LUMO_TRC_CODE, "Attribute [%s] not found in node [%s].",
              orEmpty(name), orEmpty(d->name));
}

int storeFind(NodeData *d, const char *name) noexcept {
  int i = storeLookUp(d, name);
  if (i < 0) storeTraceMissing(d, name);
  return i;
}

bool storeAppend(NodeData *d, const AttrRec &rec) noexcept {
  if (!roomForOne(d)) return false;
  int at = d->attrCount++;
  recordsOf(d)[at] = rec;
  if (rec.aux) extraOf(d)->aux[rec.aux - 1].rec = at;
  indexAppended(d, at);
  return true;
}

bool storeAdd(NodeData *d, const char *name, const char *text, bool raw) noexcept {
  const char *shared = name ? nameNew(name, std::strlen(name)) : nullptr;
  if (name && !shared) return false;
  AttrRec rec{shared, nullptr, 0, 0};
  if (raw) {
    std::size_t len = std::strlen(text);
    if (len < static_cast<std::size_t>(INT_MAX)) {
      rec.text = static_cast<char *>(
          mem_allocTID(static_cast<int>(len + 1), LUMO_TID_ATTR, "impl/attr", __LINE__));
      if (rec.text) std::memcpy(rec.text, text, len);
    }
    rec.bits = kRecTextOwned;
  } else {
    rec.text = escapeToBlock(text, &rec.bits);
  }
  if (rec.text && storeAppend(d, rec)) return true;
  storeRelease(d, rec);
  return false;
}

AttrRec storeDetach(NodeData *d, int i) noexcept {
  AttrRec *recs = recordsOf(d);
  AttrRec rec = recs[i];
  std::memmove(static_cast<void *>(recs + i), recs + i + 1,
               static_cast<std::size_t>(d->attrCount - i - 1) * sizeof(AttrRec));
  --d->attrCount;
  if (rec.aux) extraOf(d)->aux[rec.aux - 1].rec = -1;
  auxRenumber(d, i);
  // When the latest attribute of a name goes, an earlier one of the same name that the node
  // still holds becomes the one found, instead of becoming unreachable.
  NodeExtra *x = extraOf(d);
  if (x && x->index) rebuildIndex(d);
  return rec;
}

// The slot it goes back into is still there: a list of records never shrinks.
void storeInsert(NodeData *d, int i, const AttrRec &rec) noexcept {
  AttrRec *recs = recordsOf(d);
  std::memmove(static_cast<void *>(recs + i + 1), recs + i,
               static_cast<std::size_t>(d->attrCount - i) * sizeof(AttrRec));
  recs[i] = rec;
  ++d->attrCount;
  auxRenumber(d, i);
  rebuildIndex(d);
}

void storeRelease(NodeData *d, const AttrRec &rec) noexcept {
  nameRelease(rec.name);
  if (rec.bits & kRecTextOwned) freeText(rec.text);
  auxFree(d, rec.aux);
}

void storeClear(NodeData *d) noexcept {
  AttrRec *recs = recordsOf(d);
  NodeExtra *x = extraOf(d);
  for (int i = 0; i < d->attrCount; ++i) {
    nameRelease(recs[i].name);
    if (recs[i].bits & kRecTextOwned) freeText(recs[i].text);
  }
  d->attrCount = 0;
  if (!x) return;
  for (int i = 0; i < x->auxCount; ++i) {
    attrDrop(x->aux[i].attr);
    freeText(x->aux[i].decoded);
  }
  lumo::nodeFree(x->aux, __LINE__);
  x->aux = nullptr;
  x->auxCount = x->auxCap = x->auxFree = 0;
  dropIndex(x);
  if (d->flags & kNodeAttrsOut) lumo::nodeFree(x->attrs, __LINE__);
  x->attrs = nullptr;
  x->attrCap = 0;
  d->flags &= ~kNodeAttrsOut;
}

void storeReindex(NodeData *d) noexcept { rebuildIndex(d); }

const char *storeGetVal(NodeData *d, int i) noexcept {
  AttrRec *r = &recordsOf(d)[i];
  if (!(r->bits & kRecEntities) || !r->text) return r->text;
  AuxEntry *e = auxOf(d, *r);
  if (e && e->decoded) return e->decoded;
  char *copy = nullptr;
  int made = decodeStored(r->text, &copy);
  // The stored text is not the value: without room for the decoded copy there is no value.
  if (made < 0) return nullptr;
  if (made == 0) return r->text;
  if (!auxFor(d, i)) {
    freeText(copy);
    return nullptr;
  }
  auxOf(d, recordsOf(d)[i])->decoded = copy;
  return copy;
}

LumoAttr *storeObject(LumoNode *node, int i) noexcept {
  NodeData *d = nodeData(node);
  AttrRec &r = recordsOf(d)[i];
  if (r.aux && extraOf(d)->aux[r.aux - 1].attr) return extraOf(d)->aux[r.aux - 1].attr;
  bool fresh = r.aux == 0;
  if (!auxFor(d, i)) return nullptr;
  unsigned aux = recordsOf(d)[i].aux;
  LumoAttr *attr = attrBound(node, static_cast<int>(aux));
  if (!attr) {
    if (fresh) {
      recordsOf(d)[i].aux = 0;
      auxFree(d, aux);
    }
    return nullptr;
  }
  extraOf(d)->aux[aux - 1].attr = attr;
  return attr;
}

int storeIndexOf(LumoNode *node, LumoAttr *attr) noexcept {
  LumoNode *owner = nullptr;
  int aux = 0;
  if (!attrKeptBy(attr, &owner, &aux) || owner != node) return -1;
  NodeExtra *x = extraOf(nodeData(node));
  return x && aux >= 1 && aux <= x->auxCount ? x->aux[aux - 1].rec : -1;
}

char **storeDecodedSlot(NodeData *d, int i) noexcept {
  AuxEntry *e = auxOf(d, recordsOf(d)[i]);
  return e ? &e->decoded : nullptr;
}

void storeSwapValue(NodeData *d, int i, char **text, unsigned *bits, char **decoded) noexcept {
  AttrRec &r = recordsOf(d)[i];
  char *t = r.text;
  r.text = *text;
  *text = t;
  unsigned b = r.bits;
  r.bits = *bits;
  *bits = b;
  char **slot = storeDecodedSlot(d, i);
  if (slot) {
    char *c = *slot;
    *slot = *decoded;
    *decoded = c;
  }
}

}  // namespace lumo

// ---- the table's attribute operations ----

using lumo::recordsOf;

void node_addAttr(LumoNode *node, LumoAttr *attr) noexcept { node_appendAttr(node, attr); }

// The node takes the attribute over, so one it cannot hold is deleted rather than lost. An
// attribute that a node already keeps is not taken a second time.
bool node_appendAttr(LumoNode *node, LumoAttr *attr) noexcept {
  NodeData *d = lumo::nodeData(node);
  if (!d || !attr) return false;
  LumoNode *owner = nullptr;
  int kept = 0;
  if (lumo::attrKeptBy(attr, &owner, &kept)) return false;
  AttrRec rec{nullptr, nullptr, 0, 0};
  char *decoded = nullptr;
  NodeExtra *x = lumo::nodeExtra(d);
  // The record's slot and the object's entry are made before anything is handed over.
  bool ok = x && roomForOne(d);
  if (ok) {
    d->attrCount++;  // a placeholder record, so that the entry has a position to point at
    recordsOf(d)[d->attrCount - 1] = rec;
    ok = auxFor(d, d->attrCount - 1);
    if (!ok) d->attrCount--;
  }
  if (!ok) {
    attr_del(attr);
    return false;
  }
  int at = d->attrCount - 1;
  unsigned aux = recordsOf(d)[at].aux;
  if (!lumo::attrHandOver(attr, node, static_cast<int>(aux), &rec.name, &rec.text, &rec.bits,
                          &decoded)) {
    auxFree(d, aux);
    d->attrCount--;
    attr_del(attr);
    return false;
  }
  rec.aux = aux;
  recordsOf(d)[at] = rec;
  x->aux[aux - 1].attr = attr;
  x->aux[aux - 1].decoded = decoded;
  indexAppended(d, at);
  return true;
}

void node_clearControlAttributes(LumoNode *node) noexcept {
  NodeData *d = lumo::nodeData(node);
  if (!d) return;
  for (const char *name : {"replacechilds", kForceRecursive, "prev_id"}) {
    int i = lumo::storeLookUp(d, name);
    if (i >= 0) lumo::storeRelease(d, lumo::storeDetach(d, i));
  }
}

LumoAttr *node_findAttr(LumoNode *node, const char *name) noexcept {
  NodeData *d = lumo::nodeData(node);
  if (!d) return nullptr;
  int i = lumo::storeFind(d, name);
  return i >= 0 ? lumo::storeObject(node, i) : nullptr;
}

LumoAttr *node_getAttr(LumoNode *node, int index) noexcept {
  NodeData *d = lumo::nodeData(node);
  return d && index >= 0 && index < d->attrCount ? lumo::storeObject(node, index) : nullptr;
}

int node_getAttrCnt(LumoNode *node) noexcept {
  NodeData *d = lumo::nodeData(node);
  return d ? d->attrCount : 0;
}

// Only an attribute of this node is deleted; any other belongs to someone else.
void node_removeAttr(LumoNode *node, LumoAttr *attr) noexcept {
  NodeData *d = lumo::nodeData(node);
  if (!d || !attr) return;
  int i = lumo::storeIndexOf(node, attr);
  if (i >= 0) lumo::storeRelease(d, lumo::storeDetach(d, i));
}

void node_removeAttrByName(LumoNode *node, const char *name) noexcept {
  NodeData *d = lumo::nodeData(node);
  if (!d) return;
  int i = lumo::storeFind(d, name);
  if (i >= 0) lumo::storeRelease(d, lumo::storeDetach(d, i));
}

bool node_attrValue(LumoNode *node, const char *name, const char **value) noexcept {
  NodeData *d = lumo::nodeData(node);
  int i = d ? lumo::storeFind(d, name) : -1;
  if (i < 0) return false;
  *value = lumo::storeGetVal(d, i);
  return true;
}

const char *node_attrName(LumoNode *node, int index) noexcept {
  NodeData *d = lumo::nodeData(node);
  return d && index >= 0 && index < d->attrCount ? recordsOf(d)[index].name : nullptr;
}

namespace {

// The record of name for a getter, or null (traced as findAttr traces).
AttrRec *recordFor(LumoNode *node, const char *name, NodeData **d) noexcept {
  *d = lumo::nodeData(node);
  if (!*d) return nullptr;
  int i = lumo::storeFind(*d, name);
  return i >= 0 ? &recordsOf(*d)[i] : nullptr;
}

}  // namespace

int lumo_node_getBool(LumoNode *node, const char *name, int def) {
  NodeData *d;
  AttrRec *r = recordFor(node, name, &d);
  return r ? str_equalsi(r->text, "true") : def;
}

double lumo_node_getFloat(LumoNode *node, const char *name, double def) {
  NodeData *d;
  AttrRec *r = recordFor(node, name, &d);
  return r ? (r->text ? std::strtod(r->text, nullptr) : 0.0) : def;
}

int lumo_node_getInt(LumoNode *node, const char *name, int def) {
  NodeData *d;
  AttrRec *r = recordFor(node, name, &d);
  if (!r) return def;
  if (!r->text) return 0;
  // Out-of-range texts saturate at the 32-bit limits on every platform, as the target reads them.
  long v = std::strtol(r->text, nullptr, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

long lumo_node_getLong(LumoNode *node, const char *name, long def) {
  NodeData *d;
  AttrRec *r = recordFor(node, name, &d);
  return r ? (r->text ? std::strtol(r->text, nullptr, 10) : 0L) : def;
}

const char *lumo_node_getStr(LumoNode *node, const char *name, const char *def) {
  NodeData *d;
  AttrRec *r = recordFor(node, name, &d);
  const char *value = r ? lumo::storeGetVal(d, static_cast<int>(r - recordsOf(d))) : nullptr;
  return value ? value : def;
}

const char *lumo_node_getRawVal(LumoNode *node, const char *name, const char *def) {
  NodeData *d;
  AttrRec *r = recordFor(node, name, &d);
  if (!r) return def;
  char **decoded = lumo::storeDecodedSlot(d, static_cast<int>(r - recordsOf(d)));
  return decoded && *decoded ? *decoded : r->text;
}

void lumo_node_setBool(LumoNode *node, const char *name, int value) {
  setTyped(node, name, [value](const lumo::ValueRef &v) { return lumo::valuePutBoolean(v, value); });
}

void lumo_node_setFloat(LumoNode *node, const char *name, double value) {
  setTyped(node, name, [value](const lumo::ValueRef &v) { return lumo::valuePutFloat(v, value); });
}

void lumo_node_setInt(LumoNode *node, const char *name, int value) {
  setTyped(node, name, [value](const lumo::ValueRef &v) { return lumo::valuePutInt(v, value); });
}

void lumo_node_setLong(LumoNode *node, const char *name, long value) {
  setTyped(node, name, [value](const lumo::ValueRef &v) { return lumo::valuePutLong(v, value); });
}

void lumo_node_setStr(LumoNode *node, const char *name, const char *text) {
  NodeData *d = lumo::nodeData(node);
  if (!d) return;
  int i = lumo::storeFind(d, name);
  if (i >= 0)
    lumo::valuePutVal(valueOf(d, i), orEmpty(text));
  else if (text)
    lumo::storeAdd(d, name, text, false);
}

void lumo_node_setRawVal(LumoNode *node, const char *name, const char *text) {
  NodeData *d = lumo::nodeData(node);
  if (!d) return;
  if (!text) {
    int i = lumo::storeFind(d, name);
    if (i >= 0) lumo::storeRelease(d, lumo::storeDetach(d, i));
    return;
  }
  setTyped(node, name, [text](const lumo::ValueRef &v) { return lumo::valuePutRaw(v, text); });
}

void node_setForceRecursive(LumoNode *node) noexcept {
  lumo_node_setBool(node, kForceRecursive, 1);
}
