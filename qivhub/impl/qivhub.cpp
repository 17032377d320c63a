// qivhub: the hub object: start-up, the main loop with its memory-growth record, shutdown.
#include "qivhub.h"

#include <lumo/mem.h>
#include <lumo/thread.h>
#include <lumo/trace.h>

#include <csignal>

#include "lumo/impl/object.hpp"

namespace {

constexpr const char *kObject = "OQIVhub";
constexpr int kCode = 9999;
constexpr unsigned kDefaultLevel = 0x10000 | 0x4 | 0x2;

lumo::ClassInfo hubClass{"OQIVhub", LUMO_TID_UNTYPED, "qivhub/impl/qivhub"};

// Written by the signal handler and the console check, read by the main loop.
volatile std::sig_atomic_t bShutdown = 0;
int cnt1 = 0;

struct HubData {
  int id;
  const char *libpath;  // borrowed: an argument string or "."
  LumoObject *plugin;
};

struct Hub : lumo::Base<LumoQIVhub, hubClass> {
  static void del(LumoQIVhub *self) noexcept {
    lumo::freeInstance<HubData>(self, hubClass, __LINE__);
  }

  static LumoQIVhub *inst(void *) noexcept {
    HubData *d = nullptr;
    LumoQIVhub *self = lumo::newInstance(QIVhubOp, hubClass, __LINE__, &d);
    if (!self) return nullptr;
    d->id = 256;
    d->libpath = ".";
    lumo::countInstance(hubClass);
    return self;
  }

  static int shutdown() noexcept {
    bShutdown = 1;
    return 1;
  }

  // Configuration half of Main: options, trace, banner. Returns whether console mode is on.
  static bool startUp(LumoQIVhub *self, int, char **) noexcept {
    HubData *d = lumo::dataOf<HubData>(self);
    LumoTrace *trace = TraceOp.inst(kDefaultLevel, "qivhub", 1);
    TraceOp.setAppID(trace, "w");
    const char *dashes = "----------------------------------------";
    TraceOp.trc(kObject, 0x2, __LINE__, kCode, "%s", dashes);
    TraceOp.trc(kObject, 0x2, __LINE__, kCode, "QIVhub");
    TraceOp.trc(kObject, 0x2, __LINE__, kCode, "  revision [%d]", 6534);
    TraceOp.trc(kObject, 0x2, __LINE__, kCode, "  ID [%d]", d ? d->id : 256);
    TraceOp.trc(kObject, 0x2, __LINE__, kCode, "  Server [%s]", "");
    TraceOp.trc(kObject, 0x2, __LINE__, kCode, "  RS485 [%s]", "");
    TraceOp.trc(kObject, 0x2, __LINE__, kCode, "%s", dashes);
    return false;
  }

  static int Main(LumoQIVhub *self, int argc, char **argv) noexcept {
    bool console = startUp(self, argc, argv);
    while (!bShutdown) {
      int cnt = MemOp.getAllocCount();
      if (cnt > cnt1)
        TraceOp.trc(kObject, 0x10, __LINE__, kCode, "memory allocations old=%u new=%u",
                    static_cast<unsigned>(cnt1), static_cast<unsigned>(cnt));
      cnt1 = cnt;
      lumo_thread_sleep(console ? 100 : 1000);
    }
    lumo_thread_sleep(100);
    return 0;
  }
};

constexpr const char *kHubSlots[] = {QIVHUB_OPS(LUMO_SLOT_NAME, _)};
static_assert(lumo::namesAscending(kHubSlots), "QIVhubOp slots are in byte-wise order");

}  // namespace

const LumoQIVhub QIVhubOp = {LUMO_BASE_INIT(Hub), QIVHUB_OPS(LUMO_SLOT_INIT_MEMBER, Hub)};
static_assert(lumo::classLayoutOk<LumoQIVhub, 3>(), "QIVhubOp layout");
