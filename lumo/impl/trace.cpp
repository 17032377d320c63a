// lumo: the trace: record formats, the level filter, console echo, the listener, dump records
// and the process's default instance. Records are formatted on the writing thread, in its own
// stack buffers and allocations; settings are atomics because any thread may change them.
#include "trace.hpp"

#include <atomic>
#include <cinttypes>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "mem.hpp"
#include "object.hpp"
#include "str.hpp"
#include "system.hpp"

namespace {

constexpr int kTid = LUMO_TID_TRACE;
constexpr const char *kSource = "impl/trace";

constexpr int kMessageSize = 4096;  // at most 4095 characters of a message are kept
constexpr int kDefaultDumpsize = 128;
constexpr int kDefaultFileSize = 100;  // kilobytes
constexpr int kDefaultNrFiles = 10;

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

struct TraceData {
  std::atomic<int> level{0};
  std::atomic<char *> file{nullptr};  // base name of the trace files, a string-module string
  char *appID = nullptr;              // under appLock: setAppID may replace it at any time
  std::atomic<LumoFile *> fileHandle{nullptr};
  std::atomic<int> dumpsize{kDefaultDumpsize};
  std::atomic<int> filesize{kDefaultFileSize};
  std::atomic<int> nrfiles{kDefaultNrFiles};
  std::atomic<char *> currentFilename{nullptr};
  std::atomic<bool> toStdErr{false};
  std::atomic<bool> ebcdicDump{false};
  std::atomic<LumoTraceListener> listener{nullptr};
  std::atomic<bool> listenerFullText{false};
  std::atomic<bool> exceptionFile{false};
  std::atomic<char *> invoke{nullptr};
  std::atomic<bool> invokeFlag{false};
  std::mutex appLock;
};

std::atomic<LumoTrace *> traceInst{nullptr};
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

class Pin {
 public:
  // given, or the default trace when given is null and orDefault is set.
  Pin(LumoTrace *given, bool orDefault) noexcept {
    for (;;) {
      gen_ = pinGeneration.load();
      pinCount[gen_].fetch_add(1);
      if (pinGeneration.load() == gen_) break;
      pinCount[gen_].fetch_sub(1);
    }
    ++pinsHere;
    trace_ = given ? given : orDefault ? traceInst.load() : nullptr;
  }
  ~Pin() {
    --pinsHere;
    pinCount[gen_].fetch_sub(1);
  }
  Pin(const Pin &) = delete;
  Pin &operator=(const Pin &) = delete;

  LumoTrace *trace() const noexcept { return trace_; }
  TraceData *data() const noexcept { return lumo::dataOf<TraceData>(trace_); }

