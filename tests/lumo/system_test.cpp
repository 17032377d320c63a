// Tests of the system services: the singleton and its ticker, error and signal texts,
// identifiers, shell commands, code pages, sleeping and sun times.
#include "lumo/impl/system.hpp"

#include <gtest/gtest.h>
#include <lumo/file.h>
#include <lumo/mem.h>
#include <lumo/socket.h>
#include <lumo/str.h>
#include <lumo/system.h>
#include <lumo/thread.h>
#include <lumo/trace.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/testutil.hpp"

namespace {

// Records echoed while f runs, with the given levels in the default trace's mask.
std::vector<std::string> echoed(int levels, const std::function<void()> &f) {
  TraceOp.setLevel(nullptr, levels);
  std::vector<std::string> lines = splitLines(echoOf(f));
  TraceOp.setLevel(nullptr, 0);
  return lines;
}

bool anyEndsWith(const std::vector<std::string> &lines, const std::string &tail) {
  return std::any_of(lines.begin(), lines.end(), [&](const std::string &l) {
    return l.size() >= tail.size() && l.compare(l.size() - tail.size(), tail.size(), tail) == 0;
  });
}

std::vector<std::string> heardTexts() {
  std::vector<std::string> out;
  for (const HeardRecord &r : TraceListener::heard()) out.push_back(r.text);
  return out;
}

class SystemTest : public ::testing::Test {
 protected:
  void SetUp() override { TraceListener::clear(); }
  TraceListener listener;
};

// Runs first in the file: nothing here creates the system object earlier.
TEST_F(SystemTest, GetTickBeforeInstTracesAndAnswersZero) {
  if (SystemOp.count() != 0) GTEST_SKIP() << "the system object already exists";
  EXPECT_EQ(SystemOp.getTick(), 0u);
  auto heard = TraceListener::heard();
  ASSERT_EQ(heard.size(), 1u);
  EXPECT_EQ(heard[0].text, "System not instantiated! Tick not available!");
  EXPECT_EQ(heard[0].level, LUMO_TRC_E);
  EXPECT_EQ(heard[0].object, "OSystem");
  EXPECT_EQ(heard[0].code, 9999);
}

TEST_F(SystemTest, InstIsASingletonWhoseTickerCountsAndSurvivesDel) {
  LumoSystem *system = SystemOp.inst();
  ASSERT_NE(system, nullptr);
  EXPECT_EQ(SystemOp.inst(), system);
  EXPECT_EQ(SystemOp.count(), 1);
  EXPECT_STREQ(system->name(), "OSystem");

  char name[32];
  std::snprintf(name, sizeof name, "tick%08" PRIXPTR, reinterpret_cast<uintptr_t>(system));
  EXPECT_NE(ThreadOp.find(name), nullptr) << name;

  // del must leave the object and its ticker alone.
  system->del(system);
  EXPECT_EQ(SystemOp.inst(), system);
  EXPECT_EQ(SystemOp.count(), 1);
  unsigned start = SystemOp.getTick();
  EXPECT_TRUE(waitFor([&] { return SystemOp.getTick() >= start + 5; }));
}

TEST_F(SystemTest, MembersAndBuildStringCarryTheVersionAndBuildMoment) {
  EXPECT_EQ(SystemOp.majorVersion, 2);
  EXPECT_EQ(SystemOp.minorVersion, 1);
  EXPECT_EQ(SystemOp.patchLevel, 0);
  EXPECT_TRUE(std::regex_match(SystemOp.buildDate, std::regex("[A-Z][a-z]{2} [ 0-9][0-9] \\d{4}")));
  EXPECT_TRUE(std::regex_match(SystemOp.buildTime, std::regex("\\d\\d:\\d\\d:\\d\\d")));
  const char *build = SystemOp.getBuild();
  EXPECT_EQ(std::string(build),
            std::string("liblumo 2.1.0 build ") + SystemOp.buildDate + " " + SystemOp.buildTime);
  EXPECT_EQ(SystemOp.getBuild(), build);  // made once
}

TEST_F(SystemTest, ErrorTextsFollowTheLinuxTable) {
  const struct {
    int error;
    const char *text;
  } cases[] = {{0, "OK"},
               {1, "Operation not permitted"},
               {11, "Try again"},
               {13, "Permission denied"},
               {35, "Resource deadlock would occur"},
               {58, "Resource deadlock would occur"},
               {81, ".lib section in a.out corrupted"},
               {113, "No route to host"},
               {124, "Wrong medium type"},
               {125, "Unknown errno"},
               {-1, "Error"},
               {-2, "Unknown errno"},
               {INT_MIN, "Unknown errno"},
               {INT_MAX, "Unknown errno"}};
  for (const auto &c : cases) EXPECT_STREQ(SystemOp.getErrStr(c.error), c.text) << c.error;
}

TEST_F(SystemTest, TerrnoRecordsTakeTheirTextFromTheErrorTable) {
  TraceOp.terrno("OTest", LUMO_TRC_W, 1, 1, 5, "io");
  TraceOp.terrno("OTest", LUMO_TRC_W, 1, 1, -1, "minus one");
  TraceOp.terrno("OTest", LUMO_TRC_W, 1, 1, 200, "beyond");
  EXPECT_EQ(heardTexts(),
            (std::vector<std::string>{"io [errno=5] [I/O error]", "minus one [errno=-1] [Error]",
                                      "beyond [errno=200] [Unknown errno]"}));
}

TEST_F(SystemTest, SignalTextsFollowTheLinuxTable) {
  const struct {
    int sig;
    const char *text;
  } cases[] = {{0, ""},
               {1, "Hangup"},
               {7, "BUS error"},
               {9, "Kill, unblockable"},
               {16, "Stack fault"},
               {28, ""},
               {31, "Bad system call"},
               {32, "Unknown signal"},
               {-1, "Unknown signal"}};
  for (const auto &c : cases) EXPECT_STREQ(SystemOp.getSigStr(c.sig), c.text) << c.sig;
}

TEST_F(SystemTest, PlatformFactsAndNamesDescribeUnix) {
  EXPECT_EQ(SystemOp.getFileSeparator(), '/');
  EXPECT_EQ(SystemOp.getPathSeparator(), ':');
  EXPECT_EQ(SystemOp.getPathSeparator4OS(1), '\\');
  EXPECT_EQ(SystemOp.getPathSeparator4OS(0), '/');
  EXPECT_EQ(SystemOp.getPathSeparator4OS(2), '/');
  EXPECT_EQ(SystemOp.getOSType(), 0);
  EXPECT_TRUE(SystemOp.isUnix());
  EXPECT_FALSE(SystemOp.isWindows());
  EXPECT_FALSE(SystemOp.isMacOS());
  EXPECT_STREQ(SystemOp.getPrgExt(), "");
  EXPECT_EQ(SystemOp.systemgetpid(), static_cast<int>(getpid()));

  setenv("LUMO_SYSTEM_TEST", "value", 1);
  EXPECT_STREQ(SystemOp.getProperty("LUMO_SYSTEM_TEST"), "value");
  EXPECT_EQ(SystemOp.getProperty("LUMO_SYSTEM_TEST_UNSET"), nullptr);
  EXPECT_EQ(SystemOp.getProperty(nullptr), nullptr);
  EXPECT_EQ(take(SystemOp.getUNC("/a/b")), "/a/b");
  EXPECT_EQ(SystemOp.getUNC(nullptr), nullptr);

  EXPECT_STREQ(SystemOp.getWSName(), "");
  EXPECT_STREQ(SystemOp.getUserName(), "");
  auto heard = TraceListener::heard();
  ASSERT_EQ(heard.size(), 2u);
  for (const auto &r : heard) {
    EXPECT_EQ(r.text, "lumo_system_* NOT IMPLEMENTED");
    EXPECT_EQ(r.level, LUMO_TRC_W);
    EXPECT_EQ(r.object, "OSystem");
  }
}

TEST_F(SystemTest, DeviceAndPortStubsDoNothing) {
  char buffer[4] = "abc";
  EXPECT_EQ(SystemOp.accessPort(1) | SystemOp.releasePort(1) | SystemOp.readPort(1) |
                SystemOp.writePort(1, 2) | SystemOp.openDevice("/dev/null") |
                SystemOp.availDevice(1) | SystemOp.readDevice(1, buffer, 3) |
                SystemOp.writeDevice(1, buffer, 3),
            0);
  EXPECT_STREQ(buffer, "abc");
  SystemOp.sysbeep();
}

TEST_F(SystemTest, AccessDevChecksReadAndWritePermission) {
  TempDir dir("system");
  std::string path = dir.at("dev");
  std::ofstream(path) << "x";
  EXPECT_TRUE(SystemOp.accessDev(path.c_str(), 1));
  EXPECT_TRUE(SystemOp.accessDev(path.c_str(), 0));
  chmod(path.c_str(), 0400);
  if (geteuid() != 0) {  // root may write anyway
    EXPECT_FALSE(SystemOp.accessDev(path.c_str(), 0));
  }
  EXPECT_TRUE(SystemOp.accessDev(path.c_str(), 1));
  EXPECT_FALSE(SystemOp.accessDev(dir.at("missing").c_str(), 1));
  EXPECT_FALSE(SystemOp.accessDev(nullptr, 1));
}

TEST_F(SystemTest, SetadminAnswersWhetherTheProcessIsSuperUser) {
  EXPECT_EQ(SystemOp.setadmin() != 0, getuid() == 0);
}

TEST_F(SystemTest, TimeOfDayPartsAreInRange) {
  int h = -1, m = -1, s = -1;
  int ms = SystemOp.getTime(&h, &m, &s);
  EXPECT_TRUE(ms >= 0 && ms <= 999 && h >= 0 && h <= 23 && m >= 0 && m <= 59 && s >= 0 && s <= 60);
  int only = SystemOp.getTime(nullptr, nullptr, nullptr);
  EXPECT_TRUE(only >= 0 && only <= 999);
  int millis = SystemOp.getMillis();
  EXPECT_TRUE(millis >= 0 && millis <= 999);
}

void noteSignal(int) {}

TEST_F(SystemTest, BusyWaitOfMoreThanASecondSleepsItAllDespiteInterruptions) {
  struct sigaction action {
  }, saved{};
  action.sa_handler = noteSignal;  // no SA_RESTART: the sleep really is interrupted
  sigaction(SIGUSR1, &action, &saved);
  pthread_t self = pthread_self();
  std::thread interrupter([self] {
    for (int i = 0; i < 3; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      pthread_kill(self, SIGUSR1);
    }
  });
  auto start = Clock::now();
  EXPECT_TRUE(SystemOp.uBusyWait(1300000));
  auto slept = Clock::now() - start;
  interrupter.join();
  sigaction(SIGUSR1, &saved, nullptr);
  EXPECT_GE(slept, std::chrono::microseconds(1300000));

  start = Clock::now();
  EXPECT_TRUE(SystemOp.usWait(1100000));
  EXPECT_GE(Clock::now() - start, std::chrono::microseconds(1100000));
  EXPECT_TRUE(SystemOp.uBusyWait(-5));
  EXPECT_TRUE(SystemOp.usWait(-5));
}

TEST_F(SystemTest, SetRandSeedSeedsFromTimeAndMillisecondsAndTracesTheSeed) {
  std::uint32_t before = static_cast<std::uint32_t>(std::time(nullptr));
  std::vector<std::string> lines = echoed(LUMO_TRC_D, [] { SystemOp.setRandSeed(); });
  int drawn = rand();
  std::uint32_t after = static_cast<std::uint32_t>(std::time(nullptr));
  ASSERT_EQ(lines.size(), 1u);
  std::smatch m;
  ASSERT_TRUE(
      std::regex_search(lines[0], m, std::regex("D .* OSystem .* set random seed to (-?\\d+)$")))
      << lines[0];
  // Traced in its signed 32-bit reading; the time's low byte sits above the milliseconds.
  std::uint32_t seed = static_cast<std::uint32_t>(std::stol(m[1]));
  EXPECT_LE(seed & 0xFFFFFFu, 999u);
  EXPECT_TRUE((seed >> 24) == (before & 0xFFu) || (seed >> 24) == (after & 0xFFu)) << seed;
  srand(seed);
  EXPECT_EQ(rand(), drawn);
}

TEST_F(SystemTest, GuidsCarryMacStampAndARisingCounter) {
  const char *device = "lumo-no-such-if";
  std::string mac = take(SocketOp.getMAC(device)).substr(0, 12);
  std::vector<std::string> ids;
  for (int i = 0; i < 3; ++i) ids.push_back(take(SystemOp.getGUID(device)));
  for (size_t i = 0; i < ids.size(); ++i) {
    ASSERT_EQ(ids[i].size(), 32u) << ids[i];
    EXPECT_EQ(ids[i].substr(0, 12), mac);
    EXPECT_TRUE(std::regex_match(ids[i].substr(12), std::regex("\\d{20}"))) << ids[i];
    EXPECT_EQ(ids[i].substr(29), "00" + std::to_string(i));  // the process's first identifiers
  }
  EXPECT_LT(ids[0].substr(12, 17), ids[1].substr(12, 17));  // one stamp each, inside the lock
  EXPECT_LT(ids[1].substr(12, 17), ids[2].substr(12, 17));

  // The device of the first call decides; threads never share an identifier.
  std::vector<std::thread> threads;
  std::vector<std::string> more[4];
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 5; ++i) more[t].push_back(take(SystemOp.getGUID("lo")));
    });
  for (auto &t : threads) t.join();
  std::set<std::string> all(ids.begin(), ids.end());
  std::set<std::string> counters;
  for (auto &list : more)
    for (auto &id : list) {
      EXPECT_EQ(id.substr(0, 12), mac);
      all.insert(id);
      counters.insert(id.substr(29));
    }
  EXPECT_EQ(all.size(), 23u);
  EXPECT_EQ(counters.size(), 20u);
  EXPECT_EQ(*counters.rbegin(), "022");
}

