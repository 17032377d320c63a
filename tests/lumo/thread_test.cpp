// Thread objects and the thread registry: names, look-ups, messages, starting, sleeping, the
// trace's thread names, and registry use from many threads while the trace writes debug records.
#include <gtest/gtest.h>
#include <lumo/list.h>
#include <lumo/str.h>
#include <lumo/thread.h>
#include <lumo/trace.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/testutil.hpp"

namespace {

// Read during static initialisation, before any test can have created a thread object.
struct RegistryBeforeAnyThread {
  bool listMade = false;
  int size = -1;
};
const RegistryBeforeAnyThread registryBeforeAnyThread = [] {
  RegistryBeforeAnyThread r;
  LumoList *all = ThreadOp.getAll();
  r.listMade = all != nullptr;
  if (all) {
    r.size = ListOp.size(all);
    all->del(all);
  }
  return r;
}();

std::string hex(uintptr_t value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%08" PRIXPTR, value);
  return buffer;
}

bool contains(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

// What a started body reports back to the test.
struct Probe {
  std::atomic<LumoThreadId> id{0};
  std::atomic<bool> running{false};
  std::atomic<bool> done{false};
  std::atomic<void *> received{nullptr};
  std::atomic<size_t> stack{0};
  std::atomic<bool> unwound{false};
  std::atomic<int> records{0};
};

Probe *probeOf(LumoThread *thread) { return static_cast<Probe *>(ThreadOp.getParm(thread)); }

// Runs until asked to quit.
void untilQuit(LumoThread *self) {
  Probe *p = probeOf(self);
  p->id = ThreadOp.id_();
  p->running = true;
  while (!ThreadOp.isQuit(self)) ThreadOp.sleep(1);
  p->done = true;  // the last touch: the test may drop the probe once it sees this
}

// A started thread running untilQuit, once its body runs.
LumoThread *startUntilQuit(const char *name, Probe &probe) {
  LumoThread *t = ThreadOp.inst(name, untilQuit, &probe);
  if (!ThreadOp.start(t) || !waitFor([&] { return probe.running.load(); })) ADD_FAILURE();
  return t;
}

// Asks a thread running untilQuit to quit, waits until its body has returned, deletes it.
void quitAndDelete(LumoThread *t, Probe &probe) {
  ThreadOp.quit(t);
  EXPECT_TRUE(waitFor([&] { return probe.done.load(); }));
  ThreadOp.del(t);
}

class ThreadTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!TraceOp.get()) TraceOp.inst(0, nullptr, 1);
  }
  void TearDown() override { TraceOp.setLevel(nullptr, 0); }
};

TEST_F(ThreadTest, GetAllBeforeAnyThreadIsAnEmptyList) {
  EXPECT_TRUE(registryBeforeAnyThread.listMade);
  EXPECT_EQ(registryBeforeAnyThread.size, 0);
}

TEST_F(ThreadTest, UnnamedThreadIsRegisteredUnderItsAddress) {
  int before = ThreadOp.count();
  LumoThread *t = ThreadOp.inst(nullptr, nullptr, nullptr);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(ThreadOp.count(), before + 1);
  std::string name = "tid0x" + hex(reinterpret_cast<uintptr_t>(t));
  EXPECT_EQ(ThreadOp.getName(t), name);
  EXPECT_EQ(ThreadOp.find(name.c_str()), t);

  char *text = ThreadOp.toString(t);
  EXPECT_STREQ(text, name.c_str());
  StrOp.freeStr(text);
  ThreadOp.setDescription(t, "the worker");
  text = t->toString(t);
  EXPECT_STREQ(text, "the worker");
  StrOp.freeStr(text);

  ThreadOp.del(t);
  EXPECT_EQ(ThreadOp.count(), before);
  EXPECT_EQ(ThreadOp.find(name.c_str()), nullptr);
}

