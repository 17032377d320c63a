// The time a blocked wait takes to return once what it waits for has happened: the median over
// a number of rounds, in milliseconds. A wait that looks again every 10 ms takes about 8 ms
// here (the wake comes 2 ms into its sleep); one that is woken takes a fraction of a
// millisecond, and stays far below the polling figure on a loaded machine as well.
#ifndef LUMO_TESTS_WAKE_LATENCY_HPP
#define LUMO_TESTS_WAKE_LATENCY_HPP

#include <algorithm>
#include <atomic>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace lumo_test {

struct WakeLatency {
  double medianMs = 0;
  std::string all;  // every round's figure, for the failure message
};

// Each round: the waking thread prepares (takes a lock the waiter will want, say), the calling
// thread enters wait(), the waking thread lets 2 ms pass, notes the time and calls wake(); the
// calling thread notes when wait() returned and calls after() (releases, resets). wait returns
// whether it got what it waited for; a round where it did not counts as a failed wake.
template <class Prepare, class Wait, class Wake, class After>
WakeLatency measureWakeLatency(int rounds, Prepare prepare, Wait wait, Wake wake, After after) {
  using Clock = std::chrono::steady_clock;
  std::atomic<int> prepared{0}, finished{0};
  std::atomic<long long> wokenAt{0};
  std::thread waker([&] {
    for (int round = 1; round <= rounds; ++round) {
      prepare();
      prepared.store(round);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      wokenAt.store(Clock::now().time_since_epoch().count());
      wake();
      while (finished.load() < round) std::this_thread::yield();
    }
  });
  std::vector<double> ms;
  for (int round = 1; round <= rounds; ++round) {
    while (prepared.load() < round) std::this_thread::yield();
    bool got = wait();
    long long now = Clock::now().time_since_epoch().count();
    Clock::duration took(now - wokenAt.load());
    ms.push_back(got ? std::chrono::duration<double, std::milli>(took).count() : 1e9);
    after();
    finished.store(round);
  }
  waker.join();
  WakeLatency result;
  std::ostringstream text;
  for (double m : ms) text << m << " ";
  result.all = text.str();
  std::sort(ms.begin(), ms.end());
  result.medianMs = ms[ms.size() / 2];
  return result;
}

// Far above a woken wait on a busy two-core machine or under an emulator, far below a wait that
// polls every 10 ms.
constexpr double kWokenMedianMs = 4.0;
constexpr int kWakeRounds = 31;

}  // namespace lumo_test

#endif
