// lumo: the mutex's data record, shared by the object layer and the operating-system layer.
#ifndef LUMO_IMPL_MUTEX_HPP
#define LUMO_IMPL_MUTEX_HPP

#include <lumo/mutex.h>

#include <atomic>

struct LumoMutexData {
  char *name = nullptr;             // owned, under the mutex allocation type
  LumoMutexData *handle = nullptr;  // the record owning the native mutex; null when not created
  void *native = nullptr;           // the platform mutex, known only to the platform layer
  // The owner is written by the acquiring thread and read by any thread (the thread registry
  // asks whether the calling thread already holds its mutex), so it is atomic.
  std::atomic<LumoThreadId> tid{0};
  // Any thread that waits or releases stores its platform code here.
  std::atomic<int> rc{0};
};

#endif
