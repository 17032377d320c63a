// The message queue: priority order, capacity, rejected priorities, waiting and many producers.
#include <gtest/gtest.h>
#include <lumo/mem.h>
#include <lumo/queue.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "lumo/impl/queue.hpp"
#include "support/testutil.hpp"

namespace {

// Payloads are the letters themselves, so the order taken can be compared as a string.
void *letter(char c) { return reinterpret_cast<void *>(static_cast<uintptr_t>(c)); }

std::string drain(LumoQueue *q) {
  std::string out;
  while (void *p = QueueOp.get(q)) out += static_cast<char>(reinterpret_cast<uintptr_t>(p));
  return out;
}

TEST(QueueTest, HigherPrioritiesComeFirstThenPostingOrder) {
  struct Post {
    char c;
    int prio;
  };
  struct Case {
    std::vector<Post> posts;
    std::string expected;
  };
  const Case cases[] = {
      {{{'A', 0}, {'B', 1}, {'C', 2}, {'D', 1}, {'E', 0}}, "CBDAE"},
      {{{'A', 0}, {'B', 1}}, "BA"},
      {{{'A', 2}, {'B', 0}, {'C', 1}}, "ACB"},
      {{{'A', 0}, {'B', 0}, {'C', 2}, {'D', 2}}, "CDAB"},
  };
  LumoQueue *q = QueueOp.inst(100);
  for (const Case &c : cases) {
    for (const Post &p : c.posts) ASSERT_TRUE(QueueOp.post(q, letter(p.c), p.prio));
    EXPECT_EQ(QueueOp.msgCount(q), static_cast<int>(c.posts.size()));
    EXPECT_EQ(drain(q), c.expected);
  }
  QueueOp.del(q);
}

// Taking the last message of a priority must forget it as that priority's tail.
TEST(QueueTest, TakingTheLastOfAPriorityForgetsItsPlace) {
  LumoQueue *q = QueueOp.inst(100);
  QueueOp.post(q, letter('A'), 1);
  QueueOp.post(q, letter('B'), 0);
  EXPECT_EQ(QueueOp.get(q), letter('A'));
  QueueOp.post(q, letter('C'), 1);
  QueueOp.post(q, letter('D'), 2);
  EXPECT_EQ(drain(q), "DCB");
  QueueOp.post(q, letter('E'), 0);
  EXPECT_EQ(drain(q), "E");
  QueueOp.del(q);
}

// A batch takes what get would hand out one by one, and leaves the rest of the chain (and the
// places where later posts go) as get would; a batch larger than the spare nodes the queue
// keeps releases the others.
TEST(QueueTest, ABatchTakesInGetOrderAndKeepsTheRestInPlace) {
  LumoQueue *q = QueueOp.inst(1000);
  const struct {
    char c;
    int prio;
  } posts[] = {{'a', 0}, {'B', 1}, {'C', 2}, {'D', 1}, {'e', 0}};
  for (const auto &p : posts) QueueOp.post(q, letter(p.c), p.prio);
  void *taken[8] = {};
  ASSERT_EQ(lumo::queue_takeBatch(q, taken, 3), 3);
  std::string first;
  for (int i = 0; i < 3; ++i) first += static_cast<char>(reinterpret_cast<uintptr_t>(taken[i]));
  EXPECT_EQ(first, "CBD");
  EXPECT_EQ(QueueOp.msgCount(q), 2);
  QueueOp.post(q, letter('F'), 1);  // the normal tail went with the batch
  QueueOp.post(q, letter('G'), 2);
  EXPECT_EQ(drain(q), "GFae");

  QueueOp.del(q);
}

// Each priority's messages sit in a ring that grows as they wait: taking and posting across its
// end, and growing while it wraps, keeps the posting order; a ring grown by a burst is released
// once the queue runs empty.
TEST(QueueTest, MessagesKeepTheirOrderAsTheirRingsWrapAndGrow) {
  int blocks = MemOp.getAllocCntID(LUMO_TID_QUEUE);
  LumoQueue *q = QueueOp.inst(5000);
  std::vector<void *> all(5000);
  uintptr_t next = 1, expected = 1;
  auto post = [&](int n) {
    for (int i = 0; i < n; ++i) ASSERT_TRUE(QueueOp.post(q, reinterpret_cast<void *>(next++), 1));
  };
  auto take = [&](int n) {
    ASSERT_EQ(lumo::queue_takeBatch(q, all.data(), n), n);
    for (int i = 0; i < n; ++i) ASSERT_EQ(all[i], reinterpret_cast<void *>(expected++));
  };
  for (int round = 0; round < 40; ++round) {  // the ring's start walks round it
    post(11);
    take(7);
  }
  post(3000);  // grows several times, wrapped
  QueueOp.post(q, letter('H'), 2);
  EXPECT_EQ(QueueOp.get(q), letter('H'));
  take(static_cast<int>(next - expected));
  EXPECT_TRUE(QueueOp.isEmpty(q));
  EXPECT_LE(MemOp.getAllocCntID(LUMO_TID_QUEUE), blocks + 8) << "the burst's ring went";
  EXPECT_EQ(lumo::queue_takeBatch(q, all.data(), 10), 0);
  EXPECT_EQ(lumo::queue_takeBatch(nullptr, all.data(), 10), 0);
  QueueOp.del(q);
}

TEST(QueueTest, FullQueueRejectsWithAWarningUntilOneIsTaken) {
  TraceListener listener;
  LumoQueue *q = QueueOp.inst(2);
  EXPECT_TRUE(QueueOp.post(q, letter('A'), 1));
  EXPECT_TRUE(QueueOp.post(q, letter('B'), 1));
  EXPECT_FALSE(QueueOp.post(q, letter('C'), 1));
  QueueOp.setDesc(q, "writer");
  EXPECT_FALSE(QueueOp.post(q, letter('C'), 2));
  EXPECT_EQ(QueueOp.msgCount(q), 2);
  EXPECT_EQ(QueueOp.get(q), letter('A'));
  EXPECT_TRUE(QueueOp.post(q, letter('C'), 1));
  EXPECT_EQ(drain(q), "BC");

  auto heard = TraceListener::heard();
  ASSERT_EQ(heard.size(), 2u);
  EXPECT_EQ(heard[0].text,
            "QueueOp.post: count(2) is getting bigger than size(2)! Post rejected for [].");
  EXPECT_EQ(heard[1].text,
            "QueueOp.post: count(2) is getting bigger than size(2)! Post rejected for [writer].");
  for (const HeardRecord &r : heard) {
    EXPECT_EQ(r.level, LUMO_TRC_W);
    EXPECT_EQ(r.object, "OQueue");
    EXPECT_EQ(r.code, 9999);
  }
  QueueOp.del(q);
}

TEST(QueueTest, PrioritiesOutsideTheThreeAreRejected) {
  TraceListener listener;
  LumoQueue *q = QueueOp.inst(10);
  QueueOp.setDesc(q, "main");
  EXPECT_FALSE(QueueOp.post(q, letter('A'), -1));
  EXPECT_FALSE(QueueOp.post(q, letter('B'), 3));
  EXPECT_TRUE(QueueOp.isEmpty(q));
  auto heard = TraceListener::heard();
  ASSERT_EQ(heard.size(), 2u);
  EXPECT_EQ(heard[0].text,
            "QueueOp.post: priority(-1) is not 0, 1 or 2! Post rejected for [main].");
  EXPECT_EQ(heard[1].text, "QueueOp.post: priority(3) is not 0, 1 or 2! Post rejected for [main].");
  EXPECT_EQ(heard[1].level, LUMO_TRC_W);
  QueueOp.del(q);
}

TEST(QueueTest, EmptyAndNullQueuesAnswerNothing) {
  int before = QueueOp.count();
  LumoQueue *q = QueueOp.inst(10);
  EXPECT_EQ(QueueOp.get(q), nullptr);
  EXPECT_EQ(QueueOp.msgCount(q), 0);
  EXPECT_TRUE(QueueOp.isEmpty(q));
  EXPECT_FALSE(QueueOp.post(nullptr, letter('A'), 1));
  EXPECT_EQ(QueueOp.get(nullptr), nullptr);
  EXPECT_EQ(QueueOp.waitPost(nullptr), nullptr);
  EXPECT_EQ(QueueOp.msgCount(nullptr), 0);
  EXPECT_STREQ(QueueOp.toString(q), "");
  EXPECT_STREQ(QueueOp.name(), "OQueue");
  EXPECT_EQ(QueueOp.count(), before + 1);
  // Queued messages are dropped with the queue (the sanitizer build sees a leaked node).
  QueueOp.post(q, letter('A'), 0);
  q->del(q);
  QueueOp.del(nullptr);
  EXPECT_EQ(QueueOp.count(), before);
}

TEST(QueueTest, WaitPostBlocksUntilAPostArrives) {
  LumoQueue *q = QueueOp.inst(10);
  auto start = std::chrono::steady_clock::now();
  std::thread poster([q] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    QueueOp.post(q, letter('A'), 1);
  });
  EXPECT_EQ(QueueOp.waitPost(q), letter('A'));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(45));
  poster.join();
  EXPECT_TRUE(QueueOp.isEmpty(q));
  QueueOp.del(q);
}

