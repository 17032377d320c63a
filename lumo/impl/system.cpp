// lumo: system services: the system object and its ticker, identifiers, error and signal
// texts, shell commands, code-page conversions, the random seed, sun times and the build
// string. The operating-system functions of the table live in unx/usystem.cpp.
#include "system.hpp"

#include <lumo/mutex.h>
#include <lumo/thread.h>
#include <lumo/trace.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <condition_variable>
#include <ctime>
#include <mutex>

#include "mem.hpp"
#include "object.hpp"
#include "socket.hpp"
#include "step.hpp"
#include "str.hpp"
#include "trace.hpp"

namespace {

constexpr int kTid = LUMO_TID_SYSTEM;
constexpr const char *kSource = "impl/system";
constexpr const char *kObject = "OSystem";

lumo::ClassInfo systemClass{"OSystem", kTid, kSource};

constexpr const char *kErrStr[] = {
    "OK",  // 0
    "Operation not permitted",
    "No such file or directory",
    "No such process",
    "Interrupted system call",
    "I/O error",
    "No such device or address",
    "Arg list too long",
    "Exec format error",
    "Bad file number",
    "No child processes",  // 10
    "Try again",
    "Out of memory",
    "Permission denied",
    "Bad address",
    "Block device required",
    "Device or resource busy",
    "File exists",
    "Cross-device link",
    "No such device",
    "Not a directory",  // 20
    "Is a directory",
    "Invalid argument",
    "File table overflow",
    "Too many open files",
    "Not a typewriter",
    "Text file busy",
    "File too large",
    "No space left on device",
    "Illegal seek",
    "Read-only file system",  // 30
    "Too many links",
    "Broken pipe",
    "Math argument out of domain of func",
    "Math result not representable",
    "Resource deadlock would occur",
    "File name too long",
    "No record locks available",
    "Function not implemented",
    "Directory not empty",
    "Too many symbolic links encountered",  // 40
    "Operation would block",
    "No message of desired type",
    "Identifier removed",
    "Channel number out of range",
    "Level 2 not synchronized",
    "Level 3 halted",
    "Level 3 reset",
    "Link number out of range",
    "Protocol driver not attached",
    "No CSI structure available",  // 50
    "Level 2 halted",
    "Invalid exchange",
    "Invalid request descriptor",
    "Exchange full",
    "No anode",
    "Invalid request code",
    "Invalid slot",
    "Resource deadlock would occur",
    "Bad font file format",
    "Device not a stream",  // 60
    "No data available",
    "Timer expired",
    "Out of streams resources",
    "Machine is not on the network",
    "Package not installed",
    "Object is remote",
    "Link has been severed",
    "Advertise error",
    "Srmount error",
    "Communication error on send",  // 70
    "Protocol error",
    "Multihop attempted",
    "RFS specific error",
    "Not a data message",
    "Value too large for defined data type",
    "Name not unique on network",
    "File descriptor in bad state",
    "Remote address changed",
    "Can not access a needed shared library",
    "Accessing a corrupted shared library",  // 80
    ".lib section in a.out corrupted",
    "Attempting to link in too many shared libraries",
    "Cannot exec a shared library directly",
    "Illegal byte sequence",
    "Interrupted system call should be restarted",
    "Streams pipe error",
    "Too many users",
    "Socket operation on non-socket",
    "Destination address required",
    "Message too long",  // 90
    "Protocol wrong type for socket",
    "Protocol not available",
    "Protocol not supported",
    "Socket type not supported",
    "Operation not supported on transport endpoint",
    "Protocol family not supported",
    "Address family not supported by protocol",
    "Address already in use",
    "Cannot assign requested address",
    "Network is down",  // 100
    "Network is unreachable",
    "Network dropped connection because of reset",
    "Software caused connection abort",
    "Connection reset by peer",
    "No buffer space available",
    "Transport endpoint is already connected",
    "Transport endpoint is not connected",
    "Cannot send after transport endpoint shutdown",
    "Too many references: cannot splice",
    "Connection timed out",  // 110
    "Connection refused",
    "Host is down",
    "No route to host",
    "Operation already in progress",
    "Operation now in progress",
    "Stale NFS file handle",
    "Structure needs cleaning",
    "Not a XENIX named type file",
    "No XENIX semaphores available",
    "Is a named type file",  // 120
    "Remote I/O error",
    "Quota exceeded",
    "No medium found",
    "Wrong medium type",
};
static_assert(sizeof kErrStr / sizeof kErrStr[0] == 125, "texts for the error numbers 0..124");

constexpr const char *kSigStr[] = {
    "",  // 0
    "Hangup",
    "Interrupt",
    "Quit",
    "Illegal instruction",
    "Trace trap",
    "Abort",
    "BUS error",
    "Floating-point exception",
    "Kill, unblockable",
    "User-defined signal 1",  // 10
    "Segmentation violation",
    "User-defined signal 2",
    "Broken pipe",
    "Alarm clock",
    "Termination",
    "Stack fault",
    "Child status has changed",
    "Continue",
    "Stop, unblockable",
    "Keyboard stop",  // 20
    "Background read from tty",
    "Background write to tty",
    "Urgent condition on socket",
    "CPU limit exceeded",
    "File size limit exceeded",
    "Virtual alarm clock",
    "Profiling alarm clock",
    "",
    "I/O now possible",
    "Power failure restart",  // 30
    "Bad system call",
};
static_assert(sizeof kSigStr / sizeof kSigStr[0] == 32, "texts for the signals 0..31");

struct SystemData {
  char wsName[64] = {};    // never set on this platform
  char userName[64] = {};  // never set on this platform
  LumoThread *ticker = nullptr;
  long long createdMs = 0;  // on the monotonic clock; ticks count from here
};

// The singleton. It is never freed: its ticker thread lives for the rest of the process.
std::atomic<LumoSystem *> systemInst{nullptr};
std::mutex systemCreation;

// Identifier state, made on first use and kept for the process; the counter and the cached
// MAC text are only touched while guidMutex is held.
std::atomic<LumoMutex *> guidMutex{nullptr};
std::mutex guidCreation;
char guidMac[64];
long guidCounter = 0;
char guidLastStamp[LUMO_STAMP_SIZE];

std::atomic<char *> buildText{nullptr};

void trc(int level, int line, const char *format, ...) __attribute__((format(printf, 3, 4)));
void trc(int level, int line, const char *format, ...) {
  va_list args;
  va_start(args, format);
  trace_vtrc(kObject, level, line, LUMO_TRC_CODE, format, args);
  va_end(args);
}

// The code-page conversions refuse a text whose result would not fit an int-sized block.
char *tooLong(int len, int line) {
  trc(LUMO_TRC_E, line, "Text too long to convert: %d bytes.", len);
  return nullptr;
}

// Ticks are read from the monotonic clock; the ticker thread is kept for what it shows (its
// name in the registry, its first record) and then sleeps for the rest of the process.
void ticker(LumoThread *) {
  trc(LUMO_TRC_I, __LINE__, "Ticker thread has started.");
  std::mutex idle;
  std::condition_variable never;
  std::unique_lock<std::mutex> lock(idle);
  for (;;) never.wait(lock);
}

// A command handed to an asynchronous worker; value is carried along unused.
struct ExecRecord {
  char *command;
  int value;
};

void execWorker(LumoThread *thread) {
  ExecRecord *r = static_cast<ExecRecord *>(ThreadOp.getParm(thread));
  lumo_thread_sleep(lumo::kStepMs);
  trc(LUMO_TRC_I, __LINE__, "system = %s", r->command);
  int status = system_exec(r->command);
  int error = errno;
  if (status != 0)
    TraceOp.terrno(kObject, LUMO_TRC_I, __LINE__, LUMO_TRC_CODE, error, "Error starting: [%s]",
                   r->command);
  mem_free(r->command, kSource, __LINE__);
  mem_free(r, kSource, __LINE__);
  ThreadOp.del(thread);
}

int execAsync(const char *command, int value) {
  ExecRecord *r = static_cast<ExecRecord *>(mem_alloc(sizeof(ExecRecord), kSource, __LINE__));
  if (!r) return -1;
  // An untyped copy: strings allocated through allocTID with the untyped id would be reported.
  int length = str_len(command);
  // A saturated length (a command past 2 GiB) leaves no room for the terminator.
  r->command = length < INT_MAX ? static_cast<char *>(mem_alloc(length + 1, kSource, __LINE__))
                                : nullptr;
  if (r->command) mem_copy(r->command, lumo::orEmpty(command), length);
  r->value = value;
  LumoThread *worker = r->command ? ThreadOp.inst(nullptr, execWorker, r) : nullptr;
  if (worker && ThreadOp.start(worker)) return 0;
  trc(LUMO_TRC_E, __LINE__, "Cannot start a worker for: [%s]", command);
  if (worker) ThreadOp.del(worker);
  mem_free(r->command, kSource, __LINE__);
  mem_free(r, kSource, __LINE__);
  return -1;
}

constexpr int kGuidMaxWaits = 20;

long long monotonicMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Sleeps until the wall clock, which the stamps read, has passed into its next millisecond.
void sleepToNextMillisecond() {
  auto now = std::chrono::system_clock::now().time_since_epoch();
  auto into = std::chrono::duration_cast<std::chrono::microseconds>(now).count() % 1000;
  lumo_thread_usleep(static_cast<int>(1000 - into));
}

LumoMutex *ensureGuidMutex() {
  LumoMutex *m = guidMutex.load();
  if (m) return m;
  std::lock_guard<std::mutex> guard(guidCreation);
  if (!guidMutex.load()) guidMutex.store(MutexOp.inst(nullptr, 1));
  return guidMutex.load();
}

// Held under guidMutex. The first device asked decides for the whole process.
void ensureGuidMac(const char *macDevice) {
  if (guidMac[0]) return;
  char *mac = socket_getMAC(macDevice);
  if (mac && *mac)
    std::snprintf(guidMac, sizeof guidMac, "%s", mac);
  else
    std::snprintf(guidMac, sizeof guidMac, "%012u", static_cast<unsigned>(system_processId()));
  str_freeStr(mac);
}

// Code pages: the characters two code pages share at different positions.
struct ByteMove {
  unsigned char from, to;
};

constexpr ByteMove kCp1252ToIso[] = {
    {0x80, 0xA4},  // euro sign
    {0x8A, 0xA6},  // S with caron
    {0x8C, 0xBC},  // ligature OE
    {0x8E, 0xB4},  // Z with caron
    {0x9A, 0xA8},  // s with caron
    {0x9C, 0xBD},  // ligature oe
    {0x9E, 0xB8},  // z with caron
    {0x9F, 0xBE},  // Y with diaeresis
};

constexpr ByteMove kLatinToCp850[] = {
    {0xC4, 0x8E},  // A with diaeresis
    {0xCB, 0xD3},  // E with diaeresis
    {0xCF, 0xD8},  // I with diaeresis
    {0xD6, 0x99},  // O with diaeresis
    {0xDC, 0x9A},  // U with diaeresis
    {0xDF, 0xE1},  // sharp s
    {0xE4, 0x84},  // a with diaeresis
    {0xEB, 0x89},  // e with diaeresis
    {0xEF, 0x8B},  // i with diaeresis
    {0xF6, 0x94},  // o with diaeresis
    {0xFC, 0x81},  // u with diaeresis
};

// A new copy of text (allocation type tid) with the table's bytes moved; every other byte,
// above 0x7F too, passes unchanged.
template <std::size_t N>
char *mapBytes(const char *text, const ByteMove (&table)[N], int tid, int line) {
  if (!text) return nullptr;
  int len = str_len(text);
  if (len == INT_MAX) return tooLong(len, line);  // the length saturated
  unsigned char *out = static_cast<unsigned char *>(
      tid == LUMO_TID_UNTYPED ? mem_alloc(len + 1, kSource, line)
                              : mem_allocTID(len + 1, tid, kSource, line));
  if (!out) return nullptr;
  for (int i = 0; i < len; ++i) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    for (const ByteMove &move : table)
      if (move.from == b) {
        b = move.to;
        break;
      }
    out[i] = b;
  }
  return reinterpret_cast<char *>(out);
}

