// File module: file objects over real files, path operations, directory creation, copying and
// the fuser check, all inside a fresh temporary directory.
#include <lumo/file.h>
#include <lumo/mem.h>
#include <lumo/str.h>
#include <lumo/trace.h>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/testutil.hpp"

namespace {

namespace fs = std::filesystem;

// A writable copy of a path, as the path operations convert in place.
struct Path {
  explicit Path(const std::string &text) : buf(text.begin(), text.end()) { buf.push_back('\0'); }
  char *get() { return buf.data(); }
  std::string str() const { return buf.data(); }
  std::vector<char> buf;
};

class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tmp_.made());
    blocks_.note({LUMO_TID_FILE, LUMO_TID_STRING});
    live_ = FileOp.count();
    TraceListener::clear();
  }
  void TearDown() override {
    EXPECT_EQ(FileOp.count(), live_);
    blocks_.expectUnchanged();
  }
  std::string at(const std::string &name) const { return tmp_.at(name); }

  // The records heard at level E or W from the file module.
  static std::vector<HeardRecord> heard() {
    std::vector<HeardRecord> out;
    for (const HeardRecord &r : TraceListener::heard())
      if (r.object == "OFile") out.push_back(r);
    return out;
  }
  // Exactly one record was heard, with this level, code and message (the error number and its
  // text follow the message of terrno records).
  static void expectOneRecord(int level, int code, const std::string &message) {
    std::vector<HeardRecord> records = heard();
    ASSERT_EQ(records.size(), 1u) << message;
    EXPECT_EQ(records[0].level, level);
    EXPECT_EQ(records[0].code, code);
    EXPECT_EQ(records[0].text.substr(0, message.size()), message);
    TraceListener::clear();
  }

  TraceListener listener_;
  TempDir tmp_{"file"};
  const std::string dir_ = tmp_.path();
  BlockCounts blocks_;
  int live_ = 0;
};

TEST_F(FileTest, TableCarriesTheUsageKeywordsAheadOfItsOperations) {
  EXPECT_STREQ(FileOp.usageR, "R");
  EXPECT_STREQ(FileOp.usageF, "F");
  EXPECT_STREQ(FileOp.name(), "OFile");
  EXPECT_EQ(offsetof(LumoFile, accessCheck), 14 * sizeof(void *));
  EXPECT_EQ(offsetof(LumoFile, writeStr), (14 + 42) * sizeof(void *));
}

TEST_F(FileTest, WritesReadsAndCountsThroughOneObject) {
  std::string path = at("data.bin");
  LumoFile *f = FileOp.inst(path.c_str(), LUMO_FILE_WRITE);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(FileOp.count(), live_ + 1);
  EXPECT_STREQ(FileOp.toString(f), FileOp.getFilename(f));  // its own path, not a copy
  EXPECT_TRUE(FileOp.writeStr(f, "hello"));
  EXPECT_EQ(FileOp.getWritten(f), 5);
  EXPECT_TRUE(FileOp.writeFile(f, "\0\x01", 2));
  EXPECT_EQ(FileOp.getWritten(f), 2);
  EXPECT_TRUE(FileOp.fmtFile(f, "[%d]", 42));
  EXPECT_EQ(FileOp.getWritten(f), 2);  // formatted writes leave the counters alone
  EXPECT_EQ(FileOp.size(f), 11);       // buffered bytes count
  EXPECT_EQ(FileOp.getpos(f), 11);
  EXPECT_TRUE(FileOp.flushFile(f));
  EXPECT_NE(FileOp.getStream(f), nullptr);
  EXPECT_TRUE(FileOp.closeFile(f));
  EXPECT_EQ(FileOp.getStream(f), nullptr);
  EXPECT_FALSE(FileOp.closeFile(f));
  FileOp.del(f);
  EXPECT_EQ(readFile(path), std::string("hello\0\x01[42]", 11));

  f = FileOp.inst(path.c_str(), LUMO_FILE_READ);
  char buf[16] = {};
  EXPECT_TRUE(FileOp.setpos(f, 5));
  EXPECT_TRUE(FileOp.readFile(f, buf, 2));
  EXPECT_EQ(std::string(buf, 2), std::string("\0\x01", 2));
  EXPECT_TRUE(FileOp.rewind(f));
  EXPECT_FALSE(FileOp.readFile(f, buf, 16));  // short read
  EXPECT_EQ(FileOp.getReaded(f), 11);
  expectOneRecord(LUMO_TRC_E, 501, "Error read file [" + path + "] [errno=");
  EXPECT_TRUE(FileOp.rewind(f));  // also clears the end-of-file state
  EXPECT_TRUE(FileOp.readFile(f, buf, 5));
  EXPECT_EQ(std::string(buf, 5), "hello");
  EXPECT_FALSE(FileOp.writeStr(f, "x"));  // opened for reading
  expectOneRecord(LUMO_TRC_E, 502, "Error write file [" + path + "]");
  FileOp.del(f);
}