TEST(QueueTest, WaitPostWakesAsSoonAsAMessageIsPosted) {
  LumoQueue *q = QueueOp.inst(10);
  auto latency = measureWakeLatency(
      kWakeRounds, [] {}, [q] { return QueueOp.waitPost(q) == letter('W'); },
      [q] { QueueOp.post(q, letter('W'), 1); }, [] {});
  EXPECT_LT(latency.medianMs, kWokenMedianMs) << latency.all;
  EXPECT_TRUE(QueueOp.isEmpty(q));
  QueueOp.del(q);
}

// Every payload is taken exactly once, and each producer's payloads (one priority each) come
// out in the order it posted them.
TEST(QueueTest, OneConsumerTakesEveryPayloadOfManyProducersInTheirOrder) {
  constexpr int kProducers = 4, kEach = 500;
  LumoQueue *q = QueueOp.inst(kProducers * kEach);
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p)
    producers.emplace_back([q, p] {
      for (int i = 0; i < kEach; ++i) {
        uintptr_t payload = (static_cast<uintptr_t>(p + 1) << 20) | static_cast<uintptr_t>(i);
        ASSERT_TRUE(QueueOp.post(q, reinterpret_cast<void *>(payload), p % 3));
      }
    });
  std::vector<int> next(kProducers, 0);
  int taken = 0, outOfOrder = 0;
  while (taken < kProducers * kEach) {
    void *got = QueueOp.waitPost(q);
    if (!got) continue;
    uintptr_t payload = reinterpret_cast<uintptr_t>(got);
    int p = static_cast<int>(payload >> 20) - 1;
    int i = static_cast<int>(payload & 0xFFFFF);
    ASSERT_TRUE(p >= 0 && p < kProducers);
    if (i != next[p]) ++outOfOrder;
    next[p] = i + 1;
    ++taken;
  }
  for (auto &t : producers) t.join();
  EXPECT_EQ(outOfOrder, 0);
  for (int p = 0; p < kProducers; ++p) EXPECT_EQ(next[p], kEach);
  EXPECT_TRUE(QueueOp.isEmpty(q));
  EXPECT_EQ(QueueOp.get(q), nullptr);
  QueueOp.del(q);
}

}  // namespace