// Sun times, after the Almanac for Computers: degrees throughout.
constexpr double kPi = 3.14159265358979323846;
constexpr double kD2R = kPi / 180.0;
constexpr double kR2D = 180.0 / kPi;
constexpr double kZenith = 90.8333;  // 90 degrees 50 minutes: refraction and the sun's radius

// One step into 0..360, as the almanac does it.
double wrapDegrees(double v) {
  if (v > 360.0) return v - 360.0;
  if (v < 0.0) return v + 360.0;
  return v;
}

}  // namespace

// Direct functions.

int system_exec(const char *command) noexcept {
  if (!command) {
    trc(LUMO_TRC_E, __LINE__, "No command given.");
    return -1;
  }
  return std::system(command);
}

const char *system_getErrStr(int error) noexcept {
  if (error == -1) return "Error";
  if (error < 0 || error >= static_cast<int>(sizeof kErrStr / sizeof kErrStr[0]))
    return "Unknown errno";
  return kErrStr[error];
}

const char *system_getProperty(const char *name) noexcept {
  if (!name) return nullptr;
  return std::getenv(name);
}

int lumo::system_sunriseOn(int year, int month, int day, int dst, int rising, int offset,
                           double latitude, double longitude) noexcept {
  if (!(latitude >= -90.0 && latitude <= 90.0 && longitude >= -180.0 && longitude <= 180.0)) {
    trc(LUMO_TRC_E, __LINE__, "Invalid position: latitude=%f longitude=%f", latitude, longitude);
    return 0;
  }
  const char *what = rising ? "sunrise" : "sunset ";
  double m = month, y = year - 1900;
  double n1 = std::floor(275.0 * m / 9.0);
  double n2 = std::floor((m + 9.0) / 12.0);
  double n3 = 1.0 + std::floor((y - 4.0 * std::floor(y / 4.0) + 2.0) / 3.0);
  double n = n1 - n2 * n3 + day - 30.0;

  double lngHour = longitude / 15.0;
  double t = n + ((rising ? 6.0 : 18.0) - lngHour) / 24.0;
  double meanAnomaly = 0.9856 * t - 3.289;
  double l = wrapDegrees(meanAnomaly + 1.916 * std::sin(meanAnomaly * kD2R) +
                         0.020 * std::sin(2.0 * meanAnomaly * kD2R) + 282.634);
  double ra = wrapDegrees(kR2D * std::atan(0.91764 * std::tan(l * kD2R)));
  ra += std::floor(l / 90.0) * 90.0 - std::floor(ra / 90.0) * 90.0;  // into L's quadrant
  ra /= 15.0;
  double sinDec = 0.39782 * std::sin(l * kD2R);
  double cosDec = std::cos(std::asin(sinDec));
  double cosH = (std::cos(kZenith * kD2R) - sinDec * std::sin(latitude * kD2R)) /
                (cosDec * std::cos(latitude * kD2R));
  // Beyond +-1 the sun stays below (polar night) or above (polar day) the horizon; acos would
  // give NaN. The hour angle is held at its limit, which puts both times at solar noon on a
  // polar night and at solar midnight on a polar day.
  if (cosH > 1.0 || cosH < -1.0) {
    bool night = cosH > 1.0;
    trc(LUMO_TRC_W, __LINE__, "No %s on %02d-%02d-%d at latitude %.4f (polar %s): solar %s taken.",
        rising ? "sunrise" : "sunset", day, month, year, latitude, night ? "night" : "day",
        night ? "noon" : "midnight");
    cosH = night ? 1.0 : -1.0;
  }
  double h = (rising ? 360.0 - kR2D * std::acos(cosH) : kR2D * std::acos(cosH)) / 15.0;
  double localMeanTime = h + ra - 0.06571 * t - 6.622;
  double ut = localMeanTime - lngHour;
  if (ut > 24.0)
    ut -= 24.0;
  else if (ut < 0.0)
    ut += 24.0;

  int zone = static_cast<int>(lngHour);  // cut toward zero, not rounded
  int seconds = static_cast<int>((ut + zone) * 3600.0);
  long long hours = static_cast<long long>(offset) + (dst ? 1 : 0);
  trc(LUMO_TRC_I, __LINE__, "%s %02d-%02d-%d %02d:%02d dst=%d", what, day, month, year,
      static_cast<int>((seconds % 86400) / 3600 + hours), (seconds % 3600) / 60, dst ? 1 : 0);
  // Not reduced to one day: callers add it to the midnight of the day they asked about.
  return static_cast<int>(hours * 3600 + seconds);
}

