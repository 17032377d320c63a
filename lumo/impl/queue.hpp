// lumo: queue functions for direct use inside the library.
#ifndef LUMO_IMPL_QUEUE_HPP
#define LUMO_IMPL_QUEUE_HPP

#include <lumo/queue.h>

namespace lumo {

// Takes up to max messages, in the order get would hand them out, under one hold of the
// queue's lock; stores their payloads in payloads and returns how many it took (0 for an empty
// or null queue). Exported for the module's tests; no public header declares it.
LUMO_API int queue_takeBatch(LumoQueue *queue, void **payloads, int max) noexcept;

// How many messages were ever posted into the queue (and not refused), read under its lock: a
// consumer that counts what it has taken knows when everything posted before this call is gone.
unsigned long long queue_postedCount(LumoQueue *queue) noexcept;

// Whether the queue is empty, looked at under its lock: a post whose lock came first is seen,
// and one whose lock comes after sees whatever the caller wrote before this call. True for a
// null queue.
bool queue_isEmptyLocked(LumoQueue *queue) noexcept;

}  // namespace lumo

#endif