TEST_F(FileTest, OpenModesFollowTheirTable) {
  std::string path = at("log.txt");
  // Append creates the file and always writes at its end.
  LumoFile *f = FileOp.inst(path.c_str(), LUMO_FILE_APPEND);
  ASSERT_NE(f, nullptr);
  FileOp.writeStr(f, "ab");
  FileOp.del(f);
  f = FileOp.inst(path.c_str(), LUMO_FILE_APPEND);
  FileOp.writeStr(f, "cd");
  FileOp.del(f);
  EXPECT_EQ(readFile(path), "abcd");

  // Read and write on an existing file; append moves to the end first.
  f = FileOp.inst(path.c_str(), LUMO_FILE_UPDATE);
  ASSERT_NE(f, nullptr);
  FileOp.writeStr(f, "X");
  EXPECT_TRUE(FileOp.append(f, "ef", 2));
  FileOp.del(f);
  EXPECT_EQ(readFile(path), "Xbcdef");

  // The read-only variants refuse writes; an unknown mode truncates like "wba".
  for (int mode : {LUMO_FILE_READ_RW, LUMO_FILE_READ_RA, LUMO_FILE_READ_TEXT}) {
    f = FileOp.inst(path.c_str(), mode);
    ASSERT_NE(f, nullptr) << mode;
    EXPECT_FALSE(FileOp.writeStr(f, "zz")) << mode;
    FileOp.del(f);
  }
  TraceListener::clear();
  f = FileOp.inst(path.c_str(), 99);
  FileOp.del(f);
  EXPECT_EQ(readFile(path), "");

  // A missing file in update mode: null, the open message, and no object left counted.
  std::string missing = at("missing.txt");
  EXPECT_EQ(FileOp.inst(missing.c_str(), LUMO_FILE_UPDATE), nullptr);
  expectOneRecord(LUMO_TRC_E, 500,
                  "Error open file [" + missing + "] [rb+] [errno=" + std::to_string(ENOENT) + "]");
  EXPECT_EQ(FileOp.inst(nullptr, LUMO_FILE_WRITE), nullptr);
  EXPECT_TRUE(heard().empty());
  EXPECT_FALSE(fs::exists(missing));
}

// Commands the process runs (the fuser check, the trace's invoke command) must not inherit
// the files it has open, whichever way they were opened.
TEST_F(FileTest, StreamsAreClosedOnExec) {
  std::string path = at("inherit.txt");
  writeFile(path, "x");
  auto closedOnExec = [](LumoFile *f) {
    return (fcntl(fileno(FileOp.getStream(f)), F_GETFD) & FD_CLOEXEC) != 0;
  };
  for (int mode : {LUMO_FILE_WRITE, LUMO_FILE_READ, LUMO_FILE_APPEND, LUMO_FILE_UPDATE,
                   LUMO_FILE_READ_RW, LUMO_FILE_READ_RA, LUMO_FILE_READ_TEXT, 99}) {
    LumoFile *f = FileOp.inst(path.c_str(), mode);
    ASSERT_NE(f, nullptr) << mode;
    EXPECT_TRUE(closedOnExec(f)) << mode;
    ASSERT_TRUE(FileOp.reopen(f, 0));
    EXPECT_TRUE(closedOnExec(f)) << "reopened, mode " << mode;
    ASSERT_TRUE(FileOp.setFilename(f, path.c_str()));
    EXPECT_TRUE(closedOnExec(f)) << "renamed, mode " << mode;
    FileOp.del(f);
  }
}

