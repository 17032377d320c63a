// lumo: the trace: record formats, the level filter, console echo, the listener, dump records
// and the process's default instance; the numbered trace files filled by a writer thread from a
// record queue, and the exception file. Records are formatted on the writing thread, in its own
// stack buffers and allocations; settings are atomics because any thread may change them.
#include "trace.hpp"

#include <lumo/ebcdic.h>
#include <lumo/mutex.h>
#include <lumo/queue.h>
#include <lumo/system.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "file.hpp"
#include "mem.hpp"
#include "object.hpp"
#include "queue.hpp"
#include "str.hpp"
#include "system.hpp"

namespace {

constexpr int kTid = LUMO_TID_TRACE;
constexpr const char *kSource = "impl/trace";

constexpr int kMessageSize = 4096;  // at most 4095 characters of a message are kept
constexpr int kDefaultDumpsize = 128;
constexpr int kDefaultFileSize = 100;  // kilobytes
constexpr int kDefaultNrFiles = 10;
constexpr int kQueueCapacity = 10000;
constexpr int kRecordPriority = 1;
constexpr int kEbcdicCodePage = 1252;
constexpr int kWriterBatch = 256;  // records written between two flushes while the queue is busy
constexpr int kOpenRetryMs = 1000;  // a rotation whose next file failed tries again after this
constexpr int kExitHoldMs = 200;    // the process's end waits this long for each busy writer
// The file module opens every mode number it does not name with "wba" (truncate).
constexpr int kModeTruncate = -1;
constexpr const char *kObject = "OTrace";

// Levels that reach the listener: trc and log pass the wide set, trace and terrno E and W only.
constexpr int kListenerLevels = LUMO_TRC_E | LUMO_TRC_W | LUMO_TRC_c | LUMO_TRC_v | LUMO_TRC_s |
                                LUMO_TRC_x | LUMO_TRC_f | LUMO_TRC_p | LUMO_TRC_w;
constexpr int kExceptionListenerLevels = LUMO_TRC_E | LUMO_TRC_W;

// Letter of bit n; 0x4000000 shares "M" with 0x40.
constexpr char kLetters[] = "EIWDBTMAPRSZabcdvsxflyqpkCMw";
static_assert(sizeof kLetters - 1 == 28, "one letter per level bit");

constexpr const char *kHeaderRule =
    "-------------------+------+--------+--------+----+---------- - - -";

lumo::ClassInfo traceClass{"OTrace", kTid, kSource};

// Locks: fileLock serialises the open file between setFilename and the writer thread (the
// handle, the names and the writer's bookkeeping below it); textLock guards the texts other
// threads copy (application identifier, base name, invoke command) and is never held while
// calling out; mutex is the exception file's. Nothing traced under fileLock reaches the queue
// or the exception file (see FileWork), so no record ever waits for fileLock.
struct TraceData {
  std::atomic<int> level{0};
  // Base name of the trace files, a string-module string; replaced under both locks.
  std::atomic<char *> file{nullptr};
  char *appID = nullptr;  // under textLock: setAppID may replace it at any time
  std::atomic<char> appHead{'.'};  // its first character, which every record shows
  std::atomic<LumoFile *> fileHandle{nullptr};
  std::atomic<int> dumpsize{kDefaultDumpsize};
  std::atomic<int> filesize{kDefaultFileSize};
  std::atomic<int> nrfiles{kDefaultNrFiles};
  std::atomic<char *> currentFilename{nullptr};  // a string-module string, replaced under fileLock
  std::atomic<bool> toStdErr{false};
  std::atomic<bool> ebcdicDump{false};
  std::atomic<LumoTraceListener> listener{nullptr};
  std::atomic<bool> listenerFullText{false};
  LumoMutex *mutex = nullptr;
  LumoEbcdic *ebcdic = nullptr;
  std::atomic<bool> exceptionFile{false};
  char *invoke = nullptr;  // under textLock
  bool invokeFlag = false;
  LumoQueue *queue = nullptr;
  LumoThread *writer = nullptr;
  std::atomic<bool> writerRunning{false};  // cleared by the writer as its very last step

  // The writer's bookkeeping of the open file, under fileLock.
  int currentNumber = -1;
  long long fileBytes = 0;  // bytes that reached the open file
  // Write failures are reported once, then not again until a write has succeeded.
  bool writeErrorReported = false;
  // A rotation whose next file would not open keeps the current one and tries again, at most
  // once per retry period; the failure is reported by the first attempt only.
  bool openFailing = false;
  long long nextOpenTryMs = 0;  // on the monotonic clock
  bool exceptionFailing = false;  // under mutex: the exception file's failures, likewise

  // Records the writer is done with, counted so that a flush knows when everything the queue
  // accepted before it has been written.
  std::atomic<unsigned long long> done{0};
  std::atomic<int> flushing{0};  // the writer stands aside while a flush writes

  std::mutex fileLock;
  std::mutex textLock;

  // The idle writer sleeps until there is work for it: the first record posted while it sleeps,
  // a flush that stood it aside ending, a file opened, or the request to stop wakes it.
  std::mutex idleLock;
  std::condition_variable idleWake;
  std::atomic<bool> writerIdle{false};
  std::atomic<bool> stopping{false};
  // A flush that finds the file taken sleeps until it is given back (releases counts that).
  std::mutex progressLock;
  std::condition_variable progress;
  std::atomic<unsigned> releases{0};

