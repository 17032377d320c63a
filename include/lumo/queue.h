/* lumo: a bounded message queue of opaque pointers with three priorities (0 low, 1 normal,
 * 2 high; higher first, posting order within one priority). Any thread may post and take. The
 * queue never owns payloads: a rejected post leaves the payload with the caller, and del drops
 * queued pointers without touching them. */
#ifndef LUMO_QUEUE_H
#define LUMO_QUEUE_H

#include <lumo/object.h>

LUMO_EXTERN_C_BEGIN

typedef struct LumoQueue LumoQueue;

/* msgCount precedes get: one of the departures from byte-wise order that lumo.h fixes. */
#define LUMO_QUEUE_OPS(X, C)                                     \
  X(C, int, msgCount, (LumoQueue * self))                        \
  X(C, void *, get, (LumoQueue * self))                          \
  X(C, LumoQueue *, inst, (int size))                            \
  X(C, int, isEmpty, (LumoQueue * self))                         \
  X(C, int, post, (LumoQueue * self, void *payload, int priority)) \
  X(C, void, setDesc, (LumoQueue * self, const char *text))      \
  X(C, void *, waitPost, (LumoQueue * self))

struct LumoQueue {
  LUMO_BASE_SLOTS(LumoQueue)
  LUMO_QUEUE_OPS(LUMO_SLOT_FIELD, _)
};

LUMO_API extern const LumoQueue QueueOp;

LUMO_EXTERN_C_END

#endif
