// lumo: the list, a growable array of opaque pointers. The array grows and shrinks in steps of
// 20 slots; the list never touches the objects it holds.
#include <lumo/list.h>
#include <lumo/trace.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "buffer.hpp"
#include "mem.hpp"
#include "object.hpp"

namespace {

constexpr int kTid = LUMO_TID_LIST;
constexpr const char *kSource = "impl/list";
constexpr const char *kObject = "OList";
constexpr int kStep = 20;

lumo::ClassInfo listClass{"OList", kTid, kSource};

struct ListData {
  void **items = nullptr;
  int cursor = 0;
  int count = 0;
  int capacity = 0;
};

// Reallocates items to the given number of slots; false (and the list unchanged) when the
// memory manager refuses.
bool setCapacity(ListData *d, int capacity) {
  if (capacity <= 0 || capacity > INT_MAX / static_cast<int>(sizeof(void *))) return false;
  void *fresh = lumo::growBlock(d->items, capacity * static_cast<int>(sizeof(void *)), kTid,
                                kSource, __LINE__);
  if (!fresh) return false;
  d->items = static_cast<void **>(fresh);
  d->capacity = capacity;
  return true;
}

// Makes room for one more element before it is stored: the capacity this gives is the one the
// growth rule (count >= capacity after the change: capacity = count + 20) gives, but a refused
// reallocation leaves the list as it was instead of losing the element.
bool roomForOneMore(ListData *d) {
  int grown = d->count + 1;
  if (grown < d->capacity) return true;
  if (grown > INT_MAX - kStep || !setCapacity(d, grown + kStep)) {
    TraceOp.trc(kObject, LUMO_TRC_E, __LINE__, LUMO_TRC_CODE, "list resize failed: %d", grown);
    return false;
  }
  return true;
}

// The shrink rule, run after count went down. Once a list has reached 60 slots it keeps them.
void shrinkAfterRemoval(ListData *d) {
  if (d->count <= d->capacity - (kStep + 1) && d->count >= 2 * kStep)
    setCapacity(d, d->capacity - kStep);  // refused: the larger array serves as well
}

struct Impl : lumo::Base<LumoList, listClass> {
  static void del(LumoList *self) noexcept {
    ListData *d = lumo::dataOf<ListData>(self);
    if (!d) return;
    mem_freeTID(d->items, kTid, kSource, __LINE__);
    d->items = nullptr;
    lumo::freeInstance<ListData>(self, listClass, __LINE__);
  }

  static char *toString(LumoList *) noexcept {
    static char empty[1] = "";
    return empty;
  }

  static LumoList *clone(LumoList *self) noexcept {
    ListData *d = lumo::dataOf<ListData>(self);
    if (!d) return nullptr;
    LumoList *copy = inst();
    if (!copy) return nullptr;
    ListData *c = lumo::dataOf<ListData>(copy);
    for (int i = 0; i < d->count; ++i) {
      if (!roomForOneMore(c)) {
        del(copy);
        return nullptr;
      }
      c->items[c->count++] = d->items[i];
    }
    return copy;
  }

  static void add(LumoList *self, void *element) noexcept {
    ListData *d = lumo::dataOf<ListData>(self);
    if (!d || !roomForOneMore(d)) return;
    d->items[d->count++] = element;
  }

  // One removal at a time from the front, so the array shrinks exactly as repeated removes do.
  static void clear(LumoList *self) noexcept {
    ListData *d = lumo::dataOf<ListData>(self);
    if (!d) return;
    while (d->count > 0) remove(self, 0);
  }

  static void *first(LumoList *self) noexcept {
    ListData *d = lumo::dataOf<ListData>(self);
    if (!d || d->count == 0) return nullptr;
    d->cursor = 0;
    return d->items[0];
  }

  static void *get(LumoList *self, int position) noexcept {
    ListData *d = lumo::dataOf<ListData>(self);
    if (!d) return nullptr;
    if (position < 0 || position >= d->count) {
      TraceOp.trc(kObject, LUMO_TRC_E, __LINE__, LUMO_TRC_CODE, "get list out of range: %d > %d",
                  position, d->count);
      return nullptr;
    }
    return d->items[position];
  }

  static int getIndex(LumoList *self) noexcept {
    ListData *d = lumo::dataOf<ListData>(self);
    return d ? d->cursor : 0;
  }

  static int hasObj(LumoList *self, const void *element) noexcept {
    ListData *d = lumo::dataOf<ListData>(self);
    if (!d) return 0;
    for (int i = 0; i < d->count; ++i)
      if (d->items[i] == element) return 1;
    return 0;
  }

