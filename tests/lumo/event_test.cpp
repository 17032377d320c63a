// The event: a manual-reset flag whose waiters wake as soon as it is set, bounded waits in
// whole 10 ms steps, named events shared by open.
#include <gtest/gtest.h>
#include <lumo/event.h>
#include <lumo/mem.h>
#include <lumo/str.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "lumo/impl/event.hpp"
#include "support/testutil.hpp"

namespace {

std::string describe(LumoEvent *e) { return take(EventOp.toString(e)); }

TEST(EventTest, TrywaitOnAResetEventWaitsForAboutTheTimeout) {
  LumoEvent *e = EventOp.inst(nullptr, 1);
  // Twenty answers without sleeping stay far below twenty 10 ms sleeps, even on a busy machine.
  auto start = Clock::now();
  for (int i = 0; i < 20; ++i) EXPECT_FALSE(EventOp.trywait(e, 0));
  EXPECT_LT(msSince(start), 150) << "a zero timeout does not sleep";
  start = Clock::now();
  EXPECT_FALSE(EventOp.trywait(e, 25));
  long took = msSince(start);
  EXPECT_GE(took, 29);
  EXPECT_LT(took, 1500);
  EventOp.del(e);
}

TEST(EventTest, StaysSetThroughWaitsUntilReset) {
  LumoEvent *e = EventOp.inst(nullptr, 1);
  EXPECT_TRUE(EventOp.set(e));
  auto start = Clock::now();
  for (int i = 0; i < 10; ++i) {
    EXPECT_TRUE(EventOp.wait(e));
    EXPECT_TRUE(EventOp.trywait(e, 25));
  }
  EXPECT_LT(msSince(start), 150) << "a set event is seen without sleeping";
  EXPECT_TRUE(EventOp.reset(e));
  EXPECT_FALSE(EventOp.trywait(e, 0));
  EventOp.del(e);
}

TEST(EventTest, WaitReturnsOnceAnotherThreadSets) {
  LumoEvent *e = EventOp.inst(nullptr, 1);
  auto start = Clock::now();
  std::thread setter([e] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EventOp.set(e);
  });
  EXPECT_TRUE(EventOp.wait(e));
  EXPECT_GE(msSince(start), 29);
  setter.join();
  EventOp.del(e);
}

TEST(EventTest, AWaiterWakesAsSoonAsTheEventIsSet) {
  LumoEvent *e = EventOp.inst(nullptr, 1);
  auto none = [] {};
  auto set = [e] { EventOp.set(e); };
  auto reset = [e] { EventOp.reset(e); };
  auto forever = measureWakeLatency(
      kWakeRounds, none, [e] { return EventOp.wait(e) != 0; }, set, reset);
  EXPECT_LT(forever.medianMs, kWokenMedianMs) << forever.all;
  auto bounded = measureWakeLatency(
      kWakeRounds, none, [e] { return EventOp.trywait(e, 5000) != 0; }, set, reset);
  EXPECT_LT(bounded.medianMs, kWokenMedianMs) << bounded.all;
  EventOp.del(e);
}

// Threads waiting on the event now, as its state counts them.
int waitersOf(LumoEvent *e) {
  auto *d = static_cast<LumoEventData *>(e->data);
  return static_cast<int>(d->handle->state.load() / kEventWaiter);
}

// A waiter sees every set made while it waits, even one that a reset undid before the waiter
// ran again; and it sees it through an opened event as well.
TEST(EventTest, ASetUndoneAtOnceStillWakesEveryWaiter) {
  LumoEvent *creator = EventOp.inst("undone", 1);
  LumoEvent *opener = EventOp.inst("undone", 0);
  std::atomic<int> forever{-1}, bounded{-1};
  std::thread a([&] { forever = EventOp.wait(creator); });
  std::thread b([&] { bounded = EventOp.trywait(opener, 30000); });
  auto start = Clock::now();
  while (waitersOf(creator) < 2 && Clock::now() - start < std::chrono::seconds(30))
    std::this_thread::yield();
  EXPECT_EQ(waitersOf(creator), 2) << "both threads wait";
  EXPECT_TRUE(EventOp.set(creator));
  EXPECT_TRUE(EventOp.reset(creator));
  b.join();
  EXPECT_EQ(bounded.load(), 1);
  start = Clock::now();
  while (forever.load() < 0 && Clock::now() - start < std::chrono::seconds(30))
    std::this_thread::yield();
  EXPECT_EQ(forever.load(), 1) << "the waiter without time-out saw the set";
  if (forever.load() < 0) EventOp.set(creator);  // lets it go all the same
  a.join();
  EXPECT_FALSE(EventOp.trywait(creator, 0)) << "the reset stands";
  EventOp.del(opener);
  EventOp.del(creator);
}

