// lumo: operating-system layer of the event. No platform primitive is needed: the signal is an
// atomic flag that waiters poll in 10 ms steps. Named events are found through a process-wide
// table from name to the creating event's record.
#include <lumo/map.h>
#include <lumo/thread.h>

#include <mutex>

#include "../event.hpp"

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

int lumo_event_set(LumoEventData *event) {
  if (!event || !event->handle) return 0;
  event->handle->flag.store(1);
  return 1;
}

int lumo_event_reset(LumoEventData *event) {
  if (!event || !event->handle) return 0;
  event->handle->flag.store(0);
  return 1;
}

int lumo_event_wait(LumoEventData *event, int timeoutMs) {
  if (!event || !event->handle) return 0;
  const std::atomic<int> &flag = event->handle->flag;
  if (timeoutMs == -1) {
    while (!flag.load()) lumo_thread_sleep(10);
    return 1;
  }
  for (int elapsed = 0; !flag.load(); elapsed += 10) {
    if (elapsed >= timeoutMs) return 0;
    lumo_thread_sleep(10);
  }
  return 1;
}
