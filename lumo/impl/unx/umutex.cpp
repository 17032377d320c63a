// lumo: operating-system layer of the mutex (POSIX mutexes). The native mutex lives in a block
// of the memory manager, so the allocation statistics see it.
#include <errno.h>
#include <pthread.h>

#include <cstdio>

#include "../mem.hpp"
#include "../mutex.hpp"
#include "deadline.hpp"

namespace {

constexpr const char *kSource = "impl/unx/umutex";

pthread_mutex_t *nativeOf(LumoMutexData *mutex) noexcept {
  if (!mutex || !mutex->handle) return nullptr;
  return static_cast<pthread_mutex_t *>(mutex->handle->native);
}

// Locks before the deadline on the monotonic clock; ETIMEDOUT after it. ThreadSanitizer does not
// know the lock taken by the clock variant, so its builds take the wall-clock variant and look
// at the monotonic clock again when it gives up (the wall clock may have been set forward).
int lockBefore(pthread_mutex_t *native, const timespec &deadline) noexcept {
#if defined(__SANITIZE_THREAD__)
  for (;;) {
    long left = lumo::msUntil(deadline);
    if (left <= 0) return ETIMEDOUT;
    timespec wall{};
    clock_gettime(CLOCK_REALTIME, &wall);
    wall.tv_sec += static_cast<time_t>(left / 1000);
    wall.tv_nsec += (left % 1000) * 1000000L;
    if (wall.tv_nsec >= 1000000000L) {
      wall.tv_nsec -= 1000000000L;
      ++wall.tv_sec;
    }
    int rc = pthread_mutex_timedlock(native, &wall);
    if (rc != ETIMEDOUT) return rc;
  }
#else
  return pthread_mutex_clocklock(native, CLOCK_MONOTONIC, &deadline);
#endif
}

}  // namespace

int lumo_mutex_create(LumoMutexData *mutex) {
  if (!mutex) return 0;
  void *raw =
      mem_allocTID(static_cast<int>(sizeof(pthread_mutex_t)), LUMO_TID_MUTEX, kSource, __LINE__);
  if (!raw) {
    mutex->rc.store(ENOMEM);
    return 0;
  }
  pthread_mutex_t *native = static_cast<pthread_mutex_t *>(raw);
  // The library's mutexes guard short stretches (a queue's chain, the thread registry): a waiter
  // spins a little before it sleeps, instead of paying two system calls for every collision.
  pthread_mutexattr_t attr;
  int rc = pthread_mutexattr_init(&attr);
#ifdef PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP
  if (rc == 0) pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ADAPTIVE_NP);
#endif
  if (rc == 0) {
    rc = pthread_mutex_init(native, &attr);
    pthread_mutexattr_destroy(&attr);
  }
  mutex->rc.store(rc);
  if (rc != 0) {
    mem_freeTID(raw, LUMO_TID_MUTEX, kSource, __LINE__);
    return 0;
  }
  mutex->native = native;
  mutex->handle = mutex;
  return 1;
}

int lumo_mutex_open(LumoMutexData *) {
  std::fputs("umutex: lumo_mutex_open NOT SUPPORTED\n", stdout);
  return 0;
}

int lumo_mutex_wait(LumoMutexData *mutex, int timeoutMs) {
  pthread_mutex_t *native = nativeOf(mutex);
  if (!native) return 0;
  int rc;
  if (timeoutMs == -1) {
    rc = pthread_mutex_lock(native);
  } else {
    // As long as the polling wait it replaces: a first try, then up to timeoutMs / 10 + 1
    // steps of 10 ms; the lock is taken as soon as it is free. Giving up answers "busy", as the
    // last try of that wait did.
    rc = pthread_mutex_trylock(native);
    long long steps = timeoutMs / lumo::kStepMs + 1LL;
    if (rc == EBUSY && steps > 0) {
      rc = lockBefore(native, lumo::deadlineAfter(steps * lumo::kStepMs));
      if (rc == ETIMEDOUT) rc = EBUSY;
    }
  }
  if (rc != 0) mutex->rc.store(rc);
  return rc == 0;
}

int lumo_mutex_release(LumoMutexData *mutex) {
  pthread_mutex_t *native = nativeOf(mutex);
  if (!native) return 0;
  int rc = pthread_mutex_unlock(native);
  // Stored only when it changes: every release would otherwise write the same 0 into a line
  // that the next waiter is about to use.
  if (mutex->rc.load(std::memory_order_relaxed) != rc) mutex->rc.store(rc);
  return rc == 0;
}

int lumo_mutex_close(LumoMutexData *mutex) {
  pthread_mutex_t *native = nativeOf(mutex);
  if (!native) return 0;
  int rc = pthread_mutex_destroy(native);
  mutex->rc.store(rc);
  mem_freeTID(native, LUMO_TID_MUTEX, kSource, __LINE__);
  mutex->handle->native = nullptr;
  return rc == 0;
}
