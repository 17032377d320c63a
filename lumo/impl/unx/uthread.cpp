// lumo: operating-system layer of the thread module (POSIX threads).
#include <lumo/thread.h>
#include <lumo/trace.h>

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <type_traits>

#include "../object.hpp"
#include "../thread.hpp"

static_assert(std::is_same<pthread_t, LumoThreadId>::value,
              "LumoThreadId carries pthread_t at its full width");

namespace {

constexpr const char *kObject = "OThread";
constexpr int kDefaultStack = 0x40000;  // 256 KiB
constexpr int kMinimumStack = 0x10000;  // a smaller request is taken as "no request"

const char *policyName(int policy) {
  switch (policy) {
    case SCHED_FIFO:
      return "SCHED_FIFO";
    case SCHED_RR:
      return "SCHED_RR";
    default:
      return "SCHED_OTHER";
  }
}

// The handle of a started thread, or false.
bool startedHandle(LumoThread *thread, pthread_t *handle) {
  LumoThreadData *d = lumo::dataOf<LumoThreadData>(thread);
  if (!d || d->state.load() != kThreadStarted) return false;
  *handle = d->handle.load();
  return true;
}

}  // namespace

int lumo_thread_start(LumoThread *thread) {
  LumoThreadData *d = lumo::dataOf<LumoThreadData>(thread);
  if (!d) return 0;
  pthread_attr_t attr;
  std::memset(&attr, 0, sizeof attr);
  int rc = pthread_attr_init(&attr);
  if (rc != 0) {
    TraceOp.trc(kObject, LUMO_TRC_E, __LINE__, LUMO_TRC_CODE, "pthread_attr_init rc=%d", rc);
  } else {
    int step = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (step != 0)
      TraceOp.trc(kObject, LUMO_TRC_E, __LINE__, LUMO_TRC_CODE, "pthread_attr_setdetachstate rc=%d",
                  step);
    int requested = d->stacksize.load();
    step = pthread_attr_setstacksize(
        &attr, static_cast<size_t>(requested >= kMinimumStack ? requested : kDefaultStack));
    if (step != 0)
      TraceOp.trc(kObject, LUMO_TRC_E, __LINE__, LUMO_TRC_CODE, "pthread_attr_setstacksize rc=%d",
                  step);
    pthread_t handle;
    d->state.store(kThreadStarting);
    rc = pthread_create(&handle, &attr, lumo_thread_wrapper, thread);
    if (rc != 0) {
      d->state.store(kThreadIdle);
      TraceOp.trc(kObject, LUMO_TRC_E, __LINE__, LUMO_TRC_CODE, "pthread_create rc=%d", rc);
    } else {
      // Last touch of the record here: from now on the body may release it.
      d->handle.store(handle);
      d->state.store(kThreadStarted);
    }
    pthread_attr_destroy(&attr);
  }
  TraceOp.trc(kObject, LUMO_TRC_D, __LINE__, LUMO_TRC_CODE, "lumo_thread_start rc=%d", rc);
  return rc == 0;
}

void *lumo_thread_wrapper(void *arg) {
  LumoThread *thread = static_cast<LumoThread *>(arg);
  LumoThreadData *d = lumo::dataOf<LumoThreadData>(thread);
  if (!d) return nullptr;
  d->id.store(pthread_self());
  d->started.store(thread_registryChanged());
  while (d->state.load() == kThreadStarting) sched_yield();
  if (d->run) d->run(thread);
  return nullptr;
}

void lumo_thread_sleep(int ms) {
  if (ms < 0) ms = 0;
  if (ms >= 1000) {
    sleep(static_cast<unsigned>(ms / 1000));
    ms %= 1000;
  }
  usleep(static_cast<useconds_t>(ms) * 1000u);
}

void lumo_thread_usleep(int us) { usleep(static_cast<useconds_t>(us < 0 ? 0 : us)); }

LumoThreadId lumo_thread_id(void) { return pthread_self(); }

void lumo_thread_kill(LumoThread *thread) {
  pthread_t handle;
  if (startedHandle(thread, &handle)) pthread_cancel(handle);
}

void lumo_thread_high(LumoThread *thread) {
  pthread_t handle;
  if (!startedHandle(thread, &handle)) return;
  sched_param param;
  std::memset(&param, 0, sizeof param);
  param.sched_priority = sched_get_priority_max(SCHED_RR);
  int rc = pthread_setschedparam(handle, SCHED_RR, &param);
  if (rc == 0)
    TraceOp.terrno(kObject, LUMO_TRC_D, __LINE__, LUMO_TRC_CODE, rc, "Setted thread priority to %d",
                   param.sched_priority);
  else
    TraceOp.terrno(kObject, LUMO_TRC_W, __LINE__, LUMO_TRC_CODE, rc,
                   "Could not set thread priority to %d (only superuser can do this)",
                   param.sched_priority);
  int policy = SCHED_OTHER;
  std::memset(&param, 0, sizeof param);
  if (pthread_getschedparam(handle, &policy, &param) == 0)
    TraceOp.trc(kObject, LUMO_TRC_I, __LINE__, LUMO_TRC_CODE,
                "Current thread priority is %d policy=%s", param.sched_priority,
                policyName(policy));
}

// Threads are started detached, and joining a detached thread is undefined: such a join is
// refused with EINVAL. Only a thread object that was never started has nothing to wait for.
int lumo_thread_join(LumoThread *thread) {
  LumoThreadData *d = lumo::dataOf<LumoThreadData>(thread);
  if (!d) return 0;
  if (d->state.load() == kThreadIdle) return 1;
  TraceOp.trc(kObject, LUMO_TRC_W, __LINE__, LUMO_TRC_CODE, "pthread_join rc=%d", EINVAL);
  return 0;
}