  TraceData *nextWithFiles = nullptr;  // under instancesLock
};

std::atomic<LumoTrace *> traceInst{nullptr};

// Every trace that may have a file, so that the process's end can take their files from the
// writers (see holdFilesAtExit).
std::mutex instancesLock;
TraceData *instances = nullptr;
std::atomic<bool> processEnding{false};
std::atomic<LumoThreadId> mainThreadId{0};

// Every operation pins the trace it works on. del of the default trace first clears the
// default, then waits until the pins taken while it was still visible are gone, so a record
// being written on another thread never reads a freed instance. Pins are counted in two
// generations; del switches the generation and waits for the old one only, so a steady stream
// of new records cannot hold it up.
std::atomic<int> pinGeneration{0};
std::atomic<int> pinCount[2];
thread_local int pinsHere = 0;
std::mutex releaseLock;
// del sleeps here until the last pin of the old generation is gone.
std::mutex pinLock;
std::condition_variable pinsGone;

// A pin of generation gen is gone. The last one of a generation that del has left wakes it:
// del switches the generation before it counts the pins, and the pin is dropped before the
// generation is read, so one of the two sees the other.
void unpin(int gen) noexcept {
  if (pinCount[gen].fetch_sub(1) != 1 || pinGeneration.load() == gen) return;
  std::lock_guard<std::mutex> guard(pinLock);
  pinsGone.notify_all();
}

class Pin {
 public:
  // given, or the default trace when given is null and orDefault is set.
  Pin(LumoTrace *given, bool orDefault) noexcept {
    for (;;) {
      gen_ = pinGeneration.load();
      pinCount[gen_].fetch_add(1);
      if (pinGeneration.load() == gen_) break;
      unpin(gen_);
    }
    ++pinsHere;
    trace_ = given ? given : orDefault ? traceInst.load() : nullptr;
  }
  ~Pin() {
    --pinsHere;
    unpin(gen_);
  }
  Pin(const Pin &) = delete;
  Pin &operator=(const Pin &) = delete;

  LumoTrace *trace() const noexcept { return trace_; }
  TraceData *data() const noexcept { return lumo::dataOf<TraceData>(trace_); }

 private:
  int gen_ = 0;
  LumoTrace *trace_ = nullptr;
};

// The trace's own file work: the writer thread all along, setFilename, the exception file and
// the post into the record queue. Whatever this thread traces meanwhile (the file module's path
// records, a failing open, the queue's warning that it is full) is echoed and heard by the
// listener but neither queued for the trace file nor appended to the exception file: it would
// come back into the very work that produced it, without end.
thread_local int ownFileWork = 0;
// Set around the writer's writes and flushes: their failures are reported by the writer itself,
// once per file, so the file module's record of each failing write is dropped altogether.
thread_local bool writeSilenced = false;
// The trace whose writer runs on this thread, if any.
thread_local TraceData *writerHere = nullptr;

class FileWork {
 public:
  FileWork() noexcept { ++ownFileWork; }
  ~FileWork() { --ownFileWork; }
  FileWork(const FileWork &) = delete;
  FileWork &operator=(const FileWork &) = delete;
};

// Waits until no operation holds a pin of the generation that may still see a cleared default.
void waitForOlderPins() noexcept {
  int old = pinGeneration.load();
  pinGeneration.store(1 - old);
  std::unique_lock<std::mutex> lock(pinLock);
  pinsGone.wait(lock, [old] { return pinCount[old].load() == 0; });
}

using lumo::orEmpty;

// Every level bit that any trace has had in its mask. A record whose level has none of them and
// no protocol bit passes no trace, so it is dropped before anything else is done: commentary
// that is switched off (the parser's, the map's) costs one load.
std::atomic<int> everEnabled{0};

bool passesNoTrace(int level) {
  return (level & (everEnabled.load(std::memory_order_relaxed) | LUMO_TRC_PROTOCOL)) == 0;
}

}  // namespace

int trace_mayWrite(int level) noexcept { return !passesNoTrace(level); }

namespace {

bool passes(const TraceData *d, int level) {
  if (writeSilenced) return false;
  return (level & d->level.load(std::memory_order_relaxed)) != 0 ||
         (level & LUMO_TRC_PROTOCOL) != 0;
}

bool singleLevel(int level) {
  unsigned bits = static_cast<unsigned>(level);
  return bits != 0 && (bits & (bits - 1)) == 0;
}

// A registered thread is named as the registry knows it, the main thread "main", any other
// thread by its id. The registry does not wait for its own lock when this thread holds it (the
// map traces while it is held): such records fall back to "main" or the id.
void threadName(char (&name)[LUMO_THREAD_NAME_MAX]) noexcept {
  LumoThreadId id = lumo_thread_id();
  if (ThreadOp.nameById(id, name, sizeof name)) return;
  if (id == mainThreadId.load(std::memory_order_relaxed)) {
    std::memcpy(name, "main", 5);
    return;
  }
  // A thread's id never changes: its text is made once per thread.
  thread_local char idText[2 * sizeof(uintptr_t) + 1] = {};
  if (!idText[0])
    std::snprintf(idText, sizeof idText, "%08" PRIXPTR, static_cast<uintptr_t>(id));
  std::memcpy(name, idText, sizeof idText);
}

// The system module's own table, so records read the same on every platform.
const char *errorText(int error) noexcept { return system_getErrStr(error); }

void formatMessage(char (&message)[kMessageSize], const char *format, va_list args)
    __attribute__((format(printf, 2, 0)));
void formatMessage(char (&message)[kMessageSize], const char *format, va_list args) {
  message[0] = '\0';
  if (format && std::vsnprintf(message, sizeof message, format, args) < 0) message[0] = '\0';
}

// A record put together on the writing thread's stack: the file writer gets a copy of it, the
// console, the exception file and the listener the text itself, so a record costs one
// allocation (the queued copy) and only while a file is open. The columns are written without
// the C library's formatter, which costs more than the rest of a record.
class RecordText {
 public:
  void text(const char *s) { put(s, std::strlen(s)); }
  // "%-w.ws": cut or padded with blanks to w columns.
  void column(const char *s, std::size_t w) {
    std::size_t n = strnlen(s, w);
    put(s, n);
    for (; n < w; ++n) put(" ", 1);
  }
  void character(char c) { put(&c, 1); }
  // "%04d"
  void number4(int v) {
    if (v < 0 || v > 9999) {
      format("%04d", v);
      return;
    }
    char digits[4] = {static_cast<char>('0' + v / 1000), static_cast<char>('0' + v / 100 % 10),
                      static_cast<char>('0' + v / 10 % 10), static_cast<char>('0' + v % 10)};
    put(digits, 4);
  }
  void format(const char *format, ...) __attribute__((format(printf, 2, 3))) {
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buf_ + length_, sizeof buf_ - length_, format, args);
    va_end(args);
    if (n > 0) length_ += std::min(static_cast<std::size_t>(n), sizeof buf_ - 1 - length_);
  }
  // The head of every record form: stamp, application identifier, code and level letter.
  void head(const char *stamp, const char *app, int code, char letter) {
    text(stamp);
    character(' ');
    column(app, 1);
    number4(code);
    character(letter);
  }
  const char *str() {
    buf_[length_] = '\0';
    return buf_;
  }
  std::size_t length() const { return length_; }