TEST_F(ThreadTest, DuplicateNameIsReportedAndLeavesTheFirstRegistered) {
  LumoThread *first = ThreadOp.inst("twin", nullptr, nullptr);
  StreamCapture out;
  LumoThread *second = ThreadOp.inst("twin", nullptr, nullptr);
  EXPECT_EQ(out.text(), "A named thread, [twin], already exist!\n");
  ASSERT_NE(second, nullptr);
  EXPECT_STREQ(ThreadOp.getName(second), "twin");
  EXPECT_EQ(ThreadOp.find("twin"), first);

  // The duplicate was never entered: deleting it must not take the first one's entry.
  StreamCapture err(STDERR_FILENO);
  ThreadOp.del(second);
  std::string text = err.text();
  EXPECT_TRUE(contains(text, "9999E main     OThread  ") &&
              contains(text, " NOT FOUND!!! __removeThread(twin)\n"))
      << text;
  EXPECT_EQ(ThreadOp.find("twin"), first);
  ThreadOp.del(first);
  EXPECT_EQ(ThreadOp.find("twin"), nullptr);
}

TEST_F(ThreadTest, SetNameMovesTheRegistryEntry) {
  LumoThread *t = ThreadOp.inst("before", nullptr, nullptr);
  ThreadOp.setName(t, "after");
  EXPECT_EQ(ThreadOp.find("before"), nullptr);
  EXPECT_EQ(ThreadOp.find("after"), t);
  EXPECT_STREQ(ThreadOp.getName(t), "after");
  EXPECT_EQ(ThreadOp.find("After"), nullptr);  // names compare case-sensitively
  ThreadOp.del(t);
  EXPECT_EQ(ThreadOp.find("after"), nullptr);

  // The map answers get("") with null although it holds the key: the entry must still go.
  LumoThread *blank = ThreadOp.inst("", nullptr, nullptr);
  EXPECT_EQ(ThreadOp.find(""), blank);
  StreamCapture err(STDERR_FILENO);
  ThreadOp.del(blank);
  EXPECT_EQ(err.text(), "");
  EXPECT_EQ(ThreadOp.find(""), nullptr);
}

