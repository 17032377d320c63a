// lumo: the event object: a manual-reset signal that stays set until reset. Waiting never
// clears it; an opened event shares its creator's flag and must not outlive the creator.
#include "event.hpp"

#include "object.hpp"
#include "str.hpp"

namespace {

constexpr int kTid = LUMO_TID_EVENT;
constexpr const char *kSource = "impl/event";

lumo::ClassInfo eventClass{"OEvent", kTid, kSource};

struct Impl : lumo::Base<LumoEvent, eventClass> {
  static void del(LumoEvent *event) noexcept {
    if (!event) return;
    LumoEventData *d = lumo::dataOf<LumoEventData>(event);
    bool ownRecord = event_release(d);
    str_freeStrID(d->name, kTid);
    d->name = nullptr;
    if (!ownRecord) event->data = nullptr;  // its flag is still in use by opened events
    lumo::freeInstance<LumoEventData>(event, eventClass, __LINE__);
  }

  static char *toString(LumoEvent *event) noexcept {
    LumoEventData *d = lumo::dataOf<LumoEventData>(event);
    if (!d) return nullptr;
    return str_fmt("OEvent: %s", d->name ? d->name : "<unnamed>");
  }

  // A failed create or open is not reported here: the event answers False to every operation.
  static LumoEvent *inst(const char *name, int create) noexcept {
    LumoEventData *d = nullptr;
    LumoEvent *event = lumo::newInstance<LumoEventData>(EventOp, eventClass, __LINE__, &d);
    if (!event) return nullptr;
    d->name = str_dupID(name, kTid);
    if (create)
      lumo_event_create(d);
    else
      lumo_event_open(d);
    lumo::countInstance(eventClass);
    return event;
  }

  static int reset(LumoEvent *event) noexcept {
    return lumo_event_reset(lumo::dataOf<LumoEventData>(event));
  }

  static int set(LumoEvent *event) noexcept {
    return lumo_event_set(lumo::dataOf<LumoEventData>(event));
  }

  static int trywait(LumoEvent *event, int timeoutMs) noexcept {
    return lumo_event_wait(lumo::dataOf<LumoEventData>(event), timeoutMs);
  }

  static int wait(LumoEvent *event) noexcept {
    return lumo_event_wait(lumo::dataOf<LumoEventData>(event), -1);
  }
};

}  // namespace

void event_freeRecord(LumoEventData *record) noexcept {
  if (!record) return;
  record->~LumoEventData();
  lumo::freeTyped(record, eventClass, __LINE__);
}

const LumoEvent EventOp = {LUMO_BASE_INIT(Impl), LUMO_EVENT_OPS(LUMO_SLOT_INIT_MEMBER, Impl)};

LUMO_CHECK_TABLE(LumoEvent, LUMO_EVENT_OPS, lumo::kOwnSlotsAt);