 private:
  void put(const char *s, std::size_t n) {
    if (n > sizeof buf_ - 1 - length_) n = sizeof buf_ - 1 - length_;
    std::memcpy(buf_ + length_, s, n);
    length_ += n;
  }
  // The longest record: a 4095-character message with its head and an error text, or the head
  // record of a dump. Larger texts are cut, never spilled.
  char buf_[kMessageSize + 512];
  std::size_t length_ = 0;
};

// A new record of exactly the formatted length (allocation type of the trace), or null.
char *newRecord(const char *format, ...) __attribute__((format(printf, 1, 2)));
char *newRecord(const char *format, ...) {
  va_list args, again;
  va_start(args, format);
  va_copy(again, args);
  int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  char *record = nullptr;
  if (n >= 0 && n < INT_MAX) {
    record = static_cast<char *>(mem_allocTID(n + 1, kTid, kSource, __LINE__));
    if (record) std::vsnprintf(record, static_cast<std::size_t>(n) + 1, format, again);
  }
  va_end(again);
  return record;
}

void freeRecord(char *record) { mem_freeTID(record, kTid, kSource, __LINE__); }

// The copy of a record queued for the writer: a block of the trace's type holding the text
// with its line end, so that writing it is one write. (As a string of the string module each
// record would also pass through the registry of live strings, whose slots a busy queue keeps
// full, and be listed among the process's strings while it waits.)
char *newQueued(const char *record, std::size_t length) {
  if (length >= static_cast<std::size_t>(INT_MAX) - 1) return nullptr;
  char *text =
      static_cast<char *>(mem_allocTID(static_cast<int>(length + 2), kTid, kSource, __LINE__));
  if (!text) return nullptr;
  std::memcpy(text, record, length);
  text[length] = '\n';
  return text;
}

// The first character of the application identifier, as a one-character text.
void appIdHead(TraceData *d, char (&head)[2]) {
  head[0] = d->appHead.load(std::memory_order_relaxed);
  head[1] = '\0';
}

char *appIdCopy(TraceData *d) {
  std::lock_guard<std::mutex> guard(d->textLock);
  return str_dupID(orEmpty(d->appID), kTid);
}

// "<base>.<number>.trc", a string-module string.
char *numberedName(const char *base, int number) { return str_fmt("%s.%03d.trc", base, number); }

// The first number whose file is missing; else the one with the oldest modification time, a
// time of 0 (unreadable) counting as none. skip is the file being rotated away from: its time
// ties with the others within one second, and reusing it would truncate the records just
// written. Times have whole seconds, so a busy trace fills several files within one: on equal
// times the number that follows skip in rotation order wins (the lower number when opening
// afresh), or the rotation would keep reusing the two files after the oldest and keep the old
// records in the others.
int chooseNumber(const char *base, int nrfiles, int skip) {
  int chosen = -1, chosenRank = 0, oldest = 0;
  for (int number = 0; number < nrfiles; ++number) {
    if (number == skip) continue;
    char *name = numberedName(base, number);
    if (!name) continue;
    if (!file_exist(name)) {
      str_freeStr(name);
      return number;
    }
    int time = file_fileTime(name);
    str_freeStr(name);
    int rank = skip < 0 ? number : (number - skip - 1 + nrfiles) % nrfiles;
    bool earlier = chosen < 0 || rank < chosenRank;
    if (time != 0 && (oldest == 0 || time < oldest || (time == oldest && earlier))) {
      oldest = time;
      chosen = number;
      chosenRank = rank;
    } else if (oldest == 0 && earlier) {
      chosen = number;
      chosenRank = rank;
    }
  }
  if (chosen >= 0) return chosen;
  return skip == 0 && nrfiles > 1 ? 1 : 0;
}

long long monotonicMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Write failures of the trace's own files are told on the console once, and not again until a
// write has succeeded: a full disk would fail every record. Under fileLock.
void reportWriteFailure(TraceData *d, LumoFile *file) {
  if (d->writeErrorReported) return;
  d->writeErrorReported = true;
  int error = file_getRc(file);
  std::fprintf(stderr,
               "Error write trace file [%s] [errno=%d] [%s]: later write errors are not reported "
               "until a write succeeds\n",
               orEmpty(file_getFilename(file)), error, errorText(error));
  std::fflush(stderr);
}

// Closes a trace file; the bytes still buffered may fail on a full disk, which counts as a
// write failure, not as a record of its own. Under fileLock.
void closeQuietly(TraceData *d, LumoFile *file) {
  if (!file) return;
  writeSilenced = true;
  bool ok = !file_getStream(file) || file_closeFile(file) != 0;
  writeSilenced = false;
  if (!ok) reportWriteFailure(d, file);
  file_del(file);
}

// Under fileLock.
void closeCurrent(TraceData *d) {
  closeQuietly(d, d->fileHandle.exchange(nullptr));
  str_freeStr(d->currentFilename.exchange(nullptr));
  d->currentNumber = -1;
  d->fileBytes = 0;
  d->openFailing = false;
}

// Opens the chosen numbered file as the current one; true when it did. The file still open is
// closed only once its successor is open, and stays the current file when the open fails:
// records are queued only while a file is open, and those traced during a rotation must not be
// lost. Under fileLock.
bool openNumbered(TraceData *d, const char *base, int skip, int mode) {
  int number = chooseNumber(base, d->nrfiles.load(std::memory_order_relaxed), skip);
  char *name = numberedName(base, number);
  LumoFile *file = name ? file_instNoFollow(name, mode) : nullptr;
  if (!file) {
    str_freeStr(name);
    return false;
  }
  closeQuietly(d, d->fileHandle.exchange(file, std::memory_order_acq_rel));
  str_freeStr(d->currentFilename.exchange(name));
  d->currentNumber = number;
  d->fileBytes = file_size(file);
  d->writeErrorReported = false;
  return true;
}

// Rotation before each write: over the numbered names, once the open file has reached filesize
// kilobytes. A next file that does not open (no descriptor left, a directory in its place) is
// tried again on a later record, at most once per second, and reported by the first attempt
// only. Under fileLock.
void rotateIfFull(TraceData *d) {
  if (d->nrfiles.load(std::memory_order_relaxed) <= 1 || !d->currentFilename.load()) return;
  if (d->fileBytes / 1024 < d->filesize.load(std::memory_order_relaxed)) return;
  long long now = monotonicMs();
  if (d->openFailing && now < d->nextOpenTryMs) return;
  const char *base = d->file.load();
  if (!base) {
    closeCurrent(d);
    return;
  }
  if (d->openFailing) writeSilenced = true;  // reported by the first attempt
  bool opened = openNumbered(d, base, d->currentNumber, kModeTruncate);
  writeSilenced = false;
  d->openFailing = !opened;
  if (!opened) d->nextOpenTryMs = now + kOpenRetryMs;
}

