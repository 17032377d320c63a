// Trace files: numbered files chosen and rotated by size, the writer thread that fills them from
// the record queue, the exception file with its command, the EBCDIC dump column, and what
// happens when the queue is full, the disk refuses the records, a file will not open or a
// hostile name stands in the way, and when a stop flushes what was accepted.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <lumo/file.h>
#include <lumo/mem.h>
#include <lumo/thread.h>
#include <lumo/trace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "lumo/impl/testing.h"
#include "support/testutil.hpp"

namespace fs = std::filesystem;

namespace {

constexpr int kWaitMs = 60000;  // the build machines are small and shared

bool waitUntil(const std::function<bool()> &done) {
  return waitFor(done, std::chrono::milliseconds(kWaitMs));
}

std::vector<std::string> linesOf(const std::string &path) { return splitLines(readFile(path)); }

void setMtime(const std::string &path, time_t t) {
  struct utimbuf times;
  times.actime = t;
  times.modtime = t;
  ASSERT_EQ(utime(path.c_str(), &times), 0) << path;
}

// The message of a record written by these tests ("OTest", line 1, code 1), or "".
std::string messageOf(const std::string &record) {
  static const std::string tag = " OTest    0001 ";
  std::size_t at = record.find(tag);
  return at == std::string::npos ? "" : record.substr(at + tag.size());
}

std::vector<std::string> messagesOf(const std::string &path) {
  std::vector<std::string> out;
  for (const std::string &line : linesOf(path)) {
    std::string m = messageOf(line);
    if (!m.empty()) out.push_back(m);
  }
  return out;
}

void record(const char *format, int value) {
  TraceOp.trc("OTest", LUMO_TRC_I, 1, 1, format, value);
}

// Messages of one fixed length, so that file sizes can be predicted.
std::string padded(const char *prefix, int n) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%s%05d ", prefix, n);
  return std::string(buffer) + std::string(40, 'x');
}

std::string writerName(LumoTrace *trace) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "tracewriter%08" PRIXPTR,
                reinterpret_cast<uintptr_t>(trace));
  return buffer;
}

// Each test works in a directory of its own, with a default trace (no echo) that it releases;
// every block the trace took must be back when it is gone.
class TraceFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tmp_.made());
    traces_ = TraceOp.count();
    // The thread registry is made by the first thread ever registered and kept: make it now.
    LumoThread *first = ThreadOp.inst("trace-file-test", nullptr, nullptr);
    ThreadOp.del(first);
    // Types whose blocks a trace makes and must give back: strings (file names, queued
    // records), the trace itself, its queue, writer thread and EBCDIC converter.
    blocks_.note({LUMO_TID_STRING, LUMO_TID_TRACE, LUMO_TID_QUEUE, LUMO_TID_THREAD,
                  LUMO_TID_EBCDIC});
  }
  void TearDown() override {
    release();
    EXPECT_EQ(TraceOp.count(), traces_);
    blocks_.expectUnchanged();
  }

  // A default trace at level I writing the numbered files of base_.
  LumoTrace *start(int nrfiles = 10, int kilobytes = 100, const std::string &base = "") {
    trace_ = TraceOp.inst(LUMO_TRC_I, nullptr, 0);
    EXPECT_EQ(TraceOp.get(), trace_);
    TraceOp.setNrFiles(trace_, nrfiles);
    TraceOp.setFileSize(trace_, kilobytes);
    TraceOp.setFilename(trace_, (base.empty() ? base_ : base).c_str());
    return trace_;
  }
  void release() {
    if (!trace_) return;
    TraceOp.set(trace_);
    TraceOp.del(trace_);
    trace_ = nullptr;
  }

  std::string numbered(int n, const std::string &base = "") const {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".%03d.trc", n);
    return (base.empty() ? base_ : base) + suffix;
  }
  // Waits until the file holds a record with this message.
  bool waitForMessage(const std::string &path, const std::string &message) const {
    return waitUntil([&] {
      for (const std::string &m : messagesOf(path))
        if (m == message) return true;
      return false;
    });
  }
  // Writes a last record and waits for it: everything queued before it has been written.
  void settle(const std::string &path) {
    TraceOp.trc("OTest", LUMO_TRC_I, 1, 1, "settled");
    ASSERT_TRUE(waitForMessage(path, "settled")) << path;
  }

  LumoTrace *trace_ = nullptr;
  TempDir tmp_{"trcfile"};
  const std::string dir_ = tmp_.path(), base_ = dir_ + "/qivhub";
  int traces_ = 0;
  BlockCounts blocks_;
};

