/* lumo: threads with a name, an optional description, cooperative quit and pause flags and a
 * message queue of their own (capacity 25000), entered in a process-wide registry by name.
 * Threads start detached with a 256 KiB stack unless a stack of at least 64 KiB is requested.
 * The module never stops a body: bodies poll isQuit. The owner deletes the thread object;
 * deleting does not stop the platform thread. Registry look-ups and posting are thread-safe. */
#ifndef LUMO_THREAD_H
#define LUMO_THREAD_H

#include <lumo/list.h>

LUMO_EXTERN_C_BEGIN

/* A platform thread id at the platform's width (pthread_t on Linux). */
typedef unsigned long LumoThreadId;

typedef struct LumoThread LumoThread;

/* The thread body; called in the new thread with the thread object. */
typedef void (*LumoThreadRun)(LumoThread *thread);

/* Size of a buffer that holds any thread name nameById writes (longer names are cut). */
#define LUMO_THREAD_NAME_MAX 256

/* The own operation `id` (the calling thread's platform id) sits in the slot named id_,
 * because the base slot `id` already carries that name. getAll: a new list of every registered
 * thread, owned by the caller (not the threads). nameById writes at most size bytes, the
 * terminator included. start refuses a thread whose body still runs. join answers true when
 * there is nothing to wait for (never started, or the body has returned) and refuses a running
 * thread, which is detached. Once the body has returned, findById and nameById no longer find
 * the thread by the id it had (the platform gives that id to later threads). */
#define LUMO_THREAD_OPS(X, C)                                                  \
  X(C, LumoThread *, find, (const char *name))                                 \
  X(C, LumoThread *, findById, (LumoThreadId id))                              \
  X(C, LumoList *, getAll, (void))                                             \
  X(C, const char *, getName, (LumoThread * self))                             \
  X(C, void *, getParm, (LumoThread * self))                                   \
  X(C, void *, getPost, (LumoThread * self))                                   \
  X(C, int, hasPost, (LumoThread * self))                                      \
  X(C, LumoThreadId, id_, (void))                                              \
  X(C, LumoThread *, inst, (const char *name, LumoThreadRun run, void *parm))  \
  X(C, int, isPause, (LumoThread * self))                                      \
  X(C, int, isQuit, (LumoThread * self))                                       \
  X(C, int, join, (LumoThread * self))                                         \
  X(C, int, kill, (LumoThread * self))                                         \
  X(C, LumoThread *, nameById, (LumoThreadId id, char *buffer, int size))      \
  X(C, void, pause, (LumoThread * self, int flag))                             \
  X(C, int, post, (LumoThread * self, void *message))                          \
  X(C, int, postCount, (LumoThread * self))                                    \
  X(C, int, prioPost, (LumoThread * self, void *message, int priority))        \
  X(C, void, quit, (LumoThread * self))                                        \
  X(C, void, quitAll, (void))                                                  \
  X(C, void, setDescription, (LumoThread * self, const char *text))            \
  X(C, int, setHigh, (LumoThread * self))                                      \
  X(C, void, setName, (LumoThread * self, const char *name))                   \
  X(C, void, setStacksize, (LumoThread * self, int bytes))                     \
  X(C, void, sleep, (int ms))                                                  \
  X(C, int, start, (LumoThread * self))                                        \
  X(C, void, usleep, (int us))                                                 \
  X(C, void *, waitPost, (LumoThread * self))

struct LumoThread {
  LUMO_BASE_SLOTS(LumoThread)
  LUMO_THREAD_OPS(LUMO_SLOT_FIELD, _)
};

LUMO_API extern const LumoThread ThreadOp;

/* Operating-system layer. */
LUMO_API int lumo_thread_start(LumoThread *thread);
LUMO_API void *lumo_thread_wrapper(void *thread);
/* Sleeps ms milliseconds: whole seconds first, then the rest in microseconds. A negative
 * duration sleeps 0. */
LUMO_API void lumo_thread_sleep(int ms);
/* Sleeps us microseconds (a negative duration sleeps 0). */
LUMO_API void lumo_thread_usleep(int us);
/* The calling thread's platform id. */
LUMO_API LumoThreadId lumo_thread_id(void);
/* kill and high act only on a running thread: false (a never-started thread quietly, one whose
 * body has returned with a warning) without asking the platform, whose handle of an ended
 * thread may already belong to another thread. */
LUMO_API int lumo_thread_kill(LumoThread *thread);
LUMO_API int lumo_thread_high(LumoThread *thread);
LUMO_API int lumo_thread_join(LumoThread *thread);

LUMO_EXTERN_C_END

#endif
