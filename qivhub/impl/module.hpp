// qivhub: the hub as a module built on the library's public tables alone, the way a plug-in
// written in C++ would build one: the base slots with their defaults, and an instance made as a
// heap copy of the table whose data slot points at a record of its own.
#ifndef QIVHUB_MODULE_HPP
#define QIVHUB_MODULE_HPP

#include <lumo/mem.h>
#include <lumo/object.h>

#include <atomic>
#include <new>
#include <type_traits>

namespace qivhub {

// A module's statics: its class name, the source tag its blocks carry and its live instances.
struct ClassInfo {
  const char *name;
  const char *source;
  std::atomic<int> live{0};
};

// Any base slot a module gives no behaviour of its own: it does nothing and answers null (0).
// Its types are taken from the slot it is stored in.
template <class R, class... A>
R nothing(A...) noexcept {
  return R();
}

// The name and count slots of a module whose instances T point at a data record D, and the
// making and release of those instances. Impl derives from this and adds del and its own slots.
template <class T, class D, ClassInfo &Info>
struct Module {
  static_assert(std::is_nothrow_default_constructible<D>::value, "data records must not throw");

  static const char *name() noexcept { return Info.name; }
  static int count() noexcept { return Info.live.load(std::memory_order_relaxed); }
  static D *dataOf(T *self) noexcept { return self ? static_cast<D *>(self->data) : nullptr; }

  // Null (and nothing kept) when the memory manager has no block; line tags the blocks.
  static T *make(const T &table, int line, D **dataOut) noexcept {
    T *self = static_cast<T *>(MemOp.alloc(sizeof(T), Info.source, line));
    if (!self) return nullptr;
    void *raw = MemOp.alloc(sizeof(D), Info.source, line);
    if (!raw) {
      MemOp.free(self, Info.source, line);
      return nullptr;
    }
    D *d = new (raw) D();
    MemOp.basecpy(self, &table, 0, sizeof(T), d);
    Info.live.fetch_add(1, std::memory_order_relaxed);
    *dataOut = d;
    return self;
  }

  static void release(T *self, int line) noexcept {
    if (!self) return;
    D *d = dataOf(self);
    if (d) {
      d->~D();
      MemOp.free(d, Info.source, line);
    }
    MemOp.free(self, Info.source, line);
    Info.live.fetch_sub(1, std::memory_order_relaxed);
  }
};

}  // namespace qivhub

// The base-slot part of a class table's initialiser: data, Impl's del, name and count, and
// nothing in the slots the hub has no use for.
#define QIVHUB_BASE_INIT(Impl)                                                              \
  nullptr, &Impl::del, &Impl::name, &qivhub::nothing, &qivhub::nothing, &qivhub::nothing,   \
      &Impl::count, &qivhub::nothing, &qivhub::nothing, &qivhub::nothing, &qivhub::nothing, \
      &qivhub::nothing

// Initialiser expansion of an operation list: the static member Impl::<slot>.
#define QIVHUB_SLOT_INIT(impl, ret, name, params) &impl::name,

#endif
