// Trace records as they reach the console and the listener: exact texts, levels, dumps and the
// default instance.
#include <gtest/gtest.h>
#include <lumo/trace.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/testutil.hpp"

namespace {

using Capture = StreamCapture;

// Replaces the leading time stamp by "<stamp>" when it has the stamp's shape.
std::string masked(const std::string &record) {
  static const std::regex stamp(R"(^\d{8}\.\d{6}\.\d{3} )");
  return std::regex_replace(record, stamp, "<stamp> ", std::regex_constants::format_first_only);
}

std::vector<std::string> masked(const std::vector<std::string> &records) {
  std::vector<std::string> out;
  for (const auto &r : records) out.push_back(masked(r));
  return out;
}

struct Heard {
  int level;
  std::string text;
  int code;
  std::string object;
  off_t stdoutSizeAtCall;
};
std::mutex heardLock;
std::vector<Heard> heard;

int listen(int level, const char *text, int code, const char *object) {
  std::fflush(stdout);
  struct stat st {};
  fstat(1, &st);
  std::lock_guard<std::mutex> guard(heardLock);
  heard.push_back({level, text, code, object, st.st_size});
  return 0;
}

std::string hexId(LumoThreadId id) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%08" PRIXPTR, static_cast<uintptr_t>(id));
  return buffer;
}

// Every test starts with its own default trace (level I, echo on, listener set).
class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    trace = TraceOp.inst(LUMO_TRC_I, nullptr, 1);
    ASSERT_NE(trace, nullptr);
    TraceOp.set(trace);
    TraceOp.setExceptionListener(nullptr, listen, 0);
    heard.clear();
  }
  void TearDown() override {
    if (!trace) return;
    TraceOp.set(trace);
    TraceOp.del(trace);
  }
  LumoTrace *trace = nullptr;
};

TEST_F(TraceTest, LineRecordsHaveFixedWidthColumns) {
  Capture out(1);
  TraceOp.trc("LongObjectName", LUMO_TRC_I, 7, 12, "a %d %s", 5, "b");
  TraceOp.trc(nullptr, LUMO_TRC_I, 7, 12, "no object");
  TraceOp.setAppID(nullptr, "w");
  TraceOp.trc("OQIVhub", LUMO_TRC_I, 149, 9999, "QIVhub");
  TraceOp.trace("OQIVhub", LUMO_TRC_I, 9999, "with object");
  TraceOp.trace(nullptr, LUMO_TRC_I, 9999, "without object");
  TraceOp.trace(trace, LUMO_TRC_I, 9999, "the default is no object");
  TraceOp.setAppID(nullptr, "");
  TraceOp.trc("O", LUMO_TRC_I, 1, 1, "empty id");
  EXPECT_EQ(masked(out.lines()), (std::vector<std::string>{
                                     "<stamp> .0012I main     LongObje 0007 a 5 b",
                                     "<stamp> .0012I main              0007 no object",
                                     "<stamp> w9999I main     OQIVhub  0149 QIVhub",
                                     "<stamp> w9999I main     OQIVhub  with object",
                                     "<stamp> w9999I main     without object",
                                     "<stamp> w9999I main     the default is no object",
                                     "<stamp>  0001I main     O        0001 empty id",
                                 }));
}

TEST_F(TraceTest, LogWritesThroughTheGivenInstanceOnly) {
  LumoTrace *other = TraceOp.inst(LUMO_TRC_D, nullptr, 1);
  TraceOp.setAppID(other, "o");
  Capture out(1);
  TraceOp.log(other, "OTest", LUMO_TRC_D, 3, 4, "via other");
  TraceOp.log(trace, "OTest", LUMO_TRC_D, 3, 4, "filtered by the default's mask");
  TraceOp.log(nullptr, "OTest", LUMO_TRC_W, 3, 4, "no instance");
  EXPECT_EQ(masked(out.lines()),
            (std::vector<std::string>{"<stamp> o0004D main     OTest    0003 via other"}));
  TraceOp.set(other);
  TraceOp.del(other);
}