 private:
  int gen_ = 0;
  LumoTrace *trace_ = nullptr;
};

// Waits until no operation holds a pin of the generation that may still see a cleared default.
void waitForOlderPins() noexcept {
  int old = pinGeneration.load();
  pinGeneration.store(1 - old);
  while (pinCount[old].load() != 0) lumo_thread_sleep(10);
}

const char *orEmpty(const char *s) { return s ? s : ""; }

bool passes(const TraceData *d, int level) {
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
char *threadName() noexcept {
  LumoThreadId id = lumo_thread_id();
  char name[LUMO_THREAD_NAME_MAX];
  if (ThreadOp.nameById(id, name, sizeof name)) return str_dupID(name, kTid);
  if (id == mainThreadId.load(std::memory_order_relaxed)) return str_dupID("main", kTid);
  return str_fmtID(kTid, "%08" PRIXPTR, static_cast<uintptr_t>(id));
}

// The system module's own table, so records read the same on every platform.
const char *errorText(int error) noexcept { return system_getErrStr(error); }

void formatMessage(char (&message)[kMessageSize], const char *format, va_list args)
    __attribute__((format(printf, 2, 0)));
void formatMessage(char (&message)[kMessageSize], const char *format, va_list args) {
  message[0] = '\0';
  if (format && std::vsnprintf(message, sizeof message, format, args) < 0) message[0] = '\0';
}

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

// The first character of the application identifier, as a one-character text.
void appIdHead(TraceData *d, char (&head)[2]) {
  std::lock_guard<std::mutex> guard(d->appLock);
  head[0] = d->appID ? d->appID[0] : '\0';
  head[1] = '\0';
}

char *appIdCopy(TraceData *d) {
  std::lock_guard<std::mutex> guard(d->appLock);
  return str_dupID(orEmpty(d->appID), kTid);
}

// Hands a copy of the record to the trace-file writer thread. Nothing to do yet: the file
// writer arrives with the file module, and until then no trace file is ever open.
void handToFileWriter(TraceData *, const char *) noexcept {}

// Appends an exception record to the exception file. Arrives with the file module as well.
void appendToExceptionFile(TraceData *, const char *) noexcept {}

void writeOut(TraceData *d, int level, const char *record) {
  handToFileWriter(d, record);
  if (!d->toStdErr.load(std::memory_order_relaxed)) return;
  std::fprintf(level == LUMO_TRC_E ? stderr : stdout, "%s\n", record);
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
  if (d->listenerFullText.load(std::memory_order_relaxed) && record) {
    listener(r.level, record, r.code, object);
  } else if (r.form == Form::Errno) {
    char *text = newRecord("%s [errno=%d] [%s]", message, r.error, errorText(r.error));
    listener(r.level, text ? text : message, r.code, object);
    freeRecord(text);
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
  char *thread = threadName();
  char *stamp = str_createStampID(kTid);
  const char *th = orEmpty(thread), *st = orEmpty(stamp), *obj = orEmpty(r.object);
  char letter = trace_levelLetter(r.level);

  char *record = nullptr;
  switch (r.form) {
    case Form::Line:
      record = newRecord("%s %-1.1s%04d%c %-8.8s %-8.8s %04d %s", st, app, r.code, letter, th, obj,
                         r.line, message);
      break;
    case Form::Errno:
      record = newRecord("%s %-1.1s%04d%c %-8.8s %-8.8s %04d %s [errno=%d] [%s]", st, app, r.code,
                         letter, th, obj, r.line, message, r.error, errorText(r.error));
      break;
    case Form::NoLine:
      record =
          newRecord("%s %-1.1s%04d%c %-8.8s %-8.8s %s", st, app, r.code, letter, th, obj, message);
      break;
    case Form::NoObject:
      record = newRecord("%s %-1.1s%04d%c %-8.8s %s", st, app, r.code, letter, th, message);
      break;
  }

  if (r.form == Form::Errno) {
    callListener(d, kExceptionListenerLevels, r, record, message);
    if (record) writeOut(d, r.level, record);
  } else {
    if (record) {
      writeOut(d, r.level, record);
      if (r.form == Form::Line && r.level == LUMO_TRC_E &&
          d->exceptionFile.load(std::memory_order_relaxed))
        appendToExceptionFile(d, record);
    }
    callListener(d, r.form == Form::Line ? kListenerLevels : kExceptionListenerLevels, r, record,
                 message);
  }
  freeRecord(record);
  str_freeStrID(stamp, kTid);
  str_freeStrID(thread, kTid);
}

void writeDump(TraceData *d, const char *object, int level, int code, const void *buffer,
               int length) {
  if (!d || !passes(d, level)) return;
  int limit = d->dumpsize.load(std::memory_order_relaxed);
  int shown = buffer && length > 0 ? length : 0;
  if (shown > limit) shown = limit > 0 ? limit : 0;

  char *app = appIdCopy(d);
  char *thread = threadName();
  char *stamp = str_createStampID(kTid);
  char *head =
      newRecord("%s %s%04d%c %-8.8s %-8.8s *trace dump( 0x%08" PRIXPTR
                ": length=%d )\n"
                "    offset:   00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F |ASCII...........|\n"
                "    --------------------------------------------------------- |----------------|",
                orEmpty(stamp), orEmpty(app), code, trace_levelLetter(level), orEmpty(thread),
                orEmpty(object), reinterpret_cast<uintptr_t>(buffer), shown);
  if (head) writeOut(d, level, head);
  freeRecord(head);
  str_freeStrID(stamp, kTid);
  str_freeStrID(thread, kTid);
  str_freeStrID(app, kTid);

  const unsigned char *bytes = static_cast<const unsigned char *>(buffer);
  for (int offset = 0; offset < shown; offset += 16) {
    char hex[16 * 3 + 1];
    char ascii[16 + 1];
    for (int col = 0; col < 16; ++col) {
      if (offset + col < shown) {
        unsigned char b = bytes[offset + col];
        std::snprintf(hex + col * 3, 4, "%02X ", b);
        ascii[col] = b >= 0x20 && b <= 0x7E ? static_cast<char>(b) : '.';
      } else {
        std::memcpy(hex + col * 3, "   ", 4);
        ascii[col] = ' ';
      }
    }
    ascii[16] = '\0';
    char row[128];
    std::snprintf(row, sizeof row, "    %08X: %47.47s |%16.16s|", static_cast<unsigned>(offset),
                  hex, ascii);
    writeOut(d, level, row);
  }
}

char *replaceString(std::atomic<char *> &slot, const char *text) {
  return slot.exchange(text ? str_dup(text) : nullptr);
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
    waitForOlderPins();
    TraceData *d = lumo::dataOf<TraceData>(trace);
    str_freeStrID(d->appID, kTid);
    str_freeStr(d->file.exchange(nullptr));
    str_freeStr(d->currentFilename.exchange(nullptr));
    str_freeStr(d->invoke.exchange(nullptr));
    lumo::freeInstance<TraceData>(trace, traceClass, __LINE__);
  }

  static char *toString(LumoTrace *) noexcept {
    static char empty[1] = "";
    return empty;
  }

  static void dmp(const char *object, int level, int code, const void *buffer,
                  int length) noexcept {
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
    // The exception-file mutex, the EBCDIC converter and the record queue join the record
    // together with the modules that provide them.
    d->level.store(level);
    d->toStdErr.store(toStdErr != 0);
    d->appID = str_dupID("..", kTid);
    LumoTrace *none = nullptr;
    traceInst.compare_exchange_strong(none, trace);
    lumo::countInstance(traceClass);
    if (file) setFilename(trace, file);
    mainThreadId.store(lumo_thread_id());
    // The trace-file writer thread starts here once the file module exists.
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
      std::lock_guard<std::mutex> guard(d->appLock);
      old = d->appID;
      d->appID = copy;
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

  static void setFilename(LumoTrace *trace, const char *name) noexcept {
    Pin pin(trace, false);
    TraceData *d = pin.data();
    if (!d) return;
    // Closing the open file and opening the next numbered one come with the file module; a
    // name whose file-name part is empty is not kept.
    const char *slash = name ? std::strrchr(name, '/') : nullptr;
    bool usable = name && *(slash ? slash + 1 : name) != '\0';
    str_freeStr(replaceString(d->file, usable ? name : nullptr));
    str_freeStr(d->currentFilename.exchange(nullptr));
  }

  static void setInvoke(LumoTrace *trace, const char *command, int flag) noexcept {
    Pin pin(trace, true);
    TraceData *d = pin.data();
    if (!d) return;
    str_freeStr(replaceString(d->invoke, command));
    d->invokeFlag.store(flag != 0, std::memory_order_relaxed);
  }

  static void setLevel(LumoTrace *trace, int level) noexcept {
    Pin pin(trace, true);
    if (TraceData *d = pin.data()) d->level.store(level, std::memory_order_relaxed);
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
  Pin pin(nullptr, true);
  writeRecord(pin.data(), Record{Form::Line, object, level, line, code, 0}, format, args);
}

void trace_vlog(LumoTrace *trace, const char *object, int level, int line, int code,
                const char *format, va_list args) noexcept {
  Pin pin(trace, false);
  writeRecord(pin.data(), Record{Form::Line, object, level, line, code, 0}, format, args);
}

void trace_vterrno(const char *object, int level, int line, int code, int error, const char *format,
                   va_list args) noexcept {
  Pin pin(nullptr, true);
  writeRecord(pin.data(), Record{Form::Errno, object, level, line, code, error}, format, args);
}

const LumoTrace TraceOp = {LUMO_BASE_INIT(Impl), LUMO_TRACE_OPS(LUMO_SLOT_INIT_MEMBER, Impl)};

namespace {
constexpr const char *kTraceSlots[] = {LUMO_TRACE_OPS(LUMO_SLOT_NAME, _)};
static_assert(lumo::namesAscending(kTraceSlots), "TraceOp slots are in byte-wise order");
static_assert(lumo::classLayoutOk<LumoTrace, 31>(), "TraceOp has the base slots and 31 own slots");
}  // namespace
