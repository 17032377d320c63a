// lumo: the mutex object: a non-recursive lock with a blocking and a bounded wait that records
// its owner, so code that may run under its own lock can tell whether it already holds it.
#include "mutex.hpp"

#include <lumo/trace.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>

#include "object.hpp"
#include "str.hpp"

namespace {

constexpr int kTid = LUMO_TID_MUTEX;
constexpr const char *kSource = "impl/mutex";
constexpr const char *kObject = "OMutex";

lumo::ClassInfo mutexClass{"OMutex", kTid, kSource};

struct Impl : lumo::Base<LumoMutex, mutexClass> {
  static void del(LumoMutex *mutex) noexcept {
    if (!mutex) return;
    LumoMutexData *d = lumo::dataOf<LumoMutexData>(mutex);
    if (d->handle) lumo_mutex_close(d);
    str_freeStrID(d->name, kTid);
    lumo::freeInstance<LumoMutexData>(mutex, mutexClass, __LINE__);
  }

  static char *toString(LumoMutex *mutex) noexcept {
    LumoMutexData *d = lumo::dataOf<LumoMutexData>(mutex);
    if (!d) return nullptr;
    return str_fmt("OMutex: %s", d->name ? d->name : "<unnamed>");
  }

  static int getRc(LumoMutex *mutex) noexcept {
    LumoMutexData *d = lumo::dataOf<LumoMutexData>(mutex);
    return d ? d->rc.load() : 0;
  }

  static LumoThreadId getTID(LumoMutex *mutex) noexcept {
    LumoMutexData *d = lumo::dataOf<LumoMutexData>(mutex);
    return d ? d->tid.load() : 0;
  }

  static LumoMutex *inst(const char *name, int create) noexcept {
    LumoMutexData *d = nullptr;
    LumoMutex *mutex = lumo::newInstance<LumoMutexData>(MutexOp, mutexClass, __LINE__, &d);
    if (!mutex) return nullptr;
    // The record's address makes the generated name unique among live mutexes; printed at full
    // width so that it stays unique on a 64-bit host too.
    d->name = name ? str_dupID(name, kTid)
                   : str_fmtID(kTid, "MUX%08" PRIXPTR, reinterpret_cast<uintptr_t>(d));
    int ok = create ? lumo_mutex_create(d) : lumo_mutex_open(d);
    if (!ok) {
      std::fprintf(stderr, "Error Mutex: %s rc=%d", lumo::orEmpty(d->name), d->rc.load());
      str_freeStrID(d->name, kTid);
      lumo::freeInstance<LumoMutexData>(mutex, mutexClass, __LINE__, false);
      return nullptr;
    }
    lumo::countInstance(mutexClass);
    return mutex;
  }

  static int post(LumoMutex *mutex) noexcept {
    LumoMutexData *d = lumo::dataOf<LumoMutexData>(mutex);
    if (!d) {
      TraceOp.trc(kObject, LUMO_TRC_E, __LINE__, LUMO_TRC_CODE, "Mutex not initialized!");
      return 0;
    }
    // The owner is cleared while the lock is still held: cleared after the release it could
    // wipe out the id of the next owner, which then no longer sees that it holds the lock. Only
    // the holder writes the owner, so plain (relaxed) accesses suffice: the lock orders them,
    // and no locked instruction lands on a line that every waiter reads.
    LumoThreadId owner = d->tid.load(std::memory_order_relaxed);
    d->tid.store(0, std::memory_order_relaxed);
    if (lumo_mutex_release(d)) return 1;
    LumoThreadId none = 0;
    d->tid.compare_exchange_strong(none, owner);
    TraceOp.terrno(kObject, LUMO_TRC_E, __LINE__, LUMO_TRC_CODE, d->rc.load(),
                   "Error on mutex post.");
    return 0;
  }

  static int trywait(LumoMutex *mutex, int timeoutMs) noexcept {
    LumoMutexData *d = lumo::dataOf<LumoMutexData>(mutex);
    if (!d || !lumo_mutex_wait(d, timeoutMs)) return 0;
    d->tid.store(lumo_thread_id(), std::memory_order_relaxed);
    return 1;
  }

  static int wait(LumoMutex *mutex) noexcept {
    LumoMutexData *d = lumo::dataOf<LumoMutexData>(mutex);
    if (!d) {
      TraceOp.trc(kObject, LUMO_TRC_E, __LINE__, LUMO_TRC_CODE, "Mutex not initialized!");
      return 0;
    }
    if (!lumo_mutex_wait(d, -1)) {
      TraceOp.terrno(kObject, LUMO_TRC_E, __LINE__, LUMO_TRC_CODE, d->rc.load(),
                     "Error on mutex wait.");
      return 0;
    }
    d->tid.store(lumo_thread_id(), std::memory_order_relaxed);
    return 1;
  }
};

}  // namespace

const LumoMutex MutexOp = {LUMO_BASE_INIT(Impl), LUMO_MUTEX_OPS(LUMO_SLOT_INIT_MEMBER, Impl)};

LUMO_CHECK_TABLE(LumoMutex, LUMO_MUTEX_OPS, lumo::kOwnSlotsAt);