// Ticks are 10 ms of the monotonic clock since inst, not the count of a sleeping thread's naps
// (which fall behind); identifiers wait only for the clock's next millisecond.
TEST_F(SystemTest, TicksFollowTheClockAndIdentifiersNeedNoFixedPause) {
  ASSERT_NE(SystemOp.inst(), nullptr);
  auto begin = Clock::now();
  unsigned first = SystemOp.getTick();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  unsigned last = SystemOp.getTick();
  double elapsedTicks = std::chrono::duration<double, std::milli>(Clock::now() - begin).count() / 10;
  EXPECT_NEAR(static_cast<double>(last - first), elapsedTicks, 1.5);

  std::vector<double> ms;
  std::string previous;
  for (int i = 0; i < 15; ++i) {
    auto start = Clock::now();
    std::string id = take(SystemOp.getGUID("lo"));
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    ASSERT_EQ(id.size(), 32u) << id;
    EXPECT_LT(previous, id.substr(12, 17)) << "every identifier has a later stamp";
    previous = id.substr(12, 17);
  }
  std::sort(ms.begin(), ms.end());
  EXPECT_LT(ms[ms.size() / 2], 5.0) << "median milliseconds per identifier";
}

TEST_F(SystemTest, SynchronousExecReturnsTheShellStatusAfterTheCommandEnds) {
  TempDir dir("system");
  std::string marker = dir.at("sync");
  EXPECT_EQ(SystemOp.systemExec(("sleep 0.2; echo x > '" + marker + "'").c_str(), 0, 0), 0);
  EXPECT_EQ(access(marker.c_str(), F_OK), 0);  // already there: the call waited
  int status = SystemOp.systemExec("exit 3", 0, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
  EXPECT_EQ(SystemOp.systemExec(nullptr, 0, 0), -1);
  EXPECT_EQ(SystemOp.systemExec(nullptr, 1, 0), -1);
}

TEST_F(SystemTest, AsynchronousExecAnswersAtOnceAndRunsOnAWorkerThatCleansUp) {
  TempDir dir("system");
  std::string marker = dir.at("async");
  int threads = ThreadOp.count();
  std::string ok = "sleep 0.3; echo x > '" + marker + "'";
  std::vector<std::string> lines = echoed(LUMO_TRC_I, [&] {
    EXPECT_EQ(SystemOp.systemExec(ok.c_str(), 1, 7), 0);
    EXPECT_NE(access(marker.c_str(), F_OK), 0);  // the caller did not wait
    EXPECT_EQ(SystemOp.systemExec("exit 4", 1, 0), 0);
    EXPECT_TRUE(waitFor([&] { return access(marker.c_str(), F_OK) == 0; }));
    EXPECT_TRUE(waitFor([&] { return ThreadOp.count() == threads; }));  // workers released
  });
  EXPECT_TRUE(anyEndsWith(lines, "system = " + ok));
  EXPECT_TRUE(anyEndsWith(lines, "system = exit 4"));
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string &l) {
    return std::regex_search(
        l,
        std::regex("I \\S+ +OSystem .* Error starting: \\[exit 4\\] \\[errno=-?\\d+\\] \\[.*\\]$"));
  }));
}