TEST_F(TraceTest, MaskFiltersAllButTheProtocolLevels) {
  TraceOp.setLevel(nullptr, 0);
  Capture out(1), err(2);
  for (int bit = 0; bit < 28; ++bit) TraceOp.trc("OTest", 1 << bit, 1, 1, "bit %d", bit);
  TraceOp.trc("OTest", 0, 1, 1, "level 0");
  EXPECT_EQ(masked(err.lines()),
            (std::vector<std::string>{"<stamp> .0001E main     OTest    0001 bit 0"}));
  EXPECT_EQ(masked(out.lines()), (std::vector<std::string>{
                                     "<stamp> .0001W main     OTest    0001 bit 2",
                                     "<stamp> .0001P main     OTest    0001 bit 8",
                                     "<stamp> .0001R main     OTest    0001 bit 9",
                                     "<stamp> .0001w main     OTest    0001 bit 27",
                                 }));
  // Filtered levels never reach the listener, though c, v, s ... are listener levels.
  std::vector<int> levels;
  for (const auto &h : heard) levels.push_back(h.level);
  EXPECT_EQ(levels, (std::vector<int>{LUMO_TRC_E, LUMO_TRC_W, LUMO_TRC_w}));
  EXPECT_EQ(TraceOp.getLevel(trace), 0);
}

TEST_F(TraceTest, EachLevelWritesItsLetter) {
  const struct {
    int level;
    char letter;
  } table[] = {{0x1, 'E'},        {0x2, 'I'},       {0x4, 'W'},       {0x8, 'D'},
               {0x10, 'B'},       {0x20, 'T'},      {0x40, 'M'},      {0x80, 'A'},
               {0x100, 'P'},      {0x200, 'R'},     {0x400, 'S'},     {0x800, 'Z'},
               {0x1000, 'a'},     {0x2000, 'b'},    {0x4000, 'c'},    {0x8000, 'd'},
               {0x10000, 'v'},    {0x20000, 's'},   {0x40000, 'x'},   {0x80000, 'f'},
               {0x100000, 'l'},   {0x200000, 'y'},  {0x400000, 'q'},  {0x800000, 'p'},
               {0x1000000, 'k'},  {0x2000000, 'C'}, {0x4000000, 'M'}, {0x8000000, 'w'},
               {0x10000000, '?'}, {INT_MIN, '?'},   {0x3, '?'},       {0x8000305, '?'}};
  TraceOp.setLevel(trace, -1);
  Capture out(1), err(2);
  for (const auto &row : table) TraceOp.trc("OTest", row.level, 1, 1, "x");
  std::vector<std::string> lines = err.lines(), outLines = out.lines();
  lines.insert(lines.end(), outLines.begin(), outLines.end());  // E alone goes to stderr
  static const std::regex letterOf(R"(^\d{8}\.\d{6}\.\d{3} \.0001(.) main     OTest    0001 x$)");
  std::string letters, expected;
  for (const auto &line : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, letterOf)) << line;
    letters += m[1].str();
  }
  for (const auto &row : table) expected += row.letter;
  EXPECT_EQ(letters, expected);
}

TEST_F(TraceTest, ListenerLevelsDependOnTheOperation) {
  TraceOp.setLevel(trace, -1);
  TraceOp.setStdErr(trace, 0);
  const int wide =
      0x1 | 0x4 | 0x4000 | 0x10000 | 0x20000 | 0x40000 | 0x80000 | 0x800000 | 0x8000000;
  for (int bit = 0; bit < 28; ++bit) {
    int level = 1 << bit;
    heard.clear();
    TraceOp.trc("OTest", level, 1, 2, "trc");
    TraceOp.log(trace, "OTest", level, 1, 2, "log");
    TraceOp.trace("OTest", level, 2, "trace");
    TraceOp.terrno("OTest", level, 1, 2, 0, "terrno");
    std::vector<std::string> texts;
    for (const auto &h : heard) {
      texts.push_back(h.text.substr(0, h.text.find(' ')));
      EXPECT_EQ(h.level, level);
      EXPECT_EQ(h.code, 2);
      EXPECT_EQ(h.object, "OTest");
    }
    std::vector<std::string> expected;
    if (level & wide) expected = {"trc", "log"};
    if (level & (LUMO_TRC_E | LUMO_TRC_W)) expected = {"trc", "log", "trace", "terrno"};
    EXPECT_EQ(texts, expected) << "level 0x" << std::hex << level;
  }
  heard.clear();
  TraceOp.trc("OTest", LUMO_TRC_E | LUMO_TRC_W, 1, 2, "combination");
  TraceOp.trace(nullptr, LUMO_TRC_W, 2, "no object");
  ASSERT_EQ(heard.size(), 1u);
  EXPECT_EQ(heard[0].object, "");
}

