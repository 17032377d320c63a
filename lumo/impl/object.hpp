// lumo: the one implementation of the object model: table initialisers, the compile-time
// checks of slot order, the default base slots and the inst/del pattern used by every module.
#ifndef LUMO_IMPL_OBJECT_HPP
#define LUMO_IMPL_OBJECT_HPP

#include <lumo/object.h>

#include <atomic>
#include <climits>
#include <cstddef>
#include <new>
#include <type_traits>

#include <lumo/mem.h>

// Initialiser expansions of the operation lists: free functions named <prefix><slot> for service
// tables, static members Impl::<slot> for class tables.
#define LUMO_SLOT_INIT_PREFIXED(prefix, ret, name, params) &prefix##name,
#define LUMO_SLOT_INIT_MEMBER(impl, ret, name, params) &impl::name,
#define LUMO_SLOT_NAME(ctx, ret, name, params) #name,

// The base-slot part of a class table's initialiser, taken from Impl (which derives from
// lumo::Base and overrides what its module does beyond the defaults).
#define LUMO_BASE_INIT(Impl)                                                               \
  nullptr, &Impl::del, &Impl::name, &Impl::serialize, &Impl::deserialize, &Impl::toString, \
      &Impl::count, &Impl::clone, &Impl::equals, &Impl::properties, &Impl::id, &Impl::event