// What each descriptor of this process is open on ("socket:[inode]", a path, ...).
std::map<std::string, std::string> openDescriptors() {
  std::map<std::string, std::string> out;
  std::error_code ec;
  for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    std::string target = std::filesystem::read_symlink(entry.path(), ec).string();
    if (!ec) out[entry.path().filename().string()] = target;
  }
  return out;
}

// What the descriptors of a shell command started by the library are open on.
std::set<std::string> inheritedByAShellCommand(const TempDir &dir) {
  std::string listing = dir.at("inherited");
  std::string command =
      "for f in /proc/$$/fd/*; do readlink \"$f\"; done > '" + listing + "' 2>/dev/null; true";
  EXPECT_EQ(SystemOp.systemExec(command.c_str(), 0, 0), 0);
  std::set<std::string> out;
  std::ifstream in(listing);
  for (std::string line; std::getline(in, line);) out.insert(line);
  EXPECT_EQ(out.count(listing), 1u) << "the command listed its own descriptors";
  return out;
}

// Descriptors opened since before that a shell command started now still holds.
std::vector<std::string> leakedIntoAShellCommand(
    const std::map<std::string, std::string> &before, const TempDir &dir, std::size_t *opened) {
  std::map<std::string, std::string> now = openDescriptors();
  std::vector<std::string> leaked;
  std::set<std::string> inherited = inheritedByAShellCommand(dir);
  *opened = 0;
  for (const auto &[fd, target] : now) {
    auto old = before.find(fd);
    if (old != before.end() && old->second == target) continue;
    ++*opened;
    if (inherited.count(target)) leaked.push_back(fd + " " + target);
  }
  return leaked;
}