TEST_F(TraceTest, TerrnoAddsTheErrorTextAndCallsTheListenerBeforeWriting) {
  const std::string text = std::strerror(EACCES);
  Capture out(1);
  TraceOp.terrno("OFile", LUMO_TRC_W, 12, 500, EACCES, "Error open file [%s] [%s]", "a", "r");
  TraceOp.trc("OFile", LUMO_TRC_W, 13, 500, "after");
  TraceOp.setExceptionListener(trace, listen, 1);
  TraceOp.terrno("OFile", LUMO_TRC_W, 14, 500, EACCES, "full");
  std::vector<std::string> lines = masked(out.lines());
  const std::string first =
      "<stamp> .0500W main     OFile    0012 Error open file [a] [r] [errno=13] [" + text + "]";
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], first);
  EXPECT_EQ(lines[1], "<stamp> .0500W main     OFile    0013 after");
  ASSERT_EQ(heard.size(), 3u);
  EXPECT_EQ(heard[0].text, "Error open file [a] [r] [errno=13] [" + text + "]");
  EXPECT_EQ(heard[0].stdoutSizeAtCall, 0);                                 // terrno: listener first
  EXPECT_GT(heard[1].stdoutSizeAtCall, static_cast<off_t>(first.size()));  // trc: output first
  EXPECT_EQ(masked(heard[2].text), lines[2]);
}

TEST_F(TraceTest, LongMessagesAreCutTo4095Characters) {
  const std::string longText(5000, 'x');
  Capture out(1);
  TraceOp.trc("OTest", LUMO_TRC_W, 1, 1, "%s", longText.c_str());
  std::vector<std::string> lines = masked(out.lines());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "<stamp> .0001W main     OTest    0001 " + longText.substr(0, 4095));
  ASSERT_EQ(heard.size(), 1u);
  EXPECT_EQ(heard[0].text.size(), 4095u);
}

TEST_F(TraceTest, DumpWritesAHeadAndOneRowPerSixteenBytes) {
  unsigned char bytes[20];
  std::memcpy(bytes, "ABCDEFGHIJKLMNOP", 16);
  const unsigned char tail[4] = {0x00, 0x7F, 0x20, 0xFF};
  std::memcpy(bytes + 16, tail, 4);
  char address[32];
  std::snprintf(address, sizeof address, "0x%08" PRIXPTR, reinterpret_cast<uintptr_t>(bytes));
  const std::string offsets =
      "    offset:   00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F |ASCII...........|";
  const std::string rule =
      "    --------------------------------------------------------- |----------------|";

  Capture out(1);
  TraceOp.dump("OTest", LUMO_TRC_I, bytes, 20);
  TraceOp.dmp(nullptr, LUMO_TRC_W, 42, bytes, 0);
  TraceOp.setDumpsize(nullptr, 8);
  TraceOp.dump("OTest", LUMO_TRC_I, bytes, 20);
  TraceOp.dump("OTest", LUMO_TRC_D, bytes, 20);  // not in the mask
  EXPECT_EQ(
      masked(out.lines()),
      (std::vector<std::string>{
          "<stamp> ..0000I main     OTest    *trace dump( " + std::string(address) +
              ": length=20 )",
          offsets,
          rule,
          "    00000000: 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50 |ABCDEFGHIJKLMNOP|",
          "    00000010: 00 7F 20 FF" + std::string(36, ' ') + " |.. ." + std::string(12, ' ') +
              "|",
          "<stamp> ..0042W main              *trace dump( " + std::string(address) + ": length=0 )",
          offsets,
          rule,
          "<stamp> ..0000I main     OTest    *trace dump( " + std::string(address) + ": length=8 )",
          offsets,
          rule,
          "    00000000: 41 42 43 44 45 46 47 48" + std::string(24, ' ') + " |ABCDEFGH        |",
      }));
  EXPECT_EQ(TraceOp.getDumpsize(trace), 8);
  EXPECT_TRUE(heard.empty());
}