namespace lumo {

// Byte-wise comparison ("upper case before lower case, a name before its own extensions").
constexpr int compareNames(const char *a, const char *b) {
  while (*a && *a == *b) {
    ++a;
    ++b;
  }
  return static_cast<unsigned char>(*a) - static_cast<unsigned char>(*b);
}

template <std::size_t N>
constexpr bool namesAscending(const char *const (&names)[N]) {
  for (std::size_t i = 1; i < N; ++i)
    if (compareNames(names[i - 1], names[i]) >= 0) return false;
  return true;
}

// Checks that a table has no padding and that its base slots sit where plug-ins expect them.
template <class T, std::size_t OwnSlots>
constexpr bool classLayoutOk() {
  return sizeof(T) == (12 + OwnSlots) * sizeof(void *) && offsetof(T, data) == 0 &&
         offsetof(T, del) == 1 * sizeof(void *) && offsetof(T, name) == 2 * sizeof(void *) &&
         offsetof(T, serialize) == 3 * sizeof(void *) &&
         offsetof(T, deserialize) == 4 * sizeof(void *) &&
         offsetof(T, toString) == 5 * sizeof(void *) && offsetof(T, count) == 6 * sizeof(void *) &&
         offsetof(T, clone) == 7 * sizeof(void *) && offsetof(T, equals) == 8 * sizeof(void *) &&
         offsetof(T, properties) == 9 * sizeof(void *) && offsetof(T, id) == 10 * sizeof(void *) &&
         offsetof(T, event) == 11 * sizeof(void *);
}

// Per-module statics: class name, live-instance counter, allocation type and source tag.
struct ClassInfo {
  const char *name;
  int tid;
  const char *source;
  std::atomic<int> instCnt{0};
};

// Default base slots. A module's Impl derives from Base<T, info> and hides the slots it gives
// a behaviour of its own (del always, toString/clone/serialize where the module has them).
template <class T, ClassInfo &Info>
struct Base {
  static const char *name() noexcept { return Info.name; }
  static int count() noexcept { return Info.instCnt.load(std::memory_order_relaxed); }
  static unsigned char *serialize(T *, int *) noexcept { return nullptr; }
  static void deserialize(T *, const unsigned char *) noexcept {}
  static char *toString(T *) noexcept { return nullptr; }
  static T *clone(T *) noexcept { return nullptr; }
  static int equals(T *, T *) noexcept { return 0; }
  static void *properties(T *) noexcept { return nullptr; }
  static void *id(T *) noexcept { return nullptr; }
  static void *event(T *, void *) noexcept { return nullptr; }
};

// The data record behind an instance, or null for a null instance.
template <class D, class T>
inline D *dataOf(T *inst) noexcept {
  return inst ? static_cast<D *>(inst->data) : nullptr;
}

// A module without a type id of its own (the hub) allocates untyped blocks, which are never
// counted per type.
inline void *allocTyped(int size, const ClassInfo &info, int line) noexcept {
  return info.tid == LUMO_TID_UNTYPED ? MemOp.alloc(size, info.source, line)
                                      : MemOp.allocTID(size, info.tid, info.source, line);
}

inline void freeTyped(void *p, const ClassInfo &info, int line) noexcept {
  if (info.tid == LUMO_TID_UNTYPED)
    MemOp.free(p, info.source, line);
  else
    MemOp.freeTID(p, info.tid, info.source, line);
}

// The helpers below allocate through the public MemOp table, so that test modules and C++
// plug-ins can use the same pattern from outside the library.

// Creation steps 1-3 of every module: instance block and zero-filled data record under the
// module's allocation type, table copied and data slot set. The data record is value-initialised
// in place so that records may hold atomics. Returns null (and frees what it took) on failure;
// the caller fills the record and then calls countInstance.
template <class D, class T>
T *newInstance(const T &table, ClassInfo &info, int line, D **dataOut) noexcept {
  static_assert(std::is_nothrow_default_constructible<D>::value, "data records must not throw");
  T *inst = static_cast<T *>(allocTyped(sizeof(T), info, line));
  if (!inst) return nullptr;
  void *raw = allocTyped(sizeof(D), info, line);
  if (!raw) {
    freeTyped(inst, info, line);
    return nullptr;
  }
  D *d = new (raw) D();
  MemOp.basecpy(inst, &table, 0, sizeof(T), d);
  *dataOut = d;
  return inst;
}

// Creation steps 1-3 with the data record in the instance block itself, right after the table
// copy, followed by extra bytes of the module's own: one block per instance instead of two, for
// modules with many small instances. Release with freeInstanceBlock.
template <class D, class T>
T *newInstanceBlock(const T &table, ClassInfo &info, int line, D **dataOut,
                    std::size_t extra = 0) noexcept {
  static_assert(std::is_nothrow_default_constructible<D>::value, "data records must not throw");
  static_assert(sizeof(T) % alignof(D) == 0, "the record follows the table aligned");
  if (extra > static_cast<std::size_t>(INT_MAX) - sizeof(T) - sizeof(D)) return nullptr;
  int size = static_cast<int>(sizeof(T) + sizeof(D) + extra);
  char *block = static_cast<char *>(allocTyped(size, info, line));
  if (!block) return nullptr;
  D *d = new (block + sizeof(T)) D();
  MemOp.basecpy(block, &table, 0, sizeof(T), d);
  *dataOut = d;
  return reinterpret_cast<T *>(block);
}

template <class D, class T>
void freeInstanceBlock(T *inst, ClassInfo &info, int line, bool counted = true) noexcept {
  if (!inst) return;
  static_cast<D *>(inst->data)->~D();
  freeTyped(inst, info, line);
  if (counted) info.instCnt.fetch_sub(1, std::memory_order_relaxed);
}

inline void countInstance(ClassInfo &info) noexcept {
  info.instCnt.fetch_add(1, std::memory_order_relaxed);
}

// Release steps 3-4: frees the data record and the instance block and lowers the counter
// (counted = false undoes a creation that failed before countInstance).
template <class D, class T>
void freeInstance(T *inst, ClassInfo &info, int line, bool counted = true) noexcept {
  if (!inst) return;
  D *d = static_cast<D *>(inst->data);
  if (d) {
    d->~D();
    freeTyped(d, info, line);
  }
  freeTyped(inst, info, line);
  if (counted) info.instCnt.fetch_sub(1, std::memory_order_relaxed);
}

}  // namespace lumo

#endif