namespace {

struct Impl : lumo::Base<LumoSystem, systemClass> {
  // The object stays for the process: its ticker thread was given it, and getTick counts from
  // its creation.
  static void del(LumoSystem *) noexcept {}

  static constexpr int (&accessDev)(const char *, int) = lumo_system_accessDev;
  static constexpr int (&accessPort)(int) = lumo_system_accessPort;
  static constexpr int (&availDevice)(int) = lumo_system_availDevice;

  static void sysbeep() noexcept {}

  static char *cp1252toISO885915(const char *text) noexcept {
    return mapBytes(text, kCp1252ToIso, LUMO_TID_UNTYPED, __LINE__);
  }

  static const char *getBuild() noexcept {
    char *text = buildText.load();
    if (text) return text;
    char *made = str_fmtID(kTid, "liblumo %d.%d.%d build %s %s", SystemOp.majorVersion,
                           SystemOp.minorVersion, SystemOp.patchLevel, SystemOp.buildDate,
                           SystemOp.buildTime);
    if (!made) return "";
    if (!buildText.compare_exchange_strong(text, made)) {
      str_freeStrID(made, kTid);
      return text;
    }
    return made;
  }

  static const char *getErrStr(int error) noexcept { return system_getErrStr(error); }
  static char getFileSeparator() noexcept { return '/'; }

