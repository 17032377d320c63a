// lumo: the trace's files: the numbered trace files filled by a writer thread from the record
// queue, their rotation, flushes, the hold on them at the process's end, and the exception file.
// The records' side (trace.cpp) hands each record over here once it is formatted.
#include <lumo/system.h>

#include <chrono>
#include <cinttypes>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "file.hpp"
#include "mem.hpp"
#include "object.hpp"
#include "queue.hpp"
#include "str.hpp"
#include "system.hpp"
#include "trace.hpp"

namespace lumo {
namespace tracing {
namespace {

constexpr int kRecordPriority = 1;
constexpr int kWriterBatch = 256;  // records written between two flushes while the queue is busy
constexpr int kOpenRetryMs = 1000;  // a rotation whose next file failed tries again after this
constexpr int kExitHoldMs = 200;    // the process's end waits this long for each busy writer
// The file module opens every mode number it does not name with "wba" (truncate).
constexpr int kModeTruncate = -1;
constexpr const char *kObject = "OTrace";

using lumo::orEmpty;

// Every trace that may have a file, so that the process's end can take their files from the
// writers (see holdFilesAtExit).
std::mutex instancesLock;
TraceData *instances = nullptr;
std::atomic<bool> processEnding{false};

// The trace's own file work: the writer thread all along, switching files, the exception file
// and the post into the record queue. Whatever this thread traces meanwhile (the file module's
// path records, a failing open, the queue's warning that it is full) is echoed and heard by the
// listener but neither queued for the trace file nor appended to the exception file: it would
// come back into the very work that produced it, without end.
thread_local int ownFileWorkDepth = 0;
// Set around the writer's writes and flushes: their failures are reported by the writer itself,
// once per file, so the file module's record of each failing write is dropped altogether.
thread_local bool writeSilenced = false;
// The trace whose writer runs on this thread, if any.
thread_local TraceData *writerHere = nullptr;

// Marks this thread as writing the trace's own files for as long as it lives.
class WritingOwnFiles {
 public:
  WritingOwnFiles() noexcept { ++ownFileWorkDepth; }
  ~WritingOwnFiles() { --ownFileWorkDepth; }
  WritingOwnFiles(const WritingOwnFiles &) = delete;
  WritingOwnFiles &operator=(const WritingOwnFiles &) = delete;
};

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
               orEmpty(file_getFilename(file)), error, system_getErrStr(error));
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
  ++ownFileWorkDepth;  // for the rest of this thread's life
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
  if (ownFileWorkDepth > 0) return;
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
void removeInstance(TraceData *d) {
  std::lock_guard<std::mutex> guard(instancesLock);
  for (TraceData **p = &instances; *p; p = &(*p)->nextWithFiles) {
    if (*p == d) {
      *p = d->nextWithFiles;
      return;
    }
  }
}
}  // namespace

bool writingOwnFiles() noexcept { return ownFileWorkDepth > 0; }

bool writesSilenced() noexcept { return writeSilenced; }

bool isWriterOf(const TraceData *d) noexcept { return writerHere == d; }

void startWriter(LumoTrace *trace, TraceData *d) noexcept {
  char *name = str_fmtID(kTid, "tracewriter%08" PRIXPTR, reinterpret_cast<uintptr_t>(trace));
  if (!name) return;
  d->writer = ThreadOp.inst(name, writerRun, trace);
  str_freeStrID(name, kTid);
  if (!d->writer) return;
  d->writerRunning.store(true);
  if (!ThreadOp.start(d->writer)) d->writerRunning.store(false);
}
void addInstance(TraceData *d) noexcept {
  static std::atomic<bool> atExit{false};
  if (!atExit.exchange(true)) std::atexit(holdFilesAtExit);
  std::lock_guard<std::mutex> guard(instancesLock);
  d->nextWithFiles = instances;
  instances = d;
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
  WritingOwnFiles work;
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
    WritingOwnFiles work;
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

void switchFile(TraceData *d, const char *name) noexcept {
  WritingOwnFiles work;
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

void endFiles(TraceData *d) noexcept {
  removeInstance(d);
  // The writer reads the data record to its end: it is stopped first, and writes what was
  // queued before.
  stopWriter(d);
  {
    WritingOwnFiles work;
    FileHold hold(d);
    while (writeBatchLocked(d)) {
    }
    closeCurrent(d);
  }
  if (d->queue) {
    while (void *record = QueueOp.get(d->queue)) freeRecord(static_cast<char *>(record));
    QueueOp.del(d->queue);
  }
}

bool flushFiles(TraceData *d, int timeoutMs) noexcept {
  if (!d || !d->queue) return true;
  auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
  unsigned long long target = lumo::queue_postedCount(d->queue);
  // Inside the trace's own file work this thread may hold the file already; nothing it could
  // wait for would come.
  if (ownFileWorkDepth > 0 || processEnding.load()) return d->done.load() >= target;
  // The caller writes the batches itself: the writer may be starved of the processor by the
  // very threads that filled the queue.
  WritingOwnFiles work;
  d->flushing.fetch_add(1);
  // Sleeps until the file is given back after the count seen, or until the deadline. The
  // records may be written meanwhile by a batch whose release was counted before the count seen
  // was read (it counts its records before it gives the file back): then no later release comes.
  auto released = [d, deadline, target](unsigned seen) {
    std::unique_lock<std::mutex> lock(d->progressLock);
    d->progress.wait_until(lock, deadline, [d, seen, target] {
      return d->releases.load() != seen || d->done.load() >= target;
    });
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
    // Nothing to write with the file held: what is still missing is in a batch written
    // before this flush took the file.
    if (!wrote) released(d->releases.load());
  }
  d->flushing.fetch_sub(1);
  notifyWriter(d);  // it stood aside while this flush wrote
  return d->done.load() >= target;
}

}  // namespace tracing
}  // namespace lumo