TEST_F(FileTest, ReadStrSplitsLinesAndStoresACarriageReturnAsTerminator) {
  std::string path = at("lines.txt");
  writeFile(path, "ab\r\ncd\n\nlast");
  LumoFile *f = FileOp.inst(path.c_str(), LUMO_FILE_READ);
  char line[32];
  struct Want {
    const char *text;
    int count;
  } wants[] = {{"ab", 3}, {"cd", 2}, {"", 0}, {"last", 4}};
  for (const Want &w : wants) {
    std::memset(line, '#', sizeof line);
    ASSERT_TRUE(FileOp.readStr(f, line)) << w.text;
    EXPECT_STREQ(line, w.text);
    EXPECT_EQ(FileOp.getReaded(f), w.count) << w.text;
  }
  EXPECT_FALSE(FileOp.readStr(f, line));
  EXPECT_EQ(FileOp.getReaded(f), 0);
  FileOp.del(f);
  EXPECT_TRUE(heard().empty());
}

TEST_F(FileTest, OperationsOnAClosedFileReportFailureQuietly) {
  std::string path = at("closed.txt");
  writeFile(path, "abc");
  LumoFile *f = FileOp.inst(path.c_str(), LUMO_FILE_UPDATE);
  ASSERT_TRUE(FileOp.closeFile(f));
  char buf[8];
  EXPECT_FALSE(FileOp.rewind(f));
  EXPECT_FALSE(FileOp.setpos(f, 1));
  EXPECT_EQ(FileOp.getpos(f), -1);
  EXPECT_EQ(FileOp.size(f), 0);
  EXPECT_FALSE(FileOp.readFile(f, buf, 1));
  EXPECT_FALSE(FileOp.readStr(f, buf));
  EXPECT_FALSE(FileOp.writeFile(f, "x", 1));
  EXPECT_FALSE(FileOp.append(f, "x", 1));
  EXPECT_FALSE(FileOp.fmtFile(f, "%s", "x"));
  EXPECT_FALSE(FileOp.flushFile(f));
  EXPECT_TRUE(heard().empty());
  FileOp.del(f);
  EXPECT_EQ(readFile(path), "abc");
}

TEST_F(FileTest, ReopenAndSetFilenameReplaceTheStreamInPlace) {
  std::string first = at("first.txt"), second = at("second.txt");
  writeFile(first, "old");
  LumoFile *f = FileOp.inst(first.c_str(), LUMO_FILE_READ);
  ASSERT_TRUE(FileOp.reopen(f, 0));  // "a+": appends, reads from the start
  FileOp.writeStr(f, "+");
  ASSERT_TRUE(FileOp.reopen(f, 1));  // "w+": truncates
  FileOp.writeStr(f, "new");
  FileOp.flushFile(f);
  EXPECT_EQ(readFile(first), "new");

  // The stored mode (read) is used again; the object's own path may be passed back in.
  ASSERT_TRUE(FileOp.setFilename(f, FileOp.getFilename(f)));
  EXPECT_FALSE(FileOp.writeStr(f, "x"));
  TraceListener::clear();
  EXPECT_FALSE(FileOp.setFilename(f, second.c_str()));
  expectOneRecord(LUMO_TRC_E, 500, "Error open file [" + second + "] [rb]");
  EXPECT_STREQ(FileOp.getFilename(f), second.c_str());
  EXPECT_FALSE(fs::exists(second));
  FileOp.del(f);
}