  static char *getGUID(const char *macDevice) noexcept {
    LumoMutex *mutex = ensureGuidMutex();
    if (!mutex || !MutexOp.wait(mutex)) return nullptr;
    ensureGuidMac(macDevice);
    // No two identifiers share a stamp: while the clock still shows the previous identifier's
    // millisecond, this one waits for the next (a clock that does not move is not waited for
    // without end).
    char stamp[LUMO_STAMP_SIZE];
    for (int waits = 0; str_stampInto(stamp, false) && std::strcmp(stamp, guidLastStamp) == 0 &&
                        waits < kGuidMaxWaits;
         ++waits)
      sleepToNextMillisecond();
    std::memcpy(guidLastStamp, stamp, sizeof stamp);
    char *guid = str_fmt("%-12.12s%-17.17s%03ld", guidMac, stamp, guidCounter);
    ++guidCounter;
    MutexOp.post(mutex);
    return guid;
  }

  static constexpr int (&getMillis)(void) = lumo_system_getMillis;

  static int getOSType() noexcept { return 0; }
  static char getPathSeparator() noexcept { return ':'; }
  static char getPathSeparator4OS(int osType) noexcept { return osType == 1 ? '\\' : '/'; }
  static const char *getPrgExt() noexcept { return ""; }
  static const char *getProperty(const char *name) noexcept { return system_getProperty(name); }

