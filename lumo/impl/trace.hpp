// lumo: the trace's writers for direct use inside the library: the va_list forms of the record
// operations, for modules that wrap the trace in variadic helpers of their own. Below them, the
// trace's data record and what its two halves (records in trace.cpp, the files and their writer
// thread in trace_file.cpp) ask of each other.
#ifndef LUMO_IMPL_TRACE_HPP
#define LUMO_IMPL_TRACE_HPP

#include <lumo/ebcdic.h>
#include <lumo/file.h>
#include <lumo/mem.h>
#include <lumo/mutex.h>
#include <lumo/queue.h>
#include <lumo/thread.h>
#include <lumo/trace.h>

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstddef>
#include <mutex>

// trc over a va_list: a line record through the default trace.
void trace_vtrc(const char *object, int level, int line, int code, const char *format,
                va_list args) noexcept __attribute__((format(printf, 5, 0)));

// log over a va_list: a line record through the given trace; nothing when it is null.
void trace_vlog(LumoTrace *trace, const char *object, int level, int line, int code,
                const char *format, va_list args) noexcept __attribute__((format(printf, 6, 0)));

// terrno over a va_list: a line record with the error number and its text.
void trace_vterrno(const char *object, int level, int line, int code, int error, const char *format,
                   va_list args) noexcept __attribute__((format(printf, 6, 0)));

// False when no trace can write a record of this level (no trace has ever had it in its mask
// and it is not a protocol level): callers may skip formatting the record's arguments.
int trace_mayWrite(int level) noexcept;

// The one-letter tag of a level: "?" for 0 and for combinations of bits.
char trace_levelLetter(int level) noexcept;

namespace lumo {
namespace tracing {

// Both halves allocate as one module.
constexpr int kTid = LUMO_TID_TRACE;
constexpr const char *kSource = "impl/trace";

constexpr int kDefaultDumpsize = 128;
constexpr int kDefaultFileSize = 100;  // kilobytes
constexpr int kDefaultNrFiles = 10;

// Locks: fileLock serialises the open file between setFilename and the writer thread (the
// handle, the names and the writer's bookkeeping below it); textLock guards the texts other
// threads copy (application identifier, base name, invoke command) and is never held while
// calling out; mutex is the exception file's. Nothing traced under fileLock reaches the queue
// or the exception file (see WritingOwnFiles), so no record ever waits for fileLock.
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

// A record block of the trace's allocation type (formatted or queued) given back.
void freeRecord(char *record) noexcept;

// The files' side, for the records' side.

// This thread is writing the trace's own files (or is the writer): its records are echoed and
// heard by the listener but neither queued nor appended to the exception file.
bool writingOwnFiles() noexcept;
// The file module's records of a failing trace-file write are being dropped on this thread.
bool writesSilenced() noexcept;
// This thread is d's writer.
bool isWriterOf(const TraceData *d) noexcept;

// A new trace joins the ones whose files the process's end takes from their writers.
void addInstance(TraceData *d) noexcept;
void startWriter(LumoTrace *trace, TraceData *d) noexcept;
// Writes what was queued for the old file and closes it; a name whose file-name part is not
// empty becomes the base name (its separators converted) and the chosen numbered file is
// opened: truncated while it rotates with others, appended to when it is the only one.
void switchFile(TraceData *d, const char *name) noexcept;
// For del: the writer stopped, what was queued written, the file closed and the queue freed.
void endFiles(TraceData *d) noexcept;
void handToFileWriter(TraceData *d, const char *record, std::size_t length) noexcept;
void appendToExceptionFile(TraceData *d, const char *record) noexcept;
// Writes on this thread what the queue accepted before the call, while the file is free, until
// the time-out; true when all of it was written (or there is no queue).
bool flushFiles(TraceData *d, int timeoutMs) noexcept;

}  // namespace tracing
}  // namespace lumo

#endif