TEST_F(FileTest, PathsAreConvertedInPlaceAndSplit) {
  Path mixed("a\\b\\c");
  FileOp.convertPath2OSType(mixed.get());
  EXPECT_EQ(mixed.str(), "a/b/c");
  FileOp.convertPath2OSType(nullptr);

  Path missing("a\\b\\c");
  EXPECT_FALSE(FileOp.exist(missing.get()));
  EXPECT_EQ(missing.str(), "a/b/c");

  Path rip("\\a\\b\\file.txt");
  EXPECT_STREQ(FileOp.ripPath(rip.get()), "file.txt");
  EXPECT_EQ(rip.str(), "/a/b/file.txt");
  Path bare("file.txt");
  EXPECT_EQ(FileOp.ripPath(bare.get()), bare.get());

  struct Case {
    const char *path, *want;
  } dirs[] = {{"/a/b/c.txt", "/a/b"}, {"/x", ""}, {"name", "."}, {"a\\b", "a"}};
  for (const Case &c : dirs) {
    Path p(c.path);
    char *dir = FileOp.getPath(p.get());
    EXPECT_STREQ(dir, c.want) << c.path;
    StrOp.freeStr(dir);
  }

  struct Name {
    const char *path, *want;
  } names[] = {{"c:\\dir\\file", "file"}, {"a/b\\c/d", "d"}, {"plain", "plain"}, {"dir/", ""}};
  for (const Name &n : names) EXPECT_STREQ(FileOp.getDirName(n.path), n.want) << n.path;
  const char *untouched = "x\\y";
  EXPECT_STREQ(FileOp.getDirName(untouched), "y");

  EXPECT_TRUE(FileOp.isAbsolute("/a"));
  EXPECT_FALSE(FileOp.isAbsolute("\\a"));  // no conversion
  EXPECT_FALSE(FileOp.isAbsolute(nullptr));
  EXPECT_TRUE(heard().empty());
}

TEST_F(FileTest, MakeDirCreatesEveryMissingPartAndRefusesAFileInTheWay) {
  Path nested(dir_ + "\\x\\y\\z");
  EXPECT_TRUE(FileOp.makeDir(nested.get()));
  EXPECT_TRUE(fs::is_directory(at("x/y/z")));
  EXPECT_EQ(fs::status(at("x/y")).permissions() & fs::perms::all, fs::perms::owner_all);

  Path again(dir_ + "/x/y/z/");
  EXPECT_TRUE(FileOp.makeDir(again.get()));
  EXPECT_TRUE(heard().empty());

  writeFile(at("plain"), "");
  Path last(at("plain"));
  EXPECT_FALSE(FileOp.makeDir(last.get()));
  expectOneRecord(LUMO_TRC_E, 511, "Error mkdir() [" + at("plain") + "] [errno=" +
                                       std::to_string(EEXIST) + "]");
  // Both the file in the way and the directory that cannot go below it are reported.
  Path below(at("plain/sub"));
  EXPECT_FALSE(FileOp.makeDir(below.get()));
  std::vector<HeardRecord> records = heard();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].text.rfind("Error mkdir() [" + at("plain") + "]", 0), 0u);
  EXPECT_EQ(records[1].text.rfind("Error mkdir() [" + at("plain/sub") + "] [errno=" +
                                      std::to_string(ENOTDIR) + "]", 0),
            0u);
  TraceListener::clear();

  Path empty("");
  EXPECT_FALSE(FileOp.makeDir(empty.get()));

  Path gone(at("x/y/z"));
  EXPECT_TRUE(FileOp.rmDir(gone.get()));
  Path full(at("x"));
  EXPECT_FALSE(FileOp.rmDir(full.get()));
  expectOneRecord(LUMO_TRC_E, 511, "Error rmdir() [" + at("x") + "]");
}

