// bench: the memory manager, the map and the message queue against what a C++ programmer would
// use instead: glibc malloc/free, std::unordered_map held to the map's 1013 buckets, and a
// mutex + condition variable + deque.
#include <benchmark/benchmark.h>

#include <lumo/map.h>
#include <lumo/mem.h>
#include <lumo/queue.h>
#include <lumo/trace.h>

#include <sched.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

// ---- memory manager: one allocation and its release ----

constexpr int kBlock = 64;

void BM_Mem_lumo(benchmark::State &state) {
  for (auto _ : state) {
    void *p = MemOp.allocTID(kBlock, LUMO_TID_LIST, "bench/mem", __LINE__);
    benchmark::DoNotOptimize(p);
    MemOp.freeTID(p, LUMO_TID_LIST, "bench/mem", __LINE__);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_Mem_malloc(benchmark::State &state) {
  for (auto _ : state) {
    void *p = std::malloc(kBlock);
    benchmark::DoNotOptimize(p);
    std::free(p);
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_Mem_lumo)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_Mem_malloc)->Threads(1)->Threads(2)->UseRealTime();

// ---- map: put and get of short keys ----

const std::vector<std::string> &keys(size_t n) {
  static std::vector<std::string> all;
  if (all.size() < n) {
    all.clear();
    for (size_t i = 0; i < 10000; ++i) all.push_back("dev" + std::to_string((i * 7919) % 100003));
  }
  return all;
}

// std::unordered_map kept at the map's table size: 1013 buckets asked for, and a load factor so
// high that it never rehashes however many keys go in.
using StdMap = std::unordered_map<std::string, void *>;
void holdTo1013(StdMap &m) {
  m.max_load_factor(1e9f);
  m.rehash(1013);
}

void BM_MapPut_lumo(benchmark::State &state) {
  size_t n = static_cast<size_t>(state.range(0));
  const auto &k = keys(n);
  for (auto _ : state) {
    LumoMap *m = MapOp.inst();
    for (size_t i = 0; i < n; ++i) MapOp.put(m, k[i].c_str(), const_cast<std::string *>(&k[i]));
    benchmark::DoNotOptimize(MapOp.size(m));
    MapOp.del(m);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(n));
}

void BM_MapPut_std(benchmark::State &state) {
  size_t n = static_cast<size_t>(state.range(0));
  const auto &k = keys(n);
  size_t buckets = 0;
  for (auto _ : state) {
    StdMap m;
    holdTo1013(m);
    for (size_t i = 0; i < n; ++i) m.insert_or_assign(k[i], const_cast<std::string *>(&k[i]));
    buckets = m.bucket_count();
    benchmark::DoNotOptimize(m.size());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(n));
  state.counters["buckets"] = static_cast<double>(buckets);
}

void BM_MapGet_lumo(benchmark::State &state) {
  size_t n = static_cast<size_t>(state.range(0));
  const auto &k = keys(n);
  LumoMap *m = MapOp.inst();
  for (size_t i = 0; i < n; ++i) MapOp.put(m, k[i].c_str(), const_cast<std::string *>(&k[i]));
  size_t found = 0;
  for (auto _ : state) {
    found = 0;
    for (size_t i = 0; i < n; ++i) found += MapOp.get(m, k[i].c_str()) != nullptr;
    benchmark::DoNotOptimize(found);
  }
  MapOp.del(m);
  if (found != n) state.SkipWithError("lumo map lost keys");
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(n));
}

void BM_MapGet_std(benchmark::State &state) {
  size_t n = static_cast<size_t>(state.range(0));
  const auto &k = keys(n);
  StdMap m;
  holdTo1013(m);
  for (size_t i = 0; i < n; ++i) m.insert_or_assign(k[i], const_cast<std::string *>(&k[i]));
  size_t found = 0;
  for (auto _ : state) {
    found = 0;
    for (size_t i = 0; i < n; ++i) found += m.find(k[i]) != m.end();
    benchmark::DoNotOptimize(found);
  }
  if (found != n) state.SkipWithError("std map lost keys");
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(n));
  state.counters["buckets"] = static_cast<double>(m.bucket_count());
}

