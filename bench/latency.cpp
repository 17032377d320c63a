// bench: wake-up latency, from a post or set on one thread to the waiting thread running again,
// for the queue's waitPost, the event's wait and its wait with a time-out, and for a
// std::condition_variable as the machine's floor.
//
//   latency [--samples=N] [--measures=a,b,...]   prints one JSON object: per measure the
//                                                latencies in microseconds, sorted
//
// The waiter announces that it is about to wait; the signalling thread then lets a random
// 0.5 to 10.5 ms pass, so the signal falls at every phase of any periodic wake-up the wait may
// have, takes the time and signals. The waiter takes the time as soon as its wait returns.
#include <lumo/event.h>
#include <lumo/queue.h>
#include <lumo/trace.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// One way of waiting: wait blocks until signal was called (true) or failed (false); rearm
// makes it wait again next time.
struct Measure {
  const char *name;
  std::function<bool()> wait;
  std::function<void()> signal;
  std::function<void()> rearm;
};

// The harness's own hand-over runs on standard primitives, outside the measured interval.
struct Round {
  std::mutex m;
  std::condition_variable cv;
  bool armed = false;   // the waiter is about to wait
  long finished = 0;    // samples whose wake-up time is recorded
  Clock::time_point woke;
  bool failed = false;
};

std::vector<double> run(const Measure &measure, int samples, std::mt19937 &rng) {
  Round r;
  std::thread waiter([&] {
    for (int i = 0; i < samples; ++i) {
      {
        std::lock_guard<std::mutex> g(r.m);
        r.armed = true;
      }
      r.cv.notify_all();
      bool ok = measure.wait();
      Clock::time_point t = Clock::now();
      measure.rearm();
      {
        std::lock_guard<std::mutex> g(r.m);
        r.woke = t;
        r.failed |= !ok;
        r.finished = i + 1;
      }
      r.cv.notify_all();
    }
  });
  std::uniform_int_distribution<int> gapUs(500, 10500);
  std::vector<double> out;
  out.reserve(static_cast<size_t>(samples));
  for (int i = 0; i < samples; ++i) {
    {
      std::unique_lock<std::mutex> g(r.m);
      r.cv.wait(g, [&] { return r.armed; });
      r.armed = false;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(gapUs(rng)));
    Clock::time_point t0 = Clock::now();
    measure.signal();
    std::unique_lock<std::mutex> g(r.m);
    r.cv.wait(g, [&] { return r.finished > i; });
    out.push_back(std::chrono::duration<double, std::micro>(r.woke - t0).count());
  }
  waiter.join();
  if (r.failed) {
    std::fprintf(stderr, "latency: a wait of %s reported failure\n", measure.name);
    std::exit(1);
  }
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace

int main(int argc, char **argv) {
  int samples = 300;
  std::string only;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--samples=", 10) == 0) {
      samples = std::atoi(argv[i] + 10);
    } else if (std::strncmp(argv[i], "--measures=", 11) == 0) {
      only = std::string(",") + (argv[i] + 11) + ",";
    } else {
      std::fprintf(stderr, "usage: latency [--samples=N] [--measures=a,b,...]\n");
      return 2;
    }
  }
  if (samples < 1) samples = 1;
  TraceOp.inst(LUMO_TRC_E | LUMO_TRC_I | LUMO_TRC_W, nullptr, 0);

  LumoQueue *queue = QueueOp.inst(25000);
  LumoEvent *event = EventOp.inst(nullptr, 1);
  long payload = 0;
  void *expected = nullptr;
  std::mutex cvMutex;
  std::condition_variable cv;
  bool cvFlag = false;

  std::vector<Measure> measures = {
      {"waitPost",
       [&] {
         void *got = QueueOp.waitPost(queue);
         return got == expected;
       },
       [&] {
         expected = reinterpret_cast<void *>(++payload);
         QueueOp.post(queue, expected, 1);
       },
       [] {}},
      {"event_wait", [&] { return EventOp.wait(event) != 0; }, [&] { EventOp.set(event); },
       [&] { EventOp.reset(event); }},
      {"event_trywait", [&] { return EventOp.trywait(event, 10000) != 0; },
       [&] { EventOp.set(event); }, [&] { EventOp.reset(event); }},
      {"condvar",
       [&] {
         std::unique_lock<std::mutex> g(cvMutex);
         cv.wait(g, [&] { return cvFlag; });
         return true;
       },
       [&] {
         {
           std::lock_guard<std::mutex> g(cvMutex);
           cvFlag = true;
         }
         cv.notify_one();
       },
       [&] {
         std::lock_guard<std::mutex> g(cvMutex);
         cvFlag = false;
       }},
  };

  std::mt19937 rng(20240131);
  std::printf("{");
  const char *sep = "";
  for (const Measure &m : measures) {
    if (!only.empty() && only.find(std::string(",") + m.name + ",") == std::string::npos) continue;
    std::vector<double> v = run(m, samples, rng);
    std::printf("%s\n  \"%s\": [", sep, m.name);
    for (size_t i = 0; i < v.size(); ++i) std::printf("%s%.1f", i ? ", " : "", v[i]);
    std::printf("]");
    sep = ",";
  }
  std::printf("\n}\n");
  EventOp.del(event);
  QueueOp.del(queue);
  return 0;
}
