/* qivhub: the hub object. Its Main runs the start-up and then the main loop until a shutdown
 * is requested by a signal or by the console quit key. */
#ifndef QIVHUB_QIVHUB_H
#define QIVHUB_QIVHUB_H

#include <lumo/object.h>

LUMO_EXTERN_C_BEGIN

typedef struct LumoQIVhub LumoQIVhub;

/* Main: runs start-up and the main loop; returns 0 once the loop has ended.
 * inst: new hub (its argument is ignored). shutdown: asks the main loop to end; true. Safe to
 * call from a signal handler. */
#define QIVHUB_OPS(X, C)                                       \
  X(C, int, Main, (LumoQIVhub * self, int argc, char **argv)) \
  X(C, LumoQIVhub *, inst, (void *ignored))                   \
  X(C, int, shutdown, (void))

struct LumoQIVhub {
  LUMO_BASE_SLOTS(LumoQIVhub)
  QIVHUB_OPS(LUMO_SLOT_FIELD, _)
};

extern const LumoQIVhub QIVhubOp;

LUMO_EXTERN_C_END

#endif
