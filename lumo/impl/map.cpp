// lumo: the map, string keys to opaque values in 1013 fixed buckets, each bucket a list of
// entries in insertion order. The map owns its entries and key copies, never the values.
#include <lumo/map.h>
#include <lumo/trace.h>

#include "mem.hpp"
#include "object.hpp"
#include "str.hpp"

namespace {

constexpr int kTid = LUMO_TID_MAP;
constexpr const char *kSource = "impl/map";
constexpr const char *kObject = "OMap";

lumo::ClassInfo mapClass{"OMap", kTid, kSource};

struct Entry {
  char *key;  // string-module copy under the map's allocation type
  void *value;
};

struct MapData {
  int iterBucket = 0;
  int size = 0;
  LumoList *buckets[LUMO_MAP_BUCKETS] = {};
};

// Bytes count as unsigned and the accumulator wraps at 2^32, so the bucket of a key is the same
// on every platform whatever the signedness of char.
int bucketOf(const char *key) {
  unsigned int acc = 0;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(key); *p; ++p)
    acc = acc * 31u + *p;
  return static_cast<int>(acc % LUMO_MAP_BUCKETS);
}

void freeEntry(Entry *e) {
  str_freeStrID(e->key, kTid);
  mem_freeTID(e, kTid, kSource, __LINE__);
}

// The entry under key, walking the bucket with the list's own cursor (callers that remove use
// the cursor position afterwards).
Entry *findEntry(MapData *d, int bucket, const char *key) {
  LumoList *list = d->buckets[bucket];
  if (!list) return nullptr;
  for (Entry *e = static_cast<Entry *>(ListOp.first(list)); e;
       e = static_cast<Entry *>(ListOp.next(list)))
    if (str_equals(e->key, key)) return e;
  return nullptr;
}

// The look-up shared by get, haskey and put.
Entry *lookUp(MapData *d, const char *key) {
  int bucket = bucketOf(key);
  Entry *e = findEntry(d, bucket, key);
  if (e)
    TraceOp.trc(kObject, LUMO_TRC_D, __LINE__, LUMO_TRC_CODE,
                "findMapItem(): hashVal = %d, key = %s", bucket, key);
  return e;
}

// Removes the entry under key; its value, or null when absent.
void *removeEntry(MapData *d, const char *key) {
  int bucket = bucketOf(key);
  LumoList *list = d->buckets[bucket];
  Entry *e = findEntry(d, bucket, key);
  if (!e) return nullptr;
  void *value = e->value;
  ListOp.remove(list, ListOp.getIndex(list));
  --d->size;
  freeEntry(e);
  if (ListOp.size(list) == 0) {
    ListOp.del(list);
    d->buckets[bucket] = nullptr;
  }
  return value;
}

// First entry of the first non-empty bucket from bucket from on; remembers its bucket.
Entry *scanFrom(MapData *d, int from) {
  for (int b = from; b < LUMO_MAP_BUCKETS; ++b) {
    LumoList *list = d->buckets[b];
    if (!list) continue;
    if (Entry *e = static_cast<Entry *>(ListOp.first(list))) {
      d->iterBucket = b;
      return e;
    }
  }
  return nullptr;
}

Entry *nextEntry(MapData *d) {
  LumoList *list = d->buckets[d->iterBucket];
  if (list)
    if (Entry *e = static_cast<Entry *>(ListOp.next(list))) return e;
  return scanFrom(d, d->iterBucket + 1);
}

// The value of an entry of the iteration, reporting its key where asked.
void *deliver(Entry *e, char **key) {
  if (key) *key = e ? e->key : nullptr;
  return e ? e->value : nullptr;
}

struct Impl : lumo::Base<LumoMap, mapClass> {
  static void del(LumoMap *self) noexcept {
    if (!self) return;
    clear(self);
    lumo::freeInstance<MapData>(self, mapClass, __LINE__);
  }

  static char *toString(LumoMap *) noexcept {
    static char empty[1] = "";
    return empty;
  }

  static void clear(LumoMap *self) noexcept {
    MapData *d = lumo::dataOf<MapData>(self);
    if (!d) return;
    for (LumoList *&list : d->buckets) {
      if (!list) continue;
      int n = ListOp.size(list);
      for (int i = 0; i < n; ++i) freeEntry(static_cast<Entry *>(ListOp.get(list, i)));
      ListOp.del(list);
      list = nullptr;
    }
    d->size = 0;
  }

  static void *first(LumoMap *self) noexcept { return first2key(self, nullptr); }

  static void *first2key(LumoMap *self, char **key) noexcept {
    MapData *d = lumo::dataOf<MapData>(self);
    return deliver(d ? scanFrom(d, 0) : nullptr, key);
  }