TEST_F(FileTest, CpCopiesInChunksAndReleasesEverythingOnEveryPath) {
  int blocks = MemOp.getAllocCount();
  std::string big(1048576 + 4099, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 251);
  writeFile(at("big"), big);
  Path src(at("big")), dst(at("copy"));
  EXPECT_TRUE(FileOp.cp(src.get(), dst.get()));
  EXPECT_TRUE(readFile(at("copy")) == big);

  writeFile(at("empty"), "");
  Path esrc(at("empty")), edst(at("ecopy"));
  EXPECT_TRUE(FileOp.cp(esrc.get(), edst.get()));
  EXPECT_TRUE(fs::exists(at("ecopy")));
  EXPECT_EQ(fs::file_size(at("ecopy")), 0u);

  Path none(at("none")), ndst(at("ncopy"));
  EXPECT_FALSE(FileOp.cp(none.get(), ndst.get()));
  EXPECT_FALSE(fs::exists(at("ncopy")));

  // The destination cannot be opened: the source stays open no longer.
  Path blocked(at("nodir/copy"));
  Path src2(at("big"));
  EXPECT_FALSE(FileOp.cp(src2.get(), blocked.get()));
  expectOneRecord(LUMO_TRC_E, 500, "Error open file [" + at("nodir/copy") + "] [wb]");

  // Copying a file onto itself would truncate it before it is read.
  Path self(at("big")), selfToo(dir_ + "/./big");
  EXPECT_FALSE(FileOp.cp(self.get(), selfToo.get()));
  expectOneRecord(LUMO_TRC_E, LUMO_TRC_CODE, "Error copy file [" + at("big") + "] to itself");
  EXPECT_EQ(fs::file_size(at("big")), big.size());

  EXPECT_EQ(MemOp.getAllocCount(), blocks);
}