TEST_F(TraceFileTest, BurstFromSeveralThreadsLandsOnceEachInThreadOrderAcrossRotations) {
  start(10, 4);
  ASSERT_EQ(TraceOp.getCurrentFilename(nullptr), numbered(0));
  const int kThreads = 4, kEach = 60;  // about 24 KB: six files, none reused
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] {
      for (int n = 0; n < kEach; ++n)
        TraceOp.trc("OTest", LUMO_TRC_I, 1, 1, "t%d n%05d %s", t, n, std::string(40, 'x').c_str());
    });
  for (auto &th : threads) th.join();
  TraceOp.trc("OTest", LUMO_TRC_I, 1, 1, "settled");
  ASSERT_TRUE(waitUntil([&] {
    for (int n = 0; n < 10; ++n)
      for (const std::string &m : messagesOf(numbered(n)))
        if (m == "settled") return true;
    return false;
  }));

  std::string current = TraceOp.getCurrentFilename(nullptr);
  int last = -1;
  std::map<int, int> next;  // thread -> next expected record number
  int total = 0;
  for (int n = 0; n < 10; ++n) {
    if (!fs::exists(numbered(n))) break;
    last = n;
    std::vector<std::string> lines = linesOf(numbered(n));
    for (const std::string &line : lines) {
      int t = -1, k = -1;
      if (std::sscanf(messageOf(line).c_str(), "t%d n%d", &t, &k) != 2) continue;
      EXPECT_EQ(k, next[t]) << "thread " << t << " in " << numbered(n);
      next[t] = k + 1;
      ++total;
    }
    if (numbered(n) == current) break;
    // Rotation comes before the write that finds the file at 4 KB.
    long size = static_cast<long>(fs::file_size(numbered(n)));
    EXPECT_GE(size, 4096) << numbered(n);
    EXPECT_LT(size - static_cast<long>(lines.back().size()) - 1, 4096) << numbered(n);
  }
  EXPECT_EQ(total, kThreads * kEach);
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kEach) << "thread " << t;
  EXPECT_EQ(numbered(last), current);
  EXPECT_GE(last, 4);
  EXPECT_FALSE(fs::exists(numbered(last + 1)));
}

TEST_F(TraceFileTest, RotatesAtOneHundredKilobytes) {
  start();
  const int kRecords = 1100;  // a little over 100 KB
  for (int n = 0; n < kRecords; ++n)
    TraceOp.trc("OTest", LUMO_TRC_I, 1, 1, "%s", padded("r", n).c_str());
  settle(numbered(1));
  std::vector<std::string> first = messagesOf(numbered(0)), second = messagesOf(numbered(1));
  long size = static_cast<long>(fs::file_size(numbered(0)));
  EXPECT_GE(size, 100 * 1024);
  EXPECT_LT(size - static_cast<long>(linesOf(numbered(0)).back().size()) - 1, 100 * 1024);
  ASSERT_EQ(first.size() + second.size(), static_cast<std::size_t>(kRecords) + 1);
  for (int n = 0; n < kRecords; ++n) {
    const std::string &m = n < static_cast<int>(first.size()) ? first[n] : second[n - first.size()];
    EXPECT_EQ(m, padded("r", n));
  }
  EXPECT_EQ(TraceOp.getCurrentFilename(nullptr), numbered(1));
}

TEST_F(TraceFileTest, RotationAfterTheTenthFileReusesTheOldest) {
  start(10, 1);
  TraceOp.trc("OTest", LUMO_TRC_I, 1, 1, "%s", padded("a", 0).c_str());
  ASSERT_TRUE(waitForMessage(numbered(0), padded("a", 0)));
  const int length = static_cast<int>(fs::file_size(numbered(0)));
  const int perFile = (1024 + length - 1) / length;
  // Files 0 to 8 full, file 9 holding one record.
  for (int n = 1; n <= 9 * perFile; ++n)
    TraceOp.trc("OTest", LUMO_TRC_I, 1, 1, "%s", padded("a", n).c_str());
  ASSERT_TRUE(waitForMessage(numbered(9), padded("a", 9 * perFile)));
  std::vector<std::string> before[10];
  for (int n = 0; n < 10; ++n) before[n] = messagesOf(numbered(n));
  ASSERT_EQ(before[9].size(), 1u);
  // File 4 is the oldest, then file 7.
  for (int n = 0; n < 9; ++n)
    setMtime(numbered(n), n == 4 ? 1000000000 : n == 7 ? 1000000100 : 1000000200 + n);

  // Fill file 9, then file 4, then one record into file 7.
  const int bRecords = (perFile - 1) + perFile + 1;
  for (int n = 0; n < bRecords; ++n)
    TraceOp.trc("OTest", LUMO_TRC_I, 1, 1, "%s", padded("b", n).c_str());
  ASSERT_TRUE(waitForMessage(numbered(7), padded("b", bRecords - 1)));
  std::vector<std::string> expected9 = before[9], expected4, expected7{padded("b", bRecords - 1)};
  for (int n = 0; n < perFile - 1; ++n) expected9.push_back(padded("b", n));
  for (int n = perFile - 1; n < 2 * perFile - 1; ++n) expected4.push_back(padded("b", n));
  EXPECT_EQ(messagesOf(numbered(9)), expected9);
  EXPECT_EQ(messagesOf(numbered(4)), expected4);
  EXPECT_EQ(messagesOf(numbered(7)), expected7);
  for (int n : {0, 1, 2, 3, 5, 6, 8}) EXPECT_EQ(messagesOf(numbered(n)), before[n]) << n;
}

