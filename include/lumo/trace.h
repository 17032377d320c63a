/* lumo: the trace, the system's one logging facility.
 *
 * Records are one line each: time stamp, application identifier, code, level letter, thread
 * name, object name, source line and message. A record is written when its level is in the
 * instance's mask or is one of the always-written protocol levels; it is echoed at once to
 * standard output (standard error for level E) while echo is on, and exception and warning
 * records go to the listener. The first instance created becomes the process's default trace,
 * which trc, trace, terrno, println, printHeader, dmp and dump use; before it exists they do
 * nothing. Where a trace argument may be null, null means the default trace.
 *
 * Trace files: while a base name is set, every record is also queued (at most 10000 waiting)
 * for the instance's writer thread ("tracewriter" and the instance address in hexadecimal),
 * which writes it with a line end to "<base>.<nnn>.trc" and flushes before it idles. With more
 * than one file (nrfiles, default 10) the chosen file is truncated and the writer moves on to
 * the next number once the file reaches filesize kilobytes (default 100): the first missing
 * number, else the file with the oldest modification time. With one file it is appended to.
 * With the exception file on, level E line records (trc, log) are appended, without line end,
 * to "<base>.exc"; the record that creates that file runs the invoke command, if one is set.
 * Records the trace makes about its own files (a failing open, the queue refusing a record) go
 * to the console and the listener only. The trace and exception files are never opened through
 * a symbolic link in their last component; such a file counts as one that will not open. When
 * the next file of a rotation will not open, the writer stays with the current one and tries
 * again at most once a second, reporting the failure once. A file that refuses writes (a full
 * disk) is reported on standard error once, and again only after a write has succeeded.
 *
 * Any thread may write records; they are formatted on the writing thread. Texts returned by
 * getOS, getARCH, getFilename, getCurrentFilename and toString belong to the trace and are
 * never freed by the caller; the file names and getF stay valid only until the file changes
 * (setFilename, a rotation). Messages longer than 4095 characters are cut. */
#ifndef LUMO_TRACE_H
#define LUMO_TRACE_H

#include <lumo/object.h>
#include <lumo/thread.h>

/* Level bits, named by the letter each writes into the record. */
#define LUMO_TRC_E 0x1 /* exception */
#define LUMO_TRC_I 0x2 /* information */
#define LUMO_TRC_W 0x4 /* warning */
#define LUMO_TRC_D 0x8 /* debug */
#define LUMO_TRC_B 0x10
#define LUMO_TRC_T 0x20
#define LUMO_TRC_M 0x40
#define LUMO_TRC_A 0x80
#define LUMO_TRC_P 0x100
#define LUMO_TRC_R 0x200
#define LUMO_TRC_S 0x400
#define LUMO_TRC_Z 0x800
#define LUMO_TRC_a 0x1000
#define LUMO_TRC_b 0x2000
#define LUMO_TRC_c 0x4000
#define LUMO_TRC_d 0x8000
#define LUMO_TRC_v 0x10000
#define LUMO_TRC_s 0x20000
#define LUMO_TRC_x 0x40000
#define LUMO_TRC_f 0x80000
#define LUMO_TRC_l 0x100000
#define LUMO_TRC_y 0x200000
#define LUMO_TRC_q 0x400000
#define LUMO_TRC_p 0x800000
#define LUMO_TRC_k 0x1000000
#define LUMO_TRC_C 0x2000000
#define LUMO_TRC_M2 0x4000000 /* written as "M" as well */
#define LUMO_TRC_w 0x8000000

/* The letter of each level bit, bit 0 first (0x4000000 shares "M" with 0x40); a level that is
 * not a single bit is written as "?". */
#define LUMO_TRC_LETTERS "EIWDBTMAPRSZabcdvsxflyqpkCMw"

/* E, W, P, R and w: written whatever the instance's mask says. */
#define LUMO_TRC_PROTOCOL 0x8000305

/* Default code of the library's own records. */
#define LUMO_TRC_CODE 9999

LUMO_EXTERN_C_BEGIN

typedef struct LumoTrace LumoTrace;
/* The open trace file; its operations come with the file module. */
typedef struct LumoFile LumoFile;

/* Called on the writing thread with the record's level, the message (or the whole record when
 * the full-text flag was set), the code and the object name (the empty text when there is
 * none). The texts are valid during the call only. The result is ignored. */
