// The mutex: naming, the unsupported named open, exclusion, owner record and bounded waits.
#include <gtest/gtest.h>
#include <lumo/mutex.h>
#include <lumo/str.h>

#include <atomic>
#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/testutil.hpp"

namespace {

std::string describe(LumoMutex *m) { return take(MutexOp.toString(m)); }

// Holds a mutex on another thread until released.
class Holder {
 public:
  explicit Holder(LumoMutex *m)
      : thread_([this, m] {
          MutexOp.wait(m);
          held_.store(true);
          while (!release_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
          MutexOp.post(m);
        }) {
    while (!held_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  void release() {
    release_.store(true);
    if (thread_.joinable()) thread_.join();
  }
  ~Holder() { release(); }

 private:
  std::atomic<bool> held_{false}, release_{false};
  std::thread thread_;
};

TEST(MutexTest, UnnamedMutexesGetDistinctGeneratedNamesAndAreCounted) {
  int before = MutexOp.count();
  LumoMutex *a = MutexOp.inst(nullptr, 1);
  LumoMutex *b = MutexOp.inst(nullptr, 1);
  LumoMutex *named = MutexOp.inst("registry", 1);
  ASSERT_TRUE(a && b && named);
  EXPECT_TRUE(std::regex_match(describe(a), std::regex("OMutex: MUX[0-9A-F]{8,}")));
  EXPECT_NE(describe(a), describe(b));
  EXPECT_EQ(describe(named), "OMutex: registry");
  EXPECT_STREQ(MutexOp.name(), "OMutex");
  EXPECT_EQ(MutexOp.count(), before + 3);
  a->del(a);
  MutexOp.del(b);
  MutexOp.del(named);
  MutexOp.del(nullptr);
  EXPECT_EQ(MutexOp.count(), before);
}

TEST(MutexTest, OpeningByNameIsNotSupportedAndLeavesTheCountAlone) {
  int before = MutexOp.count();
  StreamCapture out(STDOUT_FILENO);
  StreamCapture err(STDERR_FILENO);
  LumoMutex *m = MutexOp.inst("shared", 0);
  std::string errText = err.text();
  std::string outText = out.text();
  EXPECT_EQ(m, nullptr);
  EXPECT_EQ(outText, "umutex: lumo_mutex_open NOT SUPPORTED\n");
  EXPECT_EQ(errText, "Error Mutex: shared rc=0");
  EXPECT_EQ(MutexOp.count(), before);
}

TEST(MutexTest, OwnerIsRecordedWhileHeldAndClearedByPost) {
  LumoMutex *m = MutexOp.inst(nullptr, 1);
  EXPECT_EQ(MutexOp.getTID(m), 0u);
  ASSERT_TRUE(MutexOp.wait(m));
  EXPECT_EQ(MutexOp.getTID(m), lumo_thread_id());
  ASSERT_TRUE(MutexOp.post(m));
  EXPECT_EQ(MutexOp.getTID(m), 0u);
  ASSERT_TRUE(MutexOp.trywait(m, 0));
  EXPECT_EQ(MutexOp.getTID(m), lumo_thread_id());
  ASSERT_TRUE(MutexOp.post(m));
  EXPECT_EQ(MutexOp.getTID(m), 0u);
  EXPECT_EQ(MutexOp.getRc(m), 0);
  MutexOp.del(m);
}

TEST(MutexTest, TrywaitOnAHeldMutexGivesUpAfterItsPollingSteps) {
  LumoMutex *m = MutexOp.inst(nullptr, 1);
  Holder holder(m);
  // 0 ms tries twice, 10 ms apart; 25 ms retries three times. Upper bounds are loose: the
  // emulated build is slow.
  struct Case {
    int timeout;
    long atLeast;
  };
  for (Case c : {Case{0, 9}, Case{25, 29}}) {
    auto start = Clock::now();
    EXPECT_FALSE(MutexOp.trywait(m, c.timeout));
    long took = msSince(start);
    EXPECT_GE(took, c.atLeast) << "timeout " << c.timeout;
    EXPECT_LT(took, c.atLeast + 1500) << "timeout " << c.timeout;
    EXPECT_EQ(MutexOp.getRc(m), 16);
  }
  EXPECT_NE(MutexOp.getTID(m), lumo_thread_id());
  holder.release();
  MutexOp.del(m);
}

TEST(MutexTest, TrywaitAcquiresAMutexReleasedWithinTheTimeout) {
  LumoMutex *m = MutexOp.inst(nullptr, 1);
  Holder holder(m);
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    holder.release();
  });
  EXPECT_TRUE(MutexOp.trywait(m, 5000));
  EXPECT_EQ(MutexOp.getTID(m), lumo_thread_id());
  releaser.join();
  EXPECT_TRUE(MutexOp.post(m));
  MutexOp.del(m);
}

// A bounded wait takes the lock as soon as its holder lets go, not at its next look.
TEST(MutexTest, ABoundedWaitTakesTheLockAsSoonAsItIsReleased) {
  LumoMutex *m = MutexOp.inst(nullptr, 1);
  auto latency = measureWakeLatency(
      kWakeRounds, [m] { MutexOp.wait(m); },
      [m] { return MutexOp.trywait(m, 5000) != 0; }, [m] { MutexOp.post(m); },
      [m] { MutexOp.post(m); });
  EXPECT_LT(latency.medianMs, kWokenMedianMs) << latency.all;
  MutexOp.del(m);
}

TEST(MutexTest, NullMutexIsReportedNotInitialized) {
  TraceListener listener;
  EXPECT_FALSE(MutexOp.post(nullptr));
  EXPECT_FALSE(MutexOp.wait(nullptr));
  EXPECT_FALSE(MutexOp.trywait(nullptr, 0));
  EXPECT_EQ(MutexOp.getTID(nullptr), 0u);
  auto heard = TraceListener::heard();
  ASSERT_EQ(heard.size(), 2u);
  for (const HeardRecord &r : heard) {
    EXPECT_EQ(r.level, LUMO_TRC_E);
    EXPECT_EQ(r.text, "Mutex not initialized!");
    EXPECT_EQ(r.code, 9999);
    EXPECT_EQ(r.object, "OMutex");
  }
}

// The owner a thread sees is its own only while it holds the lock, also when another thread
// releases just before: the registry relies on this to avoid waiting on itself.
TEST(MutexTest, ExcludesOtherThreadsAndEachHolderSeesItselfAsOwner) {
  LumoMutex *m = MutexOp.inst(nullptr, 1);
  long counter = 0;
  std::atomic<int> wrongOwner{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        ASSERT_TRUE(MutexOp.wait(m));
        if (MutexOp.getTID(m) != lumo_thread_id()) wrongOwner.fetch_add(1);
        ++counter;
        ASSERT_TRUE(MutexOp.post(m));
      }
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(counter, 8000);
  EXPECT_EQ(wrongOwner.load(), 0);
  MutexOp.del(m);
}

}  // namespace