// Modification times have whole seconds: a trace that fills several files within one second
// must still reuse them in turn, keeping the newest records, not the oldest.
TEST_F(TraceFileTest, RotationWithinOneSecondKeepsTheNewestRecords) {
  start(3, 1);
  const int kRecords = 90;  // about nine files of 1 KB over three names
  for (int n = 0; n < kRecords; ++n)
    TraceOp.trc("OTest", LUMO_TRC_I, 1, 1, "%s", padded("r", n).c_str());
  ASSERT_TRUE(waitUntil([&] {
    for (int f = 0; f < 3; ++f)
      for (const std::string &m : messagesOf(numbered(f)))
        if (m == padded("r", kRecords - 1)) return true;
    return false;
  }));
  std::set<int> kept;
  for (int f = 0; f < 3; ++f)
    for (const std::string &m : messagesOf(numbered(f))) {
      int n = -1;
      ASSERT_EQ(std::sscanf(m.c_str(), "r%d", &n), 1) << m;
      EXPECT_TRUE(kept.insert(n).second) << "record " << n << " twice";
    }
  // The files hold the last records without a gap: at least the two files before the current.
  ASSERT_FALSE(kept.empty());
  EXPECT_EQ(*kept.rbegin(), kRecords - 1);
  EXPECT_EQ(static_cast<int>(kept.size()), *kept.rbegin() - *kept.begin() + 1)
      << "oldest kept record " << *kept.begin();
  EXPECT_GE(static_cast<int>(kept.size()), 2 * 1024 / (static_cast<int>(padded("r", 0).size()) + 60));
}

TEST_F(TraceFileTest, FileNumberIsTheFirstMissingElseTheOldest) {
  struct Case {
    const char *what;
    int nrfiles;
    std::vector<std::pair<int, time_t>> existing;  // number, modification time
    int expected;
  };
  const Case cases[] = {
      {"empty directory", 3, {}, 0},
      {"first missing after the existing", 3, {{0, 100}, {1, 50}}, 2},
      {"first missing in the middle", 3, {{0, 100}, {2, 50}}, 1},
      {"oldest when all exist", 3, {{0, 300}, {1, 100}, {2, 200}}, 1},
      {"lower number on equal times", 3, {{0, 300}, {1, 100}, {2, 100}}, 1},
      {"time 0 counts as none", 3, {{0, 0}, {1, 500}, {2, 400}}, 2},
      {"every time 0", 2, {{0, 0}, {1, 0}}, 0},
      {"single file", 1, {{0, 100}}, 0},
  };
  int round = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::string base = dir_ + "/case" + std::to_string(round++);
    for (const auto &e : c.existing) {
      writeFile(numbered(e.first, base), "old\n");
      setMtime(numbered(e.first, base), e.second);
    }
    trace_ = trace_ ? trace_ : TraceOp.inst(LUMO_TRC_I, nullptr, 0);
    TraceOp.setNrFiles(trace_, c.nrfiles);
    TraceOp.setFilename(trace_, base.c_str());
    ASSERT_NE(TraceOp.getF(nullptr), nullptr);
    EXPECT_EQ(TraceOp.getCurrentFilename(nullptr), numbered(c.expected, base));
    EXPECT_EQ(TraceOp.getFilename(nullptr), base);
    for (const auto &e : c.existing) {
      // Rotating files are truncated when chosen; the single file is appended to.
      bool emptied = e.first == c.expected && c.nrfiles > 1;
      EXPECT_EQ(readFile(numbered(e.first, base)), emptied ? "" : "old\n") << e.first;
    }
    TraceOp.setFilename(trace_, nullptr);
    EXPECT_EQ(TraceOp.getF(nullptr), nullptr);
    EXPECT_EQ(TraceOp.getCurrentFilename(nullptr), nullptr);
  }
}

TEST_F(TraceFileTest, SingleFileIsAppendedToAndNeverRotated) {
  writeFile(numbered(0), "old line\n");
  start(1, 1);
  const int kRecords = 40;  // about 4 KB
  for (int n = 0; n < kRecords; ++n)
    TraceOp.trc("OTest", LUMO_TRC_I, 1, 1, "%s", padded("s", n).c_str());
  settle(numbered(0));
  std::vector<std::string> lines = linesOf(numbered(0));
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kRecords) + 2);
  EXPECT_EQ(lines[0], "old line");
  for (int n = 0; n < kRecords; ++n) EXPECT_EQ(messageOf(lines[n + 1]), padded("s", n));
  EXPECT_FALSE(fs::exists(numbered(1)));
  EXPECT_EQ(TraceOp.getCurrentFilename(nullptr), numbered(0));
}

