/* lumo: files and paths. A file object is a buffered platform stream with its open mode, the
 * byte counts of the last read and write and the last platform error number (getRc). The path
 * operations work on path strings without a file object.
 *
 * Separators: every path operation except isAbsolute and getDirName first rewrites the
 * backslashes of the string it is given into slashes, in place, so the caller passes a writable
 * string and finds it converted afterwards. inst and setFilename convert their own copy.
 *
 * Ownership: the caller owns what inst returns and releases it with del, which also closes the
 * stream. Streams are close-on-exec: commands the process runs do not inherit them. pwd and
 * getPath return new strings (StrOp.freeStr). ripPath and getDirName return pointers into the
 * caller's string; toString and getFilename return the object's own path, which the caller
 * never frees. Failures answer false (or 0) and are traced with object "OFile"; an operation
 * on a file object whose stream is closed answers false (0; getpos -1) without a trace.
 *
 * Threads: a file object belongs to one thread at a time. The fuser command and usage keyword
 * of isAccessed are process-wide and set without a lock: set them before several threads use
 * isAccessed. cd changes the working directory of the whole process. */
#ifndef LUMO_FILE_H
#define LUMO_FILE_H

#include <stdio.h>

#include <lumo/object.h>

/* Open modes of inst; any other value opens like LUMO_FILE_WRITE ("wba"). */
#define LUMO_FILE_WRITE 0     /* "wb": write, create or truncate */
#define LUMO_FILE_READ 1      /* "rb" */
#define LUMO_FILE_APPEND 2    /* "ab": append, create */
#define LUMO_FILE_UPDATE 3    /* "rb+": read and write, the file must exist */
#define LUMO_FILE_READ_RW 4   /* "rw": read */
#define LUMO_FILE_READ_RA 5   /* "ra": read */
#define LUMO_FILE_READ_TEXT 6 /* "r": read */

LUMO_EXTERN_C_BEGIN

typedef struct LumoFile LumoFile;

/* File objects:
 * readFile/writeFile: true exactly when all length bytes moved; getReaded/getWritten tell how
 *   many did. writeStr writes the string without its terminator; append writes at the end.
 * readStr reads one line: the line feed is dropped, a carriage return is stored as a
 *   terminator (and counted), false at end of file before any byte. RISK: no buffer length is
 *   passed, so a line longer than the caller's buffer overruns it. Use it only on files whose
 *   longest line is known to fit; the library itself never calls it.
 * fmtFile: printf-style; the byte counters are not touched.
 * size: the stream's current size (0 on failure); getpos: the offset (-1 on failure). Both,
 *   and fileSize, answer INT_MAX for what does not fit an int.
 * reopen(truncate): opens the path again with "w+" (true) or "a+"; the mode stays as it was.
 * setFilename: closes, takes a copy of the new path and opens it with the stored mode.
 *
 * Paths:
 * makeDir creates every missing directory along the path (permissions 0700); true when the
 *   last one exists as a directory afterwards.
 * cp copies source to destination through a 1 MiB buffer, true only when every byte arrived
 *   (holes of a sparse source stay holes); a source that is missing, or that is the destination
 *   itself, gives false and leaves the destination alone.
 * forcerename removes an existing destination first. exist: the path exists; accessCheck: it
 *   is readable. fileSize/fileTime: 0 when the path cannot be read.
 * ripPath: the part after the last separator (the whole path when there is none).
 * getPath: the path cut at its last separator, "." when there is none.
 * getDirName: the part after the last slash or backslash, without conversion.
 * isAccessed: whether some process uses the file, asked of the external fuser command. With
 *   usage "R" (usageR) the command's status tells; with "F" (usageF) its output goes to
 *   "<file name>_fuser.out" in the working directory, which is left there when it says that
 *   the file is in use. That file is never written through a symbolic link: a link in its
 *   place is refused like a file that will not open, and the check answers false. The path
 *   is quoted for the shell; a command longer than 1023 characters is refused.
 *   setFuser/setFuserUsage keep copies; null restores the default ("fuser", "R"). */
#define LUMO_FILE_OPS(X, C)                                                    \
  X(C, int, accessCheck, (char *path))                                         \
  X(C, int, append, (LumoFile * self, const void *data, int length))           \
  X(C, int, cd, (char *path))                                                  \
  X(C, int, closeFile, (LumoFile * self))                                      \
  X(C, void, convertPath2OSType, (char *path))                                 \
  X(C, int, cp, (char *source, char *destination))                             \
  X(C, int, exist, (char *path))                                               \
  X(C, int, fileSize, (char *path))                                            \
  X(C, int, fileTime, (char *path))                                            \
  X(C, int, flushFile, (LumoFile * self))                                      \
  X(C, int, fmtFile, (LumoFile * self, const char *format, ...))               \
  X(C, int, forcerename, (char *from, char *to))                               \
  X(C, const char *, getDirName, (const char *path))                           \
  X(C, const char *, getFilename, (LumoFile * self))                           \
  X(C, char *, getPath, (char *path))                                          \
  X(C, int, getRc, (LumoFile * self))                                          \
  X(C, int, getReaded, (LumoFile * self))                                      \
  X(C, FILE *, getStream, (LumoFile * self))                                   \
  X(C, int, getWritten, (LumoFile * self))                                     \
  X(C, int, getpos, (LumoFile * self))                                         \
  X(C, LumoFile *, inst, (const char *path, int mode))                         \
  X(C, int, isAbsolute, (const char *path))                                    \
  X(C, int, isAccessed, (char *path))                                          \
  X(C, int, isDirectory, (char *path))                                         \
  X(C, int, isRegularFile, (char *path))                                       \
  X(C, int, makeDir, (char *path))                                             \
  X(C, char *, pwd, (void))                                                    \
  X(C, int, readFile, (LumoFile * self, void *buffer, int length))             \
  X(C, int, readStr, (LumoFile * self, char *buffer))                          \
  X(C, int, remove, (char *path))                                              \
  X(C, int, rename, (char *from, char *to))                                    \
  X(C, int, reopen, (LumoFile * self, int truncate))                           \
  X(C, int, rewind, (LumoFile * self))                                         \
  X(C, char *, ripPath, (char *path))                                          \
  X(C, int, rmDir, (char *path))                                               \
  X(C, int, setFilename, (LumoFile * self, const char *path))                  \
  X(C, void, setFuser, (const char *command))                                  \
  X(C, void, setFuserUsage, (const char *usage))                               \
  X(C, int, setfileTime, (char *path, int time))                               \
  X(C, int, setpos, (LumoFile * self, int offset))                             \
  X(C, int, size, (LumoFile * self))                                           \
  X(C, int, writeFile, (LumoFile * self, const void *data, int length))        \
  X(C, int, writeStr, (LumoFile * self, const char *str))

struct LumoFile {
  LUMO_BASE_SLOTS(LumoFile)
  const char *usageR; /* "R": isAccessed asks the command's status */
  const char *usageF; /* "F": isAccessed asks the command's output file */
  LUMO_FILE_OPS(LUMO_SLOT_FIELD, _)
};

LUMO_API extern const LumoFile FileOp;

LUMO_EXTERN_C_END

#endif
