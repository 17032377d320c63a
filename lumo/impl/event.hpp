// lumo: the event's data record, shared by the object layer and the operating-system layer.
#ifndef LUMO_IMPL_EVENT_HPP
#define LUMO_IMPL_EVENT_HPP

#include <lumo/event.h>

#include <atomic>
#include <cstdint>

struct LumoEventData {
  char *name = nullptr;             // owned, under the event allocation type; null: unnamed
  LumoEventData *handle = nullptr;  // whose flag this event uses; null when create/open failed
  // The signal, read and written by any thread without a lock, in one word so that a set is a
  // single step: a waiter that sees it may delete the event at once, and the setting thread
  // touches the record no more after it. Bit 0: set. Bits 1 to 31: sets counted, so that a
  // waiter also sees a set that a reset undid before it looked. Bits 32 to 63: threads waiting,
  // so that a set only wakes anybody when somebody waits.
  std::atomic<std::uint64_t> state{0};
  // Under the event table's lock: how many opened events use this record's flag, and whether
  // the creating event was deleted while they did (the last of them releases the record then).
  int openers = 0;
  bool orphaned = false;
};

static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "an event's state is lock-free");

constexpr std::uint64_t kEventSet = 1;
constexpr std::uint64_t kEventSets = 0xFFFFFFFEu;  // the count of sets, in steps of 2
constexpr std::uint64_t kEventWaiter = std::uint64_t{1} << 32;

// Whether the event is set now: false for null and for an event whose create or open failed.
// Any thread, no lock; for modules that would skip a set that changes nothing.
inline bool event_isSet(const LumoEvent *event) noexcept {
  const auto *d = event ? static_cast<const LumoEventData *>(event->data) : nullptr;
  return d && d->handle && (d->handle->state.load() & kEventSet) != 0;
}

// Leaves the event table as del needs it: the name entry of a creator goes, an opener lets go
// of its creator's record (releasing it when it was the last user of an orphaned one). False
// when the event's own record must stay, because openers still use its flag.
bool event_release(LumoEventData *event) noexcept;

// Releases a data record that its event left to the openers.
void event_freeRecord(LumoEventData *record) noexcept;

#endif