TEST_F(TraceFileTest, DelWritesWhatWasQueuedAndStopsTheWriter) {
  start();
  std::string writer = writerName(trace_);
  EXPECT_NE(ThreadOp.find(writer.c_str()), nullptr);
  for (int n = 0; n < 2000; ++n) record("d%05d", n);
  release();
  EXPECT_EQ(ThreadOp.find(writer.c_str()), nullptr);
  std::vector<std::string> messages = messagesOf(numbered(0));
  for (const std::string &m : messagesOf(numbered(1))) messages.push_back(m);
  ASSERT_EQ(messages.size(), 2000u);
  for (int n = 0; n < 2000; ++n) {
    char expected[16];
    std::snprintf(expected, sizeof expected, "d%05d", n);
    EXPECT_EQ(messages[n], expected);
  }
}

// Allocations made (on any thread) while what runs.
long allocationsDuring(const std::function<void()> &what) {
  constexpr long kFar = 1000000000L;
  lumo_mem_failAfter(kFar);
  what();
  long left = lumo_mem_failAfter(0);
  return left > 0 ? kFar - left : -1;
}

// A record is put together on the writing thread without allocating; the copy queued for the
// writer is its one allocation, and without a file there is none. The queue's ring of waiting
// records grows by doubling from 16 and is given back when it passed 256 and the writer has
// emptied it: 500 records can reach 512 once (6 blocks) and grow again to 256 (5 more), however
// the writer keeps pace.
TEST_F(TraceFileTest, ARecordCostsOneAllocationWhileAFileIsOpenAndNoneWithout) {
  start();
  long counted = allocationsDuring([] {
    for (int n = 0; n < 500; ++n) record("counted%d", n);
  });
  EXPECT_GE(counted, 500);
  EXPECT_LE(counted, 500 + 6 + 5) << "the ring grown to 512, released and grown again";
  ASSERT_TRUE(waitForMessage(numbered(0), "counted499"));
  std::vector<std::string> messages = messagesOf(numbered(0));
  ASSERT_EQ(messages.size(), 500u);
  EXPECT_EQ(messages[0], "counted0");

  TraceOp.setFilename(trace_, nullptr);
  EXPECT_EQ(allocationsDuring([] {
              for (int n = 0; n < 50; ++n) record("unfiled%d", n);
              TraceOp.trace("OTest", LUMO_TRC_I, 1, "without line %d", 1);
              TraceOp.terrno("OTest", LUMO_TRC_I, 1, 1, EIO, "with error %d", 2);
            }),
            0);
}

// The writer sleeps until there is work or it is asked to stop: deleting a trace whose writer
// is idle does not wait for the writer to wake up by itself.
// What waking and joining an idle thread costs on this machine right now: on a loaded machine
// the deletion pays the same scheduling delay, which is not the writer's doing.
static double medianIdleThreadStopMs() {
  std::vector<double> ms;
  for (int round = 0; round < 9; ++round) {
    std::mutex lock;
    std::condition_variable wake;
    bool stop = false;
    std::thread idle([&] {
      std::unique_lock<std::mutex> hold(lock);
      wake.wait(hold, [&] { return stop; });
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    auto begin = std::chrono::steady_clock::now();
    {
      std::lock_guard<std::mutex> hold(lock);
      stop = true;
    }
    wake.notify_one();
    idle.join();
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin)
                     .count());
  }
  std::sort(ms.begin(), ms.end());
  return ms[ms.size() / 2];
}

TEST_F(TraceFileTest, DeletingATraceDoesNotWaitForItsIdleWriter) {
  std::vector<double> ms;
  for (int round = 0; round < 9; ++round) {
    std::string base = dir_ + "/round" + std::to_string(round);
    start(10, 100, base);
    settle(numbered(0, base));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the writer is asleep
    auto begin = std::chrono::steady_clock::now();
    release();
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin)
                     .count());
  }
  std::sort(ms.begin(), ms.end());
  double baseline = medianIdleThreadStopMs();
  EXPECT_LT(ms[ms.size() / 2], baseline + 4.0)
      << "median of " << ms.size() << " deletions; an idle thread stops in " << baseline << " ms";
}

TEST_F(TraceFileTest, NothingIsQueuedWithoutAFile) {
  trace_ = TraceOp.inst(LUMO_TRC_I, nullptr, 0);
  int strings = MemOp.getAllocCntID(LUMO_TID_STRING);
  for (int n = 0; n < 100; ++n) record("n%d", n);
  EXPECT_EQ(MemOp.getAllocCntID(LUMO_TID_STRING), strings);
  EXPECT_EQ(TraceOp.getF(nullptr), nullptr);
  EXPECT_TRUE(fs::is_empty(dir_));
}

