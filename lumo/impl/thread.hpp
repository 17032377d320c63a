// lumo: the thread's data record, shared by the object layer and the operating-system layer.
#ifndef LUMO_IMPL_THREAD_HPP
#define LUMO_IMPL_THREAD_HPP

#include <lumo/queue.h>
#include <lumo/thread.h>

#include <atomic>
#include <cstdint>
#include <mutex>

// Whether the platform thread exists. Only a running thread may be cancelled or re-prioritised:
// once its body has returned the platform reuses its handle for the next thread it creates.
enum LumoThreadState : int { kThreadIdle = 0, kThreadRunning = 1, kThreadEnded = 2 };

struct LumoThreadData {
  LumoThread *self = nullptr;
  LumoThreadRun run = nullptr;
  // Replaced by setName only while the thread is out of the registry (registry look-ups read it
  // under the registry lock) and under textLock (everyone else copies it under that lock).
  std::atomic<char *> name{nullptr};
  // Written by the new thread itself, read by registry look-ups on any thread; 0 again once the
  // body has returned, since the platform hands the id to later threads.
  std::atomic<LumoThreadId> id{0};
  std::atomic<int> quit{0};
  LumoQueue *queue = nullptr;
  void *parm = nullptr;
  std::atomic<int> stacksize{0};
  char *description = nullptr;  // under textLock
  std::atomic<int> pause{0};
  // Guards description and the replacement of name: other threads copy them while setName or
  // setDescription releases the old text.
  std::mutex textLock;
  // When the thread last started, in registry generations: a platform id is reused once its
  // thread has ended, and an object run through lumo_thread_wrapper by other means keeps it.
  std::atomic<unsigned> started{0};
  // The platform thread, all under the operating-system layer's run lock: the state, the handle
  // (valid while running), the token that identifies this run, and the link in the list of
  // running threads.
  int state = kThreadIdle;
  LumoThreadId handle = 0;
  std::uintptr_t runToken = 0;
  LumoThreadData *nextRunning = nullptr;
};

// A registered thread's id has changed (it started): answers the registry gave by id may differ.
// Returns the registry generation this change made.
unsigned thread_registryChanged() noexcept;

// A copy of the thread's name (a string of the string module), or null.
char *thread_copyName(LumoThreadData *d) noexcept;

// The object is being deleted: its platform thread, if it still runs, no longer reaches it.
void thread_forgetRun(LumoThreadData *d) noexcept;

#endif