TEST_F(SystemTest, ShellCommandsInheritNoSocketOfTheLibrary) {
  TempDir dir("system");
  std::map<std::string, std::string> before = openDescriptors();
  LumoSocket *server = SocketOp.inst("127.0.0.1", 0, 0, 0, 0, 0);
  int port = 0;
  ASSERT_TRUE(SocketOp.bind(server) && lumo_socket_listen(server));
  SocketOp.getsockname(server, &port);
  LumoSocket *client = SocketOp.inst("127.0.0.1", port, 0, 0, 0, 0);
  ASSERT_TRUE(SocketOp.connect(client));
  LumoSocket *accepted = SocketOp.acceptSocket(server);
  ASSERT_NE(accepted, nullptr);
  LumoSocket *udp = SocketOp.inst(nullptr, 0, 0, 1, 0, 0);
  FILE *stream = SocketOp.getStream(accepted);
  ASSERT_NE(stream, nullptr);

  std::size_t opened = 0;
  std::vector<std::string> leaked = leakedIntoAShellCommand(before, dir, &opened);
  EXPECT_GE(opened, 5u) << "server, client, accepted, datagram and stream descriptors";
  EXPECT_TRUE(leaked.empty()) << leaked.size() << " inherited, the first: " << leaked.front();

  std::fclose(stream);
  SocketOp.del(udp);
  SocketOp.del(accepted);
  SocketOp.del(client);
  SocketOp.del(server);
}