TEST_F(TraceFileTest, ExceptionFileRunsTheInvokeCommandOnceWhenItIsCreated) {
  start();
  const std::string marker = dir_ + "/invoked";
  const std::string command = "echo run >> '" + marker + "'";
  TraceOp.setExceptionFile(nullptr, 1);
  TraceOp.setInvoke(nullptr, command.c_str(), 0);
  TraceOp.trc("OTest", LUMO_TRC_E, 1, 1, "first failure");
  EXPECT_EQ(readFile(marker), "run\n");  // run on the writing thread, before trc returned
  TraceOp.trc("OTest", LUMO_TRC_E, 1, 1, "second failure");
  TraceOp.trace(nullptr, LUMO_TRC_E, 1, "a record without line: not for the exception file");
  TraceOp.trc("OTest", LUMO_TRC_W, 1, 1, "a warning: not for the exception file");
  settle(numbered(0));

  std::string first, second;
  int invoking = 0;
  for (const std::string &line : linesOf(numbered(0))) {
    if (messageOf(line) == "first failure") first = line;
    if (messageOf(line) == "second failure") second = line;
    if (line.find("I main     OTrace   ") != std::string::npos &&
        line.substr(line.size() - command.size() - 15) == "Invoking: [" + command + "]...")
      ++invoking;
  }
  ASSERT_FALSE(first.empty());
  ASSERT_FALSE(second.empty());
  EXPECT_EQ(readFile(base_ + ".exc"), first + second);  // appended without line ends
  EXPECT_EQ(invoking, 1);
  EXPECT_EQ(readFile(marker), "run\n");
}

TEST_F(TraceFileTest, AsynchronousInvokeRunsOnItsOwnThread) {
  start();
  const int threadBlocks = MemOp.getAllocCntID(LUMO_TID_THREAD);
  const std::string marker = dir_ + "/invoked";
  TraceOp.setExceptionFile(nullptr, 1);
  TraceOp.setInvoke(nullptr, ("echo run >> '" + marker + "'").c_str(), 1);
  TraceOp.trc("OTest", LUMO_TRC_E, 1, 1, "failure");
  EXPECT_TRUE(waitUntil([&] { return readFile(marker) == "run\n"; }));
  // The worker thread that ran the command is gone before the blocks are counted.
  EXPECT_TRUE(waitUntil([&] { return MemOp.getAllocCntID(LUMO_TID_THREAD) == threadBlocks; }));
}

TEST_F(TraceFileTest, ExceptionFileWithoutCommandIsOnlyAppendedTo) {
  start();
  TraceOp.trc("OTest", LUMO_TRC_E, 1, 1, "while the exception file is off");
  TraceOp.setExceptionFile(nullptr, 1);
  TraceOp.trc("OTest", LUMO_TRC_E, 1, 1, "failure one");
  TraceOp.trc("OTest", LUMO_TRC_E, 1, 1, "failure two");
  settle(numbered(0));
  std::string expected;
  for (const std::string &line : linesOf(numbered(0))) {
    EXPECT_EQ(line.find("Invoking"), std::string::npos) << line;
    std::string m = messageOf(line);
    if (m == "failure one" || m == "failure two") expected += line;
  }
  EXPECT_EQ(readFile(base_ + ".exc"), expected);
  TraceOp.setExceptionFile(nullptr, 0);
  TraceOp.trc("OTest", LUMO_TRC_E, 1, 1, "off again");
  EXPECT_EQ(readFile(base_ + ".exc"), expected);
}

TEST_F(TraceFileTest, EbcdicDumpAddsAConvertedColumn) {
  trace_ = TraceOp.inst(LUMO_TRC_I, nullptr, 1);
  TraceOp.setEbcdicDump(nullptr, 1);
  // EBCDIC "HELLO, WORLD", a zero byte, A-umlaut, "a", the delete character, then "123" and
  // U-umlaut in a short second row.
  const unsigned char bytes[20] = {0xC8, 0xC5, 0xD3, 0xD3, 0xD6, 0x6B, 0x40, 0xE6, 0xD6, 0xD9,
                                   0xD3, 0xC4, 0x00, 0x4A, 0x81, 0x07, 0xF1, 0xF2, 0xF3, 0x5A};
  StreamCapture out(1);
  TraceOp.dump("OTest", LUMO_TRC_I, bytes, 20);
  std::vector<std::string> lines = out.lines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_NE(lines[0].find(" OTest    *trace dump( 0x"), std::string::npos) << lines[0];
  EXPECT_EQ(lines[0].substr(lines[0].size() - 11), "length=20 )");
  EXPECT_EQ(lines[1],
            "    offset:   00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F "
            "|ASCII...........|EBCDIC..........|");
  EXPECT_EQ(lines[2],
            "    --------------------------------------------------------- "
            "|----------------|----------------|");
  EXPECT_EQ(lines[3],
            "    00000000: C8 C5 D3 D3 D6 6B 40 E6 D6 D9 D3 C4 00 4A 81 07 "
            "|.....k@......J..|HELLO, WORLD..a.|");
  EXPECT_EQ(lines[4], "    00000010: F1 F2 F3 5A" + std::string(36, ' ') +
                          " |...Z            |            123.|");

  TraceOp.setEbcdicDump(nullptr, 0);
  StreamCapture plain(1);
  TraceOp.dump("OTest", LUMO_TRC_I, bytes, 4);
  lines = plain.lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[1].substr(lines[1].size() - 18), "|ASCII...........|");
  EXPECT_EQ(lines[3].substr(lines[3].size() - 18), "|....            |");
}