// After a failed write the buffered bytes are gone and the file holds what it holds: its size
// is read again, so that bytes which never arrived do not move the rotation on.
void writeFailed(TraceData *d, LumoFile *file) {
  reportWriteFailure(d, file);
  writeSilenced = true;
  d->fileBytes = file_size(file);
  writeSilenced = false;
}

// One queued record, which ends in its line end already. False when the file refused it. Under
// fileLock.
bool writeLine(TraceData *d, const char *line) {
  LumoFile *file = d->fileHandle.load();
  if (!file) return false;
  int length = static_cast<int>(std::strlen(line));
  writeSilenced = true;
  bool ok = file_writeFile(file, line, length) != 0;
  writeSilenced = false;
  if (!ok) {
    writeFailed(d, file);
    return false;
  }
  d->fileBytes += length;
  return true;
}

// Flushes the records of one batch; a batch that reached the file in full ends the silence
// about write failures. Under fileLock.
void flushCurrent(TraceData *d, bool allWritten) {
  LumoFile *file = d->fileHandle.load();
  if (!file) return;
  writeSilenced = true;
  bool ok = file_flushFile(file) != 0;
  writeSilenced = false;
  if (!ok)
    writeFailed(d, file);
  else if (allWritten)
    d->writeErrorReported = false;
}

// Writes what the queue holds, up to one batch taken at once, and flushes it. False when there
// was nothing to do: no file open or no record waiting. Under fileLock.
bool writeBatchLocked(TraceData *d) {
  if (!d->queue || !d->fileHandle.load() || processEnding.load()) return false;
  void *records[kWriterBatch];
  int taken = lumo::queue_takeBatch(d->queue, records, kWriterBatch);
  if (taken == 0) return false;
  bool allWritten = true;
  for (int i = 0; i < taken; ++i) {
    char *record = static_cast<char *>(records[i]);
    // At the process's end the batch stops early: the exit waits for this file's lock, and
    // nothing written after it would reach the file.
    if (d->fileHandle.load() && !processEnding.load()) {
      rotateIfFull(d);
      allWritten = writeLine(d, record) && allWritten;
    }
    freeRecord(record);
  }
  flushCurrent(d, allWritten);
  d->done.fetch_add(static_cast<unsigned long long>(taken));
  return true;
}

// The file has been given back: a flush waiting for it may go on. The release is counted
// before the flushes are, and a flush counts itself before it reads the releases, so either
// this sees the flush or the flush sees this release.
void fileReleased(TraceData *d) {
  d->releases.fetch_add(1);
  if (d->flushing.load() == 0) return;
  std::lock_guard<std::mutex> guard(d->progressLock);
  d->progress.notify_all();
}

// Holds the open file (fileLock) for the writer, setFilename or del.
class FileHold {
 public:
  explicit FileHold(TraceData *d) noexcept : d_(d) { d_->fileLock.lock(); }
  ~FileHold() {
    d_->fileLock.unlock();
    fileReleased(d_);
  }
  FileHold(const FileHold &) = delete;
  FileHold &operator=(const FileHold &) = delete;

 private:
  TraceData *d_;
};

bool writeBatch(TraceData *d) {
  if (!d->queue || QueueOp.isEmpty(d->queue)) return false;
  FileHold hold(d);
  return writeBatchLocked(d);
}

// Wakes the writer whatever it sleeps for: a file opened, a flush ended, a request to quit.
void notifyWriter(TraceData *d) {
  std::lock_guard<std::mutex> guard(d->idleLock);
  d->idleWake.notify_all();
}

// A record was posted: the first one after the writer went idle wakes it. The writer marks
// itself idle before it looks at the queue under the queue's lock, and the poster looks at the
// mark after its post released that lock: a writer that missed the record is seen idle here.
void wakeWriter(TraceData *d) {
  if (d->writerIdle.load(std::memory_order_acquire) && d->writerIdle.exchange(false)) {
    std::lock_guard<std::mutex> guard(d->idleLock);
    d->idleWake.notify_one();
  }
}

// Sleeps until there may be work: a record in the queue with a file open and no flush writing
// it, or the request to quit.
void nap(TraceData *d, LumoThread *thread) {
  std::unique_lock<std::mutex> lock(d->idleLock);
  d->writerIdle.store(true);
  if (!ThreadOp.isQuit(thread) && (lumo::queue_isEmptyLocked(d->queue) ||
                                    !d->fileHandle.load() || d->flushing.load() > 0))
    d->idleWake.wait(lock);
  d->writerIdle.store(false);
}

// The writer thread: until it is asked to quit, then once more for what was queued before.
// While a flush writes on its caller's thread the writer stands aside: a writer starved of the
// processor would otherwise hold the file between the flush's batches.
void writerRun(LumoThread *thread) {
  TraceData *d = lumo::dataOf<TraceData>(static_cast<LumoTrace *>(ThreadOp.getParm(thread)));
  ++ownFileWork;  // for the rest of this thread's life
  writerHere = d;
  while (!ThreadOp.isQuit(thread))
    if (d->flushing.load() > 0 || !writeBatch(d)) nap(d, thread);
  while (writeBatch(d)) {
  }
  writerHere = nullptr;
  // The last touch of the instance: stopWriter may release it as soon as it holds idleLock.
  std::lock_guard<std::mutex> guard(d->idleLock);
  d->writerRunning.store(false, std::memory_order_release);
  d->idleWake.notify_all();
}

void startWriter(LumoTrace *trace, TraceData *d) {
  char *name = str_fmtID(kTid, "tracewriter%08" PRIXPTR, reinterpret_cast<uintptr_t>(trace));
  if (!name) return;
  d->writer = ThreadOp.inst(name, writerRun, trace);
  str_freeStrID(name, kTid);
  if (!d->writer) return;
  d->writerRunning.store(true);
  if (!ThreadOp.start(d->writer)) d->writerRunning.store(false);
}

