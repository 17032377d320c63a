// lumo: the map, string keys to opaque values in 1013 fixed buckets, each bucket its entries in
// insertion order. The map owns its entries and key copies, never the values.
#include <lumo/map.h>
#include <lumo/trace.h>

#include <climits>
#include <cstring>

#include "buffer.hpp"
#include "mem.hpp"
#include "object.hpp"
#include "str.hpp"
#include "trace.hpp"

namespace {

constexpr int kTid = LUMO_TID_MAP;
constexpr const char *kSource = "impl/map";
constexpr const char *kObject = "OMap";

lumo::ClassInfo mapClass{"OMap", kTid, kSource};

// A bucket holds its entries in insertion order in one block, and a cursor that follows the
// rules of a list's cursor (first sets it to 0, next moves it on while there is a next entry,
// removing an entry leaves it where it is), because look-ups and the iteration share it exactly
// as they would share a bucket list's. Each entry keeps its key's hash accumulator, so a walk
// compares texts only where the accumulators agree.
struct Entry {
  unsigned hash;
  char *key;  // string-module copy under the map's allocation type
  void *value;
};

struct Bucket {
  int count;
  int capacity;
  int cursor;
  Entry entries[1];  // capacity entries
};

// Two entries keep a new bucket among the C library's smallest blocks; it doubles when full.
constexpr int kFirstEntries = 2;

struct MapData {
  int iterBucket = 0;
  int size = 0;
  Bucket *buckets[LUMO_MAP_BUCKETS] = {};
};

// Bytes count as unsigned and the accumulator wraps at 2^32, so the bucket of a key is the same
// on every platform whatever the signedness of char.
unsigned hashOf(const char *key) {
  unsigned int acc = 0;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(key); *p; ++p)
    acc = acc * 31u + *p;
  return acc;
}

int bucketOf(unsigned hash) { return static_cast<int>(hash % LUMO_MAP_BUCKETS); }

int bytesFor(int entries) {
  return static_cast<int>(sizeof(Bucket) + static_cast<std::size_t>(entries - 1) * sizeof(Entry));
}

Bucket *newBucket() {
  auto *b = static_cast<Bucket *>(mem_allocTID(bytesFor(kFirstEntries), kTid, kSource, __LINE__));
  if (b) b->capacity = kFirstEntries;
  return b;
}

void freeBucket(Bucket *b) { mem_freeTID(b, kTid, kSource, __LINE__); }

// Appends an entry; false (the bucket unchanged) when it cannot grow.
bool append(Bucket *&b, const Entry &e) {
  if (b->count == b->capacity) {
    if (b->capacity > (INT_MAX / static_cast<int>(sizeof(Entry))) / 2 - 1) return false;
    int capacity = b->capacity * 2;
    void *fresh = lumo::growBlock(b, bytesFor(capacity), kTid, kSource, __LINE__);
    if (!fresh) return false;
    b = static_cast<Bucket *>(fresh);
    b->capacity = capacity;
  }
  b->entries[b->count++] = e;
  return true;
}

// The bucket's own first and next, as a list's.
Entry *first(Bucket *b) {
  if (b->count == 0) return nullptr;
  b->cursor = 0;
  return &b->entries[0];
}

Entry *next(Bucket *b) {
  if (b->cursor + 1 >= b->count) return nullptr;
  return &b->entries[++b->cursor];
}

void freeEntryKey(Entry &e) { str_freeStrID(e.key, kTid); }

// The entry under key, walking the bucket with its cursor (callers that remove use the cursor
// position afterwards): the cursor ends on the match, or on the last entry when none matches.
Entry *findEntry(MapData *d, int bucket, unsigned hash, const char *key) {
  Bucket *b = d->buckets[bucket];
  if (!b || b->count == 0) return nullptr;
  int i = 0;
  for (; i < b->count; ++i) {
    const Entry &e = b->entries[i];
    if (e.hash == hash && str_equals(e.key, key)) {
      b->cursor = i;
      return &b->entries[i];
    }
  }
  b->cursor = b->count - 1;
  return nullptr;
}

// The look-up shared by get, haskey and put.
Entry *lookUp(MapData *d, const char *key, unsigned hash) {
  int bucket = bucketOf(hash);
  Entry *e = findEntry(d, bucket, hash, key);
  if (e && trace_mayWrite(LUMO_TRC_D))
    TraceOp.trc(kObject, LUMO_TRC_D, __LINE__, LUMO_TRC_CODE,
                "findMapItem(): hashVal = %d, key = %s", bucket, key);
  return e;
}

