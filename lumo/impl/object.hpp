// lumo: the one implementation of the object model: table initialisers, the compile-time
// checks of slot order, the default base slots and the inst/del pattern used by every module.
#ifndef LUMO_IMPL_OBJECT_HPP
#define LUMO_IMPL_OBJECT_HPP

#include <lumo/object.h>

#include <atomic>
#include <climits>
#include <cstddef>
#include <initializer_list>
#include <new>
#include <type_traits>

#include <lumo/mem.h>

// Expansions of the operation lists: declarations and initialisers of free functions named
// <prefix><slot> (service tables, and class tables whose operations are free functions),
// initialisers of static members Impl::<slot>, and the slots' names and offsets for the checks.
#define LUMO_SLOT_DECLARE(prefix, ret, name, params) ret prefix##name params noexcept;
#define LUMO_SLOT_INIT_PREFIXED(prefix, ret, name, params) &prefix##name,
#define LUMO_SLOT_INIT_MEMBER(impl, ret, name, params) &impl::name,
#define LUMO_SLOT_NAME(ctx, ret, name, params) #name,
#define LUMO_SLOT_OFFSET(T, ret, name, params) offsetof(T, name),

// The base slots after data, in table order: the struct spells them out in <lumo/object.h>;
// the initialiser and the layout check are expanded from this list.
#define LUMO_BASE_SLOT_LIST(X, C) \
  X(C, del)                       \
  X(C, name)                      \
  X(C, serialize)                 \
  X(C, deserialize)               \
  X(C, toString)                  \
  X(C, count)                     \
  X(C, clone)                     \
  X(C, equals)                    \
  X(C, properties)                \
  X(C, id)                        \
  X(C, event)
#define LUMO_BASE_SLOT_INIT(impl, name) , &impl::name
#define LUMO_BASE_SLOT_OFFSET(T, name) offsetof(T, name),

// The base-slot part of a class table's initialiser, taken from Impl (which derives from
// lumo::Base and overrides what its module does beyond the defaults).
#define LUMO_BASE_INIT(Impl) nullptr LUMO_BASE_SLOT_LIST(LUMO_BASE_SLOT_INIT, Impl)

// The compile-time checks of a table, generated from its operation list OPS (an X-macro taking
// (X, C)): every base slot of a class table at its position, every own slot one pointer after
// the one before from first (the end of the base slots, or of the constant members a table
// carries ahead of its operations) to the end of the table, and the own slots' names in
// byte-wise ascending order but for the departures given as (earlier, later) pairs. Plug-ins
// built elsewhere reach operations by position, so a slot out of place must not compile.
#define LUMO_CHECK_SLOTS(T, OPS, first)                                    \
  static_assert(lumo::tableLayoutOk<T>({OPS(LUMO_SLOT_OFFSET, T)}, first), \
                #T ": the base slots in place and every operation one slot after the last")
#define LUMO_CHECK_TABLE(T, OPS, first, ...)                                     \
  LUMO_CHECK_SLOTS(T, OPS, first);                                               \
  static_assert(lumo::slotNamesInOrder({OPS(LUMO_SLOT_NAME, _)}, {__VA_ARGS__}), \
                #T ": operations in byte-wise order of their names")

namespace lumo {

// Byte-wise comparison ("upper case before lower case, a name before its own extensions"): the
// order of table slots and generated accessors, and the order of texts in schema ranges.
constexpr int compareNames(const char *a, const char *b) noexcept {
  while (*a && *a == *b) {
    ++a;
    ++b;
  }
  return static_cast<unsigned char>(*a) - static_cast<unsigned char>(*b);
}

template <std::size_t N>
constexpr bool namesAscending(const char *const (&names)[N]) noexcept {
  for (std::size_t i = 1; i < N; ++i)
    if (compareNames(names[i - 1], names[i]) >= 0) return false;
  return true;
}

// The position of a class table's first own slot, after data and the eleven base operations.
constexpr std::size_t kOwnSlotsAt = 12 * sizeof(void *);

template <class T, class = void>
struct HasBaseSlots : std::false_type {};
template <class T>
struct HasBaseSlots<T, std::void_t<decltype(&T::event)>> : std::true_type {};

// Every offset one slot after the one before, from first, and the last slot ending the table;
// for a class table also data and the base slots at the positions plug-ins expect.
template <class T>
constexpr bool tableLayoutOk(std::initializer_list<std::size_t> offsets, std::size_t first) {
  if constexpr (HasBaseSlots<T>::value) {
    if (offsetof(T, data) != 0) return false;
    std::size_t at = sizeof(void *);
    for (std::size_t base : {LUMO_BASE_SLOT_LIST(LUMO_BASE_SLOT_OFFSET, T)}) {
      if (base != at) return false;
      at += sizeof(void *);
    }
    if (first < at) return false;
  }
  std::size_t at = first;
  for (std::size_t offset : offsets) {
    if (offset != at) return false;
    at += sizeof(void *);
  }
  return sizeof(T) == at;
}

// A slot spelled with a trailing underscore because a base slot has its name (the thread's own
// id_) is ordered by the name without it.
constexpr unsigned char slotNameByte(const char *p) {
  return p[0] == '_' && p[1] == '\0' ? 0 : static_cast<unsigned char>(*p);
}

constexpr int compareSlotNames(const char *a, const char *b) {
  while (slotNameByte(a) && slotNameByte(a) == slotNameByte(b)) {
    ++a;
    ++b;
  }
  return slotNameByte(a) - slotNameByte(b);
}

// Byte-wise ascending but for the documented departures, each a pair of neighbours (earlier,
// later) in table order; an empty name (a table's empty slot) is passed over.
constexpr bool slotNamesInOrder(std::initializer_list<const char *> names,
                                std::initializer_list<const char *> departures) {
  if (departures.size() % 2 != 0) return false;
  const char *previous = nullptr;
  for (const char *name : names) {
    if (!*name) continue;
    bool departs = false;
    for (const char *const *d = departures.begin(); previous && d != departures.end(); d += 2)
      departs = departs || (compareNames(previous, d[0]) == 0 && compareNames(name, d[1]) == 0);
    if (previous && !departs && compareSlotNames(previous, name) >= 0) return false;
    previous = name;
  }
  return true;
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
