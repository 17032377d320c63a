// lumo: the event's data record, shared by the object layer and the operating-system layer.
#ifndef LUMO_IMPL_EVENT_HPP
#define LUMO_IMPL_EVENT_HPP

#include <lumo/event.h>

#include <atomic>

struct LumoEventData {
  char *name = nullptr;             // owned, under the event allocation type; null: unnamed
  LumoEventData *handle = nullptr;  // whose flag this event uses; null when create/open failed
  // Written by the setting thread and polled by waiting threads without a lock.
  std::atomic<int> flag{0};
};

#endif