// The setting thread touches the event no more once a waiter can see the set: the waiter may
// delete it at once (AddressSanitizer reports any later touch).
TEST(EventTest, AWaiterMayDeleteTheEventAsSoonAsItSeesTheSet) {
  for (int round = 0; round < 200; ++round) {
    LumoEvent *e = EventOp.inst(nullptr, 1);
    std::thread waiter([e] {
      EXPECT_TRUE(EventOp.wait(e));
      EventOp.del(e);
    });
    if (round % 2) std::this_thread::sleep_for(std::chrono::microseconds(200));
    EventOp.set(e);
    waiter.join();
  }
}

TEST(EventTest, FailedCreateOrOpenGivesACountedEventThatAnswersFalse) {
  int before = EventOp.count();
  LumoEvent *creator = EventOp.inst("dup", 1);
  LumoEvent *duplicate = EventOp.inst("dup", 1);
  LumoEvent *nobody = EventOp.inst("nobody", 0);
  LumoEvent *unnamedOpen = EventOp.inst(nullptr, 0);
  for (LumoEvent *e : {duplicate, nobody, unnamedOpen}) {
    ASSERT_NE(e, nullptr);
    EXPECT_FALSE(EventOp.set(e));
    EXPECT_FALSE(EventOp.reset(e));
    EXPECT_FALSE(EventOp.trywait(e, 0));
    EXPECT_FALSE(EventOp.wait(e));
  }
  EXPECT_EQ(EventOp.count(), before + 4);
  EXPECT_EQ(describe(creator), "OEvent: dup");
  EXPECT_EQ(describe(unnamedOpen), "OEvent: <unnamed>");
  EXPECT_STREQ(EventOp.name(), "OEvent");
  for (LumoEvent *e : {unnamedOpen, nobody, duplicate}) EventOp.del(e);
  creator->del(creator);
  EventOp.del(nullptr);
  EXPECT_EQ(EventOp.count(), before);
  EXPECT_FALSE(EventOp.set(nullptr));
  EXPECT_FALSE(EventOp.wait(nullptr));
}

TEST(EventTest, OpenedEventSharesTheCreatorsFlag) {
  LumoEvent *creator = EventOp.inst("shared", 1);
  LumoEvent *opener = EventOp.inst("shared", 0);
  EXPECT_TRUE(EventOp.set(opener));
  EXPECT_TRUE(EventOp.trywait(creator, 0));
  EXPECT_TRUE(EventOp.reset(creator));
  EXPECT_FALSE(EventOp.trywait(opener, 0));
  EventOp.del(opener);
  EventOp.del(creator);
}

// Only the creator's del frees the name: an opener or a failed duplicate going away must not
// let a second creator in while the first still owns the flag.
TEST(EventTest, OnlyTheCreatorsDelReleasesTheName) {
  LumoEvent *creator = EventOp.inst("owned", 1);
  LumoEvent *opener = EventOp.inst("owned", 0);
  LumoEvent *duplicate = EventOp.inst("owned", 1);
  EventOp.del(opener);
  EventOp.del(duplicate);

  LumoEvent *rival = EventOp.inst("owned", 1);
  EXPECT_FALSE(EventOp.set(rival)) << "the name still belongs to the creator";
  LumoEvent *late = EventOp.inst("owned", 0);
  EXPECT_TRUE(EventOp.set(late));
  EXPECT_TRUE(EventOp.trywait(creator, 0));
  EventOp.del(late);
  EventOp.del(rival);

  EventOp.del(creator);
  LumoEvent *fresh = EventOp.inst("owned", 1);
  EXPECT_TRUE(EventOp.set(fresh)) << "the creator's del frees the name";
  LumoEvent *reopened = EventOp.inst("owned", 0);
  EXPECT_TRUE(EventOp.trywait(reopened, 0)) << "open finds the new creator";
  EventOp.del(reopened);
  EventOp.del(fresh);
}

// An opener that outlives its creator keeps using the flag it shares (the creator's record stays
// until the last opener lets go of it), and a new creator of the name is a different signal.
TEST(EventTest, OpenerOutlivesItsCreatorWithoutTouchingReleasedMemory) {
  int blocks = MemOp.getAllocCntID(LUMO_TID_EVENT);
  LumoEvent *creator = EventOp.inst("outlived", 1);
  LumoEvent *first = EventOp.inst("outlived", 0);
  LumoEvent *second = EventOp.inst("outlived", 0);
  EventOp.del(creator);

  EXPECT_TRUE(EventOp.set(first));
  EXPECT_TRUE(EventOp.trywait(second, 0));
  LumoEvent *successor = EventOp.inst("outlived", 1);
  EXPECT_TRUE(EventOp.set(successor)) << "the name was free again";
  EXPECT_TRUE(EventOp.reset(second));
  EXPECT_TRUE(EventOp.trywait(successor, 0)) << "a signal of its own";
  EventOp.del(successor);

  EventOp.del(first);
  EXPECT_FALSE(EventOp.trywait(second, 0));
  EXPECT_TRUE(EventOp.set(second));
  EventOp.del(second);
  EXPECT_EQ(MemOp.getAllocCntID(LUMO_TID_EVENT), blocks) << "the shared record went with the last";
}

}  // namespace
