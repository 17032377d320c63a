// lumo: operating-system layer of the thread module (POSIX threads).
#include <lumo/thread.h>
#include <lumo/trace.h>

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "../object.hpp"
#include "../str.hpp"
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

// The platform threads started for thread objects, each known by a token of its own run. A
// platform thread finds its record here, not through the object: the object may be deleted
// while (or before) the thread runs, and its memory may hold another thread object by the time
// the body returns. Whatever acts on a handle does so under runLock, while the thread cannot
// finish ending, so the handle cannot have been given to another thread meanwhile.
pthread_mutex_t runLock = PTHREAD_MUTEX_INITIALIZER;
LumoThreadData *running = nullptr;
std::uintptr_t lastToken = 0;

class RunLock {
 public:
  RunLock() noexcept { pthread_mutex_lock(&runLock); }
  ~RunLock() { pthread_mutex_unlock(&runLock); }
  RunLock(const RunLock &) = delete;
  RunLock &operator=(const RunLock &) = delete;
};

// Under runLock.
LumoThreadData *findRun(std::uintptr_t token) noexcept {
  for (LumoThreadData *d = running; d; d = d->nextRunning)
    if (d->runToken == token) return d;
  return nullptr;
}

// Under runLock.
void unlinkRun(LumoThreadData *d) noexcept {
  for (LumoThreadData **link = &running; *link; link = &(*link)->nextRunning)
    if (*link == d) {
      *link = d->nextRunning;
      d->nextRunning = nullptr;
      return;
    }
}

// The last thing a platform thread does, also when it is cancelled or exits from its body.
void runEnded(void *arg) {
  RunLock lock;
  LumoThreadData *d = findRun(reinterpret_cast<std::uintptr_t>(arg));
  if (!d) return;  // the object was deleted while its body ran
  unlinkRun(d);
  d->state = kThreadEnded;
  d->id.store(0);
  thread_registryChanged();
}

// The body with the run's end registered as its cleanup, so that it runs when the body is
// cancelled too. Without exceptions the cleanup is registered with setjmp: nothing here may
// change after the registration.
void runBody(LumoThread *const thread, void *const arg) {
  pthread_cleanup_push(runEnded, arg);
  lumo_thread_wrapper(thread);
  pthread_cleanup_pop(1);
}

// The platform entry. Waits for the creator to finish recording the run (it holds runLock
// while it creates the thread) and gives up when the object is gone before the body began.
void *runEntry(void *arg) {
  LumoThread *thread = nullptr;
  {
    RunLock lock;
    if (LumoThreadData *d = findRun(reinterpret_cast<std::uintptr_t>(arg))) thread = d->self;
  }
  if (thread) runBody(thread, arg);
  return nullptr;
}

// The state of the thread's platform thread. While it is running, action(handle) runs under
// runLock, so the thread cannot end meanwhile, and its result is stored in *result.
template <class Action>
int underRunLock(LumoThreadData *d, Action action, int *result) {
  RunLock lock;
  if (d->state == kThreadRunning) *result = action(static_cast<pthread_t>(d->handle));
  return d->state;
}

int runState(LumoThreadData *d) {
  RunLock lock;
  return d->state;
}

// A refusal that names the thread; the name is copied, as setName may replace it meanwhile.
void traceRefused(LumoThreadData *d, int line, const char *format) {
  char *name = thread_copyName(d);
  TraceOp.trc(kObject, LUMO_TRC_W, line, LUMO_TRC_CODE, format, lumo::orEmpty(name));
  str_freeStr(name);
}

}  // namespace

void thread_forgetRun(LumoThreadData *d) noexcept {
  if (!d) return;
  RunLock lock;
  if (d->state == kThreadRunning) unlinkRun(d);
}

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
    bool busy = false;
    {
      RunLock lock;
      // A second platform thread for one object would leave the first beyond kill's reach.
      busy = d->state == kThreadRunning;
      if (!busy) {
        if (++lastToken == 0) ++lastToken;
        std::uintptr_t token = lastToken;
        pthread_t handle;
        rc = pthread_create(&handle, &attr, runEntry, reinterpret_cast<void *>(token));
        if (rc == 0) {
          d->self = thread;
          d->runToken = token;
          d->handle = handle;
          d->state = kThreadRunning;
          d->nextRunning = running;
          running = d;
        }
      }
    }
    pthread_attr_destroy(&attr);
    if (busy) {
      rc = EBUSY;
      traceRefused(d, __LINE__, "Thread [%s] is running already: not started again.");
    } else if (rc != 0) {
      TraceOp.trc(kObject, LUMO_TRC_E, __LINE__, LUMO_TRC_CODE, "pthread_create rc=%d", rc);
    }
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

int lumo_thread_kill(LumoThread *thread) {
  LumoThreadData *d = lumo::dataOf<LumoThreadData>(thread);
  if (!d) return 0;
  int rc = -1;
  int state = underRunLock(d, [](pthread_t handle) { return pthread_cancel(handle); }, &rc);
  if (state == kThreadEnded) traceRefused(d, __LINE__, "Thread [%s] has ended: not cancelled.");
  return rc == 0;
}

int lumo_thread_high(LumoThread *thread) {
  LumoThreadData *d = lumo::dataOf<LumoThreadData>(thread);
  if (!d) return 0;
  sched_param param;
  std::memset(&param, 0, sizeof param);
  param.sched_priority = sched_get_priority_max(SCHED_RR);
  int policy = SCHED_OTHER;
  sched_param current;
  std::memset(&current, 0, sizeof current);
  bool readBack = false;
  int rc = -1;
  int state = underRunLock(
      d,
      [&](pthread_t handle) {
        int set = pthread_setschedparam(handle, SCHED_RR, &param);
        readBack = pthread_getschedparam(handle, &policy, &current) == 0;
        return set;
      },
      &rc);
  if (state == kThreadEnded) traceRefused(d, __LINE__, "Thread [%s] has ended: priority not set.");
  if (state != kThreadRunning) return 0;
  if (rc == 0)
    TraceOp.terrno(kObject, LUMO_TRC_D, __LINE__, LUMO_TRC_CODE, rc, "Setted thread priority to %d",
                   param.sched_priority);
  else
    TraceOp.terrno(kObject, LUMO_TRC_W, __LINE__, LUMO_TRC_CODE, rc,
                   "Could not set thread priority to %d (only superuser can do this)",
                   param.sched_priority);
  if (readBack)
    TraceOp.trc(kObject, LUMO_TRC_I, __LINE__, LUMO_TRC_CODE,
                "Current thread priority is %d policy=%s", current.sched_priority,
                policyName(policy));
  return rc == 0;
}

// Threads are started detached, and joining a detached thread is undefined: such a join is
// refused with EINVAL. A thread object that was never started, or whose body has returned, has
// nothing to wait for.
int lumo_thread_join(LumoThread *thread) {
  LumoThreadData *d = lumo::dataOf<LumoThreadData>(thread);
  if (!d) return 0;
  if (runState(d) != kThreadRunning) return 1;
  TraceOp.trc(kObject, LUMO_TRC_W, __LINE__, LUMO_TRC_CODE, "pthread_join rc=%d", EINVAL);
  return 0;
}