// The writer is held up by a pipe nobody reads, so the queue fills for certain.
TEST_F(TraceFileTest, FullQueueWarnsOnTheConsoleOnlyAndReleasesTheRefusedCopy) {
  ASSERT_EQ(mkfifo(numbered(0).c_str(), 0600), 0);
  int reader = ::open(numbered(0).c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  static std::atomic<int> refusals;
  refusals = 0;
  start(1);
  ASSERT_NE(TraceOp.getF(nullptr), nullptr);
  TraceOp.setExceptionListener(
      nullptr,
      [](int level, const char *text, int, const char *) {
        if (level == LUMO_TRC_W && std::strstr(text, "Post rejected")) ++refusals;
        return 0;
      },
      0);

  int accepted = 0;
  while (refusals == 0 && accepted < 100000) {
    record("fill %06d", accepted);
    if (refusals == 0) ++accepted;
  }
  ASSERT_EQ(refusals, 1);
  EXPECT_GE(accepted, 10000);

  TraceOp.setStdErr(nullptr, 1);
  StreamCapture out(STDOUT_FILENO);
  record("probe %d", 0);
  record("probe %d", 1);
  std::vector<std::string> lines = out.lines();
  TraceOp.setStdErr(nullptr, 0);
  const std::string warning = " OQueue   ";
  const std::string text =
      "QueueOp.post: count(10000) is getting bigger than size(10000)! Post rejected for [].";
  ASSERT_EQ(lines.size(), 4u);
  for (int i : {0, 2}) {
    EXPECT_NE(lines[i].find(".9999W "), std::string::npos) << lines[i];
    EXPECT_NE(lines[i].find(warning), std::string::npos) << lines[i];
    EXPECT_EQ(lines[i].substr(lines[i].size() - text.size()), text);
  }
  EXPECT_EQ(messageOf(lines[1]), "probe 0");
  EXPECT_EQ(messageOf(lines[3]), "probe 1");
  EXPECT_EQ(refusals, 3);

  // Drain the pipe while the trace is released: the writer finishes the queue and stops.
  std::string piped;
  std::thread drain([&] {
    fcntl(reader, F_SETFL, fcntl(reader, F_GETFL) & ~O_NONBLOCK);
    char buffer[65536];
    for (ssize_t n; (n = ::read(reader, buffer, sizeof buffer)) > 0;)
      piped.append(buffer, static_cast<std::size_t>(n));
  });
  release();
  drain.join();
  ::close(reader);
  EXPECT_EQ(piped.find("Post rejected"), std::string::npos);
  EXPECT_EQ(piped.find("probe"), std::string::npos);
  std::istringstream in(piped);
  int n = 0;
  for (std::string line; std::getline(in, line); ++n) {
    char expected[32];
    std::snprintf(expected, sizeof expected, "fill %06d", n);
    ASSERT_EQ(messageOf(line), expected);
  }
  EXPECT_EQ(n, accepted);
}

// The failures the file module reports for the trace's files (level E, object "OFile"), heard
// through the default trace's listener.
std::atomic<int> fileErrors{0};

void countFileErrors() {
  fileErrors = 0;
  TraceOp.setExceptionListener(
      nullptr,
      [](int level, const char *, int, const char *object) {
        if (level == LUMO_TRC_E && std::strcmp(object, "OFile") == 0) ++fileErrors;
        return 0;
      },
      0);
}

// A disk that fills up, made with the file size limit: writes past it fail (the signal it
// raises is ignored meanwhile).
class FileSizeLimit {
 public:
  FileSizeLimit() {
    getrlimit(RLIMIT_FSIZE, &saved_);
    oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, oldHandler_);
  }
  void set(rlim_t bytes) {
    struct rlimit limit = saved_;
    limit.rlim_cur = bytes;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  }
  void lift() { setrlimit(RLIMIT_FSIZE, &saved_); }

 private:
  struct rlimit saved_ {};
  void (*oldHandler_)(int) = SIG_DFL;
};