// Removes the entry under key; its value, or null when absent.
void *removeEntry(MapData *d, const char *key, unsigned hash) {
  int bucket = bucketOf(hash);
  Bucket *b = d->buckets[bucket];
  Entry *e = findEntry(d, bucket, hash, key);
  if (!e) return nullptr;
  void *value = e->value;
  freeEntryKey(*e);
  int at = static_cast<int>(e - b->entries);
  std::memmove(b->entries + at, b->entries + at + 1,
               static_cast<std::size_t>(b->count - at - 1) * sizeof(Entry));
  --b->count;
  --d->size;
  if (b->count == 0) {
    freeBucket(b);
    d->buckets[bucket] = nullptr;
  }
  return value;
}

// First entry of the first non-empty bucket from bucket from on; remembers its bucket.
Entry *scanFrom(MapData *d, int from) {
  for (int i = from; i < LUMO_MAP_BUCKETS; ++i) {
    Bucket *b = d->buckets[i];
    if (!b) continue;
    if (Entry *e = first(b)) {
      d->iterBucket = i;
      return e;
    }
  }
  return nullptr;
}

Entry *nextEntry(MapData *d) {
  Bucket *b = d->buckets[d->iterBucket];
  if (b)
    if (Entry *e = next(b)) return e;
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
    for (Bucket *&b : d->buckets) {
      if (!b) continue;
      for (int i = 0; i < b->count; ++i) freeEntryKey(b->entries[i]);
      freeBucket(b);
      b = nullptr;
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
    Entry *e = lookUp(d, key, hashOf(key));
    return e ? e->value : nullptr;
  }

  // Walks the buckets by position, so neither the map's iteration nor a bucket's cursor moves.
  static LumoList *getList(LumoMap *self) noexcept {
    MapData *d = lumo::dataOf<MapData>(self);
    if (!d) return nullptr;
    LumoList *values = ListOp.inst();
    if (!values) return nullptr;
    for (Bucket *b : d->buckets) {
      if (!b) continue;
      for (int i = 0; i < b->count; ++i) {
        int before = ListOp.size(values);
        ListOp.add(values, b->entries[i].value);
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
    return lookUp(d, key, hashOf(key)) != nullptr;
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

  // The key copy is made before an old entry under the key goes, so a refused allocation
  // leaves the map as it was instead of dropping the key.
  static void put(LumoMap *self, const char *key, void *value) noexcept {
    MapData *d = lumo::dataOf<MapData>(self);
    if (!d || !key) return;
    char *copy = str_dupID(key, kTid);
    if (!copy) {
      TraceOp.trc(kObject, LUMO_TRC_E, __LINE__, LUMO_TRC_CODE,
                  "addMapItem(): out of memory, key = %s", key);
      return;
    }
    unsigned hash = hashOf(key);
    Entry e{hash, copy, value};
    int bucket = bucketOf(hash);
    Bucket *&b = d->buckets[bucket];

    // Replaced in place, moved to the end of its bucket as a removal and an append would: the
    // bucket never has to be given up and made again, which could fail and lose the key.
    if (Entry *old = lookUp(d, key, hash)) {
      TraceOp.trc(kObject, LUMO_TRC_D, __LINE__, LUMO_TRC_CODE,
                  "replace existing object with key [%s]", key);
      if (b->count > 1 && trace_mayWrite(LUMO_TRC_D))
        TraceOp.trc(kObject, LUMO_TRC_D, __LINE__, LUMO_TRC_CODE,
                    "addMapItem(): *MULTIPLE* hashVal = %d, key = %s", bucket, key);
      freeEntryKey(*old);
      int at = static_cast<int>(old - b->entries);
      std::memmove(b->entries + at, b->entries + at + 1,
                   static_cast<std::size_t>(b->count - at - 1) * sizeof(Entry));
      b->entries[b->count - 1] = e;
      return;
    }
    if (b) {
      if (trace_mayWrite(LUMO_TRC_D))
        TraceOp.trc(kObject, LUMO_TRC_D, __LINE__, LUMO_TRC_CODE,
                  "addMapItem(): *MULTIPLE* hashVal = %d, key = %s", bucket, key);
    } else {
      b = newBucket();
    }
    if (!b || !append(b, e)) {
      TraceOp.trc(kObject, LUMO_TRC_E, __LINE__, LUMO_TRC_CODE,
                  "addMapItem(): out of memory, key = %s", key);
      freeEntryKey(e);
      if (b && b->count == 0) {
        freeBucket(b);
        b = nullptr;
      }
      return;
    }
    ++d->size;
  }

  static void *remove(LumoMap *self, const char *key) noexcept {
    MapData *d = lumo::dataOf<MapData>(self);
    if (!d || !key) return nullptr;
    return removeEntry(d, key, hashOf(key));
  }

  static int size(LumoMap *self) noexcept {
    MapData *d = lumo::dataOf<MapData>(self);
    return d ? d->size : 0;
  }
};

}  // namespace

const LumoMap MapOp = {LUMO_BASE_INIT(Impl), LUMO_MAP_OPS(LUMO_SLOT_INIT_MEMBER, Impl)};

LUMO_CHECK_TABLE(LumoMap, LUMO_MAP_OPS, lumo::kOwnSlotsAt);
