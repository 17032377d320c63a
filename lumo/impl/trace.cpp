// lumo: the trace's records: record formats, the level filter, console echo, the listener, dump
// records and the process's default instance. Records are formatted on the writing thread, in
// its own stack buffers and allocations, and handed to the files (trace_file.cpp); settings are
// atomics because any thread may change them.
#include "trace.hpp"

#include <lumo/ebcdic.h>
#include <lumo/mutex.h>
#include <lumo/queue.h>
#include <lumo/system.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "mem.hpp"
#include "object.hpp"
#include "str.hpp"
#include "system.hpp"

using lumo::tracing::TraceData;
using lumo::tracing::kSource;
using lumo::tracing::kTid;

namespace {

constexpr int kMessageSize = 4096;  // at most 4095 characters of a message are kept
constexpr int kQueueCapacity = 10000;
constexpr int kEbcdicCodePage = 1252;

// Levels that reach the listener: trc and log pass the wide set, trace and terrno E and W only.
constexpr int kListenerLevels = LUMO_TRC_E | LUMO_TRC_W | LUMO_TRC_c | LUMO_TRC_v | LUMO_TRC_s |
                                LUMO_TRC_x | LUMO_TRC_f | LUMO_TRC_p | LUMO_TRC_w;
constexpr int kExceptionListenerLevels = LUMO_TRC_E | LUMO_TRC_W;

constexpr char kLetters[] = LUMO_TRC_LETTERS;
static_assert(sizeof kLetters - 1 == 28, "one letter per level bit");

constexpr const char *kHeaderRule =
    "-------------------+------+--------+--------+----+---------- - - -";

lumo::ClassInfo traceClass{"OTrace", kTid, kSource};
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
  if (lumo::tracing::writesSilenced()) return false;
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
}  // namespace

void lumo::tracing::freeRecord(char *record) noexcept {
  mem_freeTID(record, kTid, kSource, __LINE__);
}

namespace {

using lumo::tracing::freeRecord;

// The first character of the application identifier, as a one-character text.
void appIdHead(TraceData *d, char (&head)[2]) {
  head[0] = d->appHead.load(std::memory_order_relaxed);
  head[1] = '\0';
}

char *appIdCopy(TraceData *d) {
  std::lock_guard<std::mutex> guard(d->textLock);
  return str_dupID(orEmpty(d->appID), kTid);
}
void writeOut(TraceData *d, int level, const char *record, std::size_t length) {
  if (!lumo::tracing::writingOwnFiles()) lumo::tracing::handToFileWriter(d, record, length);
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
    if (r.form == Form::Line && r.level == LUMO_TRC_E && !lumo::tracing::writingOwnFiles() &&
        d->exceptionFile.load(std::memory_order_relaxed))
      lumo::tracing::appendToExceptionFile(d, text);
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
    if (lumo::tracing::isWriterOf(d)) return;
    waitForOlderPins();
    // Everything the instance made is released with it, the files and their writer first.
    lumo::tracing::endFiles(d);
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
    lumo::tracing::addInstance(d);
    if (file) setFilename(trace, file);
    mainThreadId.store(lumo_thread_id());
    lumo::tracing::startWriter(trace, d);
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

  static void setFilename(LumoTrace *trace, const char *name) noexcept {
    Pin pin(trace, false);
    if (TraceData *d = pin.data()) lumo::tracing::switchFile(d, name);
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
  return lumo::tracing::flushFiles(pin.data(), timeoutMs) ? 1 : 0;
}


const LumoTrace TraceOp = {LUMO_BASE_INIT(Impl), LUMO_TRACE_OPS(LUMO_SLOT_INIT_MEMBER, Impl)};

LUMO_CHECK_TABLE(LumoTrace, LUMO_TRACE_OPS, lumo::kOwnSlotsAt);