// File objects and trace files open their files close-on-exec too.
TEST_F(SystemTest, ShellCommandsInheritNoFileOfTheLibrary) {
  TempDir dir("system");
  LumoTrace *previous = TraceOp.get();
  std::map<std::string, std::string> before = openDescriptors();
  LumoFile *file = FileOp.inst(dir.at("object").c_str(), LUMO_FILE_WRITE);
  ASSERT_NE(file, nullptr);
  LumoTrace *trace = TraceOp.inst(LUMO_TRC_I, nullptr, 0);
  TraceOp.setFilename(trace, dir.at("traced").c_str());
  TraceOp.log(trace, "OTest", LUMO_TRC_I, 1, 1, "opens the file");
  std::string traceFile = dir.at("traced") + ".000.trc";
  ASSERT_TRUE(waitFor([&] {
    for (const auto &entry : openDescriptors())
      if (entry.second == traceFile) return true;
    return false;
  }));

  std::size_t opened = 0;
  std::vector<std::string> leaked = leakedIntoAShellCommand(before, dir, &opened);
  EXPECT_GE(opened, 2u) << "the file object's and the trace's";
  EXPECT_TRUE(leaked.empty()) << leaked.size() << " inherited, the first: " << leaked.front();

  FileOp.del(file);
  TraceOp.set(trace);
  TraceOp.del(trace);
  TraceOp.set(previous);
}