BENCHMARK(BM_MapPut_lumo)->Arg(1000)->Arg(10000);
BENCHMARK(BM_MapPut_std)->Arg(1000)->Arg(10000);
BENCHMARK(BM_MapGet_lumo)->Arg(1000)->Arg(10000);
BENCHMARK(BM_MapGet_std)->Arg(1000)->Arg(10000);

// ---- queue: a stream of messages from one thread to another ----

constexpr int kMessages = 100000;
constexpr int kQueueCapacity = 25000;  // a thread's own queue

// The consumer takes with get and yields the processor while the queue is empty; the producer
// yields while the queue is full (a post refused all the same is counted).
void BM_Queue_lumo_get(benchmark::State &state) {
  LumoQueue *q = QueueOp.inst(kQueueCapacity);
  long refused = 0;
  for (auto _ : state) {
    std::thread producer([&] {
      for (long i = 1; i <= kMessages; ++i) {
        // A full queue refuses with a warning record: the producer waits for room first.
        while (QueueOp.msgCount(q) >= kQueueCapacity) sched_yield();
        while (!QueueOp.post(q, reinterpret_cast<void *>(i), 1)) {
          ++refused;
          sched_yield();
        }
      }
    });
    long sum = 0;
    for (int got = 0; got < kMessages;) {
      void *p = QueueOp.get(q);
      if (!p) {
        sched_yield();
        continue;
      }
      sum += reinterpret_cast<long>(p);
      ++got;
    }
    producer.join();
    if (sum != static_cast<long>(kMessages) * (kMessages + 1) / 2) state.SkipWithError("lost");
  }
  QueueOp.del(q);
  state.SetItemsProcessed(state.iterations() * kMessages);
  state.counters["refused"] = static_cast<double>(refused);
}

// The same stream with the consumer blocking in waitPost (which polls every 10 ms when empty).
void BM_Queue_lumo_waitPost(benchmark::State &state) {
  LumoQueue *q = QueueOp.inst(kQueueCapacity);
  long refused = 0;
  for (auto _ : state) {
    std::thread producer([&] {
      for (long i = 1; i <= kMessages; ++i) {
        // A full queue refuses with a warning record: the producer waits for room first.
        while (QueueOp.msgCount(q) >= kQueueCapacity) sched_yield();
        while (!QueueOp.post(q, reinterpret_cast<void *>(i), 1)) {
          ++refused;
          sched_yield();
        }
      }
    });
    long sum = 0;
    for (int got = 0; got < kMessages;) {
      void *p = QueueOp.waitPost(q);
      if (!p) continue;
      sum += reinterpret_cast<long>(p);
      ++got;
    }
    producer.join();
    if (sum != static_cast<long>(kMessages) * (kMessages + 1) / 2) state.SkipWithError("lost");
  }
  QueueOp.del(q);
  state.SetItemsProcessed(state.iterations() * kMessages);
  state.counters["refused"] = static_cast<double>(refused);
}

struct StdQueue {
  std::mutex m;
  std::condition_variable cv;
  std::deque<void *> items;

  void post(void *p) {
    {
      std::lock_guard<std::mutex> g(m);
      items.push_back(p);
    }
    cv.notify_one();
  }
  void *waitGet() {
    std::unique_lock<std::mutex> g(m);
    cv.wait(g, [this] { return !items.empty(); });
    void *p = items.front();
    items.pop_front();
    return p;
  }
};

void BM_Queue_std(benchmark::State &state) {
  StdQueue q;
  for (auto _ : state) {
    std::thread producer([&] {
      for (long i = 1; i <= kMessages; ++i) q.post(reinterpret_cast<void *>(i));
    });
    long sum = 0;
    for (int got = 0; got < kMessages; ++got) sum += reinterpret_cast<long>(q.waitGet());
    producer.join();
    if (sum != static_cast<long>(kMessages) * (kMessages + 1) / 2) state.SkipWithError("lost");
  }
  state.SetItemsProcessed(state.iterations() * kMessages);
}

BENCHMARK(BM_Queue_lumo_get)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Queue_lumo_waitPost)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Queue_std)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
  // As in the hub: a default trace that writes E, I and W, here with neither echo nor file, so
  // the map's level-D look-up records are filtered as they are there.
  TraceOp.inst(LUMO_TRC_E | LUMO_TRC_I | LUMO_TRC_W, nullptr, 0);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
