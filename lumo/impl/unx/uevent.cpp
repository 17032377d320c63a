// lumo: operating-system layer of the event. The signal is an atomic flag; a waiter sleeps on a
// condition variable until a set wakes it or its time-out ends. Named events are found through a
// process-wide table from name to the creating event's record.
#include <lumo/map.h>

#include <errno.h>
#include <pthread.h>

#include <cstdint>
#include <mutex>

#include "../event.hpp"
#include "deadline.hpp"

namespace {

// Every message queue creates an event, from whatever thread builds it, so the lazily created
// table and its entries are guarded even though named events are meant for one thread.
std::mutex tableLock;
LumoMap *eventMap = nullptr;

// The empty name counts as none: the map cannot hand back a value stored under it.
bool named(const LumoEventData *event) noexcept { return event->name && event->name[0]; }

}  // namespace

int lumo_event_create(LumoEventData *event) {
  if (!event) return 0;
  std::lock_guard<std::mutex> guard(tableLock);
  if (!eventMap) eventMap = MapOp.inst();
  if (named(event)) {
    if (!eventMap || MapOp.haskey(eventMap, event->name)) return 0;
    MapOp.put(eventMap, event->name, event);
  }
  event->handle = event;
  return 1;
}

int lumo_event_open(LumoEventData *event) {
  if (!event || !named(event)) return 0;
  std::lock_guard<std::mutex> guard(tableLock);
  if (!eventMap) return 0;
  auto *creator = static_cast<LumoEventData *>(MapOp.get(eventMap, event->name));
  if (!creator) return 0;
  event->handle = creator;
  ++creator->openers;
  return 1;
}

namespace {

// Under tableLock. Only the creator's entry goes: an opener or a failed duplicate must leave the
// name to the event that still owns the flag.
void removeName(LumoEventData *event) {
  if (named(event) && MapOp.get(eventMap, event->name) == event)
    MapOp.remove(eventMap, event->name);
}

}  // namespace

int lumo_event_close(LumoEventData *event) {
  if (!event) return 0;
  std::lock_guard<std::mutex> guard(tableLock);
  if (!eventMap) return 0;
  removeName(event);
  return 1;
}

// An opener may outlive its creator: the creator's record, whose flag it uses, then stays until
// the last opener lets go of it.
bool event_release(LumoEventData *event) noexcept {
  if (!event) return true;
  LumoEventData *lastUse = nullptr;
  bool keep = false;
  {
    std::lock_guard<std::mutex> guard(tableLock);
    if (eventMap) removeName(event);
    LumoEventData *creator = event->handle;
    if (creator && creator != event && --creator->openers == 0 && creator->orphaned)
      lastUse = creator;
    if (creator == event && event->openers > 0) keep = event->orphaned = true;
    event->handle = nullptr;
  }
  if (lastUse) event_freeRecord(lastUse);
  return !keep;
}

namespace {

// Waiters sleep on one of a few condition variables chosen by the record's address, instead of
// one per event: an event costs no platform object and no allocation, and a set that nobody
// waits for costs no system call. Events that share a slot wake each other now and then; each
// waiter looks at its own flag again.
struct WaitSlot {
  pthread_mutex_t lock;
  pthread_cond_t wake;
};

constexpr int kSlots = 16;

// Never destroyed: a thread may still wait while the process's exit handlers run.
struct WaitSlots {
  WaitSlot slot[kSlots];
  WaitSlots() noexcept {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    for (WaitSlot &s : slot) {
      pthread_mutex_init(&s.lock, nullptr);
      pthread_cond_init(&s.wake, &attr);
    }
    pthread_condattr_destroy(&attr);
  }
};

WaitSlot &slotOf(const LumoEventData *record) noexcept {
  static WaitSlots slots;
  auto address = reinterpret_cast<std::uintptr_t>(record);
  return slots.slot[(address / alignof(LumoEventData)) % kSlots];
}

// The flag is set, or was set at some time after the waiter saw the count of sets seen.
bool signalled(std::uint64_t state, std::uint64_t seen) noexcept {
  return (state & kEventSet) != 0 || (state & kEventSets) != seen;
}

}  // namespace

int lumo_event_set(LumoEventData *event) {
  if (!event || !event->handle) return 0;
  // Everything is read before the state changes: a waiter that sees the change may delete the
  // event (this one too, when both use one object) before this thread goes on.
  WaitSlot &slot = slotOf(event->handle);
  std::atomic<std::uint64_t> &state = event->handle->state;
  std::uint64_t old = state.load();
  while (!state.compare_exchange_weak(
      old, (old & ~kEventSets) | ((old + 2) & kEventSets) | kEventSet)) {
  }
  // A waiter counts itself under its slot's lock before it looks at the state: either it saw
  // this set, or it was counted and sleeps by the time this thread has the lock.
  if (old >= kEventWaiter) {
    pthread_mutex_lock(&slot.lock);
    pthread_cond_broadcast(&slot.wake);
    pthread_mutex_unlock(&slot.lock);
  }
  return 1;
}

int lumo_event_reset(LumoEventData *event) {
  if (!event || !event->handle) return 0;
  event->handle->state.fetch_and(~kEventSet);
  return 1;
}

// A bounded wait lasts the time-out rounded up to whole 10 ms steps, as the polling wait it
// replaces did; it ends as soon as the event is set.
int lumo_event_wait(LumoEventData *event, int timeoutMs) {
  if (!event || !event->handle) return 0;
  LumoEventData *record = event->handle;
  std::uint64_t state = record->state.load();
  if (state & kEventSet) return 1;
  bool forever = timeoutMs == -1;
  if (!forever && timeoutMs <= 0) return 0;
  timespec deadline{};
  constexpr long long kStep = lumo::kStepMs;
  if (!forever) deadline = lumo::deadlineAfter((timeoutMs + kStep - 1) / kStep * kStep);
  std::uint64_t seen = state & kEventSets;
  WaitSlot &slot = slotOf(record);
  pthread_mutex_lock(&slot.lock);
  bool set = signalled(record->state.fetch_add(kEventWaiter), seen);
  while (!set) {
    int rc = forever ? pthread_cond_wait(&slot.wake, &slot.lock)
                     : pthread_cond_timedwait(&slot.wake, &slot.lock, &deadline);
    set = signalled(record->state.load(), seen);
    if (rc == ETIMEDOUT) break;
  }
  record->state.fetch_sub(kEventWaiter);
  pthread_mutex_unlock(&slot.lock);
  return set;
}