// Code pages: every byte except those in a table passes unchanged.
std::string allBytes() {
  std::string s;
  for (int b = 1; b < 256; ++b) s += static_cast<char>(b);
  return s;
}

std::string mapped(const std::vector<std::pair<int, int>> &table) {
  std::string s = allBytes();
  for (auto &entry : table) s[entry.first - 1] = static_cast<char>(entry.second);
  return s;
}

TEST_F(SystemTest, ConversionsRefuseTextsLongerThanAnIntCounts) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer shadows every byte read";
#endif
  HugeText huge(257);  // past 4 GiB: a length cut to 32 bits would look small
  const char *text = huge.text();
  if (!text) GTEST_SKIP() << "no room for such a text in this process";
  StreamCapture out, err(STDERR_FILENO);  // the refusals are traced at level E
  EXPECT_EQ(SystemOp.cp1252toISO885915(text), nullptr);
  EXPECT_EQ(SystemOp.latin2cp850(text), nullptr);
  EXPECT_EQ(SystemOp.utf2latin(text), nullptr);
  EXPECT_EQ(SystemOp.latin2utf(text), nullptr);
}

TEST_F(SystemTest, Cp1252ToIso885915MovesTheEightSharedCharacters) {
  int strings = MemOp.getAllocCntID(LUMO_TID_STRING);
  char *out = SystemOp.cp1252toISO885915(allBytes().c_str());
  EXPECT_EQ(MemOp.getAllocCntID(LUMO_TID_STRING), strings);  // an untyped block
  EXPECT_EQ(std::string(out), mapped({{0x80, 0xA4},
                                      {0x8A, 0xA6},
                                      {0x8C, 0xBC},
                                      {0x8E, 0xB4},
                                      {0x9A, 0xA8},
                                      {0x9C, 0xBD},
                                      {0x9E, 0xB8},
                                      {0x9F, 0xBE}}));
  MemOp.free(out, "test", __LINE__);
  EXPECT_EQ(SystemOp.cp1252toISO885915(nullptr), nullptr);
}

TEST_F(SystemTest, Latin2Cp850MovesTheElevenLetters) {
  int strings = MemOp.getAllocCntID(LUMO_TID_STRING);
  char *out = SystemOp.latin2cp850(allBytes().c_str());
  EXPECT_EQ(MemOp.getAllocCntID(LUMO_TID_STRING), strings + 1);
  EXPECT_EQ(take(out), mapped({{0xC4, 0x8E},
                               {0xCB, 0xD3},
                               {0xCF, 0xD8},
                               {0xD6, 0x99},
                               {0xDC, 0x9A},
                               {0xDF, 0xE1},
                               {0xE4, 0x84},
                               {0xEB, 0x89},
                               {0xEF, 0x8B},
                               {0xF6, 0x94},
                               {0xFC, 0x81}}));
  EXPECT_EQ(SystemOp.latin2cp850(nullptr), nullptr);
}

TEST_F(SystemTest, Latin2UtfEncodesLatin1CodePointsAndTheEuroSign) {
  const struct {
    const char *in, *out;
  } cases[] = {{"", ""},
               {"plain", "plain"},
               {"\xE9", "\xC3\xA9"},
               {"\xA4", "\xE2\x82\xAC"},
               {"\xA6\xBD", "\xC2\xA6\xC2\xBD"},
               {"a\x80z\xFF", "a\xC2\x80z\xC3\xBF"}};
  for (const auto &c : cases) EXPECT_EQ(take(SystemOp.latin2utf(c.in)), c.out) << c.in;
  EXPECT_EQ(SystemOp.latin2utf(nullptr), nullptr);
  // Every ISO-8859-15 byte comes back from its UTF-8 form.
  char *utf = SystemOp.latin2utf(allBytes().c_str());
  EXPECT_EQ(take(SystemOp.utf2latin(utf)), allBytes());
  StrOp.freeStr(utf);
  EXPECT_TRUE(TraceListener::heard().empty());
}