TEST_F(ThreadTest, StartedThreadIsFoundByItsIdAndNamedIntoABoundedBuffer) {
  Probe probe;
  LumoThread *t = ThreadOp.inst("finder", untilQuit, &probe);
  EXPECT_EQ(ThreadOp.getParm(t), &probe);
  ASSERT_TRUE(ThreadOp.start(t));
  ASSERT_TRUE(waitFor([&] { return probe.running.load(); }));

  EXPECT_EQ(ThreadOp.findById(probe.id), t);
  char buffer[LUMO_THREAD_NAME_MAX];
  EXPECT_EQ(ThreadOp.nameById(probe.id, buffer, sizeof buffer), t);
  EXPECT_STREQ(buffer, "finder");
  char small[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(ThreadOp.nameById(probe.id, small, sizeof small), t);
  EXPECT_STREQ(small, "fin");
  EXPECT_EQ(ThreadOp.nameById(ThreadOp.id_(), buffer, sizeof buffer), nullptr);

  EXPECT_FALSE(ThreadOp.isQuit(t));
  ThreadOp.quit(t);
  EXPECT_TRUE(ThreadOp.isQuit(t));
  EXPECT_TRUE(waitFor([&] { return probe.done.load(); }));
  ThreadOp.del(t);
}

TEST_F(ThreadTest, RecordsFromARegisteredThreadCarryItsName) {
  struct Result {
    std::atomic<bool> done{false};
  } result;
  LumoThread *t = ThreadOp.inst(
      "tracer",
      [](LumoThread *self) {
        TraceOp.trc("OTest", LUMO_TRC_W, 1, 1, "from the tracer");
        static_cast<Result *>(ThreadOp.getParm(self))->done = true;
      },
      &result);
  StreamCapture out;
  ASSERT_TRUE(ThreadOp.start(t));
  ASSERT_TRUE(waitFor([&] { return result.done.load(); }));
  std::string text = out.text();
  EXPECT_TRUE(contains(text, " .0001W tracer   OTest    0001 from the tracer\n")) << text;
  ThreadOp.del(t);
}

TEST_F(ThreadTest, OperationsOnANullThreadAreHarmless) {
  LumoThread *none = nullptr;
  EXPECT_STREQ(ThreadOp.getName(none), "?");
  EXPECT_TRUE(!ThreadOp.getParm(none) && !ThreadOp.getPost(none) && !ThreadOp.waitPost(none) &&
              !ThreadOp.toString(none));
  EXPECT_TRUE(!ThreadOp.hasPost(none) && !ThreadOp.postCount(none) && !ThreadOp.post(none, this) &&
              !ThreadOp.prioPost(none, this, 2));
  EXPECT_TRUE(!ThreadOp.isQuit(none) && !ThreadOp.isPause(none) && !ThreadOp.start(none) &&
              !ThreadOp.join(none));
  ThreadOp.quit(none), ThreadOp.pause(none, 1), ThreadOp.kill(none), ThreadOp.setHigh(none);
  ThreadOp.setName(none, "x"), ThreadOp.setDescription(none, "x"), ThreadOp.setStacksize(none, 1);

  StreamCapture err(STDERR_FILENO);
  ThreadOp.del(none);
  std::string text = err.text();
  EXPECT_TRUE(contains(text, "9999E main     OThread  ") && contains(text, " inst == NULL !\n"))
      << text;
}

TEST_F(ThreadTest, MessagesComeBackInPriorityOrder) {
  LumoThread *t = ThreadOp.inst("mailbox", nullptr, nullptr);
  ThreadOp.setDescription(t, "inbox");
  int a = 0, b = 0, c = 0;
  EXPECT_FALSE(ThreadOp.hasPost(t));
  EXPECT_EQ(ThreadOp.getPost(t), nullptr);

  TraceOp.setLevel(nullptr, LUMO_TRC_D);
  StreamCapture out;
  EXPECT_TRUE(ThreadOp.post(t, &a));
  EXPECT_TRUE(ThreadOp.post(t, &b));
  std::string text = out.text();
  TraceOp.setLevel(nullptr, 0);
  EXPECT_TRUE(contains(text, "OThread  ") && contains(text, " queue[mailbox][inbox] items 0\n"));
  EXPECT_TRUE(contains(text, " queue[mailbox][inbox] items 1\n"));

  EXPECT_TRUE(ThreadOp.prioPost(t, &c, 2));
  {
    StreamCapture rejected;
    EXPECT_FALSE(ThreadOp.prioPost(t, &c, 3));
    EXPECT_TRUE(contains(rejected.text(), "9999W main     OQueue   "));
  }
  EXPECT_TRUE(ThreadOp.hasPost(t));
  EXPECT_EQ(ThreadOp.postCount(t), 3);
  EXPECT_EQ(ThreadOp.getPost(t), &c);
  EXPECT_EQ(ThreadOp.getPost(t), &a);
  EXPECT_EQ(ThreadOp.waitPost(t), &b);
  EXPECT_EQ(ThreadOp.postCount(t), 0);
  ThreadOp.del(t);
}

TEST_F(ThreadTest, WaitPostReceivesWhatAnotherThreadPosts) {
  Probe probe;
  LumoThread *t = ThreadOp.inst(
      "receiver",
      [](LumoThread *self) {
        Probe *p = probeOf(self);
        p->running = true;
        p->received = ThreadOp.waitPost(self);
        p->done = true;
      },
      &probe);
  ASSERT_TRUE(ThreadOp.start(t));
  ASSERT_TRUE(waitFor([&] { return probe.running.load(); }));
  int message = 0;
  EXPECT_TRUE(ThreadOp.post(t, &message));
  ASSERT_TRUE(waitFor([&] { return probe.done.load(); }));
  EXPECT_EQ(probe.received.load(), &message);
  ThreadOp.del(t);
}

TEST_F(ThreadTest, QuitAllReachesEveryRegisteredThread) {
  LumoThread *a = ThreadOp.inst("quitA", nullptr, nullptr);
  LumoThread *b = ThreadOp.inst("quitB", nullptr, nullptr);
  ThreadOp.pause(a, 1);
  EXPECT_TRUE(ThreadOp.isPause(a));
  EXPECT_FALSE(ThreadOp.isPause(b));
  ThreadOp.quitAll();
  EXPECT_TRUE(ThreadOp.isQuit(a));
  EXPECT_TRUE(ThreadOp.isQuit(b));

  LumoList *all = ThreadOp.getAll();
  ASSERT_NE(all, nullptr);
  EXPECT_TRUE(ListOp.hasObj(all, a));
  EXPECT_TRUE(ListOp.hasObj(all, b));
  all->del(all);
  ThreadOp.del(a);
  ThreadOp.del(b);
}

size_t ownStackSize() {
  pthread_attr_t attr;
  size_t size = 0;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    pthread_attr_getstacksize(&attr, &size);
    pthread_attr_destroy(&attr);
  }
  return size;
}

