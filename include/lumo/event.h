/* lumo: a manual-reset event: set by one thread, awaited by others (a waiter wakes as soon as
 * it is set), set until reset. A waiter that sees a set may delete the event at once. Named events share one flag through a process-wide table; named events are
 * created and deleted from one thread at a time. An opened event may outlive its creator: the
 * shared flag stays until the last event using it is deleted, while the name is free again for
 * a new creator. The caller owns what inst returns. */
#ifndef LUMO_EVENT_H
#define LUMO_EVENT_H

#include <lumo/object.h>

LUMO_EXTERN_C_BEGIN

typedef struct LumoEvent LumoEvent;
/* An event's data record, as the operating-system layer sees it. */
typedef struct LumoEventData LumoEventData;

#define LUMO_EVENT_OPS(X, C)                               \
  X(C, LumoEvent *, inst, (const char *name, int create))  \
  X(C, int, reset, (LumoEvent * self))                     \
  X(C, int, set, (LumoEvent * self))                       \
  X(C, int, trywait, (LumoEvent * self, int timeoutMs))    \
  X(C, int, wait, (LumoEvent * self))

struct LumoEvent {
  LUMO_BASE_SLOTS(LumoEvent)
  LUMO_EVENT_OPS(LUMO_SLOT_FIELD, _)
};

LUMO_API extern const LumoEvent EventOp;

/* Operating-system layer; each takes the data record. wait: timeout -1 waits for ever; any other
 * positive time-out ends after it, rounded up to whole 10 ms; 0 or less only looks. */
LUMO_API int lumo_event_create(LumoEventData *event);
LUMO_API int lumo_event_open(LumoEventData *event);
LUMO_API int lumo_event_close(LumoEventData *event);
LUMO_API int lumo_event_set(LumoEventData *event);
LUMO_API int lumo_event_reset(LumoEventData *event);
LUMO_API int lumo_event_wait(LumoEventData *event, int timeoutMs);

LUMO_EXTERN_C_END

#endif