  static void *get(LumoMap *self, const char *key) noexcept {
    MapData *d = lumo::dataOf<MapData>(self);
    if (!d || !key || !*key) return nullptr;
    Entry *e = lookUp(d, key);
    return e ? e->value : nullptr;
  }

  // Walks the buckets by position, so neither the map's iteration nor a bucket's cursor moves.
  static LumoList *getList(LumoMap *self) noexcept {
    MapData *d = lumo::dataOf<MapData>(self);
    if (!d) return nullptr;
    LumoList *values = ListOp.inst();
    if (!values) return nullptr;
    for (LumoList *list : d->buckets) {
      if (!list) continue;
      int n = ListOp.size(list);
      for (int i = 0; i < n; ++i) {
        int before = ListOp.size(values);
        ListOp.add(values, static_cast<Entry *>(ListOp.get(list, i))->value);
        if (ListOp.size(values) == before) {  // the list has traced the refused growth
          ListOp.del(values);
          return nullptr;
        }
      }
    }
    return values;
  }

  static int haskey(LumoMap *self, const char *key) noexcept {
    MapData *d = lumo::dataOf<MapData>(self);
    if (!d || !key) return 0;
    return lookUp(d, key) != nullptr;
  }

  static LumoMap *inst() noexcept {
    MapData *d = nullptr;
    LumoMap *self = lumo::newInstance<MapData>(MapOp, mapClass, __LINE__, &d);
    if (!self) return nullptr;
    lumo::countInstance(mapClass);
    return self;
  }

  static void *next(LumoMap *self) noexcept { return next2key(self, nullptr); }

  static void *next2key(LumoMap *self, char **key) noexcept {
    MapData *d = lumo::dataOf<MapData>(self);
    return deliver(d ? nextEntry(d) : nullptr, key);
  }

  // The new entry and its key copy are made before an old entry under the key goes, so a
  // refused allocation leaves the map as it was instead of dropping the key.
  static void put(LumoMap *self, const char *key, void *value) noexcept {
    MapData *d = lumo::dataOf<MapData>(self);
    if (!d || !key) return;
    Entry *e = static_cast<Entry *>(mem_allocTID(sizeof(Entry), kTid, kSource, __LINE__));
    char *copy = e ? str_dupID(key, kTid) : nullptr;
    if (!copy) {
      mem_freeTID(e, kTid, kSource, __LINE__);
      TraceOp.trc(kObject, LUMO_TRC_E, __LINE__, LUMO_TRC_CODE,
                  "addMapItem(): out of memory, key = %s", key);
      return;
    }
    e->key = copy;
    e->value = value;

    if (lookUp(d, key)) {
      TraceOp.trc(kObject, LUMO_TRC_D, __LINE__, LUMO_TRC_CODE,
                  "replace existing object with key [%s]", key);
      removeEntry(d, key);
    }
    int bucket = bucketOf(key);
    LumoList *&list = d->buckets[bucket];
    if (list) {
      TraceOp.trc(kObject, LUMO_TRC_D, __LINE__, LUMO_TRC_CODE,
                  "addMapItem(): *MULTIPLE* hashVal = %d, key = %s", bucket, key);
    } else {
      list = ListOp.inst();
    }
    int before = list ? ListOp.size(list) : 0;
    if (list) ListOp.add(list, e);
    if (!list || ListOp.size(list) == before) {
      TraceOp.trc(kObject, LUMO_TRC_E, __LINE__, LUMO_TRC_CODE,
                  "addMapItem(): out of memory, key = %s", key);
      freeEntry(e);
      if (list && ListOp.size(list) == 0) {
        ListOp.del(list);
        list = nullptr;
      }
      return;
    }
    ++d->size;
  }

  static void *remove(LumoMap *self, const char *key) noexcept {
    MapData *d = lumo::dataOf<MapData>(self);
    if (!d || !key) return nullptr;
    return removeEntry(d, key);
  }

  static int size(LumoMap *self) noexcept {
    MapData *d = lumo::dataOf<MapData>(self);
    return d ? d->size : 0;
  }
};

}  // namespace

const LumoMap MapOp = {LUMO_BASE_INIT(Impl), LUMO_MAP_OPS(LUMO_SLOT_INIT_MEMBER, Impl)};

namespace {
constexpr const char *kMapSlots[] = {LUMO_MAP_OPS(LUMO_SLOT_NAME, _)};
static_assert(lumo::namesAscending(kMapSlots), "MapOp slots are in byte-wise order");
static_assert(lumo::classLayoutOk<LumoMap, 12>(), "MapOp has the base slots and 12 own slots");
}  // namespace