typedef int (*LumoTraceListener)(int level, const char *text, int code, const char *object);

/* Own operations, byte-wise ascending:
 * dmp/dump: hexadecimal dump of at most getDumpsize bytes through the default trace.
 * get/set: the default trace. del releases only the default instance (and clears it): its
 *   writer writes what is queued and stops, then the files are closed.
 * inst(level mask, base file name or null, echo flag): new trace; the first becomes default.
 * log: like trc through the given instance; nothing when it is null.
 * println: the message alone, no level check. printHeader: the three column-header lines.
 * terrno: trc plus " [errno=%d] [%s]" with the error's text.
 * trace(object name, the default trace or null, level, code, ...): record without line; the
 *   object column is left out for null and for the default trace itself.
 * setAppID stores a copy; only its first character is written into line records.
 * setFilename/getFilename/getCurrentFilename/getF, setFileSize, setNrFiles, setEbcdicDump,
 *   setExceptionFile, setInvoke: settings of the trace files (set*Size/NrFiles/Filename ignore
 *   a null trace). */
#define LUMO_TRACE_OPS(X, C)                                                                  \
  X(C, void, dmp, (const char *object, int level, int code, const void *buffer, int length))  \
  X(C, void, dump, (const char *object, int level, const void *buffer, int length))           \
  X(C, LumoTrace *, get, (void))                                                              \
  X(C, const char *, getARCH, (void))                                                         \
  X(C, const char *, getCurrentFilename, (LumoTrace * trace))                                 \
  X(C, int, getDumpsize, (LumoTrace * trace))                                                 \
  X(C, LumoFile *, getF, (LumoTrace * trace))                                                 \
  X(C, const char *, getFilename, (LumoTrace * trace))                                        \
  X(C, int, getLevel, (LumoTrace * trace))                                                    \
  X(C, const char *, getOS, (void))                                                           \
  X(C, LumoTrace *, inst, (int level, const char *file, int toStdErr))                        \
  X(C, int, isStdErr, (LumoTrace * trace))                                                    \
  X(C, void, log,                                                                             \
    (LumoTrace * trace, const char *object, int level, int line, int code, const char *format, \
     ...))                                                                                    \
  X(C, void, printHeader, (void))                                                             \
  X(C, void, println, (const char *format, ...))                                              \
  X(C, void, set, (LumoTrace * trace))                                                        \
  X(C, void, setAppID, (LumoTrace * trace, const char *appID))                                \
  X(C, void, setDumpsize, (LumoTrace * trace, int size))                                      \
  X(C, void, setEbcdicDump, (LumoTrace * trace, int flag))                                    \
  X(C, void, setExceptionFile, (LumoTrace * trace, int flag))                                 \
  X(C, void, setExceptionListener, (LumoTrace * trace, LumoTraceListener listener, int fullText)) \
  X(C, void, setFileSize, (LumoTrace * trace, int kilobytes))                                 \
  X(C, void, setFilename, (LumoTrace * trace, const char *name))                              \
  X(C, void, setInvoke, (LumoTrace * trace, const char *command, int flag))                   \
  X(C, void, setLevel, (LumoTrace * trace, int level))                                        \
  X(C, void, setMainThreadId, (LumoThreadId id))                                              \
  X(C, void, setNrFiles, (LumoTrace * trace, int count))                                      \
  X(C, void, setStdErr, (LumoTrace * trace, int flag))                                        \
  X(C, void, terrno,                                                                          \
    (const char *object, int level, int line, int code, int error, const char *format, ...))  \
  X(C, void, trace, (const void *object, int level, int code, const char *format, ...))       \
  X(C, void, trc, (const char *object, int level, int line, int code, const char *format, ...))

struct LumoTrace {
  LUMO_BASE_SLOTS(LumoTrace)
  LUMO_TRACE_OPS(LUMO_SLOT_FIELD, _)
};

LUMO_API extern const LumoTrace TraceOp;

/* Writes into the trace file every record the trace had accepted for it before the call,
 * writing on the calling thread where the writer thread lags, for at most timeoutMs
 * milliseconds. True when all of them are written (also when none was waiting); false when the
 * time ran out or the file was closed meanwhile. A null trace means the default trace. Meant
 * for a clean stop: records still queued when the process ends are lost. */
LUMO_API int lumo_trace_flush(LumoTrace *trace, int timeoutMs);

LUMO_EXTERN_C_END

#endif