  static const char *getSigStr(int sig) noexcept {
    if (sig < 0 || sig >= static_cast<int>(sizeof kSigStr / sizeof kSigStr[0]))
      return "Unknown signal";
    return kSigStr[sig];
  }

  static unsigned int getTick() noexcept {
    SystemData *d = lumo::dataOf<SystemData>(systemInst.load());
    if (!d) {
      trc(LUMO_TRC_E, __LINE__, "System not instantiated! Tick not available!");
      return 0;
    }
    return static_cast<unsigned int>((monotonicMs() - d->createdMs) / lumo::kStepMs);
  }

  static constexpr int (&getTime)(int *, int *, int *) = lumo_system_getTime;

  static char *getUNC(const char *path) noexcept { return lumo_system_getURL(path); }

  static const char *getUserName() noexcept {
    SystemData *d = lumo::dataOf<SystemData>(systemInst.load());
    return d && d->userName[0] ? d->userName : lumo_system_getUserName();
  }

  static const char *getWSName() noexcept {
    SystemData *d = lumo::dataOf<SystemData>(systemInst.load());
    return d && d->wsName[0] ? d->wsName : lumo_system_getWSName();
  }

  static int systemgetpid() noexcept { return system_processId(); }

  static LumoSystem *inst() noexcept {
    LumoSystem *system = systemInst.load();
    if (system) return system;
    std::lock_guard<std::mutex> guard(systemCreation);
    system = systemInst.load();
    if (system) return system;
    SystemData *d = nullptr;
    system = lumo::newInstance<SystemData>(SystemOp, systemClass, __LINE__, &d);
    if (!system) return nullptr;
    d->createdMs = monotonicMs();
    // Published before the ticker starts, so getTick works from the ticker's first trace on.
    systemInst.store(system);
    lumo::countInstance(systemClass);
    char name[32];
    std::snprintf(name, sizeof name, "tick%08" PRIXPTR, reinterpret_cast<std::uintptr_t>(system));
    d->ticker = ThreadOp.inst(name, ticker, system);
    if (!d->ticker || !ThreadOp.start(d->ticker))
      trc(LUMO_TRC_E, __LINE__, "Cannot start the ticker thread [%s].", name);
    return system;
  }

  static int isMacOS() noexcept { return 0; }
  static int isUnix() noexcept { return 1; }
  static int isWindows() noexcept { return 0; }

