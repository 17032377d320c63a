// lumo: files and paths. File objects wrap a buffered stdio stream; path operations call the
// POSIX file-system functions directly. Paths are converted to slashes in place before use.
#include "file.hpp"

#include <lumo/strtok.h>
#include <lumo/trace.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "mem.hpp"
#include "object.hpp"
#include "str.hpp"
#include "system.hpp"

namespace {

constexpr int kTid = LUMO_TID_FILE;
constexpr const char *kSource = "impl/file";
constexpr const char *kObject = "OFile";
constexpr char kSeparator = '/';
constexpr char kForeignSeparator = '\\';
constexpr int kCopyBufferSize = 1048576;
constexpr int kPwdBufferSize = 1024;
constexpr int kCommandSize = 1024;  // shell commands of isAccessed, terminator included
constexpr const char *kUsageR = "R";
constexpr const char *kUsageF = "F";

lumo::ClassInfo fileClass{"OFile", kTid, kSource};

struct FileData {
  FILE *stream = nullptr;
  int mode = 0;
  char *path = nullptr;  // under the file allocation type, separators converted
  int size = 0;
  int readCount = 0;
  int writtenCount = 0;
  int rc = 0;
  // Files the library creates where others may write (trace, exception and fuser output files)
  // are opened without following a symbolic link in their last component.
  bool noFollow = false;
};

// The fuser command and its usage keyword: process-wide, null for the defaults. A check works on
// copies taken under the lock, so a replacement on another thread never frees text in use.
std::mutex settingsLock;
char *fuserCommand = nullptr;
char *fuserUsage = nullptr;

const char *modeString(int mode) {
  static const char *const kModes[] = {"wb", "rb", "ab", "rb+", "rw", "ra", "r"};
  return mode >= 0 && mode < static_cast<int>(sizeof kModes / sizeof kModes[0]) ? kModes[mode]
                                                                                : "wba";
}

FileData *dataOf(LumoFile *file) { return lumo::dataOf<FileData>(file); }

// The flags open(2) takes for a stream mode string, as the C library reads it: the first
// character says read, write or append, a '+' anywhere after it adds the other direction.
int openFlags(const char *mode) {
  bool both = std::strchr(mode + 1, '+') != nullptr;
  switch (mode[0]) {
    case 'w': return (both ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
    case 'a': return (both ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
    default: return both ? O_RDWR : O_RDONLY;
  }
}

// A stream over path, close-on-exec so that no command the process runs inherits it. Without
// noFollow the C library opens it; with noFollow a symbolic link in the last component is
// refused (ELOOP), and a FIFO without a reader is refused (ENXIO) instead of blocking the
// caller for good. errno tells why on failure.
FILE *openPath(const char *path, const char *mode, bool noFollow) {
  if (!noFollow) {
    char withCloexec[8];
    std::snprintf(withCloexec, sizeof withCloexec, "%se", mode);
    return std::fopen(path, withCloexec);
  }
  int fd = ::open(path, openFlags(mode) | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0666);
  if (fd < 0) return nullptr;
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  FILE *stream = ::fdopen(fd, mode);
  if (!stream) {
    int err = errno;
    ::close(fd);
    errno = err;
  }
  return stream;
}

void traceOpenFailure(const FileData *d, const char *mode) {
  TraceOp.terrno(kObject, LUMO_TRC_E, __LINE__, 500, d->rc, "Error open file [%s] [%s]", d->path,
                 mode);
}

// Opens the path with the stored mode; the trace names the mode string that was refused.
bool openStream(FileData *d) {
  if (!d->path) return false;
  const char *mode = modeString(d->mode);
  file_convertPath2OSType(d->path);
  d->stream = openPath(d->path, mode, d->noFollow);
  d->rc = errno;
  if (!d->stream) traceOpenFailure(d, mode);
  return d->stream != nullptr;
}

bool statPath(char *path, struct stat *st) {
  if (!path) return false;
  file_convertPath2OSType(path);
  return ::stat(path, st) == 0;
}

bool sameFile(const char *a, const char *b) {
  struct stat sa, sb;
  return ::stat(a, &sa) == 0 && ::stat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

// One directory of makeDir. An existing directory is success; anything else in its place is
// not, because nothing could be created below it.
bool makeOneDir(const char *path) {
  if (::mkdir(path, 0700) == 0) return true;
  int err = errno;
  struct stat st;
  if (err == EEXIST && ::stat(path, &st) == 0 && S_ISDIR(st.st_mode)) return true;
  TraceOp.terrno(kObject, LUMO_TRC_E, __LINE__, 511, err, "Error mkdir() [%s]", path);
  return false;
}

// Sizes and offsets of files are 64-bit inside; the int getters saturate.
int saturated(off_t value) {
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

// The current size of an open stream, output written through it included; rc as the platform
// left it.
bool streamSize(FileData *d, off_t *size) {
  std::fflush(d->stream);
  struct stat st;
  int r = ::fstat(fileno(d->stream), &st);
  d->rc = errno;
  *size = r == 0 ? st.st_size : 0;
  return r == 0;
}

// Reads length bytes at offset from the stream's descriptor (its stdio position is not used):
// the same counters and failure record as readFile.
bool readAt(FileData *d, unsigned char *buffer, int length, off_t offset) {
  int got = 0;
  while (got < length) {
    ssize_t n = ::pread(fileno(d->stream), buffer + got, static_cast<std::size_t>(length - got),
                        offset + got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<int>(n);
  }
  d->readCount = got;
  d->rc = errno;
  if (got != length)
    TraceOp.terrno(kObject, LUMO_TRC_E, __LINE__, 501, d->rc, "Error read file [%s]",
                   lumo::orEmpty(d->path));
  return got == length;
}

// Where the data from offset on lies: [*start, *end), both at most total. Where the platform
// does not report holes, everything up to the end is data.
void nextData(int fd, off_t offset, off_t total, off_t *start, off_t *end) {
  off_t data = ::lseek(fd, offset, SEEK_DATA);
  if (data < 0) data = errno == ENXIO ? total : offset;  // ENXIO: only a hole is left
  if (data > total) data = total;
  off_t hole = data < total ? ::lseek(fd, data, SEEK_HOLE) : total;
  *start = data;
  *end = hole < data || hole > total ? total : hole;
}

// Copies the source's size as it was at the start, counted in 64 bits; true only when every
// byte arrived. Holes of a sparse source are skipped and stay holes in the copy, so a sparse
// image costs the time of its data rather than of its size.
int copyStreams(LumoFile *in, LumoFile *out, unsigned char *buffer) {
  FileData *src = dataOf(in), *dst = dataOf(out);
  off_t total = 0;
  if (!streamSize(src, &total)) return 0;
  const int fd = fileno(src->stream);
  off_t offset = 0, written = 0;
  bool ok = true;
  while (ok && offset < total) {
    off_t start = 0, end = 0;
    nextData(fd, offset, total, &start, &end);
    if (start > written) ok = ::fseeko(dst->stream, start, SEEK_SET) == 0;
    for (off_t at = start; ok && at < end; at += kCopyBufferSize) {
      int want = static_cast<int>(end - at < kCopyBufferSize ? end - at : kCopyBufferSize);
      ok = readAt(src, buffer, want, at) && file_writeFile(out, buffer, want);
      if (ok) written = at + want;
    }
    offset = end;
  }
  // A hole at the end is not written: the size makes it. A source that shrank meanwhile did not
  // deliver every byte, even where its new end reads as a hole.
  off_t now = 0;
  if (ok && written < total)
    ok = std::fflush(dst->stream) == 0 && ::ftruncate(fileno(dst->stream), total) == 0;
  if (ok) ok = streamSize(src, &now) && now >= total;
  return ok;
}

// A shell command in a fixed buffer. Text that does not fit marks the command as refused
// rather than running a cut one.
class Command {
 public:
  Command &add(const char *text) {
    for (const char *p = text; *p; ++p) put(*p);
    return *this;
  }
  // One shell word whatever it holds: single quotes, each embedded one written as '\''.
  Command &addQuoted(const char *text) {
    put('\'');
    for (const char *p = text; *p; ++p) {
      if (*p == '\'')
        add("'\\''");
      else
        put(*p);
    }
    put('\'');
    return *this;
  }
  bool fits() const { return !overflow_; }
  const char *text() const { return buffer_; }

 private:
  void put(char c) {
    if (length_ + 1 >= kCommandSize) {
      overflow_ = true;
      return;
    }
    buffer_[length_++] = c;
    buffer_[length_] = '\0';
  }
  char buffer_[kCommandSize] = {};
  int length_ = 0;
  bool overflow_ = false;
};

// A copy of a setting, or of its default; the caller holds settingsLock.
char *copySetting(const char *slot, const char *fallback) {
  return str_dupID(slot ? slot : fallback, kTid);
}

// A copy that cannot be made leaves the setting as it was.
void replaceSetting(char *&slot, const char *text) {
  char *fresh = text ? str_dupID(text, kTid) : nullptr;
  if (text && !fresh) return;
  char *old;
  {
    std::lock_guard<std::mutex> guard(settingsLock);
    old = slot;
    slot = fresh;
  }
  str_freeStrID(old, kTid);
}

// Runs the shell command with its standard output in the file name, which is created here,
// not by the shell: a redirection would follow a symbolic link planted under that name. The
// bytes the command wrote, or -1 when the file could not be made (traced like any open).
long long runInto(const char *command, char *name) {
  LumoFile *out = file_instNoFollow(name, LUMO_FILE_WRITE);
  if (!out) return -1;
  long long size = 0;
  if (FILE *output = ::popen(command, "re")) {
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, output)) > 0;)
      if (file_writeFile(out, buffer, static_cast<int>(n))) size += static_cast<long long>(n);
    ::pclose(output);
  }
  file_del(out);
  return size;
}

void traceTooLong(const char *path) {
  TraceOp.trc(kObject, LUMO_TRC_E, __LINE__, LUMO_TRC_CODE, "Error fuser command too long [%s]",
              path);
}

struct Impl : lumo::Base<LumoFile, fileClass> {
  static void del(LumoFile *file) noexcept { file_del(file); }

  // The object's own path, not a copy.
  static char *toString(LumoFile *file) noexcept {
    FileData *d = dataOf(file);
    return d ? d->path : nullptr;
  }
};

}  // namespace

void file_del(LumoFile *file) noexcept {
  if (!file) return;
  if (FileData *d = dataOf(file)) {
    file_closeFile(file);
    str_freeStrID(d->path, kTid);
    d->path = nullptr;
  }
  bool counted = fileClass.instCnt.load(std::memory_order_relaxed) >= 1;
  if (!counted) std::printf("***** FileOp.base.del() instCnt can't be decreased...\n");
  lumo::freeInstance<FileData>(file, fileClass, __LINE__, counted);
}

// File objects.

namespace {

LumoFile *newFile(const char *path, int mode, bool noFollow) {
  FileData *d = nullptr;
  LumoFile *file = lumo::newInstance<FileData>(FileOp, fileClass, __LINE__, &d);
  if (!file) return nullptr;
  lumo::countInstance(fileClass);
  d->mode = mode;
  d->noFollow = noFollow;
  d->path = path ? str_dupID(path, kTid) : nullptr;
  if (!openStream(d)) {
    file_del(file);
    return nullptr;
  }
  return file;
}

}  // namespace

LumoFile *file_inst(const char *path, int mode) noexcept { return newFile(path, mode, false); }

LumoFile *file_instNoFollow(const char *path, int mode) noexcept {
  return newFile(path, mode, true);
}

int file_closeFile(LumoFile *file) noexcept {
  FileData *d = dataOf(file);
  if (!d || !d->stream) return 0;
  int r = std::fclose(d->stream);
  d->rc = errno;
  d->stream = nullptr;
  if (r != 0)
    TraceOp.terrno(kObject, LUMO_TRC_E, __LINE__, 505, d->rc, "Error close file [%s]",
                   lumo::orEmpty(d->path));
  return r == 0;
}

int file_flushFile(LumoFile *file) noexcept {
  FileData *d = dataOf(file);
  if (!d || !d->stream) return 0;
  int r = std::fflush(d->stream);
  d->rc = errno;
  return r == 0;
}

int file_readFile(LumoFile *file, void *buffer, int length) noexcept {
  FileData *d = dataOf(file);
  if (!d) return 0;
  if (length < 0) {
    d->readCount = 0;
    TraceOp.trc(kObject, LUMO_TRC_E, __LINE__, 501, "Error read file [%s]: length %d",
                lumo::orEmpty(d->path), length);
    return 0;
  }
  d->readCount = 0;
  if (!d->stream || length < 0 || (!buffer && length > 0)) return 0;
  std::size_t n = length > 0 ? std::fread(buffer, 1, static_cast<std::size_t>(length), d->stream)
                             : 0;
  d->readCount = static_cast<int>(n);
  d->rc = errno;
  if (d->readCount != length)
    TraceOp.terrno(kObject, LUMO_TRC_E, __LINE__, 501, d->rc, "Error read file [%s]",
                   lumo::orEmpty(d->path));
  return d->readCount == length;
}

int file_readStr(LumoFile *file, char *buffer) noexcept {
  FileData *d = dataOf(file);
  if (!d) return 0;
  d->readCount = 0;
  if (!d->stream || !buffer) return 0;
  int n = 0;
  bool lineEnd = false;
  for (int c; (c = std::fgetc(d->stream)) != EOF;) {
    if (c == '\n') {
      lineEnd = true;
      break;
    }
    if (c == '\r') {
      buffer[n++] = '\0';
    } else {
      buffer[n++] = static_cast<char>(c);
      buffer[n] = '\0';
    }
  }
  if (n == 0 && !lineEnd) return 0;
  if (n == 0) buffer[0] = '\0';
  d->readCount = n;
  d->rc = errno;
  return 1;
}

int file_writeFile(LumoFile *file, const void *data, int length) noexcept {
  FileData *d = dataOf(file);
  if (!d) return 0;
  if (length < 0) {
    d->writtenCount = 0;
    TraceOp.trc(kObject, LUMO_TRC_E, __LINE__, 502, "Error write file [%s]: length %d",
                lumo::orEmpty(d->path), length);
    return 0;
  }
  d->writtenCount = 0;
  if (!d->stream || length < 0 || (!data && length > 0)) return 0;
  std::size_t n =
      length > 0 ? std::fwrite(data, 1, static_cast<std::size_t>(length), d->stream) : 0;
  d->writtenCount = static_cast<int>(n);
  d->rc = errno;
  if (d->writtenCount != length)
    TraceOp.terrno(kObject, LUMO_TRC_E, __LINE__, 502, d->rc, "Error write file [%s]",
                   lumo::orEmpty(d->path));
  return d->writtenCount == length;
}

int file_writeStr(LumoFile *file, const char *str) noexcept {
  if (!str) return 0;
  // A length int cannot hold would be written only in part and reported as written.
  std::size_t length = std::strlen(str);
  if (length > static_cast<std::size_t>(INT_MAX)) {
    TraceOp.trc(kObject, LUMO_TRC_E, __LINE__, 502, "Error write file [%s]: length %zu",
                file && dataOf(file) && dataOf(file)->path ? dataOf(file)->path : "", length);
    return 0;
  }
  return file_writeFile(file, str, static_cast<int>(length));
}

int file_append(LumoFile *file, const void *data, int length) noexcept {
  FileData *d = dataOf(file);
  if (d && d->stream) std::fseek(d->stream, 0, SEEK_END);
  return file_writeFile(file, data, length);
}

int file_vfmtFile(LumoFile *file, const char *format, va_list args) noexcept {
  FileData *d = dataOf(file);
  if (!d || !d->stream || !format) return 0;
  if (std::vfprintf(d->stream, format, args) >= 0) return 1;
  d->rc = errno;
  TraceOp.terrno(kObject, LUMO_TRC_E, __LINE__, 502, d->rc, "Error write file [%s]",
                 lumo::orEmpty(d->path));
  return 0;
}

int file_fmtFile(LumoFile *file, const char *format, ...) noexcept {
  va_list args;
  va_start(args, format);
  int r = file_vfmtFile(file, format, args);
  va_end(args);
  return r;
}

// Buffered output is flushed first, so the size counts what was written through the stream.
int file_size(LumoFile *file) noexcept {
  FileData *d = dataOf(file);
  if (!d || !d->stream) return 0;
  off_t size = 0;
  streamSize(d, &size);
  d->size = saturated(size);
  return d->size;
}

int file_rewind(LumoFile *file) noexcept {
  FileData *d = dataOf(file);
  if (!d || !d->stream) return 0;
  int r = std::fseek(d->stream, 0, SEEK_SET);
  d->rc = errno;
  if (r == 0) std::clearerr(d->stream);
  return r == 0;
}

int file_setpos(LumoFile *file, int offset) noexcept {
  FileData *d = dataOf(file);
  if (!d || !d->stream) return 0;
  int r = std::fseek(d->stream, offset, SEEK_SET);
  d->rc = errno;
  return r == 0;
}

int file_getpos(LumoFile *file) noexcept {
  FileData *d = dataOf(file);
  if (!d || !d->stream) return -1;
  off_t pos = ftello(d->stream);
  d->rc = errno;
  return pos < 0 ? -1 : saturated(pos);
}

int file_setFilename(LumoFile *file, const char *path) noexcept {
  FileData *d = dataOf(file);
  if (!d) return 0;
  // Copied before the old path goes: the caller may pass getFilename's own string.
  char *copy = path ? str_dupID(path, kTid) : nullptr;
  file_closeFile(file);
  str_freeStrID(d->path, kTid);
  d->path = copy;
  return openStream(d);
}

const char *file_getFilename(LumoFile *file) noexcept {
  FileData *d = dataOf(file);
  return d ? d->path : nullptr;
}

int file_reopen(LumoFile *file, int truncate) noexcept {
  FileData *d = dataOf(file);
  if (!d || !d->path) return 0;
  if (d->stream) {
    std::fclose(d->stream);
    d->stream = nullptr;
  }
  const char *mode = truncate ? "w+" : "a+";
  d->stream = openPath(d->path, mode, d->noFollow);
  d->rc = errno;
  if (!d->stream) traceOpenFailure(d, mode);
  return d->stream != nullptr;
}

int file_getRc(LumoFile *file) noexcept {
  FileData *d = dataOf(file);
  return d ? d->rc : 0;
}

int file_getReaded(LumoFile *file) noexcept {
  FileData *d = dataOf(file);
  return d ? d->readCount : 0;
}

int file_getWritten(LumoFile *file) noexcept {
  FileData *d = dataOf(file);
  return d ? d->writtenCount : 0;
}

FILE *file_getStream(LumoFile *file) noexcept {
  FileData *d = dataOf(file);
  return d ? d->stream : nullptr;
}

// Paths.

void file_convertPath2OSType(char *path) noexcept {
  if (!path) return;
  TraceOp.trc(kObject, LUMO_TRC_D, __LINE__, LUMO_TRC_CODE, "before convert: [%s]", path);
  for (char *p = path; *p; ++p)
    if (*p == kForeignSeparator) *p = kSeparator;
  TraceOp.trc(kObject, LUMO_TRC_D, __LINE__, LUMO_TRC_CODE, "after convert: [%s]", path);
}

int file_makeDir(char *path) noexcept {
  if (!path) return 0;
  file_convertPath2OSType(path);
  // Every prefix is at most as long as the path itself.
  int length = static_cast<int>(std::strlen(path));
  char *prefix = static_cast<char *>(mem_allocTID(length + 1, kTid, kSource, __LINE__));
  LumoStrTok *pieces = prefix ? StrTokOp.inst(path, kSeparator) : nullptr;
  int ok = 0;
  if (pieces) {
    int used = 0;
    for (bool first = true; StrTokOp.hasMoreTokens(pieces); first = false) {
      const char *piece = StrTokOp.nextToken(pieces);
      if (!first) prefix[used++] = kSeparator;
      std::size_t n = std::strlen(piece);
      std::memcpy(prefix + used, piece, n);
      used += static_cast<int>(n);
      prefix[used] = '\0';
      if (used > 0) ok = makeOneDir(prefix);
    }
  }
  StrTokOp.del(pieces);
  mem_freeTID(prefix, kTid, kSource, __LINE__);
  return ok;
}

int file_rmDir(char *path) noexcept {
  if (!path) return 0;
  file_convertPath2OSType(path);
  if (::rmdir(path) == 0) return 1;
  TraceOp.terrno(kObject, LUMO_TRC_E, __LINE__, 511, errno, "Error rmdir() [%s]", path);
  return 0;
}

int file_cd(char *path) noexcept {
  if (!path) return 0;
  file_convertPath2OSType(path);
  return ::chdir(path) == 0;
}

char *file_pwd() noexcept {
  char buffer[kPwdBufferSize];
  if (!::getcwd(buffer, sizeof buffer)) buffer[0] = '\0';
  return str_dup(buffer);
}

// Every way out releases the buffer and both files.
int file_cp(char *source, char *destination) noexcept {
  if (!source || !destination) return 0;
  file_convertPath2OSType(source);
  file_convertPath2OSType(destination);
  unsigned char *buffer =
      static_cast<unsigned char *>(mem_allocTID(kCopyBufferSize, kTid, kSource, __LINE__));
  if (!buffer) return 0;
  LumoFile *in = nullptr, *out = nullptr;
  int ok = 0;
  if (!file_exist(source)) {
    // nothing to copy; exist has traced it
  } else if (sameFile(source, destination)) {
    // Opening the destination for writing would truncate the source before it is read.
    TraceOp.trc(kObject, LUMO_TRC_E, __LINE__, LUMO_TRC_CODE, "Error copy file [%s] to itself",
                source);
  } else if ((in = file_inst(source, LUMO_FILE_READ)) != nullptr &&
             (out = file_inst(destination, LUMO_FILE_WRITE)) != nullptr) {
    ok = copyStreams(in, out, buffer);
  }
  file_del(out);
  file_del(in);
  mem_freeTID(buffer, kTid, kSource, __LINE__);
  return ok;
}

int file_remove(char *path) noexcept {
  if (!path) return 0;
  file_convertPath2OSType(path);
  if (std::remove(path) == 0) return 1;
  TraceOp.terrno(kObject, LUMO_TRC_E, __LINE__, 3020, errno, "Error remove file [%s]", path);
  return 0;
}

int file_rename(char *from, char *to) noexcept {
  if (!from || !to) return 0;
  file_convertPath2OSType(from);
  file_convertPath2OSType(to);
  if (std::rename(from, to) == 0) return 1;
  TraceOp.terrno(kObject, LUMO_TRC_E, __LINE__, 3015, errno, "Error rename file [%s] to [%s]",
                 from, to);
  return 0;
}

int file_forcerename(char *from, char *to) noexcept {
  if (!from || !to) return 0;
  file_convertPath2OSType(from);
  file_convertPath2OSType(to);
  // Removing a destination that is the source itself would lose the file.
  if (::access(to, F_OK) == 0 && !sameFile(from, to)) file_remove(to);
  return file_rename(from, to);
}

int file_exist(char *path) noexcept {
  if (!path) return 0;
  file_convertPath2OSType(path);
  if (::access(path, F_OK) == 0) return 1;
  int err = errno;
  TraceOp.trc(kObject, LUMO_TRC_D, __LINE__, 510, "Error get status information of [%s][%d]",
              path, err);
  return 0;
}

int file_accessCheck(char *path) noexcept {
  if (!path) return 0;
  file_convertPath2OSType(path);
  if (::access(path, R_OK) == 0) return 1;
  TraceOp.terrno(kObject, LUMO_TRC_E, __LINE__, 510, errno,
                 "Error get status information of [%s]", path);
  return 0;
}

int file_fileSize(char *path) noexcept {
  struct stat st;
  return statPath(path, &st) ? saturated(st.st_size) : 0;
}

// The file type is compared as a whole: single bits of it are shared by sockets and devices.
int file_isRegularFile(char *path) noexcept {
  struct stat st;
  return statPath(path, &st) && S_ISREG(st.st_mode);
}

int file_isDirectory(char *path) noexcept {
  struct stat st;
  return statPath(path, &st) && S_ISDIR(st.st_mode);
}

int file_isAbsolute(const char *path) noexcept { return path && path[0] == kSeparator; }

int file_fileTime(char *path) noexcept {
  if (!path) return 0;
  struct stat st;
  if (statPath(path, &st)) return static_cast<int>(st.st_mtime);
  TraceOp.terrno(kObject, LUMO_TRC_E, __LINE__, LUMO_TRC_CODE, errno, "Error stat file [%s]",
                 path);
  return 0;
}

int file_setfileTime(char *path, int time) noexcept {
  if (!path) return 0;
  file_convertPath2OSType(path);
  struct utimbuf times;
  times.actime = time;
  times.modtime = time;
  if (::utime(path, &times) == 0) return 1;
  TraceOp.terrno(kObject, LUMO_TRC_E, __LINE__, LUMO_TRC_CODE, errno, "Error utime file [%s]",
                 path);
  return 0;
}

char *file_ripPath(char *path) noexcept {
  if (!path) return nullptr;
  file_convertPath2OSType(path);
  char *last = std::strrchr(path, kSeparator);
  return last ? last + 1 : path;
}

char *file_getPath(char *path) noexcept {
  if (!path) return nullptr;
  file_convertPath2OSType(path);
  char *last = std::strrchr(path, kSeparator);
  if (!last) return str_dup(".");
  char *copy = str_dup(path);
  if (copy) copy[last - path] = '\0';
  return copy;
}

const char *file_getDirName(const char *path) noexcept {
  if (!path) return nullptr;
  const char *name = path;
  for (const char *p = path; *p; ++p)
    if (*p == '/' || *p == '\\') name = p + 1;
  return name;
}

namespace {

int accessCheck(char *path, const char *command, const char *usage) {
  file_convertPath2OSType(path);
  if (str_equals(usage, kUsageR)) {
    Command shell;
    shell.add(command).add(" ").addQuoted(path);
    if (!shell.fits()) {
      traceTooLong(path);
      return 0;
    }
    return system_exec(shell.text()) == 0;
  }
  if (str_equals(usage, kUsageF)) {
    char name[kCommandSize];
    int n = std::snprintf(name, sizeof name, "%s_fuser.out", file_ripPath(path));
    Command shell;
    shell.add(command).add(" ").addQuoted(path);
    if (n < 0 || n >= kCommandSize || !shell.fits()) {
      traceTooLong(path);
      return 0;
    }
    long long size = runInto(shell.text(), name);
    if (size < 0) return 0;
    if (size <= 1) file_remove(name);
    return size > 1;
  }
  TraceOp.trc(kObject, LUMO_TRC_W, __LINE__, LUMO_TRC_CODE,
              "Unknown option for <fuserusage> [%s]", usage);
  return 0;
}

}  // namespace

int file_isAccessed(char *path) noexcept {
  if (!path) return 0;
  char *command, *usage;
  {
    std::lock_guard<std::mutex> guard(settingsLock);
    command = copySetting(fuserCommand, "fuser");
    usage = copySetting(fuserUsage, kUsageR);
  }
  int accessed = command && usage ? accessCheck(path, command, usage) : 0;
  str_freeStrID(command, kTid);
  str_freeStrID(usage, kTid);
  return accessed;
}

void file_setFuser(const char *command) noexcept { replaceSetting(fuserCommand, command); }

void file_setFuserUsage(const char *usage) noexcept { replaceSetting(fuserUsage, usage); }

const LumoFile FileOp = {LUMO_BASE_INIT(Impl), kUsageR, kUsageF,
                         LUMO_FILE_OPS(LUMO_SLOT_INIT_PREFIXED, file_)};

LUMO_CHECK_TABLE(LumoFile, LUMO_FILE_OPS, lumo::kOwnSlotsAt + 2 * sizeof(void *));
static_assert(offsetof(LumoFile, usageR) == lumo::kOwnSlotsAt &&
                  offsetof(LumoFile, usageF) == lumo::kOwnSlotsAt + sizeof(void *),
              "the usage keywords sit between the base slots and the operations");
