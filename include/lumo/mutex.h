/* lumo: a non-recursive mutual-exclusion object with a blocking wait, a bounded wait that takes
 * the lock as soon as it is free (and gives up after timeoutMs / 10 + 1 steps of 10 ms), and a
 * record of its last owner and last platform error. The caller owns what
 * inst returns and releases it with del. */
#ifndef LUMO_MUTEX_H
#define LUMO_MUTEX_H

#include <lumo/thread.h>

LUMO_EXTERN_C_BEGIN

typedef struct LumoMutex LumoMutex;
/* A mutex's data record, as the operating-system layer sees it. */
typedef struct LumoMutexData LumoMutexData;

#define LUMO_MUTEX_OPS(X, C)                                \
  X(C, int, getRc, (LumoMutex * self))                      \
  X(C, LumoThreadId, getTID, (LumoMutex * self))            \
  X(C, LumoMutex *, inst, (const char *name, int create))   \
  X(C, int, post, (LumoMutex * self))                       \
  X(C, int, trywait, (LumoMutex * self, int timeoutMs))     \
  X(C, int, wait, (LumoMutex * self))

struct LumoMutex {
  LUMO_BASE_SLOTS(LumoMutex)
  LUMO_MUTEX_OPS(LUMO_SLOT_FIELD, _)
};

LUMO_API extern const LumoMutex MutexOp;

/* Operating-system layer; each takes the data record. wait: timeout -1 blocks, any other value
 * is a bounded wait. All return true on success. */
LUMO_API int lumo_mutex_create(LumoMutexData *mutex);
LUMO_API int lumo_mutex_open(LumoMutexData *mutex);
LUMO_API int lumo_mutex_release(LumoMutexData *mutex);
LUMO_API int lumo_mutex_close(LumoMutexData *mutex);
LUMO_API int lumo_mutex_wait(LumoMutexData *mutex, int timeoutMs);

LUMO_EXTERN_C_END

#endif
