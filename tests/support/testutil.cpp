// Test support shared by every test program (see testutil.hpp).
#include "support/testutil.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>

// --- live blocks --------------------------------------------------------------------------------

int BlockCounts::live(int tid) {
  return tid == kAllTypes ? MemOp.getAllocCount() : MemOp.getAllocCntID(tid);
}

void BlockCounts::note(std::initializer_list<int> tids) {
  counts_.clear();
  for (int tid : tids) counts_.emplace_back(tid, live(tid));
}

int BlockCounts::at(int tid) const {
  for (const auto &c : counts_)
    if (c.first == tid) return c.second;
  ADD_FAILURE() << "allocation type " << tid << " was not noted";
  return 0;
}

void BlockCounts::expectUnchanged() const {
  for (const auto &c : counts_) {
    if (c.first == kAllTypes)
      EXPECT_EQ(live(c.first), c.second) << "blocks of every type";
    else
      EXPECT_EQ(live(c.first), c.second) << "allocation type " << c.first;
  }
}

// --- files and directories ----------------------------------------------------------------------

TempDir::TempDir(const char *tag) {
  std::string name = std::string("/tmp/lumo-") + tag + "-XXXXXX";
  std::vector<char> buffer(name.begin(), name.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data())) path_ = buffer.data();
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool writeFile(const std::string &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  out.close();
  return !out.fail();
}

std::vector<std::string> splitLines(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// --- time ---------------------------------------------------------------------------------------

long msSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// --- what the library hands out -----------------------------------------------------------------

std::string take(char *s) {
  std::string out = s ? s : "<null>";
  StrOp.freeStr(s);
  return out;
}

std::string take(char *s, int id) {
  std::string out = s ? s : "<null>";
  StrOp.freeStrID(s, id);
  return out;
}

LumoNode *parsedRoot(const char *xml) {
  LumoDoc *doc = DocOp.parse(xml);
  LumoNode *root = DocOp.getRootNode(doc);
  DocOp.del(doc);
  return root;
}

// --- the console --------------------------------------------------------------------------------

StreamCapture::StreamCapture(int fd) { start({fd}); }

StreamCapture::StreamCapture(Both) { start({STDOUT_FILENO, STDERR_FILENO}); }

void StreamCapture::start(std::initializer_list<int> fds) {
  char name[] = "/tmp/lumo-capture-XXXXXX";
  tmp_ = mkstemp(name);
  unlink(name);
  int i = 0;
  for (int fd : fds) fds_[i++] = fd;
  flush();
  for (i = 0; i < 2 && fds_[i] >= 0; ++i) {
    saved_[i] = dup(fds_[i]);
    dup2(tmp_, fds_[i]);
  }
}

StreamCapture::~StreamCapture() {
  stop();
  if (tmp_ >= 0) close(tmp_);
}

void StreamCapture::flush() const {
  for (int fd : fds_) {
    if (fd == STDOUT_FILENO) std::fflush(stdout);
    if (fd == STDERR_FILENO) std::fflush(stderr);
  }
}

void StreamCapture::stop() {
  if (saved_[0] < 0) return;
  flush();
  for (int i = 0; i < 2 && saved_[i] >= 0; ++i) {
    dup2(saved_[i], fds_[i]);
    close(saved_[i]);
    saved_[i] = -1;
  }
}

std::string StreamCapture::sofar() const {
  flush();
  std::string out;
  char buf[4096];
  ssize_t n;
  for (off_t at = 0; (n = pread(tmp_, buf, sizeof buf, at)) > 0; at += n)
    out.append(buf, static_cast<size_t>(n));
  return out;
}

std::string StreamCapture::text() {
  stop();
  return sofar();
}

// --- the trace ----------------------------------------------------------------------------------

ScopedTrace::ScopedTrace(int level, int echo) : trace_(TraceOp.inst(level, nullptr, echo)) {
  TraceOp.set(trace_);
}

ScopedTrace::~ScopedTrace() {
  TraceOp.set(trace_);
  TraceOp.del(trace_);
}

namespace {

// Function statics, so that a listener made during static initialisation finds them ready.
std::mutex &heardLock() {
  static std::mutex m;
  return m;
}
std::vector<HeardRecord> &heardRecords() {
  static std::vector<HeardRecord> r;
  return r;
}

}  // namespace

TraceListener::TraceListener() : trace_(0, 0) {
  clear();
  TraceOp.setExceptionListener(trace_.get(), &TraceListener::listen, 0);
}

TraceListener::~TraceListener() { TraceOp.setExceptionListener(trace_.get(), nullptr, 0); }

std::vector<HeardRecord> TraceListener::heard() {
  std::lock_guard<std::mutex> guard(heardLock());
  return heardRecords();
}

void TraceListener::clear() {
  std::lock_guard<std::mutex> guard(heardLock());
  heardRecords().clear();
}

int TraceListener::listen(int level, const char *text, int code, const char *object) {
  std::lock_guard<std::mutex> guard(heardLock());
  heardRecords().push_back({level, text ? text : "", code, object ? object : ""});
  return 0;
}

// --- large inputs -------------------------------------------------------------------------------

HugeText::HugeText(size_t chunks) : chunks_(chunks) {
  int filled = memfd_create("lumo-huge", 0), ended = memfd_create("lumo-huge-end", 0);
  ready_ = map(filled, ended);
  if (filled >= 0) close(filled);
  if (ended >= 0) close(ended);
}

HugeText::~HugeText() {
  if (base_) munmap(base_, kChunk * chunks_);
}

bool HugeText::map(int filled, int ended) {
  if (sizeof(void *) < 8 || filled < 0 || ended < 0 || ftruncate(filled, kChunk) != 0 ||
      ftruncate(ended, kChunk) != 0)
    return false;
  void *area = mmap(nullptr, kChunk * chunks_, PROT_NONE,
                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (area == MAP_FAILED) return false;
  base_ = static_cast<char *>(area);
  for (size_t i = 0; i < chunks_; ++i) {
    void *at = mmap(base_ + i * kChunk, kChunk, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED,
                    i + 1 < chunks_ ? filled : ended, 0);
    if (at == MAP_FAILED) return false;
  }
  memset(base_, 'a', kChunk);                               // every chunk but the last
  memset(base_ + (chunks_ - 1) * kChunk, 'a', kChunk - 1);  // the last, up to its end
  base_[chunks_ * kChunk - 1] = '\0';
  return true;
}
