/* lumo: system services: a 10 ms tick counter, unique identifiers, time, operating-system facts,
 * error and signal texts, shell commands, code-page conversions, the random seed, sun times
 * and the build string of the library.
 *
 * The system object is a singleton: the first inst creates it and starts its ticker thread,
 * later calls return the same object. It lives for the rest of the process; del of it does
 * nothing, because the ticker keeps using it. Every operation may be called from any thread.
 *
 * Ownership: getGUID, getUNC, latin2utf, utf2latin and latin2cp850 return new strings the
 * caller frees with StrOp.freeStr; cp1252toISO885915 returns an untyped block the caller frees
 * with MemOp.free. getBuild, getErrStr, getSigStr, getPrgExt, getProperty, getUserName and
 * getWSName return texts the caller must not free. */
#ifndef LUMO_SYSTEM_H
#define LUMO_SYSTEM_H

#include <lumo/object.h>

LUMO_EXTERN_C_BEGIN

typedef struct LumoSystem LumoSystem;

/* Own operations in table order. The operating-system functions below sit in the table under
 * their operation names (accessDev is lumo_system_accessDev, and so on).
 *
 * getTick: 10 ms ticks since inst, on the monotonic clock (wraps at 32 bits); 0, traced at E,
 *   before inst.
 * getGUID(device): MAC text of the device (12 characters), the 17-digit stamp without dots
 *   and a process-wide counter of at least three digits. Null when the identifier lock
 *   cannot be taken. No two identifiers of a process share a stamp: a call made within the
 *   millisecond of the previous one waits for the next.
 * getErrStr: the Linux text of an error number 0..124, "Error" for -1, "Unknown errno"
 *   otherwise. getSigStr: the text of signal 0..31, "Unknown signal" otherwise.
 * getFileSeparator '/', getPathSeparator ':', getPathSeparator4OS: '\' for OS type 1, '/'
 *   otherwise. getOSType 0; isUnix true; isWindows, isMacOS false. getPrgExt "".
 * getUNC: a copy of the path. getBuild: "liblumo 2.1.0 build <date> <time>", kept by the
 *   module.
 * systemExec(command, async, value): without async, runs the command through the shell and
 *   returns its status (-1 for a null command). With async, runs it on a short-lived worker
 *   thread and returns 0 at once (-1 when the worker cannot be started); a failing command is
 *   only traced. value is carried along and not used.
 * cp1252toISO885915, latin2cp850: byte-for-byte, only the characters of the two code pages'
 *   tables are moved. latin2utf: ISO-8859-15 to UTF-8. utf2latin: UTF-8 to ISO-8859-15;
 *   characters outside ISO-8859-15 are dropped and malformed input is traced at E.
 * setRandSeed: seeds the C library's generator from the time (unsigned 32-bit arithmetic).
 * sunrise(rising, offset, latitude, longitude): local time of today's sunrise (rising true)
 *   or sunset in seconds after midnight, for a zone taken as longitude/15 cut toward zero,
 *   plus offset hours, plus one hour while daylight-saving time is in force. Not reduced to
 *   one day: it may be negative or exceed 86400. Where the sun does not rise or set that day
 *   the condition is traced at W and both sunrise and sunset are given as solar noon on a
 *   polar night and as solar midnight on a polar day (the hour angle held at its limit). A
 *   latitude outside -90..90 or a longitude outside -180..180 is traced at E and gives 0. */