  static char *latin2cp850(const char *text) noexcept {
    return mapBytes(text, kLatinToCp850, LUMO_TID_STRING, __LINE__);
  }

  // The ISO-8859-15 specials other than the euro sign go out as their Latin-1 code points.
  static char *latin2utf(const char *text) noexcept {
    if (!text) return nullptr;
    int len = str_len(text);
    if (len > (INT_MAX - 1) / 3) return tooLong(len, __LINE__);
    unsigned char *buffer = static_cast<unsigned char *>(mem_alloc(3 * len + 1, kSource, __LINE__));
    if (!buffer) return nullptr;
    int o = 0;
    for (int i = 0; i < len; ++i) {
      unsigned char b = static_cast<unsigned char>(text[i]);
      if (b < 0x80) {
        buffer[o++] = b;
      } else if (b == 0xA4) {
        buffer[o++] = 0xE2;
        buffer[o++] = 0x82;
        buffer[o++] = 0xAC;
      } else {
        buffer[o++] = static_cast<unsigned char>(0xC0 | (b >> 6));
        buffer[o++] = static_cast<unsigned char>(0x80 | (b & 0x3F));
      }
    }
    char *result = str_dup(reinterpret_cast<char *>(buffer));
    mem_free(buffer, kSource, __LINE__);
    return result;
  }

  static constexpr int (&openDevice)(const char *) = lumo_system_openDevice;
  static constexpr int (&readDevice)(int, char *, int) = lumo_system_readDevice;
  static constexpr int (&readPort)(int) = lumo_system_readPort;
  static constexpr int (&releasePort)(int) = lumo_system_releasePort;
  static constexpr int (&setadmin)(void) = lumo_system_setadmin;

  static void setRandSeed() noexcept {
    // Unsigned, so the shift may drop the high bits of the time without overflowing.
    std::uint32_t seed = (static_cast<std::uint32_t>(std::time(nullptr)) << 24) +
                         static_cast<std::uint32_t>(lumo_system_getMillis());
    // Written in its signed 32-bit reading, so host and target trace the same text.
    trc(LUMO_TRC_D, __LINE__, "set random seed to %ld",
        static_cast<long>(static_cast<std::int32_t>(seed)));
    std::srand(seed);
  }

  static constexpr int (&shutdown)(const char *) = lumo_system_shutdown;

  static int sunrise(int rising, int offset, double latitude, double longitude) noexcept {
    std::time_t now = std::time(nullptr);
    struct tm tm;
    if (!localtime_r(&now, &tm)) {
      trc(LUMO_TRC_E, __LINE__, "No local time available.");
      return 0;
    }
    return lumo::system_sunriseOn(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_isdst > 0,
                                  rising, offset, latitude, longitude);
  }

  static int systemExec(const char *command, int async, int value) noexcept {
    return async && command ? execAsync(command, value) : system_exec(command);
  }

  static constexpr int (&uBusyWait)(int) = lumo_system_uBusyWait;
  static constexpr int (&usWait)(int) = lumo_system_usWait;

  // Only the first len output bytes are ever written (the block has ten more, all zero), and
  // continuation bytes are taken by their low six bits without checking their form.
  static char *utf2latin(const char *text) noexcept {
    if (!text) return nullptr;
    int len = str_len(text);
    if (len > INT_MAX - 10) return tooLong(len, __LINE__);
    unsigned char *out =
        static_cast<unsigned char *>(mem_allocTID(len + 10, LUMO_TID_STRING, kSource, __LINE__));
    if (!out) return nullptr;
    const unsigned char *in = reinterpret_cast<const unsigned char *>(text);
    int i = 0, o = 0;
    while (i < len && o < len) {
      unsigned b = in[i];
      if (b < 0x80) {
        out[o++] = static_cast<unsigned char>(b);
        ++i;
      } else if ((b & 0xE0) == 0xC0) {
        if (i + 1 < len) {
          unsigned c = ((b << 6) & 0x7C0) | (in[i + 1] & 0x3F);
          if (c <= 0xFF) out[o++] = static_cast<unsigned char>(c);
          i += 2;
        } else {
          trc(LUMO_TRC_E, __LINE__, "UTF-8 error: %d + 1 => %d", i, len);
          ++i;
        }
      } else if ((b & 0xF0) == 0xE0) {
        if (i + 2 < len) {
          unsigned c = ((b << 12) & 0xFFFF) | ((in[i + 1] << 6) & 0xFFF) | (in[i + 2] & 0x3F);
          if (c == 0x20AC)
            out[o++] = 0xA4;  // euro sign
          else if (c == 0x20A4)
            out[o++] = 0xA3;  // lira sign, as the pound sign
          else
            trc(LUMO_TRC_E, __LINE__, "Unsupported unicode=0x%04X!", c);
          i += 3;
        } else {
          trc(LUMO_TRC_E, __LINE__, "UTF-8 error: %d + 2 >= %d", i, len);
          ++i;
        }
      } else {
        trc(LUMO_TRC_E, __LINE__, "Unsupported UTF-8 sequence.");
        ++i;
      }
    }
    return reinterpret_cast<char *>(out);
  }