  static void insert(LumoList *self, int position, void *element) noexcept {
    ListData *d = lumo::dataOf<ListData>(self);
    if (!d) return;
    if (position < 0 || position > d->count) {
      TraceOp.trc(kObject, LUMO_TRC_E, __LINE__, LUMO_TRC_CODE, "insert list out of range: %d > %d",
                  position, d->count);
      return;
    }
    if (!roomForOneMore(d)) return;
    std::memmove(d->items + position + 1, d->items + position,
                 static_cast<std::size_t>(d->count - position) * sizeof(void *));
    d->items[position] = element;
    ++d->count;
  }

  static LumoList *inst() noexcept {
    ListData *d = nullptr;
    LumoList *self = lumo::newInstance<ListData>(ListOp, listClass, __LINE__, &d);
    if (!self) return nullptr;
    d->items = static_cast<void **>(
        mem_allocTID(kStep * static_cast<int>(sizeof(void *)), kTid, kSource, __LINE__));
    if (!d->items) {
      lumo::freeInstance<ListData>(self, listClass, __LINE__, false);
      return nullptr;
    }
    d->capacity = kStep;
    lumo::countInstance(listClass);
    return self;
  }

  static void *next(LumoList *self) noexcept {
    ListData *d = lumo::dataOf<ListData>(self);
    if (!d || d->cursor + 1 >= d->count) return nullptr;
    return d->items[++d->cursor];
  }

  // The cursor stays where it is: a walk that removes at getIndex skips the element that moved
  // into the removed slot.
  static void *remove(LumoList *self, int position) noexcept {
    ListData *d = lumo::dataOf<ListData>(self);
    if (!d) return nullptr;
    if (position < 0 || position >= d->count) {
      TraceOp.trc(kObject, LUMO_TRC_E, __LINE__, LUMO_TRC_CODE, "remove list out of range: %d > %d",
                  position, d->count);
      return nullptr;
    }
    void *element = d->items[position];
    std::memmove(d->items + position, d->items + position + 1,
                 static_cast<std::size_t>(d->count - position - 1) * sizeof(void *));
    d->items[--d->count] = nullptr;
    shrinkAfterRemoval(d);
    return element;
  }

  static void *removeObj(LumoList *self, const void *element) noexcept {
    ListData *d = lumo::dataOf<ListData>(self);
    if (!d) return nullptr;
    for (int i = 0; i < d->count; ++i)
      if (d->items[i] == element) return remove(self, i);
    return nullptr;
  }

  static void replace(LumoList *self, int position, void *element) noexcept {
    ListData *d = lumo::dataOf<ListData>(self);
    if (!d) return;
    if (position < 0 || position >= d->count) {
      TraceOp.trc(kObject, LUMO_TRC_E, __LINE__, LUMO_TRC_CODE,
                  "replace list out of range: %d >= %d", position, d->count);
      return;
    }
    d->items[position] = element;
  }

  static int size(LumoList *self) noexcept {
    ListData *d = lumo::dataOf<ListData>(self);
    return d ? d->count : 0;
  }

  // Clearing the list and adding the sorted elements back one by one ends with exactly the
  // capacity the list had (for 40 and more elements the capacity follows from the count, below
  // that clearing never goes under the capacity the elements need), so the sorted elements are
  // copied back in place: same result, and no reallocation that could drop elements.
  static void sort(LumoList *self, LumoListCompare compare) noexcept {
    ListData *d = lumo::dataOf<ListData>(self);
    if (!d) {
      TraceOp.trc(kObject, LUMO_TRC_W, __LINE__, LUMO_TRC_CODE, "inst == NULL");
      return;
    }
    if (d->count < 2) return;
    if (!compare) {
      TraceOp.trc(kObject, LUMO_TRC_W, __LINE__, LUMO_TRC_CODE, "compare == NULL");
      return;
    }
    std::size_t bytes = static_cast<std::size_t>(d->count) * sizeof(void *);
    void **sorted =
        static_cast<void **>(mem_allocTID(static_cast<int>(bytes), kTid, kSource, __LINE__));
    if (!sorted) {
      TraceOp.trc(kObject, LUMO_TRC_E, __LINE__, LUMO_TRC_CODE, "list sort failed: %d", d->count);
      return;
    }
    std::memcpy(sorted, d->items, bytes);
    std::qsort(sorted, static_cast<std::size_t>(d->count), sizeof(void *), compare);
    std::memcpy(d->items, sorted, bytes);
    mem_freeTID(sorted, kTid, kSource, __LINE__);
  }
};

}  // namespace

const LumoList ListOp = {LUMO_BASE_INIT(Impl), LUMO_LIST_OPS(LUMO_SLOT_INIT_MEMBER, Impl)};

LUMO_CHECK_TABLE(LumoList, LUMO_LIST_OPS, lumo::kOwnSlotsAt);