TEST_F(TraceFileTest, WriteFailuresAreReportedOnceUntilAWriteSucceedsAndDoNotRotate) {
  FileSizeLimit disk;
  StreamCapture err(STDERR_FILENO);
  start(10, 16);
  disk.set(8192);
  // About 150 KB offered to a file that takes 8 KB: bytes that never arrived must not move the
  // rotation on, or every new file is another report (and another truncated file).
  for (int n = 0; n < 2000; ++n) record("lost %05d", n);
  ASSERT_TRUE(lumo_trace_flush(trace_, kWaitMs));
  const std::string report = "Error write trace file [" + numbered(0) + "] [errno=27] [";
  std::vector<std::string> lines = splitLines(err.sofar());
  ASSERT_EQ(lines.size(), 1u) << err.sofar().substr(0, 2000);
  EXPECT_EQ(lines[0].substr(0, report.size()), report);
  EXPECT_FALSE(fs::exists(numbered(1)));

  disk.lift();  // space returns: writing goes on in the same file, and nothing is reported
  for (int n = 0; n < 5; ++n) record("back %d", n);
  ASSERT_TRUE(lumo_trace_flush(trace_, kWaitMs));
  std::vector<std::string> messages = messagesOf(numbered(0));
  ASSERT_GE(messages.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(messages.end() - 5, messages.end()),
            (std::vector<std::string>{"back 0", "back 1", "back 2", "back 3", "back 4"}));
  EXPECT_EQ(splitLines(err.sofar()).size(), 1u);

  // Full again after a write succeeded: that is reported again, once.
  disk.set(static_cast<rlim_t>(fs::file_size(numbered(0))));
  for (int n = 0; n < 500; ++n) record("lost again %d", n);
  ASSERT_TRUE(lumo_trace_flush(trace_, kWaitMs));

  // The exception file on the full disk: its first failure is the file module's one report.
  countFileErrors();
  TraceOp.setExceptionFile(nullptr, 1);
  disk.set(1);
  for (int n = 0; n < 3; ++n) TraceOp.trc("OTest", LUMO_TRC_E, 1, 1, "failure %d", n);
  EXPECT_EQ(fileErrors, 1);
  disk.lift();
  release();
  err.stop();
  EXPECT_EQ(splitLines(err.sofar()).size(), 2u) << err.sofar().substr(0, 2000);
}

// The next file of a rotation will not open: a directory and a dangling symbolic link hold its
// names. The records stay in the current file, the failure is reported once, and the rotation
// goes on by itself once the names are free.
TEST_F(TraceFileTest, ARotationThatCannotOpenTheNextFileKeepsWritingAndTriesAgain) {
  start(3, 1);
  countFileErrors();
  const std::string elsewhere = dir_ + "/elsewhere";
  ASSERT_TRUE(fs::create_directory(numbered(2)));
  fs::create_symlink(elsewhere, numbered(1));
  std::vector<std::string> written;
  auto some = [&](const char *prefix, int count) {
    for (int n = 0; n < count; ++n) {
      written.push_back(padded(prefix, n));
      TraceOp.trc("OTest", LUMO_TRC_I, 1, 1, "%s", written.back().c_str());
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(lumo_trace_flush(trace_, kWaitMs));
  };
  auto current = [] {
    const char *name = TraceOp.getCurrentFilename(nullptr);
    return std::string(name ? name : "");
  };
  some("blocked", 25);  // 2.5 s, past the 1 KB size from the third record on
  EXPECT_EQ(fileErrors, 1);
  EXPECT_EQ(current(), numbered(0));
  EXPECT_EQ(messagesOf(numbered(0)), written);
  EXPECT_FALSE(fs::exists(elsewhere));

  fs::remove(numbered(1));
  fs::remove(numbered(2));
  some("free", 15);
  EXPECT_NE(current(), numbered(0));
  EXPECT_EQ(fileErrors, 1);
  std::vector<std::string> found = messagesOf(numbered(0));
  for (const std::string &m : messagesOf(current())) found.push_back(m);
  EXPECT_EQ(found, written);
}

// Names that others may have planted in the trace's directory: the trace never writes through
// a symbolic link, never creates a link's target, and never waits for a FIFO's reader.
TEST_F(TraceFileTest, SymbolicLinksAndFifosInPlaceOfTheFilesAreRefused) {
  const std::string victim = dir_ + "/victim", absent = dir_ + "/absent";
  writeFile(victim, "precious\n");
  trace_ = TraceOp.inst(LUMO_TRC_I, nullptr, 0);
  countFileErrors();
  struct Case {
    const char *what;
    int nrfiles;
    std::function<void(const std::string &)> plant;
  };
  // Planted under every name of the rotation, so that the one chosen is a planted one.
  const Case cases[] = {
      {"links to a file, rotating", 3,
       [&](const std::string &p) { fs::create_symlink(victim, p); }},
      {"link to a file, single file appended", 1,
       [&](const std::string &p) { fs::create_symlink(victim, p); }},
      {"dangling links", 3, [&](const std::string &p) { fs::create_symlink(absent, p); }},
      {"FIFO without reader", 1, [](const std::string &p) { mkfifo(p.c_str(), 0600); }},
  };
  int round = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::string base = dir_ + "/case" + std::to_string(round++);
    for (int n = 0; n < c.nrfiles; ++n) c.plant(numbered(n, base));
    TraceOp.setNrFiles(trace_, c.nrfiles);
    int before = fileErrors;
    TraceOp.setFilename(trace_, base.c_str());
    EXPECT_EQ(TraceOp.getF(nullptr), nullptr);
    EXPECT_EQ(fileErrors, before + 1);
    record("not for the victim %d", round);
  }
  EXPECT_EQ(readFile(victim), "precious\n");
  EXPECT_FALSE(fs::exists(absent));

  // The exception file: refused while the link is there, reported once, used once it is gone.
  TraceOp.setNrFiles(trace_, 10);
  TraceOp.setFilename(trace_, base_.c_str());
  ASSERT_NE(TraceOp.getF(nullptr), nullptr);
  // No command the process runs inherits the trace file.
  EXPECT_TRUE(fcntl(fileno(FileOp.getStream(TraceOp.getF(nullptr))), F_GETFD) & FD_CLOEXEC);
  fs::create_symlink(victim, base_ + ".exc");
  TraceOp.setExceptionFile(nullptr, 1);
  int before = fileErrors;
  for (int n = 0; n < 3; ++n) TraceOp.trc("OTest", LUMO_TRC_E, 1, 1, "failure %d", n);
  EXPECT_EQ(fileErrors, before + 1);
  EXPECT_EQ(readFile(victim), "precious\n");
  fs::remove(base_ + ".exc");
  TraceOp.trc("OTest", LUMO_TRC_E, 1, 1, "failure after");
  EXPECT_EQ(messageOf(readFile(base_ + ".exc")), "failure after");
  EXPECT_EQ(fileErrors, before + 1);
}