void probeStack(LumoThread *self) {
  Probe *p = probeOf(self);
  p->stack = ownStackSize();
  p->done = true;
}

// The platform may hand a new thread a cached stack up to four times the size asked for, and
// sanitizers enlarge small stacks, so only lower bounds are reliable: a small request must not
// be honoured, a large one must be.
TEST_F(ThreadTest, SmallStackRequestsGetTheDefaultStack) {
  const struct {
    int requested;
    size_t atLeast;
  } cases[] = {{0, 262144}, {65535, 262144}, {2 * 1048576, 2 * 1048576}};
  for (const auto &c : cases) {
    Probe probe;
    LumoThread *t = ThreadOp.inst(nullptr, probeStack, &probe);
    if (c.requested) ThreadOp.setStacksize(t, c.requested);
    ASSERT_TRUE(ThreadOp.start(t));
    ASSERT_TRUE(waitFor([&] { return probe.done.load(); }));
    EXPECT_GE(probe.stack.load(), c.atLeast) << "requested " << c.requested;
    ThreadOp.del(t);
  }
}

TEST_F(ThreadTest, JoinKillAndPriorityActOnlyOnStartedThreads) {
  LumoThread *idle = ThreadOp.inst("idle", nullptr, nullptr);
  TraceOp.setLevel(nullptr, LUMO_TRC_D | LUMO_TRC_I);
  {
    StreamCapture out;
    EXPECT_TRUE(ThreadOp.join(idle));  // nothing to wait for
    EXPECT_FALSE(ThreadOp.kill(idle));
    EXPECT_FALSE(ThreadOp.setHigh(idle));
    EXPECT_EQ(out.text(), "");
  }
  TraceOp.setLevel(nullptr, 0);
  ThreadOp.del(idle);

  TraceOp.setLevel(nullptr, 0);
  Probe probe;
  LumoThread *t = ThreadOp.inst("detached", untilQuit, &probe);
  ASSERT_TRUE(ThreadOp.start(t));
  ASSERT_TRUE(waitFor([&] { return probe.running.load(); }));
  TraceOp.setLevel(nullptr, LUMO_TRC_D | LUMO_TRC_I);
  StreamCapture out;
  // Detached threads cannot be joined: refused as EINVAL instead of asking the platform.
  EXPECT_FALSE(ThreadOp.join(t));
  int high = ThreadOp.setHigh(t);
  std::string text = out.text();
  EXPECT_TRUE(contains(text, "9999W main     OThread  ") && contains(text, " pthread_join rc=22\n"))
      << text;
  bool raised =
      contains(text, "9999D main     OThread  ") && contains(text, " Setted thread priority to ");
  bool refused = contains(text, " Could not set thread priority to ") &&
                 contains(text, "(only superuser can do this) [errno=");
  EXPECT_TRUE(raised || refused) << text;
  EXPECT_TRUE(contains(text, raised ? "policy=SCHED_RR\n" : "policy=SCHED_OTHER\n")) << text;
  EXPECT_EQ(high != 0, raised);
  TraceOp.setLevel(nullptr, 0);

  ThreadOp.quit(t);
  EXPECT_TRUE(waitFor([&] { return probe.done.load(); }));
  ThreadOp.del(t);
}