// Asks the writer to quit and waits until it has: it reads the data record to the end.
void stopWriter(TraceData *d) {
  if (!d->writer) return;
  ThreadOp.quit(d->writer);
  {
    std::unique_lock<std::mutex> lock(d->idleLock);
    d->idleWake.notify_all();
    d->idleWake.wait(lock, [d] { return !d->writerRunning.load(std::memory_order_acquire); });
  }
  ThreadOp.del(d->writer);
  d->writer = nullptr;
}

// The C library flushes every open stream once the process's exit handlers have run, without
// taking the streams' locks: a writer still filling its file's buffer then has bytes written
// twice. Each trace's file is flushed and its lock kept for good, so that no writer touches a
// file any more; a writer stuck in the platform's write is given up on after a short wait.
void holdFilesAtExit() {
  processEnding.store(true);
  // Ended from inside the trace's own file work (a listener calling exit): this thread may hold
  // a file's lock already, and cannot take it again.
  if (ownFileWork > 0) return;
  std::lock_guard<std::mutex> guard(instancesLock);
  for (TraceData *d = instances; d; d = d->nextWithFiles) {
    for (int waited = 0; waited < kExitHoldMs; ++waited) {
      if (d->fileLock.try_lock()) {
        if (LumoFile *file = d->fileHandle.load()) {
          writeSilenced = true;
          file_flushFile(file);
          writeSilenced = false;
        }
        break;  // the lock is kept: the process is ending
      }
      lumo_thread_sleep(1);
    }
  }
}

void addInstance(TraceData *d) {
  static std::atomic<bool> atExit{false};
  if (!atExit.exchange(true)) std::atexit(holdFilesAtExit);
  std::lock_guard<std::mutex> guard(instancesLock);
  d->nextWithFiles = instances;
  instances = d;
}

void removeInstance(TraceData *d) {
  std::lock_guard<std::mutex> guard(instancesLock);
  for (TraceData **p = &instances; *p; p = &(*p)->nextWithFiles) {
    if (*p == d) {
      *p = d->nextWithFiles;
      return;
    }
  }
}

// Hands a copy of the record to the writer thread; nothing is queued while no file is open. A
// full queue refuses the copy (and says so through the trace, which must not queue that).
// Without a writer thread (it could not be started) the poster writes the queue itself, so
// that no record waits for a writer that never comes.
void handToFileWriter(TraceData *d, const char *record, std::size_t length) noexcept {
  if (!d->queue || !d->fileHandle.load(std::memory_order_acquire)) return;
  if (processEnding.load(std::memory_order_relaxed)) return;  // nobody would write it
  char *copy = newQueued(record, length);
  if (!copy) return;
  FileWork work;
  if (!QueueOp.post(d->queue, copy, kRecordPriority)) {
    freeRecord(copy);
    return;
  }
  if (!d->writerRunning.load(std::memory_order_acquire)) {
    while (writeBatch(d)) {
    }
    return;
  }
  wakeWriter(d);
}

// Appends an exception record, without a line end, to "<base>.exc". The first record creates
// the file and runs the invoke command, when one is set, outside the lock.
void appendToExceptionFile(TraceData *d, const char *record) noexcept {
  char *name;
  {
    std::lock_guard<std::mutex> guard(d->textLock);
    const char *base = d->file.load();
    name = base ? str_fmt("%s.exc", base) : nullptr;
  }
  if (!name) return;
  bool created = false;
  {
    FileWork work;
    if (MutexOp.wait(d->mutex)) {
      bool existed = file_exist(name) != 0;
      // A file that will not open or take the record (a link in its place, a full disk) is
      // reported by the first record that finds it so, and again only after one got through.
      if (d->exceptionFailing) writeSilenced = true;
      LumoFile *file = file_instNoFollow(name, LUMO_FILE_APPEND);
      bool ok = file && file_writeFile(file, record, static_cast<int>(std::strlen(record))) &&
                file_closeFile(file);
      writeSilenced = false;
      file_del(file);
      d->exceptionFailing = !ok;
      created = file && !existed;
      MutexOp.post(d->mutex);
    }
  }
  str_freeStr(name);
  if (!created) return;
  char *command;
  bool async;
  {
    std::lock_guard<std::mutex> guard(d->textLock);
    command = d->invoke ? str_dup(d->invoke) : nullptr;
    async = d->invokeFlag;
  }
  if (!command) return;
  TraceOp.trc(kObject, LUMO_TRC_I, __LINE__, LUMO_TRC_CODE, "Invoking: [%s]...", command);
  SystemOp.systemExec(command, async ? 1 : 0, 0);
  str_freeStr(command);
}

void writeOut(TraceData *d, int level, const char *record, std::size_t length) {
  if (ownFileWork == 0) handToFileWriter(d, record, length);
  if (!d->toStdErr.load(std::memory_order_relaxed)) return;
  std::fprintf(level == LUMO_TRC_E ? stderr : stdout, "%s\n", record);
}

void writeOut(TraceData *d, int level, const char *record) {
  writeOut(d, level, record, std::strlen(record));
}

enum class Form { Line, Errno, NoLine, NoObject };

struct Record {
  Form form;
  const char *object;  // null: none
  int level;
  int line;
  int code;
  int error;
};

void callListener(TraceData *d, int levels, const Record &r, const char *record,
                  const char *message) {
  if (!singleLevel(r.level) || (r.level & levels) == 0) return;
  LumoTraceListener listener = d->listener.load(std::memory_order_acquire);
  if (!listener) return;
  const char *object = orEmpty(r.object);
  if (d->listenerFullText.load(std::memory_order_relaxed)) {
    listener(r.level, record, r.code, object);
  } else if (r.form == Form::Errno) {
    RecordText text;
    text.format("%s [errno=%d] [%s]", message, r.error, errorText(r.error));
    listener(r.level, text.str(), r.code, object);
  } else {
    listener(r.level, message, r.code, object);
  }
}

void writeRecord(TraceData *d, const Record &r, const char *format, va_list args)
    __attribute__((format(printf, 3, 0)));