TEST_F(SystemTest, Utf2LatinDropsWhatLatinLacksAndTracesMalformedInput) {
  const std::string unsupported = "Unsupported UTF-8 sequence.";
  const struct {
    const char *in, *out;
    std::vector<std::string> traces;
  } cases[] = {
      {"\xC3\xA9", "\xE9", {}},
      {"\xE2\x82\xAC", "\xA4", {}},
      {"\xE2\x82\xA4", "\xA3", {}},
      {"a\xC4\x80z", "az", {}},
      {"a\xC3", "a", {"UTF-8 error: 1 + 1 => 2"}},
      // The cut-off lead costs one byte; its continuation is then met on its own.
      {"\xE2\x82", "", {"UTF-8 error: 0 + 2 >= 2", unsupported}},
      {"x\xE2\x80\x94y", "xy", {"Unsupported unicode=0x2014!"}},
      {"\x80"
       "a",
       "a",
       {unsupported}},
      {"\xF0\x9F\x98\x80", "", {unsupported, unsupported, unsupported, unsupported}},
      {"\xF8", "", {unsupported}},
  };
  for (const auto &c : cases) {
    TraceListener::clear();
    EXPECT_EQ(take(SystemOp.utf2latin(c.in)), c.out) << testing::PrintToString(std::string(c.in));
    EXPECT_EQ(heardTexts(), c.traces) << testing::PrintToString(std::string(c.in));
  }
  EXPECT_EQ(SystemOp.utf2latin(nullptr), nullptr);
}

// The Almanac for Computers' worked example: 25 June 1990, 40.9 N 74.3 W.
constexpr double kLat = 40.9, kLng = -74.3;

TEST_F(SystemTest, SunriseMatchesTheAlmanacExample) {
  std::vector<std::string> lines = echoed(LUMO_TRC_I, [] {
    EXPECT_EQ(lumo::system_sunriseOn(1990, 6, 25, 0, 1, 0, kLat, kLng), 19589);  // 5:26:29
  });
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("sunrise 25-06-1990 05:26 dst=0"), std::string::npos) << lines[0];
  // Sunset falls after midnight UT: the result stays below zero rather than wrapping.
  int sunset = lumo::system_sunriseOn(1990, 6, 25, 0, 0, 0, kLat, kLng);
  EXPECT_LT(sunset, 0);
  EXPECT_NEAR(sunset + 86400, 20 * 3600 + 33 * 60, 120);
}

TEST_F(SystemTest, SunriseOffsetsAddWholeHoursAndTheZoneIsCutTowardZero) {
  auto at = [](double lng, int offset = 0, int dst = 0) {
    return lumo::system_sunriseOn(1990, 6, 25, dst, 1, offset, kLat, lng);
  };
  EXPECT_EQ(at(kLng, 1), 19589 + 3600);
  EXPECT_EQ(at(kLng, -2), 19589 - 7200);
  EXPECT_EQ(at(kLng, 0, 1), 19589 + 3600);
  EXPECT_EQ(at(kLng, 1, 1), 19589 + 7200);
  // One degree is four minutes of sun time; crossing a whole zone adds an hour. Rounding the
  // zone instead of cutting it would put 29 degrees in zone 2 (or -2) and lose the hour.
  EXPECT_NEAR(at(5.0) - at(0.0), -1200, 30);      // zone 0 for both
  EXPECT_NEAR(at(30.0) - at(29.0), 3360, 30);     // zone 2 against zone 1
  EXPECT_NEAR(at(-30.0) - at(-29.0), -3360, 30);  // zone -2 against zone -1
}