#define LUMO_SYSTEM_OPS(X, C)                                                        \
  X(C, int, accessDev, (const char *path, int readOnly))                             \
  X(C, int, accessPort, (int port))                                                  \
  X(C, int, availDevice, (int handle))                                               \
  X(C, void, sysbeep, (void))                                                        \
  X(C, char *, cp1252toISO885915, (const char *text))                                \
  X(C, const char *, getBuild, (void))                                               \
  X(C, const char *, getErrStr, (int error))                                         \
  X(C, char, getFileSeparator, (void))                                               \
  X(C, char *, getGUID, (const char *macDevice))                                     \
  X(C, int, getMillis, (void))                                                       \
  X(C, int, getOSType, (void))                                                       \
  X(C, char, getPathSeparator, (void))                                               \
  X(C, char, getPathSeparator4OS, (int osType))                                      \
  X(C, const char *, getPrgExt, (void))                                              \
  X(C, const char *, getProperty, (const char *name))                                \
  X(C, const char *, getSigStr, (int sig))                                           \
  X(C, unsigned int, getTick, (void))                                                \
  X(C, int, getTime, (int *hours, int *minutes, int *seconds))                       \
  X(C, char *, getUNC, (const char *path))                                           \
  X(C, const char *, getUserName, (void))                                            \
  X(C, const char *, getWSName, (void))                                              \
  X(C, int, systemgetpid, (void))                                                    \
  X(C, LumoSystem *, inst, (void))                                                   \
  X(C, int, isMacOS, (void))                                                         \
  X(C, int, isUnix, (void))                                                          \
  X(C, int, isWindows, (void))                                                       \
  X(C, char *, latin2cp850, (const char *text))                                      \
  X(C, char *, latin2utf, (const char *text))                                        \
  X(C, int, openDevice, (const char *name))                                          \
  X(C, int, readDevice, (int handle, char *buffer, int length))                      \
  X(C, int, readPort, (int port))                                                    \
  X(C, int, releasePort, (int port))                                                 \
  X(C, int, setadmin, (void))                                                        \
  X(C, void, setRandSeed, (void))                                                    \
  X(C, int, shutdown, (const char *password))                                        \
  X(C, int, sunrise, (int rising, int offset, double latitude, double longitude))    \
  X(C, int, systemExec, (const char *command, int async, int value))                 \
  X(C, int, uBusyWait, (int us))                                                     \
  X(C, int, usWait, (int us))                                                        \
  X(C, char *, utf2latin, (const char *text))                                        \
  X(C, int, writeDevice, (int handle, const char *buffer, int length))               \
  X(C, int, writePort, (int port, int value))

/* The version and build members come after the base slots and ahead of the operations. */
struct LumoSystem {
  LUMO_BASE_SLOTS(LumoSystem)
  int majorVersion; /* 2 */
  int minorVersion; /* 1 */
  int patchLevel;   /* 0 */
  const char *buildDate; /* "Mmm dd yyyy" of the library build */
  const char *buildTime; /* "hh:mm:ss" of the library build */
  LUMO_SYSTEM_OPS(LUMO_SLOT_FIELD, _)
};

LUMO_API extern const LumoSystem SystemOp;

/* Operating-system layer. */

/* Whether the process may read (readOnly) or read and write the file. */
LUMO_API int lumo_system_accessDev(const char *path, int readOnly);
/* Port and device access: nothing on this platform; every one returns 0. */
LUMO_API int lumo_system_accessPort(int port);
LUMO_API int lumo_system_availDevice(int handle);
LUMO_API int lumo_system_openDevice(const char *name);
LUMO_API int lumo_system_readDevice(int handle, char *buffer, int length);
LUMO_API int lumo_system_readPort(int port);
LUMO_API int lumo_system_releasePort(int port);
LUMO_API int lumo_system_writeDevice(int handle, const char *buffer, int length);
LUMO_API int lumo_system_writePort(int port, int value);
/* The millisecond part (0..999) of the current time of day. */
LUMO_API int lumo_system_getMillis(void);
/* The millisecond part of the current time; each non-null pointer receives the local hour,
 * minute and second of the same moment. */
LUMO_API int lumo_system_getTime(int *hours, int *minutes, int *seconds);
/* Tries to become the super-user; true when the real user id is then 0. */
LUMO_API int lumo_system_setadmin(void);
/* Halts the machine through sudo, the password quoted for the shell; returns the shell's
 * status, or -1 (traced at E) when the command does not fit its 256-byte buffer. */
LUMO_API int lumo_system_shutdown(const char *password);
/* Sleeps us microseconds (negative sleeps 0), resuming after interruptions; false when the
 * sleep fails for another reason. */
LUMO_API int lumo_system_uBusyWait(int us);
/* Sleeps us microseconds (negative sleeps 0); false when the sleep reports an error,
 * interruption included. */
LUMO_API int lumo_system_usWait(int us);
/* Workstation and user name: not available on this platform, traced at W; the empty text. */
LUMO_API const char *lumo_system_getWSName(void);
LUMO_API const char *lumo_system_getUserName(void);
/* A new string (StrOp.freeStr) with the path in the platform's form: a copy here. */
LUMO_API char *lumo_system_getURL(const char *path);

LUMO_EXTERN_C_END

#endif