void writeRecord(TraceData *d, const Record &r, const char *format, va_list args) {
  if (!d || !passes(d, r.level)) return;
  char message[kMessageSize];
  formatMessage(message, format, args);
  char app[2];
  appIdHead(d, app);
  char thread[LUMO_THREAD_NAME_MAX];
  threadName(thread);
  char stamp[LUMO_STAMP_SIZE];
  str_stampInto(stamp, true);
  const char *object = orEmpty(r.object);

  // "%s %-1.1s%04d%c %-8.8s" and then, by form, "%-8.8s %04d %s", "%-8.8s %04d %s [errno=%d]
  // [%s]", "%-8.8s %s" or "%s".
  RecordText record;
  record.head(stamp, app, r.code, trace_levelLetter(r.level));
  record.character(' ');
  record.column(thread, 8);
  record.character(' ');
  if (r.form != Form::NoObject) {
    record.column(object, 8);
    record.character(' ');
  }
  if (r.form == Form::Line || r.form == Form::Errno) {
    record.number4(r.line);
    record.character(' ');
  }
  record.text(message);
  if (r.form == Form::Errno) record.format(" [errno=%d] [%s]", r.error, errorText(r.error));
  const char *text = record.str();

  if (r.form == Form::Errno) {
    callListener(d, kExceptionListenerLevels, r, text, message);
    writeOut(d, r.level, text, record.length());
  } else {
    writeOut(d, r.level, text, record.length());
    if (r.form == Form::Line && r.level == LUMO_TRC_E && ownFileWork == 0 &&
        d->exceptionFile.load(std::memory_order_relaxed))
      appendToExceptionFile(d, text);
    callListener(d, r.form == Form::Line ? kListenerLevels : kExceptionListenerLevels, r, text,
                 message);
  }
}

// The EBCDIC bytes as readable text; without a converter only the unreadable bytes are masked.
void ebcdicColumn(TraceData *d, char *column, int length) {
  if (d->ebcdic) {
    EbcdicOp.Ebcdic2ExtAscii(d->ebcdic, column, length);
    return;
  }
  for (int i = 0; i < length; ++i) {
    unsigned char b = static_cast<unsigned char>(column[i]);
    if (b < 0x20 || b > 0x7E) column[i] = '.';
  }
}

void writeDump(TraceData *d, const char *object, int level, int code, const void *buffer,
               int length) {
  if (!d || !passes(d, level)) return;
  int limit = d->dumpsize.load(std::memory_order_relaxed);
  int shown = buffer && length > 0 ? length : 0;
  if (shown > limit) shown = limit > 0 ? limit : 0;

  bool ebcdic = d->ebcdicDump.load(std::memory_order_relaxed);
  // The whole application identifier, however long, heads a dump: this record is allocated.
  char *app = appIdCopy(d);
  char thread[LUMO_THREAD_NAME_MAX];
  threadName(thread);
  char stamp[LUMO_STAMP_SIZE];
  str_stampInto(stamp, true);
  const char *columns =
      ebcdic ? "|ASCII...........|EBCDIC..........|\n"
               "    --------------------------------------------------------- "
               "|----------------|----------------|"
             : "|ASCII...........|\n"
               "    --------------------------------------------------------- |----------------|";
  char *head =
      newRecord("%s %s%04d%c %-8.8s %-8.8s *trace dump( 0x%08" PRIXPTR
                ": length=%d )\n"
                "    offset:   00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F %s",
                stamp, orEmpty(app), code, trace_levelLetter(level), thread, orEmpty(object),
                reinterpret_cast<uintptr_t>(buffer), shown, columns);
  if (head) writeOut(d, level, head);
  freeRecord(head);
  str_freeStrID(app, kTid);

  const unsigned char *bytes = static_cast<const unsigned char *>(buffer);
  for (int offset = 0; offset < shown; offset += 16) {
    char hex[16 * 3 + 1];
    char ascii[16 + 1];
    char ebc[16 + 1];
    int ebcLength = 0;
    for (int col = 0; col < 16; ++col) {
      if (offset + col < shown) {
        unsigned char b = bytes[offset + col];
        std::snprintf(hex + col * 3, 4, "%02X ", b);
        ascii[col] = b >= 0x20 && b <= 0x7E ? static_cast<char>(b) : '.';
        // A zero would end the column early; 0x4B is the EBCDIC full stop.
        ebc[ebcLength++] = static_cast<char>(b ? b : 0x4B);
      } else {
        std::memcpy(hex + col * 3, "   ", 4);
        ascii[col] = ' ';
      }
    }
    ascii[16] = '\0';
    ebc[ebcLength] = '\0';
    char row[128];
    if (ebcdic) {
      ebcdicColumn(d, ebc, ebcLength);
      std::snprintf(row, sizeof row, "    %08X: %47.47s |%16.16s|%16.16s|",
                    static_cast<unsigned>(offset), hex, ascii, ebc);
    } else {
      std::snprintf(row, sizeof row, "    %08X: %47.47s |%16.16s|", static_cast<unsigned>(offset),
                    hex, ascii);
    }
    writeOut(d, level, row);
  }
}

struct Impl : lumo::Base<LumoTrace, traceClass> {
  static void del(LumoTrace *trace) noexcept {
    if (!trace) return;
    std::lock_guard<std::mutex> guard(releaseLock);
    LumoTrace *expected = trace;
    if (!traceInst.compare_exchange_strong(expected, nullptr)) return;
    // Called from inside an operation of this thread (a listener): that operation still reads
    // the instance, so it stays allocated.
    if (pinsHere > 0) return;
    TraceData *d = lumo::dataOf<TraceData>(trace);
    // Called on the writer thread itself (a listener of the writer's own records): it cannot
    // wait for itself to end, so the instance stays allocated.
    if (writerHere == d) return;
    waitForOlderPins();
    removeInstance(d);
    // The writer reads the data record to its end: it is stopped first, and writes what was
    // queued before. Everything the instance made is released with it.
    stopWriter(d);
    {
      FileWork work;
      FileHold hold(d);
      while (writeBatchLocked(d)) {
      }
      closeCurrent(d);
    }
    if (d->queue) {
      while (void *record = QueueOp.get(d->queue)) freeRecord(static_cast<char *>(record));
      QueueOp.del(d->queue);
    }
    MutexOp.del(d->mutex);
    EbcdicOp.del(d->ebcdic);
    str_freeStrID(d->appID, kTid);
    str_freeStr(d->file.exchange(nullptr));
    str_freeStr(d->invoke);
    lumo::freeInstance<TraceData>(trace, traceClass, __LINE__);
  }

  static char *toString(LumoTrace *) noexcept {
    static char empty[1] = "";
    return empty;
  }