TEST_F(TraceTest, PrintlnAndPrintHeaderBypassTheLevelCheck) {
  TraceOp.setLevel(trace, 0);
  Capture out(1);
  TraceOp.println("plain %d", 7);
  TraceOp.printHeader();
  const std::string rule = "-------------------+------+--------+--------+----+---------- - - -";
  EXPECT_EQ(out.lines(), (std::vector<std::string>{
                             "plain 7", "", rule,
                             "yyyyMMDD.HHMMSS.mmm a ID l Thread   Object   Line Message", rule}));
  EXPECT_TRUE(heard.empty());
}

TEST_F(TraceTest, EchoOffKeepsTheConsoleQuietButNotTheListener) {
  TraceOp.setStdErr(nullptr, 0);
  Capture out(1), err(2);
  TraceOp.trc("OTest", LUMO_TRC_E, 1, 1, "quiet");
  TraceOp.println("quiet");
  EXPECT_TRUE(out.lines().empty());
  EXPECT_TRUE(err.lines().empty());
  EXPECT_EQ(TraceOp.isStdErr(trace), 0);
  ASSERT_EQ(heard.size(), 1u);
  EXPECT_EQ(heard[0].text, "quiet");
}

TEST_F(TraceTest, ThreadsOtherThanMainAreNamedByTheirId) {
  LumoThreadId workerId = 0;
  Capture out(1);
  std::thread worker([&] {
    workerId = lumo_thread_id();
    TraceOp.trc("OTest", LUMO_TRC_I, 1, 1, "worker");
  });
  worker.join();
  TraceOp.setMainThreadId(workerId);
  TraceOp.trc("OTest", LUMO_TRC_I, 1, 1, "main thread, now unnamed");
  TraceOp.setMainThreadId(lumo_thread_id());
  std::vector<std::string> lines = masked(out.lines());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "<stamp> .0001I " + hexId(workerId).substr(0, 8) + " OTest    0001 worker");
  EXPECT_EQ(lines[1], "<stamp> .0001I " + hexId(lumo_thread_id()).substr(0, 8) +
                          " OTest    0001 main thread, now unnamed");
}

TEST_F(TraceTest, OnlyTheDefaultInstanceIsReleased) {
  EXPECT_STREQ(TraceOp.name(), "OTrace");
  EXPECT_STREQ(TraceOp.toString(trace), "");
  int before = TraceOp.count();
  LumoTrace *other = TraceOp.inst(0, "logs/qivhub", 1);
  EXPECT_EQ(TraceOp.get(), trace);  // a default exists already
  EXPECT_EQ(TraceOp.count(), before + 1);
  TraceOp.del(other);  // not the default: untouched
  EXPECT_EQ(TraceOp.count(), before + 1);
  EXPECT_STREQ(TraceOp.getFilename(other), "logs/qivhub");

  TraceOp.del(trace);
  trace = nullptr;
  EXPECT_EQ(TraceOp.get(), nullptr);
  EXPECT_EQ(TraceOp.count(), before);
  heard.clear();  // the other instance could not open its file, and said so
  Capture out(1), err(2);
  const unsigned char bytes[4] = {1, 2, 3, 4};
  TraceOp.trc("OTest", LUMO_TRC_E, 1, 1, "nothing");
  TraceOp.trace(nullptr, LUMO_TRC_E, 1, "nothing");
  TraceOp.terrno("OTest", LUMO_TRC_E, 1, 1, EIO, "nothing");
  TraceOp.println("nothing");
  TraceOp.printHeader();
  TraceOp.dump("OTest", LUMO_TRC_E, bytes, 4);
  EXPECT_TRUE(out.lines().empty());
  EXPECT_TRUE(err.lines().empty());
  EXPECT_TRUE(heard.empty());
  EXPECT_EQ(TraceOp.getLevel(nullptr), 0);

  LumoTrace *first = TraceOp.inst(LUMO_TRC_I, nullptr, 0);
  EXPECT_EQ(TraceOp.get(), first);  // no default: the new instance becomes it
  TraceOp.set(other);
  EXPECT_EQ(TraceOp.get(), other);
  TraceOp.del(other);
  EXPECT_EQ(TraceOp.get(), nullptr);
  trace = first;  // released by TearDown
}