TEST_F(ThreadTest, KillCancelsAStartedThread) {
  Probe probe;
  LumoThread *t = ThreadOp.inst(
      "victim",
      [](LumoThread *self) {
        Probe *p = probeOf(self);
        struct Unwind {
          Probe *p;
          ~Unwind() { p->unwound = true; }
        } unwind{p};
        p->running = true;
        // Cancelled only here: a cancellation inside an intercepted call confuses ThreadSanitizer.
        for (;;) {
          pthread_testcancel();
          sched_yield();
        }
      },
      &probe);
  ASSERT_TRUE(ThreadOp.start(t));
  ASSERT_TRUE(waitFor([&] { return probe.running.load(); }));
  EXPECT_TRUE(ThreadOp.kill(t));
  EXPECT_TRUE(waitFor([&] { return probe.unwound.load(); }));
  {
    StreamCapture refusals;  // join refuses (and says so) until the thread has ended
    // The cancelled body counts as ended like one that returned.
    EXPECT_TRUE(waitFor([&] { return ThreadOp.join(t) != 0; }));
  }
  ThreadOp.del(t);
}

// A platform thread outside the registry, as a plug-in starts them: it waits to be stopped or
// cancelled and says which.
class Bystander {
 public:
  // Started with the stack the module gives its threads, so that it may get the handle of a
  // module thread that ended just before.
  Bystander() {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 262144);
    started_ = pthread_create(&handle_, &attr, run, this) == 0;
    pthread_attr_destroy(&attr);
  }
  ~Bystander() {
    stop_ = true;
    if (started_) pthread_join(handle_, nullptr);
  }
  pthread_t handle() const { return handle_; }
  bool cancelled() const { return cancelled_; }
  int policy() const {
    int policy = -1;
    sched_param param;
    pthread_getschedparam(handle_, &policy, &param);
    return policy;
  }

 private:
  static void *run(void *arg) {
    Bystander *self = static_cast<Bystander *>(arg);
    pthread_cleanup_push([](void *b) { static_cast<Bystander *>(b)->cancelled_ = true; }, self);
    while (!self->stop_) {
      pthread_testcancel();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    pthread_cleanup_pop(0);
    return nullptr;
  }
  pthread_t handle_{};
  bool started_ = false;
  std::atomic<bool> stop_{false}, cancelled_{false};
};

void returnAtOnce(LumoThread *self) {
  Probe *p = probeOf(self);
  p->id = ThreadOp.id_();
  p->done = true;
}

// Once a body has returned, the platform gives its handle and id to the next thread it starts.
// kill and setHigh must then refuse instead of reaching that thread, and the registry must no
// longer name that thread after the ended one.
TEST_F(ThreadTest, EndedThreadNeverReachesTheThreadThatGotItsHandle) {
  Probe probe;
  LumoThread *ended = ThreadOp.inst("ended", returnAtOnce, &probe);
  ASSERT_TRUE(ThreadOp.start(ended));
  ASSERT_TRUE(waitFor([&] { return probe.done.load(); }));
  LumoThreadId oldId = probe.id;

  // Usually the first new thread gets the handle, once the ended one is gone for good.
  std::unique_ptr<Bystander> bystander;
  for (int i = 0; i < 200; ++i) {
    bystander = std::make_unique<Bystander>();
    if (pthread_equal(bystander->handle(), static_cast<pthread_t>(oldId))) break;
    bystander.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!bystander) {
    std::printf("no new thread got the ended thread's handle: checking the refusals only\n");
    bystander = std::make_unique<Bystander>();
  }
  EXPECT_TRUE(waitFor([&] { return ThreadOp.findById(oldId) != ended; }));
  EXPECT_EQ(ThreadOp.findById(bystander->handle()), nullptr);
  EXPECT_EQ(ThreadOp.nameById(bystander->handle(), nullptr, 0), nullptr);

  TraceOp.setLevel(nullptr, LUMO_TRC_D | LUMO_TRC_I);
  StreamCapture out;
  EXPECT_FALSE(ThreadOp.kill(ended));
  EXPECT_FALSE(ThreadOp.setHigh(ended));
  EXPECT_TRUE(ThreadOp.join(ended));  // nothing left to wait for
  std::string text = out.text();
  TraceOp.setLevel(nullptr, 0);
  EXPECT_TRUE(contains(text, "9999W main     OThread  ") &&
              contains(text, " Thread [ended] has ended: not cancelled.\n") &&
              contains(text, " Thread [ended] has ended: priority not set.\n"))
      << text;
  EXPECT_FALSE(contains(text, "priority is")) << text;

  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(bystander->cancelled());
  EXPECT_EQ(bystander->policy(), SCHED_OTHER);
  bystander.reset();

  // An ended thread may run again; a running one is not started a second time.
  probe.done = false;
  ASSERT_TRUE(ThreadOp.start(ended));
  EXPECT_TRUE(waitFor([&] { return probe.done.load(); }));
  ThreadOp.del(ended);

  Probe busy;
  LumoThread *t = startUntilQuit("busy", busy);
  {
    StreamCapture refused;
    EXPECT_FALSE(ThreadOp.start(t));
    EXPECT_TRUE(contains(refused.text(), " Thread [busy] is running already: not started again.\n"));
  }
  quitAndDelete(t, busy);
}