// A clean stop writes out what the trace had accepted, on the stopping thread if need be; a
// file held up in the platform's write makes it give up in time instead of hanging the stop.
TEST_F(TraceFileTest, FlushWritesWhatWasAcceptedAndGivesUpInTimeOnAFileThatIsHeldUp) {
  start(1);
  for (int n = 0; n < 5000; ++n) record("f%05d", n);
  ASSERT_TRUE(lumo_trace_flush(nullptr, kWaitMs));
  std::vector<std::string> messages = messagesOf(numbered(0));  // read at once, no waiting
  ASSERT_EQ(messages.size(), 5000u);
  EXPECT_EQ(messages.back(), "f04999");
  release();

  const std::string piped = dir_ + "/piped";
  ASSERT_EQ(mkfifo(numbered(0, piped).c_str(), 0600), 0);
  int reader = ::open(numbered(0, piped).c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  start(1, 100, piped);
  ASSERT_NE(TraceOp.getF(nullptr), nullptr);
  for (int n = 0; n < 3000; ++n) record("held %05d", n);  // more than the pipe holds
  auto began = std::chrono::steady_clock::now();
  EXPECT_FALSE(lumo_trace_flush(nullptr, 300));
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(5));
  std::thread drain([reader] {
    fcntl(reader, F_SETFL, fcntl(reader, F_GETFL) & ~O_NONBLOCK);
    char buffer[65536];
    while (::read(reader, buffer, sizeof buffer) > 0) {
    }
  });
  EXPECT_TRUE(lumo_trace_flush(nullptr, kWaitMs));
  release();
  drain.join();
  ::close(reader);
}

// A flush that meets the writer finishing the very batch it waits for returns at once: the
// writer's release may come before the flush looks for one, and no other release follows.
TEST_F(TraceFileTest, FlushRacingTheWriterReturnsOnceItsRecordsAreWritten) {
  start(1);
  long slowestMs = 0;
  for (int round = 0; round < 3000 && slowestMs < 5000; ++round) {
    for (int n = 0; n < 20; ++n) record("r%06d", round * 20 + n);
    std::this_thread::yield();  // let the writer take a batch, sometimes
    auto began = Clock::now();
    ASSERT_TRUE(lumo_trace_flush(nullptr, 20000));
    slowestMs = std::max(slowestMs, msSince(began));
  }
  EXPECT_LT(slowestMs, 5000) << "a flush waited for a release that never came";
}

TEST_F(TraceFileTest, ChangingTheFileWhileRecordsFlowLosesNoWrittenRecordTwice) {
  start(1);
  const std::string other = dir_ + "/other";
  std::atomic<bool> stop{false};
  std::atomic<int> produced{0};
  std::thread producer([&] {
    for (int n = 0; !stop; ++n) {
      record("m%07d", n);
      produced = n + 1;
    }
  });
  // Records keep flowing through every change.
  for (int i = 0; i < 40; ++i) {
    int before = produced;
    EXPECT_TRUE(waitUntil([&] { return produced >= before + 10; }));
    TraceOp.setFilename(trace_, (i % 2 ? base_ : other).c_str());
  }
  stop = true;
  producer.join();
  release();
  std::set<std::string> seen;
  for (const std::string &path : {numbered(0), numbered(0, other)}) {
    std::string previous;
    for (const std::string &m : messagesOf(path)) {
      EXPECT_TRUE(seen.insert(m).second) << m;
      EXPECT_LT(previous, m) << path;
      previous = m;
    }
  }
  EXPECT_FALSE(seen.empty());
}

}  // namespace