TEST_F(TraceTest, FileSettingsNeedAnInstanceAndAFileNamePart) {
  TempDir dir("trace");
  ASSERT_TRUE(dir.made());
  std::string base = dir.at("qivhub");
  std::vector<char> name(base.begin(), base.end());
  name.push_back('\0');
  TraceOp.setFilename(trace, name.data());
  name[1] = 'X';
  EXPECT_EQ(TraceOp.getFilename(nullptr), base);
  EXPECT_EQ(TraceOp.getCurrentFilename(nullptr), base + ".000.trc");
  EXPECT_NE(TraceOp.getF(nullptr), nullptr);
  TraceOp.setFilename(trace, (dir.path() + "/").c_str());  // no file-name part
  EXPECT_EQ(TraceOp.getFilename(trace), nullptr);
  EXPECT_EQ(TraceOp.getCurrentFilename(trace), nullptr);
  EXPECT_EQ(TraceOp.getF(trace), nullptr);
  TraceOp.setInvoke(nullptr, "halt", 1);
  TraceOp.setInvoke(nullptr, "reboot", 0);
  TraceOp.setFileSize(nullptr, 1);  // needs an instance: ignored
  TraceOp.setNrFiles(nullptr, 1);
  TraceOp.setFilename(nullptr, base.c_str());
  EXPECT_EQ(TraceOp.getFilename(trace), nullptr);
  EXPECT_EQ(TraceOp.getF(trace), nullptr);
  EXPECT_STREQ(TraceOp.getOS(), "linux");
  EXPECT_STREQ(TraceOp.getARCH(), "ARM");
}

TEST_F(TraceTest, RecordsFromManyThreadsSurviveSettingChangesAndRelease) {
  TraceOp.setStdErr(trace, 0);
  std::atomic<bool> stop{false};
  std::atomic<int> written{0};
  std::vector<std::thread> writers;
  for (int i = 0; i < 4; ++i)
    writers.emplace_back([&] {
      const char bytes[20] = "some bytes to dump";
      while (!stop.load()) {
        TraceOp.trc("OTest", LUMO_TRC_W, 1, 1, "record %d", written.fetch_add(1));
        TraceOp.dump("OTest", LUMO_TRC_W, bytes, 20);
      }
    });
  while (written.load() < 200) {
    TraceOp.setAppID(nullptr, written.load() % 2 ? "a" : "bb");
    TraceOp.setLevel(nullptr, written.load() % 2 ? LUMO_TRC_D : LUMO_TRC_I);
    TraceOp.setExceptionListener(nullptr, written.load() % 2 ? listen : nullptr, 1);
  }
  TraceOp.del(trace);  // the writers still go on, through no trace at all
  trace = nullptr;
  int after = written.load();
  while (written.load() < after + 100) std::this_thread::yield();
  stop = true;
  for (auto &w : writers) w.join();
  EXPECT_EQ(TraceOp.get(), nullptr);
}

}  // namespace