// The platform thread must not touch its object once the owner deleted it, also when the body
// deletes it itself or the owner deletes it while the body still runs.
TEST_F(ThreadTest, DeletingTheObjectWhileItsBodyRunsLeavesTheEndingThreadAlone) {
  int before = ThreadOp.count();
  Probe selfDeleting;
  LumoThread *a = ThreadOp.inst(
      nullptr,
      [](LumoThread *self) {
        Probe *p = probeOf(self);
        ThreadOp.del(self);
        p->done = true;
      },
      &selfDeleting);
  ASSERT_TRUE(ThreadOp.start(a));
  EXPECT_TRUE(waitFor([&] { return selfDeleting.done.load(); }));

  struct Gate {
    std::atomic<bool> open{false}, entered{false}, left{false};
  } gate;
  LumoThread *b = ThreadOp.inst(
      nullptr,
      [](LumoThread *self) {
        Gate *g = static_cast<Gate *>(ThreadOp.getParm(self));
        g->entered = true;
        while (!g->open) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        g->left = true;  // the last touch of anything the test owns
      },
      &gate);
  ASSERT_TRUE(ThreadOp.start(b));
  ASSERT_TRUE(waitFor([&] { return gate.entered.load(); }));
  ThreadOp.del(b);
  // Another object may now take the deleted one's memory; the ending thread must not mark it.
  Probe probe;
  LumoThread *c = startUntilQuit("successor", probe);
  gate.open = true;
  EXPECT_TRUE(waitFor([&] { return gate.left.load(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(ThreadOp.findById(probe.id), c);
  {
    StreamCapture refusal;
    EXPECT_FALSE(ThreadOp.join(c));  // still running, whatever the ended body did
  }
  quitAndDelete(c, probe);
  EXPECT_EQ(ThreadOp.count(), before);
}

// Texts that one thread replaces while others read them: the reader gets the old or the new
// text, never released memory (ASan and ThreadSanitizer catch it).
TEST_F(ThreadTest, DescriptionAndNameCanBeReplacedWhileOtherThreadsReadThem) {
  LumoThread *t = ThreadOp.inst("texts", nullptr, nullptr);
  ThreadOp.setDescription(t, "first");
  TraceOp.setLevel(nullptr, LUMO_TRC_D);
  StreamCapture out;
  std::atomic<bool> stop{false};
  std::atomic<int> odd{0};
  std::thread reader([&] {
    while (!stop) {
      char *text = ThreadOp.toString(t);
      std::string seen = text ? text : "";
      StrOp.freeStr(text);
      if (seen.empty()) ++odd;
      ThreadOp.post(t, &odd);
      ThreadOp.getPost(t);
    }
  });
  for (int i = 0; i < 2000; ++i) {
    ThreadOp.setDescription(t, i % 2 ? "odd description" : "even description");
    if (i % 50 == 0) ThreadOp.setName(t, i % 100 ? "texts" : "renamed");
  }
  stop = true;
  reader.join();
  out.text();
  TraceOp.setLevel(nullptr, 0);
  EXPECT_EQ(odd.load(), 0);
  ThreadOp.del(t);
}

double secondsOf(void (*sleep)(int), int ms) {
  auto start = std::chrono::steady_clock::now();
  sleep(ms);
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST_F(ThreadTest, SleepTakesWholeSecondsAndTheRemainder) {
  // Upper bounds catch a remainder that is not reduced (2.5 s + 2 s) or an extra second.
  double s = secondsOf(ThreadOp.sleep, 2500);
  EXPECT_GE(s, 2.5);
  EXPECT_LT(s, 4.0);
  s = secondsOf(ThreadOp.sleep, 999);
  EXPECT_GE(s, 0.999);
  EXPECT_LT(s, 1.8);
  EXPECT_LT(secondsOf(ThreadOp.sleep, -5), 0.5);
  EXPECT_LT(secondsOf(ThreadOp.usleep, -5), 0.5);
  EXPECT_EQ(ThreadOp.sleep, lumo_thread_sleep);
  EXPECT_EQ(ThreadOp.id_, lumo_thread_id);
}

// The map traces debug records while the registry is held, and every record asks the registry
// for its thread's name: the registry must not wait for a lock its caller already holds.
TEST_F(ThreadTest, DebugTracingUnderTheRegistryLockDoesNotDeadlock) {
  TraceOp.setLevel(nullptr, LUMO_TRC_D);
  StreamCapture out, err(STDERR_FILENO);
  LumoThread *first = ThreadOp.inst("debugged", nullptr, nullptr);
  LumoThread *second = ThreadOp.inst("debugged", nullptr, nullptr);  // look-up hit traces
  ThreadOp.del(second);
  ThreadOp.del(first);

  constexpr int kWorkers = 4, kRounds = 60;
  std::atomic<int> failures{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([w, &failures] {
      for (int r = 0; r < kRounds; ++r) {
        std::string name = "w" + std::to_string(w) + "r" + std::to_string(r);
        LumoThread *t = ThreadOp.inst(name.c_str(), nullptr, nullptr);
        LumoThread *clash = ThreadOp.inst("shared", nullptr, nullptr);
        if (ThreadOp.find(name.c_str()) != t) ++failures;
        std::string renamed = name + "x";
        ThreadOp.setName(t, renamed.c_str());
        if (ThreadOp.find(renamed.c_str()) != t || ThreadOp.find(name.c_str())) ++failures;
        LumoList *all = ThreadOp.getAll();
        if (!all || !ListOp.hasObj(all, t)) ++failures;
        if (all) all->del(all);
        ThreadOp.post(t, &failures);
        ThreadOp.del(clash);
        ThreadOp.del(t);
        if (ThreadOp.find(renamed.c_str())) ++failures;
      }
    });
  }
  // Started threads trace through the registry at the same time.
  Probe probe;
  LumoThread *tracer = ThreadOp.inst(
      "loud",
      [](LumoThread *self) {
        Probe *p = probeOf(self);
        p->running = true;
        while (!ThreadOp.isQuit(self)) {
          TraceOp.trc("OTest", LUMO_TRC_D, 1, 1, "still here");
          ++p->records;
        }
        p->done = true;
      },
      &probe);
  ASSERT_TRUE(ThreadOp.start(tracer));
  for (auto &w : workers) w.join();
  // A slow start (ThreadSanitizer, qemu) must not let the workers finish before it traced.
  EXPECT_TRUE(waitFor([&] { return probe.records.load() > 0; }));
  ThreadOp.quit(tracer);
  EXPECT_TRUE(waitFor([&] { return probe.done.load(); }));
  ThreadOp.del(tracer);
  std::string text = out.text();

  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(ThreadOp.find("shared"), nullptr);
  EXPECT_TRUE(contains(text, "findMapItem(): "));
  EXPECT_TRUE(contains(text, " loud     OTest    0001 still here\n"));
}

}  // namespace