TEST_F(SystemTest, SunriseWithoutSunriseGivesNoonOrMidnightAndWarns) {
  int polarDayRise = lumo::system_sunriseOn(1990, 6, 25, 0, 1, 0, 80.0, 10.0);
  int polarDaySet = lumo::system_sunriseOn(1990, 6, 25, 0, 0, 0, 80.0, 10.0);
  EXPECT_NEAR(polarDayRise, 23 * 3600 + 22 * 60, 300);  // solar midnight at 10 E
  EXPECT_NEAR(polarDaySet, polarDayRise, 60);
  int polarNightRise = lumo::system_sunriseOn(1990, 12, 21, 0, 1, 0, 80.0, 10.0);
  int polarNightSet = lumo::system_sunriseOn(1990, 12, 21, 0, 0, 0, 80.0, 10.0);
  EXPECT_NEAR(polarNightRise, 11 * 3600 + 18 * 60, 300);  // solar noon
  EXPECT_NEAR(polarNightSet, polarNightRise, 60);
  auto heard = TraceListener::heard();
  ASSERT_EQ(heard.size(), 4u);
  for (const auto &r : heard) EXPECT_EQ(r.level, LUMO_TRC_W);
  EXPECT_EQ(heard[0].text,
            "No sunrise on 25-06-1990 at latitude 80.0000 (polar day): solar midnight taken.");
  EXPECT_EQ(heard[3].text,
            "No sunset on 21-12-1990 at latitude 80.0000 (polar night): solar noon taken.");

  TraceListener::clear();
  EXPECT_EQ(lumo::system_sunriseOn(1990, 6, 25, 0, 1, 0, 91.0, 0.0), 0);
  EXPECT_EQ(lumo::system_sunriseOn(1990, 6, 25, 0, 1, 0, 0.0, NAN), 0);
  EXPECT_EQ(lumo::system_sunriseOn(1990, 6, 25, 0, 1, 0, 0.0, 1e300), 0);
  EXPECT_EQ(TraceListener::heard().size(), 3u);
}

TEST_F(SystemTest, SunriseWorksOnTodaysLocalDate) {
  std::time_t now = std::time(nullptr);
  struct tm tm {};
  localtime_r(&now, &tm);
  int expected = lumo::system_sunriseOn(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                                        tm.tm_isdst > 0, 0, 1, 48.2, 16.4);
  EXPECT_EQ(SystemOp.sunrise(0, 1, 48.2, 16.4), expected);
}

TEST_F(SystemTest, ShutdownQuotesThePasswordForTheShell) {
  char command[256];
  ASSERT_TRUE(lumo::system_shutdownCommand(command, sizeof command, "secret"));
  EXPECT_STREQ(command, "echo 'secret' | sudo -S halt -p");
  ASSERT_TRUE(lumo::system_shutdownCommand(command, sizeof command, "it's"));
  EXPECT_STREQ(command, "echo 'it'\\''s' | sudo -S halt -p");
  ASSERT_TRUE(lumo::system_shutdownCommand(command, sizeof command, nullptr));
  EXPECT_STREQ(command, "echo '' | sudo -S halt -p");

  // What the shell makes of the quoted part is the password itself, whatever it holds. Only
  // the echo is run here, never the halt.
  for (const char *password :
       {"a b", "x'; touch /tmp/lumo-pwned; '", "$(id)`id`", "\"\\'\"", "''"}) {
    ASSERT_TRUE(lumo::system_shutdownCommand(command, sizeof command, password));
    std::string echo(command);
    echo = echo.substr(0, echo.find(" | sudo -S halt -p"));
    FILE *p = popen(echo.c_str(), "r");
    ASSERT_NE(p, nullptr);
    char line[512] = {};
    ASSERT_NE(fgets(line, sizeof line, p), nullptr);
    pclose(p);
    EXPECT_EQ(std::string(line), std::string(password) + "\n") << command;
  }
}

TEST_F(SystemTest, ShutdownRefusesACommandLongerThanItsBuffer) {
  char command[256];
  // "echo '" and "' | sudo -S halt -p" take 25 bytes and the terminator one.
  EXPECT_TRUE(lumo::system_shutdownCommand(command, sizeof command, std::string(230, 'p').c_str()));
  EXPECT_EQ(std::strlen(command), 255u);
  EXPECT_FALSE(
      lumo::system_shutdownCommand(command, sizeof command, std::string(231, 'p').c_str()));
  EXPECT_STREQ(command, "");
  EXPECT_FALSE(
      lumo::system_shutdownCommand(command, sizeof command, std::string(100, '\'').c_str()));

  // Through the table, with a search path where no sudo can be found, in case it ran anyway.
  TempDir empty("system");
  std::string path = getenv("PATH") ? getenv("PATH") : "";
  setenv("PATH", empty.path().c_str(), 1);
  int rc = SystemOp.shutdown(std::string(300, 'p').c_str());
  setenv("PATH", path.c_str(), 1);
  EXPECT_EQ(rc, -1);
  auto heard = TraceListener::heard();
  ASSERT_EQ(heard.size(), 1u);
  EXPECT_EQ(heard[0].text, "Shutdown command does not fit into 256 bytes.");
  EXPECT_EQ(heard[0].level, LUMO_TRC_E);
}

}  // namespace
