// Test support shared by every test program: live-block counts, temporary directories, waiting
// on a condition, strings handed out by the library, files, the console and the trace.
// Compiled once (testutil.cpp) and linked into each test by the tests' CMake helper.
#ifndef LUMO_TESTS_TESTUTIL_HPP
#define LUMO_TESTS_TESTUTIL_HPP

#include <lumo/doc.h>
#include <lumo/mem.h>
#include <lumo/node.h>
#include <lumo/str.h>
#include <lumo/trace.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <initializer_list>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// --- live blocks --------------------------------------------------------------------------------

// Stands for every block the memory manager counts, whatever its type.
constexpr int kAllTypes = -1;

// Live blocks per allocation type (or kAllTypes), noted when asked; expectUnchanged() fails the
// test for each type whose count is not back where it was, naming the type.
class BlockCounts {
 public:
  BlockCounts() = default;
  explicit BlockCounts(std::initializer_list<int> tids) { note(tids); }
  void note(std::initializer_list<int> tids);
  // The count noted for tid.
  int at(int tid) const;
  void expectUnchanged() const;

  static int live(int tid);

 private:
  std::vector<std::pair<int, int>> counts_;
};

// --- files and directories ----------------------------------------------------------------------

// A fresh directory /tmp/lumo-<tag>-XXXXXX, removed with everything in it when this goes.
class TempDir {
 public:
  explicit TempDir(const char *tag);
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  bool made() const { return !path_.empty(); }
  const std::string &path() const { return path_; }
  std::string at(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string readFile(const std::string &path);
// False when the file could not be written.
bool writeFile(const std::string &path, const std::string &bytes);
// The lines of a text, without their line ends.
std::vector<std::string> splitLines(const std::string &text);

// --- time ---------------------------------------------------------------------------------------

using Clock = std::chrono::steady_clock;

long msSince(Clock::time_point start);

// Looks at done until it holds, at first every millisecond, then less often; false when it still
// does not hold after `within` (generous: the build machines are small and shared, and the cross
// build runs emulated).
template <class Pred>
bool waitFor(Pred done, std::chrono::milliseconds within = std::chrono::seconds(20)) {
  const Clock::time_point end = Clock::now() + within;
  std::chrono::milliseconds step(1);
  while (!done()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(step);
    step = std::min(step * 2, std::chrono::milliseconds(10));
  }
  return true;
}

// The time a blocked wait takes to return once what it waits for has happened: the median over
// a number of rounds, in milliseconds. A wait that looks again every 10 ms takes about 8 ms
// here (the wake comes 2 ms into its sleep); one that is woken takes a fraction of a
// millisecond, and stays far below the polling figure on a loaded machine as well.
struct WakeLatency {
  double medianMs = 0;
  std::string all;  // every round's figure, for the failure message
};

// Far above a woken wait on a busy two-core machine or under an emulator, far below a wait that
// polls every 10 ms.
constexpr double kWokenMedianMs = 4.0;
constexpr int kWakeRounds = 31;

// Each round: the waking thread prepares (takes a lock the waiter will want, say), the calling
// thread enters wait(), the waking thread lets 2 ms pass, notes the time and calls wake(); the
// calling thread notes when wait() returned and calls after() (releases, resets). wait returns
// whether it got what it waited for; a round where it did not counts as a failed wake.
template <class Prepare, class Wait, class Wake, class After>
WakeLatency measureWakeLatency(int rounds, Prepare prepare, Wait wait, Wake wake, After after) {
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

// --- what the library hands out -----------------------------------------------------------------

// Copies a new string and frees it ("<null>" for none); the second form frees it under id.
std::string take(char *s);
std::string take(char *s, int id);

// A tree from XML text. The caller owns the root (null when the text has none or cannot be
// parsed).
LumoNode *parsedRoot(const char *xml);

// --- the console --------------------------------------------------------------------------------

// Captures what the code under test writes to a standard stream at descriptor level, so printf,
// write(2) and the trace's console echo are all seen. Only the captured stream's own stdio
// buffer is flushed: a trace file's stream may be held by a writer thread that is blocked.
class StreamCapture {
 public:
  explicit StreamCapture(int fd = STDOUT_FILENO);
  // Standard output and standard error together, in the order they were written (with standard
  // output unbuffered).
  struct Both {};
  explicit StreamCapture(Both);
  ~StreamCapture();
  StreamCapture(const StreamCapture &) = delete;
  StreamCapture &operator=(const StreamCapture &) = delete;

  // Stops capturing and returns everything written since construction.
  std::string text();
  // Stops capturing and returns what was written, split into lines without their line ends.
  std::vector<std::string> lines() { return splitLines(text()); }
  // What was written so far; capturing goes on.
  std::string sofar() const;
  // Ends the capture; what was caught stays readable.
  void stop();

 private:
  void start(std::initializer_list<int> fds);
  void flush() const;
  int tmp_ = -1;
  int fds_[2] = {-1, -1};
  int saved_[2] = {-1, -1};
};

// The console text of what fn traces through the default trace, echo switched on meanwhile.
template <class Fn>
std::string echoOf(Fn fn) {
  StreamCapture out;
  TraceOp.setStdErr(nullptr, 1);
  fn();
  TraceOp.setStdErr(nullptr, 0);
  return out.text();
}

// --- the trace ----------------------------------------------------------------------------------

// A trace of its own made the default for as long as this lives, released at the end.
class ScopedTrace {
 public:
  ScopedTrace(int level, int echo);
  ~ScopedTrace();
  ScopedTrace(const ScopedTrace &) = delete;
  ScopedTrace &operator=(const ScopedTrace &) = delete;
  LumoTrace *get() const { return trace_; }

 private:
  LumoTrace *trace_;
};

struct HeardRecord {
  int level;
  std::string text;
  int code;
  std::string object;
};

// A default trace without console echo whose listener keeps every record it hears, so tests
// can assert on the exact message, level, code and object of what was traced.
class TraceListener {
 public:
  TraceListener();
  ~TraceListener();
  TraceListener(const TraceListener &) = delete;
  TraceListener &operator=(const TraceListener &) = delete;

  static std::vector<HeardRecord> heard();
  static void clear();

 private:
  static int listen(int level, const char *text, int code, const char *object);
  ScopedTrace trace_;
};

// --- large inputs -------------------------------------------------------------------------------

// A text longer than an int can count that costs address space, not memory: the same two small
// shared buffers mapped over and over, the last one ending in the terminator, chunks times 16 MiB
// less one byte of 'a'. text() is null when the machine refused the mappings; a 32-bit process
// has no room for it.
class HugeText {
 public:
  static constexpr size_t kChunk = size_t{16} << 20;

  explicit HugeText(size_t chunks);
  ~HugeText();
  HugeText(const HugeText &) = delete;
  HugeText &operator=(const HugeText &) = delete;
  const char *text() const { return ready_ ? base_ : nullptr; }

 private:
  bool map(int filled, int ended);
  size_t chunks_;
  char *base_ = nullptr;
  bool ready_ = false;
};

#endif