  static constexpr int (&writeDevice)(int, const char *, int) = lumo_system_writeDevice;
  static constexpr int (&writePort)(int, int) = lumo_system_writePort;
};

}  // namespace

const LumoSystem SystemOp = {LUMO_BASE_INIT(Impl),
                             2,
                             1,
                             0,
                             __DATE__,
                             __TIME__,
                             LUMO_SYSTEM_OPS(LUMO_SLOT_INIT_MEMBER, Impl)};

namespace {

// The table follows the order lumo.h fixes (rule 2), which is not byte-wise ascending; the
// operating-system functions are listed under their exported names and sit under their
// operation names.
constexpr const char *kDocumentedSlots[] = {
    "lumo_system_accessDev", "lumo_system_accessPort", "lumo_system_availDevice", "sysbeep",
    "cp1252toISO885915", "getBuild", "getErrStr", "getFileSeparator", "getGUID",
    "lumo_system_getMillis", "getOSType", "getPathSeparator", "getPathSeparator4OS", "getPrgExt",
    "getProperty", "getSigStr", "getTick", "lumo_system_getTime", "getUNC", "getUserName",
    "getWSName", "systemgetpid", "inst", "isMacOS", "isUnix", "isWindows", "latin2cp850",
    "latin2utf", "lumo_system_openDevice", "lumo_system_readDevice", "lumo_system_readPort",
    "lumo_system_releasePort", "lumo_system_setadmin", "setRandSeed", "lumo_system_shutdown",
    "sunrise", "systemExec", "lumo_system_uBusyWait", "lumo_system_usWait", "utf2latin",
    "lumo_system_writeDevice", "lumo_system_writePort"};
constexpr const char *kSystemSlots[] = {LUMO_SYSTEM_OPS(LUMO_SLOT_NAME, _)};

constexpr bool sameSlot(const char *slot, const char *documented) {
  constexpr const char prefix[] = "lumo_system_";
  std::size_t i = 0;
  while (prefix[i] && documented[i] == prefix[i]) ++i;
  if (prefix[i]) i = 0;  // not an operating-system function: compared whole
  return lumo::compareNames(slot, documented + i) == 0;
}

constexpr bool documentedOrder() {
  constexpr std::size_t n = sizeof kDocumentedSlots / sizeof kDocumentedSlots[0];
  if (sizeof kSystemSlots / sizeof kSystemSlots[0] != n) return false;
  for (std::size_t i = 0; i < n; ++i)
    if (!sameSlot(kSystemSlots[i], kDocumentedSlots[i])) return false;
  return true;
}
static_assert(documentedOrder(), "SystemOp slots follow the order lumo.h fixes");

constexpr std::size_t kSlot = sizeof(void *);
// Five members between the base slots and the operations: one slot each on the 32-bit target.
static_assert(offsetof(LumoSystem, majorVersion) == lumo::kOwnSlotsAt &&
                  offsetof(LumoSystem, minorVersion) == lumo::kOwnSlotsAt + sizeof(int) &&
                  offsetof(LumoSystem, patchLevel) == lumo::kOwnSlotsAt + 2 * sizeof(int) &&
                  offsetof(LumoSystem, buildTime) == offsetof(LumoSystem, buildDate) + kSlot,
              "SystemOp: base slots, then five members");
static_assert(kSlot != 4 || offsetof(LumoSystem, accessDev) == 17 * kSlot,
              "on the 32-bit target every member takes one slot");

}  // namespace

LUMO_CHECK_SLOTS(LumoSystem, LUMO_SYSTEM_OPS,
                 offsetof(LumoSystem, buildTime) + sizeof(const char *));
