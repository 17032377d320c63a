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
  // Under the event table's lock: how many opened events use this record's flag, and whether
  // the creating event was deleted while they did (the last of them releases the record then).
  int openers = 0;
  bool orphaned = false;
};

// Leaves the event table as del needs it: the name entry of a creator goes, an opener lets go
// of its creator's record (releasing it when it was the last user of an orphaned one). False
// when the event's own record must stay, because openers still use its flag.
bool event_release(LumoEventData *event) noexcept;

// Releases a data record that its event left to the openers.
void event_freeRecord(LumoEventData *record) noexcept;

#endif