// A file of more than 4 GiB, sparse so that it costs a few blocks: its size cut to 32 bits is
// the last part's 100 bytes. Copied through its holes, it takes no longer than its data.
TEST_F(FileTest, SizesBeyondFourGibibytesAreCopiedWholeAndSaturateTheIntGetters) {
  const off_t kHuge = (off_t{1} << 32) + 100;
  const struct {
    off_t at;
    std::string bytes;
  } parts[] = {{0, "head"}, {(off_t{1} << 31) + 5, "middle"}, {kHuge - 100, std::string(100, 't')}};
  std::string source = at("sparse");
  int fd = ::open(source.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  bool written = ::ftruncate(fd, kHuge) == 0;
  for (const auto &part : parts)
    written = written && ::pwrite(fd, part.bytes.data(), part.bytes.size(), part.at) ==
                             static_cast<ssize_t>(part.bytes.size());
  const off_t kGap = off_t{1} << 20;
  off_t dataAfterGap = ::lseek(fd, kGap, SEEK_DATA);
  ::close(fd);
  if (!written) GTEST_SKIP() << "this file system cannot hold a sparse file of 4 GiB";
  if (dataAfterGap <= kGap || dataAfterGap > parts[1].at)
    GTEST_SKIP() << "this file system does not report the holes of a sparse file";

  Path src(source), dst(at("copy"));
  EXPECT_TRUE(FileOp.cp(src.get(), dst.get()));
  struct stat st;
  ASSERT_EQ(::stat(at("copy").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, kHuge);
  EXPECT_LT(st.st_blocks, 64 * 1024 * 2) << "the holes were written out";
  int copy = ::open(at("copy").c_str(), O_RDONLY);
  for (const auto &part : parts) {
    std::string back(part.bytes.size(), '\0');
    EXPECT_EQ(::pread(copy, &back[0], back.size(), part.at), static_cast<ssize_t>(back.size()));
    EXPECT_EQ(back, part.bytes) << "at " << part.at;
  }
  char gap = 'x';
  EXPECT_EQ(::pread(copy, &gap, 1, kGap), 1);
  EXPECT_EQ(gap, '\0');
  ::close(copy);

  Path name(source);
  EXPECT_EQ(FileOp.fileSize(name.get()), INT_MAX);
  LumoFile *file = FileOp.inst(source.c_str(), LUMO_FILE_READ);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(FileOp.size(file), INT_MAX);
  ASSERT_EQ(::fseeko(FileOp.getStream(file), kHuge - 50, SEEK_SET), 0);
  EXPECT_EQ(FileOp.getpos(file), INT_MAX);
  FileOp.del(file);
}

TEST_F(FileTest, RenameRemoveAndForceRenameTraceTheirFailures) {
  writeFile(at("a"), "A");
  writeFile(at("b"), "B");
  Path a(at("a")), b(at("b"));
  EXPECT_FALSE(FileOp.rename(a.get(), Path(at("no/b")).get()));
  expectOneRecord(LUMO_TRC_E, 3015, "Error rename file [" + at("a") + "] to [" + at("no/b") + "]");
  EXPECT_TRUE(FileOp.forcerename(a.get(), b.get()));
  EXPECT_EQ(readFile(at("b")), "A");
  EXPECT_FALSE(fs::exists(at("a")));

  // Onto itself: the file is not removed first and survives.
  Path self(at("b")), selfToo(dir_ + "//b");
  EXPECT_TRUE(FileOp.forcerename(self.get(), selfToo.get()));
  EXPECT_EQ(readFile(at("b")), "A");

  EXPECT_TRUE(FileOp.remove(b.get()));
  EXPECT_FALSE(FileOp.remove(b.get()));
  expectOneRecord(LUMO_TRC_E, 3020, "Error remove file [" + at("b") + "]");
}

TEST_F(FileTest, StatusQueriesTellFilesFromDirectoriesAndSpecialFiles) {
  writeFile(at("f"), "12345");
  Path f(at("f")), d(dir_), none(at("none"));
  EXPECT_EQ(FileOp.fileSize(f.get()), 5);
  EXPECT_EQ(FileOp.fileSize(none.get()), 0);
  EXPECT_TRUE(FileOp.isRegularFile(f.get()));
  EXPECT_FALSE(FileOp.isDirectory(f.get()));
  EXPECT_TRUE(FileOp.isDirectory(d.get()));
  EXPECT_FALSE(FileOp.isRegularFile(d.get()));
  EXPECT_FALSE(FileOp.isRegularFile(none.get()));
  EXPECT_TRUE(FileOp.exist(f.get()));
  EXPECT_TRUE(FileOp.accessCheck(f.get()));

  // A socket's type shares a bit with both regular files and directories; it is neither.
  std::string sockPath = at("sock");
  int s = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(sockPath.size(), sizeof addr.sun_path);
  std::memcpy(addr.sun_path, sockPath.c_str(), sockPath.size() + 1);
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
  Path sock(sockPath);
  EXPECT_FALSE(FileOp.isRegularFile(sock.get()));
  EXPECT_FALSE(FileOp.isDirectory(sock.get()));
  close(s);

  EXPECT_TRUE(FileOp.setfileTime(f.get(), 1000000000));
  EXPECT_EQ(FileOp.fileTime(f.get()), 1000000000);
  EXPECT_TRUE(heard().empty());
  EXPECT_EQ(FileOp.fileTime(none.get()), 0);
  expectOneRecord(LUMO_TRC_E, LUMO_TRC_CODE, "Error stat file [" + at("none") + "]");
  EXPECT_FALSE(FileOp.setfileTime(none.get(), 1));
  expectOneRecord(LUMO_TRC_E, LUMO_TRC_CODE, "Error utime file [" + at("none") + "]");
  EXPECT_FALSE(FileOp.accessCheck(none.get()));
  expectOneRecord(LUMO_TRC_E, 510, "Error get status information of [" + at("none") + "] [errno=");
}

TEST_F(FileTest, ExistTracesItsMissAtDebugLevelWithTheErrorNumberInTheText) {
  LumoTrace *trace = TraceOp.get();
  int level = TraceOp.getLevel(trace);
  TraceOp.setLevel(trace, LUMO_TRC_D);
  TraceOp.setStdErr(trace, 1);
  StreamCapture out;
  Path none(at("none"));
  EXPECT_FALSE(FileOp.exist(none.get()));
  std::string text = out.text();
  TraceOp.setStdErr(trace, 0);
  TraceOp.setLevel(trace, level);
  std::string want = "Error get status information of [" + at("none") + "][" +
                     std::to_string(ENOENT) + "]";
  EXPECT_NE(text.find(want), std::string::npos) << text;
  EXPECT_NE(text.find("0510D"), std::string::npos) << text;
  EXPECT_NE(text.find("before convert: [" + at("none") + "]"), std::string::npos);
}

TEST_F(FileTest, CdAndPwdMoveTheProcess) {
  char *start = FileOp.pwd();
  ASSERT_NE(start, nullptr);
  Path d(dir_);
  ASSERT_TRUE(FileOp.cd(d.get()));
  char *now = FileOp.pwd();
  EXPECT_EQ(fs::path(now), fs::canonical(dir_));
  StrOp.freeStr(now);
  Path none(at("none"));
  EXPECT_FALSE(FileOp.cd(none.get()));
  EXPECT_TRUE(heard().empty());
  Path back(start);
  EXPECT_TRUE(FileOp.cd(back.get()));
  StrOp.freeStr(start);
}

// The fuser check runs in the temporary directory, where usage "F" leaves its output file.
class FuserTest : public FileTest {
 protected:
  void SetUp() override {
    FileTest::SetUp();
    start_ = fs::current_path();
    fs::current_path(dir_);
  }
  void TearDown() override {
    FileOp.setFuser(nullptr);
    FileOp.setFuserUsage(nullptr);
    fs::current_path(start_);
    FileTest::TearDown();
  }
  // isAccessed with the command's console chatter kept out of the test log.
  static int accessed(Path &p) {
    StreamCapture err(STDERR_FILENO);
    StreamCapture out;
    return FileOp.isAccessed(p.get());
  }
  fs::path start_;
};

TEST_F(FuserTest, UsageRAsksTheCommandsStatus) {
  writeFile(at("held"), "x");
  FILE *held = std::fopen(at("held").c_str(), "r");
  Path p(at("held"));
  EXPECT_TRUE(accessed(p));
  std::fclose(held);
  EXPECT_FALSE(accessed(p));
}

TEST_F(FuserTest, UsageFKeepsTheOutputFileOnlyWhenTheFileIsInUse) {
  FileOp.setFuserUsage(FileOp.usageF);
  writeFile(at("held"), "x");
  FILE *held = std::fopen(at("held").c_str(), "r");
  Path p(at("held"));
  EXPECT_TRUE(accessed(p));
  EXPECT_GT(fs::file_size(at("held_fuser.out")), 1u);
  std::fclose(held);
  fs::remove(at("held_fuser.out"));
  EXPECT_FALSE(accessed(p));
  EXPECT_FALSE(fs::exists(at("held_fuser.out")));
}

TEST_F(FuserTest, ThePathReachesTheCommandAsOneQuotedWord) {
  // echo writes back exactly the word it was given; a shell that interpreted the path would
  // create the file "pwned" instead.
  FileOp.setFuser("echo");
  FileOp.setFuserUsage("F");
  std::string name = "it's a $(touch pwned) `x`;touch pwned";
  Path p(at(name));
  EXPECT_TRUE(accessed(p));
  EXPECT_EQ(readFile(at(name + "_fuser.out")), at(name) + "\n");
  EXPECT_FALSE(fs::exists(at("pwned")));
}

// The output file's name lies in a directory others may write to: a link planted under it is
// refused like a file that will not open, and its target is left alone.
TEST_F(FuserTest, TheOutputFileIsNeverWrittenThroughASymbolicLink) {
  FileOp.setFuser("echo");
  FileOp.setFuserUsage(FileOp.usageF);
  writeFile(at("victim"), "precious");
  fs::create_symlink(at("victim"), at("f_fuser.out"));
  fs::create_symlink(at("absent"), at("g_fuser.out"));
  Path f(at("f")), g(at("g"));
  EXPECT_FALSE(accessed(f));
  expectOneRecord(LUMO_TRC_E, 500, "Error open file [f_fuser.out] [wb] [errno=40]");
  EXPECT_FALSE(accessed(g));
  expectOneRecord(LUMO_TRC_E, 500, "Error open file [g_fuser.out] [wb] [errno=40]");
  EXPECT_EQ(readFile(at("victim")), "precious");
  EXPECT_FALSE(fs::exists(at("absent")));
}

// A check works on its own copies of the settings: replacing them on another thread never
// frees the text a running check still reads.
TEST_F(FuserTest, SettingsCanBeReplacedWhileAnotherThreadChecks) {
  // Unknown usages: each check only reads the settings and traces, so the two threads overlap
  // thousands of times.
  std::atomic<bool> done{false};
  std::thread setter([&] {
    for (int i = 0; !done.load(); ++i) {
      FileOp.setFuser(i % 2 ? "true" : "false");
      FileOp.setFuserUsage(i % 2 ? "unknown-a" : "unknown-b");
    }
  });
  Path p(at("f"));
  for (int i = 0; i < 5000; ++i) EXPECT_FALSE(FileOp.isAccessed(p.get()));
  done = true;
  setter.join();
}

TEST_F(FuserTest, RefusesUnknownUsageAndCommandsThatDoNotFit) {
  FileOp.setFuserUsage("X");
  Path p(at("f"));
  EXPECT_FALSE(accessed(p));
  expectOneRecord(LUMO_TRC_W, LUMO_TRC_CODE, "Unknown option for <fuserusage> [X]");

  FileOp.setFuserUsage(nullptr);  // back to "R"
  FileOp.setFuser("touch");
  Path made(at("made"));
  EXPECT_TRUE(accessed(made));  // the configured command ran, and its status 0 answers true
  EXPECT_TRUE(fs::exists(at("made")));

  // Each quote takes four characters once quoted: a valid file name whose command is too long.
  std::string quotes(250, '\'');
  Path tooLong(at(quotes));
  EXPECT_FALSE(accessed(tooLong));
  expectOneRecord(LUMO_TRC_E, LUMO_TRC_CODE, "Error fuser command too long [" + at(quotes) + "]");
  EXPECT_FALSE(fs::exists(at(quotes)));
}

// ---- lengths and sizes at the edge of an int ----

TEST_F(FileTest, NegativeLengthsAreRefusedAndTraced) {
  std::string path = at("neg.bin");
  LumoFile *f = FileOp.inst(path.c_str(), LUMO_FILE_WRITE);
  ASSERT_NE(f, nullptr);
  char buf[4] = "abc";
  EXPECT_FALSE(FileOp.writeFile(f, buf, -1));
  expectOneRecord(LUMO_TRC_E, 502, "Error write file [" + path + "]: length -1");
  EXPECT_FALSE(FileOp.append(f, buf, INT_MIN));
  expectOneRecord(LUMO_TRC_E, 502, "Error write file [" + path + "]: length -2147483648");
  EXPECT_FALSE(FileOp.readFile(f, buf, -3));
  expectOneRecord(LUMO_TRC_E, 501, "Error read file [" + path + "]: length -3");
  EXPECT_EQ(FileOp.getWritten(f), 0);
  EXPECT_EQ(FileOp.getReaded(f), 0);
  EXPECT_STREQ(buf, "abc");
  FileOp.del(f);
  EXPECT_EQ(readFile(path), "");
}

// A text int cannot count would be written only in part; it is refused whole instead.
TEST_F(FileTest, TextsLongerThanAnIntCountsAreNotWrittenInPart) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer shadows every byte read";
#endif
  HugeText huge(257);  // 4112 MiB: cut to an int, the length would look like 16 MiB
  if (!huge.text()) GTEST_SKIP() << "no room for such a text in this process";
  std::string path = at("huge.txt");
  LumoFile *f = FileOp.inst(path.c_str(), LUMO_FILE_WRITE);
  ASSERT_NE(f, nullptr);
  EXPECT_FALSE(FileOp.writeStr(f, huge.text()));
  expectOneRecord(LUMO_TRC_E, 502, "Error write file [" + path + "]: length 4311744511");
  FileOp.del(f);
  EXPECT_EQ(readFile(path), "");
}

TEST_F(FileTest, SizesAndPositionsPastTwoGiBSaturate) {
  std::string path = at("sparse.bin");
  {
    std::error_code ec;
    writeFile(path, "");
    fs::resize_file(path, std::uintmax_t{3} << 30, ec);
    if (ec) GTEST_SKIP() << "no sparse file of 3 GiB here: " << ec.message();
  }
  Path p(path);
  EXPECT_EQ(FileOp.fileSize(p.get()), INT_MAX);
  LumoFile *f = FileOp.inst(path.c_str(), LUMO_FILE_APPEND);
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(FileOp.append(f, "x", 1));
  EXPECT_EQ(FileOp.size(f), INT_MAX);
  EXPECT_EQ(FileOp.getpos(f), INT_MAX);
  FileOp.del(f);
}

}  // namespace
