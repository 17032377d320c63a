// lumo: the thread's data record, shared by the object layer and the operating-system layer.
#ifndef LUMO_IMPL_THREAD_HPP
#define LUMO_IMPL_THREAD_HPP

#include <lumo/queue.h>
#include <lumo/thread.h>

#include <atomic>

// Whether the platform thread exists: only a started thread may be cancelled or
// re-prioritised. While the creator is still recording the handle the state is "starting" and
// the new thread waits, so that a body which deletes its own thread object cannot free the
// record under the creator's feet.
enum LumoThreadState : int { kThreadIdle = 0, kThreadStarting = 1, kThreadStarted = 2 };

struct LumoThreadData {
  LumoThreadRun run = nullptr;
  // Replaced by setName only while the thread is out of the registry; other threads read it.
  std::atomic<char *> name{nullptr};
  // Written by the new thread itself, read by registry look-ups on any thread.
  std::atomic<LumoThreadId> id{0};
  // The platform handle (pthread_t); valid once state is kThreadStarted.
  std::atomic<LumoThreadId> handle{0};
  std::atomic<int> quit{0};
  LumoQueue *queue = nullptr;
  void *parm = nullptr;
  std::atomic<int> stacksize{0};
  std::atomic<char *> description{nullptr};
  std::atomic<int> pause{0};
  std::atomic<int> state{kThreadIdle};
  // When the thread last started, in registry generations: a platform id is reused once its
  // thread has ended, and a thread object that outlived its thread keeps the old id.
  std::atomic<unsigned> started{0};
};

// A registered thread's id has changed (it started): answers the registry gave by id may differ.
// Returns the registry generation this change made.
unsigned thread_registryChanged() noexcept;

#endif