  static void dmp(const char *object, int level, int code, const void *buffer,
                  int length) noexcept {
    if (passesNoTrace(level)) return;
    Pin pin(nullptr, true);
    writeDump(pin.data(), object, level, code, buffer, length);
  }

  static void dump(const char *object, int level, const void *buffer, int length) noexcept {
    dmp(object, level, 0, buffer, length);
  }

  static LumoTrace *get() noexcept { return traceInst.load(); }

  static const char *getARCH() noexcept { return "ARM"; }

  static const char *getCurrentFilename(LumoTrace *trace) noexcept {
    Pin pin(trace, true);
    TraceData *d = pin.data();
    return d ? d->currentFilename.load() : nullptr;
  }

  static int getDumpsize(LumoTrace *trace) noexcept {
    Pin pin(trace, true);
    TraceData *d = pin.data();
    return d ? d->dumpsize.load(std::memory_order_relaxed) : 0;
  }

  static LumoFile *getF(LumoTrace *trace) noexcept {
    Pin pin(trace, true);
    TraceData *d = pin.data();
    return d ? d->fileHandle.load() : nullptr;
  }

  static const char *getFilename(LumoTrace *trace) noexcept {
    Pin pin(trace, true);
    TraceData *d = pin.data();
    return d ? d->file.load() : nullptr;
  }

  static int getLevel(LumoTrace *trace) noexcept {
    Pin pin(trace, true);
    TraceData *d = pin.data();
    return d ? d->level.load(std::memory_order_relaxed) : 0;
  }

  static const char *getOS() noexcept { return "linux"; }

  static LumoTrace *inst(int level, const char *file, int toStdErr) noexcept {
    TraceData *d = nullptr;
    LumoTrace *trace = lumo::newInstance<TraceData>(TraceOp, traceClass, __LINE__, &d);
    if (!trace) return nullptr;
    d->mutex = MutexOp.inst(nullptr, 1);
    d->ebcdic = EbcdicOp.inst(kEbcdicCodePage, nullptr);
    d->queue = QueueOp.inst(kQueueCapacity);
    everEnabled.fetch_or(level, std::memory_order_relaxed);
    d->level.store(level);
    d->toStdErr.store(toStdErr != 0);
    d->appID = str_dupID("..", kTid);
    d->appHead.store(d->appID ? d->appID[0] : '\0', std::memory_order_relaxed);
    LumoTrace *none = nullptr;
    traceInst.compare_exchange_strong(none, trace);
    lumo::countInstance(traceClass);
    addInstance(d);
    if (file) setFilename(trace, file);
    mainThreadId.store(lumo_thread_id());
    startWriter(trace, d);
    return trace;
  }

  static int isStdErr(LumoTrace *trace) noexcept {
    Pin pin(trace, true);
    TraceData *d = pin.data();
    return d ? d->toStdErr.load(std::memory_order_relaxed) : 0;
  }

  static void log(LumoTrace *trace, const char *object, int level, int line, int code,
                  const char *format, ...) noexcept {
    va_list args;
    va_start(args, format);
    trace_vlog(trace, object, level, line, code, format, args);
    va_end(args);
  }

  static void printHeader() noexcept {
    Pin pin(nullptr, true);
    TraceData *d = pin.data();
    if (!d) return;
    char columns[128];
    std::snprintf(columns, sizeof columns, "%s %-1.1s%-4.4s%c %-8.8s %-13.13s %s",
                  "yyyyMMDD.HHMMSS.mmm", "a", " ID ", 'l', "Thread  ", "Object   Line", "Message");
    char firstRule[128];
    std::snprintf(firstRule, sizeof firstRule, "\n%s", kHeaderRule);
    writeOut(d, LUMO_TRC_I, firstRule);
    writeOut(d, LUMO_TRC_I, columns);
    writeOut(d, LUMO_TRC_I, kHeaderRule);
  }

  static void println(const char *format, ...) noexcept {
    Pin pin(nullptr, true);
    TraceData *d = pin.data();
    if (!d) return;
    char message[kMessageSize];
    va_list args;
    va_start(args, format);
    formatMessage(message, format, args);
    va_end(args);
    writeOut(d, LUMO_TRC_I, message);
  }

  static void set(LumoTrace *trace) noexcept { traceInst.store(trace); }

  static void setAppID(LumoTrace *trace, const char *appID) noexcept {
    Pin pin(trace, true);
    TraceData *d = pin.data();
    if (!d) return;
    char *copy = str_dupID(orEmpty(appID), kTid);
    char *old;
    {
      std::lock_guard<std::mutex> guard(d->textLock);
      old = d->appID;
      d->appID = copy;
      d->appHead.store(copy ? copy[0] : '\0', std::memory_order_relaxed);
    }
    str_freeStrID(old, kTid);
  }

  static void setDumpsize(LumoTrace *trace, int size) noexcept {
    Pin pin(trace, true);
    if (TraceData *d = pin.data()) d->dumpsize.store(size, std::memory_order_relaxed);
  }

  static void setEbcdicDump(LumoTrace *trace, int flag) noexcept {
    Pin pin(trace, true);
    if (TraceData *d = pin.data()) d->ebcdicDump.store(flag != 0, std::memory_order_relaxed);
  }

  static void setExceptionFile(LumoTrace *trace, int flag) noexcept {
    Pin pin(trace, true);
    if (TraceData *d = pin.data()) d->exceptionFile.store(flag != 0, std::memory_order_relaxed);
  }

  static void setExceptionListener(LumoTrace *trace, LumoTraceListener listener,
                                   int fullText) noexcept {
    Pin pin(trace, true);
    TraceData *d = pin.data();
    if (!d) return;
    d->listenerFullText.store(fullText != 0, std::memory_order_relaxed);
    d->listener.store(listener, std::memory_order_release);
  }

  // Unlike most settings these take no default: a null trace changes nothing.
  static void setFileSize(LumoTrace *trace, int kilobytes) noexcept {
    Pin pin(trace, false);
    if (TraceData *d = pin.data()) d->filesize.store(kilobytes, std::memory_order_relaxed);
  }

