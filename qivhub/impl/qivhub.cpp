// qivhub: the hub object: start-up (options, trace, banner, device plug-in) with its watch for a
// stop that start-up cannot answer, the main loop with its memory-growth record, the console
// keys and the plug-in's listener.
#include "qivhub.h"

#include <lumo/cmdln.h>
#include <lumo/file.h>
#include <lumo/lib.h>
#include <lumo/mem.h>
#include <lumo/plugin.h>
#include <lumo/str.h>
#include <lumo/system.h>
#include <lumo/thread.h>
#include <lumo/trace.h>
#include <lumo/wCmdline.h>
#include <lumo/wConCmd.h>
#include <lumo/wDigInt.h>
#include <lumo/wProgram.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "module.hpp"
#include "options.hpp"

namespace {

constexpr const char *kObject = "OQIVhub";
constexpr int kCode = LUMO_TRC_CODE;
constexpr const char *kDashes = "----------------------------------------";
// Always on: v, W and I.
constexpr int kBaseLevel = LUMO_TRC_v | LUMO_TRC_W | LUMO_TRC_I;

qivhub::ClassInfo hubClass{"OQIVhub", "qivhub/impl/qivhub"};

constexpr int kLoopMs = 1000;         // one loop pass without console mode
constexpr int kConsoleLoopMs = 100;   // one loop pass in console mode
constexpr int kShutdownStepMs = 10;   // how soon a pass notices a shutdown without a wake pipe
constexpr int kTraceFlushMs = 1000;   // the longest a stop waits for the trace file

// Written by the signal handler (on whichever thread the signal lands) and the console check,
// read by the main loop.
std::atomic<int> bShutdown{0};
// Set once start-up has handed over to the main loop, which ends the process from then on.
std::atomic<bool> inMainLoop{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "read and written by a signal handler");
// A shutdown during start-up is told to the start-up watch through a pipe, and one in the main
// loop ends the loop's sleep through another: write(2) is all a signal handler may do.
int watchRead = -1;
std::atomic<int> watchWrite{-1};
int loopRead = -1;
std::atomic<int> loopWrite{-1};
// The start-up watch sleeps here until the main loop runs.
std::mutex loopLock;
std::condition_variable loopEntered;
// The live-block count the previous loop pass saw, for the memory-growth trace (the process
// global documented as cnt1).
int allocCountSeen = 0;
// Set when standard input has ended: the console check then stops reading, so the loop keeps
// its pace instead of spinning on end of file.
bool consoleClosed = false;

struct HubData {
  int id;
  const char *libpath;  // borrowed: an argument string or "."
  LumoDigInt *plugin;
  // Kept so they stay reachable for the process's lifetime (they are never torn down).
  LumoCmdLn *cmdLn;
  LumoLib *lib;
};

int listener(LumoObject *, LumoNode *event, int) {
  if (event)
    TraceOp.trc(kObject, LUMO_TRC_I, __LINE__, kCode, "listener: %s", NodeOp.getName(event));
  return 0;
}

struct Hub : qivhub::Module<LumoQIVhub, HubData, hubClass> {
  static void del(LumoQIVhub *self) noexcept { release(self, __LINE__); }

  static LumoQIVhub *inst(void *) noexcept {
    HubData *d = nullptr;
    LumoQIVhub *self = make(QIVhubOp, __LINE__, &d);
    if (!self) return nullptr;
    d->id = 256;
    d->libpath = ".";
    return self;
  }

  static int shutdown() noexcept {
    bShutdown.store(1);
    wake(loopWrite.load());
    if (!inMainLoop.load()) wake(watchWrite.load());
    return 1;
  }

  // One byte into a wake pipe, from a signal handler too.
  static void wake(int fd) noexcept {
    if (fd < 0) return;
    int saved = errno;  // a signal handler must leave errno as it found it
    char c = 1;
    ssize_t n = write(fd, &c, 1);
    (void)n;  // a full pipe already holds a wake-up
    errno = saved;
  }

  // Start-up can hang where nobody returns (a plug-in's factory that never does): a shutdown
  // requested before the main loop runs gives start-up one loop period to reach the loop, then
  // writes what the trace has accepted and ends the process as the loop would have, status 0.
  static void watchStartUp(LumoThread *) {
    char c;
    while (read(watchRead, &c, 1) < 0 && errno == EINTR) {
    }
    {
      std::unique_lock<std::mutex> lock(loopLock);
      if (loopEntered.wait_for(lock, std::chrono::milliseconds(kLoopMs),
                               [] { return inMainLoop.load(); }))
        return;
    }
    lumo_trace_flush(TraceOp.get(), kTraceFlushMs);
    _exit(0);
  }