  // Writes what is queued and closes the open file; a name whose file-name part is not empty
  // becomes the base name (its separators converted) and the chosen numbered file is opened:
  // truncated while it rotates with others, appended to when it is the only one.
  static void setFilename(LumoTrace *trace, const char *name) noexcept {
    Pin pin(trace, false);
    TraceData *d = pin.data();
    if (!d) return;
    FileWork work;
    char *base = name ? str_dup(name) : nullptr;
    const char *part = base ? file_ripPath(base) : nullptr;
    if (base && (!part || !*part)) {
      str_freeStr(base);
      base = nullptr;
    }
    {
      FileHold hold(d);
      // What was accepted while the old file was open belongs to it.
      while (writeBatchLocked(d)) {
      }
      closeCurrent(d);
      char *old;
      {
        std::lock_guard<std::mutex> names(d->textLock);
        old = d->file.exchange(base);
      }
      str_freeStr(old);
      if (!base) return;
      bool rotating = d->nrfiles.load(std::memory_order_relaxed) > 1;
      if (!openNumbered(d, base, -1, rotating ? kModeTruncate : LUMO_FILE_APPEND)) return;
    }
    // Records posted while no file was open wait in the queue for this one.
    notifyWriter(d);
  }

  static void setInvoke(LumoTrace *trace, const char *command, int flag) noexcept {
    Pin pin(trace, true);
    TraceData *d = pin.data();
    if (!d) return;
    char *copy = command ? str_dup(command) : nullptr;
    char *old;
    {
      std::lock_guard<std::mutex> guard(d->textLock);
      old = d->invoke;
      d->invoke = copy;
      d->invokeFlag = flag != 0;
    }
    str_freeStr(old);
  }

  static void setLevel(LumoTrace *trace, int level) noexcept {
    Pin pin(trace, true);
    TraceData *d = pin.data();
    if (!d) return;
    everEnabled.fetch_or(level, std::memory_order_relaxed);
    d->level.store(level, std::memory_order_relaxed);
  }

  static void setMainThreadId(LumoThreadId id) noexcept { mainThreadId.store(id); }

  static void setNrFiles(LumoTrace *trace, int count) noexcept {
    Pin pin(trace, false);
    if (TraceData *d = pin.data()) d->nrfiles.store(count, std::memory_order_relaxed);
  }

  static void setStdErr(LumoTrace *trace, int flag) noexcept {
    Pin pin(trace, true);
    if (TraceData *d = pin.data()) d->toStdErr.store(flag != 0, std::memory_order_relaxed);
  }

  static void terrno(const char *object, int level, int line, int code, int error,
                     const char *format, ...) noexcept {
    va_list args;
    va_start(args, format);
    trace_vterrno(object, level, line, code, error, format, args);
    va_end(args);
  }

  // The first argument is an object name, or the default trace itself (or null) for a record
  // without object column.
  static void trace(const void *object, int level, int code, const char *format, ...) noexcept {
    if (passesNoTrace(level)) return;
    Pin pin(nullptr, true);
    const char *name =
        object && object != pin.trace() ? static_cast<const char *>(object) : nullptr;
    Record r{name ? Form::NoLine : Form::NoObject, name, level, 0, code, 0};
    va_list args;
    va_start(args, format);
    writeRecord(pin.data(), r, format, args);
    va_end(args);
  }

  static void trc(const char *object, int level, int line, int code, const char *format,
                  ...) noexcept {
    va_list args;
    va_start(args, format);
    trace_vtrc(object, level, line, code, format, args);
    va_end(args);
  }
};

}  // namespace

char trace_levelLetter(int level) noexcept {
  if (!singleLevel(level)) return '?';
  for (int bit = 0; kLetters[bit]; ++bit)
    if (level == (1 << bit)) return kLetters[bit];
  return '?';
}

void trace_vtrc(const char *object, int level, int line, int code, const char *format,
                va_list args) noexcept {
  if (passesNoTrace(level)) return;
  Pin pin(nullptr, true);
  writeRecord(pin.data(), Record{Form::Line, object, level, line, code, 0}, format, args);
}

void trace_vlog(LumoTrace *trace, const char *object, int level, int line, int code,
                const char *format, va_list args) noexcept {
  if (passesNoTrace(level)) return;
  Pin pin(trace, false);
  writeRecord(pin.data(), Record{Form::Line, object, level, line, code, 0}, format, args);
}

void trace_vterrno(const char *object, int level, int line, int code, int error, const char *format,
                   va_list args) noexcept {
  if (passesNoTrace(level)) return;
  Pin pin(nullptr, true);
  writeRecord(pin.data(), Record{Form::Errno, object, level, line, code, error}, format, args);
}

int lumo_trace_flush(LumoTrace *trace, int timeoutMs) {
  Pin pin(trace, true);
  TraceData *d = pin.data();
  if (!d || !d->queue) return 1;
  auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
  unsigned long long target = lumo::queue_postedCount(d->queue);
  // Inside the trace's own file work this thread may hold the file already; nothing it could
  // wait for would come.
  if (ownFileWork > 0 || processEnding.load()) return d->done.load() >= target;
  // The caller writes the batches itself: the writer may be starved of the processor by the
  // very threads that filled the queue.
  FileWork work;
  d->flushing.fetch_add(1);
  // Sleeps until the file is given back after the count seen, or until the deadline.
  auto released = [d, deadline](unsigned seen) {
    std::unique_lock<std::mutex> lock(d->progressLock);
    d->progress.wait_until(lock, deadline, [d, seen] { return d->releases.load() != seen; });
  };
  while (d->done.load() < target && std::chrono::steady_clock::now() < deadline) {
    unsigned seen = d->releases.load();
    // Tried, not waited for: a writer stuck in the platform's write holds the file for good.
    std::unique_lock<std::mutex> lock(d->fileLock, std::try_to_lock);
    if (!lock.owns_lock()) {
      released(seen);
      continue;
    }
    bool wrote = writeBatchLocked(d);
    bool open = d->fileHandle.load() != nullptr;
    lock.unlock();
    fileReleased(d);
    if (!open) break;
    // Nothing to write with the file held: what is still missing is not in the queue.
    if (!wrote) released(d->releases.load());
  }
  d->flushing.fetch_sub(1);
  notifyWriter(d);  // it stood aside while this flush wrote
  return d->done.load() >= target;
}

const LumoTrace TraceOp = {LUMO_BASE_INIT(Impl), LUMO_TRACE_OPS(LUMO_SLOT_INIT_MEMBER, Impl)};

LUMO_CHECK_TABLE(LumoTrace, LUMO_TRACE_OPS, lumo::kOwnSlotsAt);