  // A pipe whose writing end never blocks (a signal handler writes it); false when there is none.
  static bool wakePipe(int (&ends)[2]) {
    return pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0;
  }

  static void startWatch() {
    int ends[2];
    if (!wakePipe(ends)) return;
    // Only the writing end may not block: the watch sleeps in its read.
    fcntl(ends[0], F_SETFL, fcntl(ends[0], F_GETFL) & ~O_NONBLOCK);
    watchRead = ends[0];
    LumoThread *watch = ThreadOp.inst("startwatch", watchStartUp, nullptr);
    if (!watch || !ThreadOp.start(watch)) {
      ThreadOp.del(watch);
      close(ends[0]);
      close(ends[1]);
      return;
    }
    watchWrite.store(ends[1]);
    if (bShutdown) shutdown();  // a signal that came before the watch could hear it
  }

  static void openLoopPipe() {
    int ends[2];
    if (!wakePipe(ends)) return;
    loopRead = ends[0];
    loopWrite.store(ends[1]);
  }

  // One loop pass's sleep, cut short by a shutdown: the loop sleeps in poll on its wake pipe,
  // which shutdown writes (the byte stays, so every later pass returns at once).
  static void sleepPass(int ms) {
    if (loopRead < 0) {  // no pipe: the shutdown flag is looked at in short steps
      for (int slept = 0; slept < ms && !bShutdown; slept += kShutdownStepMs)
        lumo_thread_sleep(kShutdownStepMs);
      return;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!bShutdown) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0) return;
      pollfd p{loopRead, POLLIN, 0};
      poll(&p, 1, static_cast<int>(left) + 1);  // + 1: poll's time-out is cut to milliseconds
    }
  }

  static void writeBanner(const HubData *d, const char *server, const char *rs485) {
    TraceOp.trc(kObject, LUMO_TRC_I, __LINE__, kCode, "%s", kDashes);
    TraceOp.trc(kObject, LUMO_TRC_I, __LINE__, kCode, "QIVhub");
    TraceOp.trc(kObject, LUMO_TRC_I, __LINE__, kCode, "  revision [%d]", qivhub::kRevision);
    TraceOp.trc(kObject, LUMO_TRC_I, __LINE__, kCode, "  ID [%d]", d->id);
    TraceOp.trc(kObject, LUMO_TRC_I, __LINE__, kCode, "  Server [%s]", server ? server : "");
    TraceOp.trc(kObject, LUMO_TRC_I, __LINE__, kCode, "  RS485 [%s]", rs485 ? rs485 : "");
    TraceOp.trc(kObject, LUMO_TRC_I, __LINE__, kCode, "%s", kDashes);
  }

  // Loads "<libpath>/qiv", builds the digint node and hands it to the plug-in's factory. Without
  // a library, factory or object the hub runs on without a plug-in (the loader traced why).
  static void loadPlugin(LumoQIVhub *self, HubData *d, const char *server, const char *rs485) {
    char *libName = StrOp.fmt("%s%c%s", d->libpath, SystemOp.getFileSeparator(), "qiv");
    d->lib = LibOp.inst(libName);
    StrOp.freeStr(libName);
    if (!d->lib) return;
    auto factory =
        reinterpret_cast<LumoDigIntFactory>(LibOp.getProc(d->lib, LUMO_PLUGIN_FACTORY));
    if (!factory) return;
    LumoNode *config = NodeOp.inst(wDigInt.node_name(), nullptr, LUMO_NODE_ELEMENT);
    wDigInt.setiid(config, "qivlib");
    if (server) wDigInt.sethost(config, server);
    wDigInt.setuid(config, d->id);
    wDigInt.setsublib(config, wDigInt.sublib_usb);
    wDigInt.setdevice(config, rs485 ? rs485 : "");
    d->plugin = factory(config, TraceOp.get());
    if (d->plugin)
      d->plugin->registerListener(d->plugin, reinterpret_cast<LumoObject *>(self), listener);
  }

  // Configuration half of Main: options, trace, banner, plug-in. Returns console mode. The
  // parser, the library and the plug-in live until the process ends.
  static bool startUp(LumoQIVhub *self, int argc, char **argv) noexcept {
    HubData *d = dataOf(self);
    LumoCmdLn *cmdLn = d->cmdLn = CmdLnOp.inst(argc, argv);
    bool debug = CmdLnOp.hasKey(cmdLn, wCmdline.debug);
    bool byte = CmdLnOp.hasKey(cmdLn, wCmdline.byte);
    bool parse = CmdLnOp.hasKey(cmdLn, wCmdline.parse);
    bool monitor = CmdLnOp.hasKey(cmdLn, wCmdline.monitor);
    CmdLnOp.hasKey(cmdLn, wCmdline.info);  // its level is always on
    bool console = CmdLnOp.hasKey(cmdLn, wCmdline.console);
    const char *server = CmdLnOp.getStr(cmdLn, qivhub::kServerOption);
    CmdLnOp.getStr(cmdLn, wCmdline.i);
    const char *libpath = CmdLnOp.getStr(cmdLn, wCmdline.l);
    d->libpath = libpath ? libpath : ".";
    d->id = CmdLnOp.getIntDef(cmdLn, qivhub::kIdOption, 256);
    const char *rs485 = CmdLnOp.getStr(cmdLn, qivhub::kRs485Option);

    int level = kBaseLevel | (debug ? LUMO_TRC_D : 0) | (byte ? LUMO_TRC_B : 0) |
                (parse ? LUMO_TRC_S : 0) | (monitor ? LUMO_TRC_c : 0);
    LumoTrace *trace = TraceOp.inst(level, "qivhub", 1);
    TraceOp.setAppID(trace, "w");
    writeBanner(d, server, rs485);

    if (cmdLn) {
      char *pwd = FileOp.pwd();
      TraceOp.println("       pwd = %s", pwd ? pwd : "");
      StrOp.freeStr(pwd);
      char *args = cmdLn->toString(cmdLn);
      TraceOp.println("      args = %s", args ? args : "");
      StrOp.freeStr(args);
    }
    loadPlugin(self, d, server, rs485);
    return console;
  }

  // One console key per call. The read blocks; a signal interrupts it (no SA_RESTART), so the
  // loop sees a shutdown without waiting for a key.
  static void checkConsole(LumoQIVhub *self) noexcept {
    if (consoleClosed) return;
    char c = 0;
    ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n == 0) consoleClosed = true;
    if (n != 1) return;
    if (c == wConCmd.quit) {
      TraceOp.trc(kObject, LUMO_TRC_I, __LINE__, kCode, "Shutdown requested.");
      shutdown();
    } else if (c == wConCmd.query) {
      // Without a plug-in object there is nobody to ask: no trace, no node.
      HubData *d = dataOf(self);
      if (!d || !d->plugin) return;
      TraceOp.trc(kObject, LUMO_TRC_I, __LINE__, kCode, "do query...");
      LumoNode *program = NodeOp.inst(wProgram.node_name(), nullptr, LUMO_NODE_ELEMENT);
      wProgram.setcmd(program, wProgram.query);
      d->plugin->sendCommand(d->plugin, program);
    }
  }

  static int Main(LumoQIVhub *self, int argc, char **argv) noexcept {
    openLoopPipe();
    startWatch();
    bool console = startUp(self, argc, argv);
    {
      std::lock_guard<std::mutex> guard(loopLock);
      inMainLoop.store(true);
    }
    loopEntered.notify_all();
    while (!bShutdown) {
      int allocCount = MemOp.getAllocCount();
      if (allocCount > allocCountSeen)
        TraceOp.trc(kObject, LUMO_TRC_B, __LINE__, kCode, "memory allocations old=%u new=%u",
                    static_cast<unsigned>(allocCountSeen), static_cast<unsigned>(allocCount));
      allocCountSeen = allocCount;
      if (console) {
        checkConsole(self);
        sleepPass(kConsoleLoopMs);
      } else {
        sleepPass(kLoopMs);
      }
    }
    lumo_thread_sleep(100);
    // The plug-in's threads go on tracing until the process ends; what the trace accepted up
    // to here reaches the file.
    lumo_trace_flush(TraceOp.get(), kTraceFlushMs);
    return 0;
  }
};

}  // namespace

const LumoQIVhub QIVhubOp = {QIVHUB_BASE_INIT(Hub), QIVHUB_OPS(QIVHUB_SLOT_INIT, Hub)};
// The base slots come from the same list as LumoObject's, so the hub is seen whole through it.
static_assert(sizeof(LumoQIVhub) == sizeof(LumoObject) + 3 * sizeof(void *), "QIVhubOp layout");
