// lumo: string operations: every new string comes from the memory manager under the caller's
// allocation type (14 unless an ...ID variant names another) and must be freed under that type.
#include "str.hpp"

#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <strings.h>

#include "mem.hpp"
#include "object.hpp"
#include "system.hpp"

namespace {

constexpr const char *kSource = "impl/str";
constexpr int kFmtBuffer = 4096;
// vsnprintf's size limit: one byte below the buffer, so at most LUMO_STR_FMT_MAX characters.
constexpr int kFmtLimit = kFmtBuffer - 1;
static_assert(kFmtLimit - 1 == LUMO_STR_FMT_MAX, "fmt keeps at most LUMO_STR_FMT_MAX characters");
constexpr int kStampSize = LUMO_STAMP_SIZE;
constexpr int kFieldBuffer = 256;

// Lengths are measured in size_t: a text may be longer than an int can count on a 64-bit host.
// A result that would not fit the memory manager's int size is refused (null) before any
// arithmetic on it can overflow.
std::size_t size(const char *s) { return s ? std::strlen(s) : 0; }

int length(const char *s) {
  std::size_t n = size(s);
  return n < static_cast<std::size_t>(INT_MAX) ? static_cast<int>(n) : INT_MAX;
}

char *allocStr(uint64_t bytes, int id, int line) {
  if (bytes > static_cast<uint64_t>(INT_MAX)) return nullptr;
  return static_cast<char *>(mem_allocTID(static_cast<int>(bytes), id, kSource, line));
}

// New string of the first n bytes of s under id.
char *dupN(const char *s, std::size_t n, int id, int line) {
  char *r = allocStr(static_cast<uint64_t>(n) + 1, id, line);
  if (r && n > 0) std::memcpy(r, s, n);
  return r;
}

// Reads up to maxDigits hexadecimal digits; the first non-digit ends the number and no digits
// give 0. Sets *used to the characters read.
int hexValue(const char *s, int maxDigits, int *used) {
  int v = 0, i = 0;
  for (; i < maxDigits && s[i]; ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      break;
    v = v * 16 + d;
  }
  if (used) *used = i;
  return v;
}

bool urlReserved(unsigned char c) {
  return c > 0x7F || c == ' ' || c == '"' || c == '%' || c == '/' || c == '=' || c == '?';
}

// A time text in its 32-byte allocation; a field out of its usual range is cut, never spilled.
__attribute__((format(printf, 3, 4))) char *timeText(int id, int line, const char *format, ...) {
  char *r = allocStr(kStampSize, id, line);
  if (!r) return nullptr;
  va_list args;
  va_start(args, format);
  std::vsnprintf(r, kStampSize, format, args);
  va_end(args);
  return r;
}

// The text of a stamp up to its milliseconds depends on the second alone: each thread keeps the
// one of the last second it stamped (every trace record takes a stamp, and the local-time
// conversion behind it takes the C library's time-zone lock).
struct StampCache {
  time_t second = -1;
  char head[kStampSize] = {};
  int length = 0;
};
thread_local StampCache stampCache[2];  // without and with dots

// Writes the stamp into out (kStampSize bytes).
bool stampInto(char *out, bool dots) {
  out[0] = '\0';
  struct timespec ts;
  if (clock_gettime(CLOCK_REALTIME, &ts) != 0) return false;
  StampCache &cache = stampCache[dots ? 1 : 0];
  if (cache.second != ts.tv_sec || cache.second == -1) {
    struct tm tm;
    if (!localtime_r(&ts.tv_sec, &tm)) return false;
    int n = std::snprintf(cache.head, sizeof cache.head,
                          dots ? "%04d%02d%02d.%02d%02d%02d." : "%04d%02d%02d%02d%02d%02d",
                          tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                          tm.tm_sec);
    if (n < 0) return false;
    cache.length = n < kStampSize - 1 ? n : kStampSize - 1;
    cache.second = ts.tv_sec;
  }
  // The same text as the whole stamp formatted at once, cut to the 31 characters it may hold.
  int ms = static_cast<int>(ts.tv_nsec / 1000000L);
  char tail[3] = {static_cast<char>('0' + ms / 100), static_cast<char>('0' + ms / 10 % 10),
                  static_cast<char>('0' + ms % 10)};
  int n = cache.length;
  std::memcpy(out, cache.head, static_cast<std::size_t>(n));
  for (int i = 0; i < 3 && n < kStampSize - 1; ++i) out[n++] = tail[i];
  out[n] = '\0';
  return true;
}

char *stamp(int id, bool dots, int line) {
  char text[kStampSize];
  if (!stampInto(text, dots)) return nullptr;
  char *r = allocStr(kStampSize, id, line);
  if (r) std::memcpy(r, text, sizeof text);
  return r;
}

// Appends text to *result (cat semantics); on a failed allocation the old text is released so
// the caller's loop cannot leak it.
bool append(char **result, const char *text) {
  char *joined = str_cat(*result, text);
  if (!joined) {
    str_freeStr(*result);
    *result = nullptr;
    return false;
  }
  *result = joined;
  return true;
}

}  // namespace

// Creating, joining, freeing.

int str_len(const char *str) noexcept { return length(str); }

char *str_dup(const char *str) noexcept { return str_dupID(str, LUMO_TID_STRING); }

char *str_dupID(const char *str, int id) noexcept {
  if (!str) return nullptr;
  return dupN(str, size(str), id, __LINE__);
}

char *str_cat(char *str, const char *text) noexcept {
  return str_catID(str, text, LUMO_TID_STRING);
}

char *str_catID(char *str, const char *text, int id) noexcept {
  if (!text) return nullptr;
  if (!str) return str_dupID(text, id);
  std::size_t a = size(str), b = size(text);
  char *r = allocStr(static_cast<uint64_t>(a) + b + 1, id, __LINE__);
  // On failure the caller's string stays alive: it may still hold its only pointer to it.
  if (!r) return nullptr;
  std::memcpy(r, str, a);
  std::memcpy(r + a, text, b);
  mem_freeTID(str, id, kSource, __LINE__);
  return r;
}

char *str_copy(char *dst, const char *src) noexcept {
  if (!dst || !src) return nullptr;
  return std::strcpy(dst, src);
}

int str_copynz(char *dst, int dstLen, const char *src) noexcept {
  if (!dst || !src || dstLen <= 0) return 0;
  int s = length(src);
  int n = s < dstLen ? s : dstLen;
  std::memcpy(dst, src, static_cast<std::size_t>(n));
  return n;
}

void str_freeStr(char *str) noexcept { mem_freeTID(str, LUMO_TID_STRING, kSource, __LINE__); }

void str_freeStrID(char *str, int id) noexcept { mem_freeTID(str, id, kSource, __LINE__); }

// Comparing, searching, case.

int str_equals(const char *a, const char *b) noexcept {
  return a && b && std::strcmp(a, b) == 0;
}

int str_equalsi(const char *a, const char *b) noexcept {
  return a && b && strcasecmp(a, b) == 0;
}

// A negative count compares the whole strings, as the count taken unsigned would: never
// "equal" for strings that differ.
int str_equalsn(const char *a, const char *b, int n) noexcept {
  if (!a || !b) return 0;
  return (n < 0 ? std::strcmp(a, b) : std::strncmp(a, b, static_cast<std::size_t>(n))) == 0;
}

int str_equalsni(const char *a, const char *b, int n) noexcept {
  if (!a || !b) return 0;
  return (n < 0 ? strcasecmp(a, b) : strncasecmp(a, b, static_cast<std::size_t>(n))) == 0;
}

int str_startsWith(const char *str, const char *prefix) noexcept {
  std::size_t p = size(prefix);
  if (!str || !prefix || size(str) < p) return 0;
  return std::strncmp(str, prefix, p) == 0;
}

int str_startsWithi(const char *str, const char *prefix) noexcept {
  std::size_t p = size(prefix);
  if (!str || !prefix || size(str) < p) return 0;
  return strncasecmp(str, prefix, p) == 0;
}

int str_endsWith(const char *str, const char *suffix) noexcept {
  if (!str || !suffix) return 0;
  std::size_t s = size(str), p = size(suffix);
  if (s < p) return 0;
  return str_equals(str + (s - p), suffix);
}

int str_endsWithi(const char *str, const char *suffix) noexcept {
  if (!str || !suffix) return 0;
  std::size_t s = size(str), p = size(suffix);
  if (s < p) return 0;
  return str_equalsi(str + (s - p), suffix);
}

char *str_find(const char *str, const char *pattern) noexcept {
  if (!str || !pattern || !*str || !*pattern) return nullptr;
  return const_cast<char *>(std::strstr(str, pattern));
}

char *str_findc(const char *str, int c) noexcept {
  if (!str) return nullptr;
  // strchr's own conversion to char would do, but spelling it out keeps the byte unsigned.
  unsigned char b = static_cast<unsigned char>(c);
  for (const char *p = str;; ++p) {
    if (static_cast<unsigned char>(*p) == b) return const_cast<char *>(p);
    if (!*p) return nullptr;
  }
}

char *str_findi(const char *str, const char *pattern) noexcept {
  if (!str || !pattern) return nullptr;
  char *s = str_strlwr(str_dup(str));
  char *p = str_strlwr(str_dup(pattern));
  char *hit = str_find(s, p);
  char *r = hit ? const_cast<char *>(str) + (hit - s) : nullptr;
  str_freeStr(s);
  str_freeStr(p);
  return r;
}

char *str_strupr(char *str) noexcept {
  if (!str) return nullptr;
  for (char *p = str; *p; ++p) *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
  return str;
}

char *str_strlwr(char *str) noexcept {
  if (!str) return nullptr;
  for (char *p = str; *p; ++p) *p = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
  return str;
}

int str_isEmpty(const char *str) noexcept {
  if (!str) return 1;
  for (const char *p = str; *p; ++p)
    if (*p != ' ') return 0;
  return 1;
}

int str_isNumber(const char *str) noexcept {
  if (!str || !*str) return 0;
  // Not isdigit: the locale must not widen what counts as a digit.
  for (const char *p = str; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c < '0' || c > '9') return 0;
  }
  return 1;
}

char *str_getExtension(const char *path) noexcept {
  if (!path) return nullptr;
  const char *dot = std::strrchr(path, '.');
  return dot ? const_cast<char *>(dot + 1) : nullptr;
}

// Formatting.

char *str_vfmtID(int id, const char *format, va_list args) noexcept {
  if (!format) return nullptr;
  char buffer[kFmtBuffer] = {};
  std::vsnprintf(buffer, kFmtLimit, format, args);
  return str_dupID(buffer, id);
}

char *str_fmt(const char *format, ...) noexcept {
  va_list args;
  va_start(args, format);
  char *r = str_vfmtID(LUMO_TID_STRING, format, args);
  va_end(args);
  return r;
}

char *str_fmtID(int id, const char *format, ...) noexcept {
  va_list args;
  va_start(args, format);
  char *r = str_vfmtID(id, format, args);
  va_end(args);
  return r;
}

char *str_fmtb(char *buffer, const char *format, ...) noexcept {
  if (!buffer || !format) return buffer;
  va_list args;
  va_start(args, format);
  std::vsprintf(buffer, format, args);
  va_end(args);
  return buffer;
}

// Trimming and replacing.

char *str_trim(char *str) noexcept { return str_trimID(str, LUMO_TID_STRING); }

char *str_trimID(char *str, int id) noexcept {
  if (!str) return nullptr;
  std::size_t n = size(str);
  char *start = str;
  while (*start == ' ') ++start;
  for (char *end = str + n; end > start && end[-1] == ' ';) *--end = '\0';
  if (size(start) == n) return str;
  char *r = str_dupID(start, id);
  // Without a new string the caller keeps its (now right-trimmed) argument.
  if (!r) return nullptr;
  mem_freeTID(str, id, kSource, __LINE__);
  return r;
}

int str_replaceAll(char *str, int from, int to) noexcept {
  if (!str) return 0;
  unsigned char f = static_cast<unsigned char>(from);
  int n = 0;
  for (char *p = str; *p; ++p) {
    if (static_cast<unsigned char>(*p) == f) {
      *p = static_cast<char>(to);
      ++n;
    }
  }
  return n;
}

char *str_replaceAllSub(const char *str, const char *sub, const char *rep) noexcept {
  char *result = str_dup(str);
  if (!result) return nullptr;
  if (!rep) rep = "";
  int m = length(sub), o = length(rep);
  char *pos = str_find(result, sub);
  while (pos) {
    int off = static_cast<int>(pos - result);
    *pos = '\0';
    char *next = str_fmt("%s%s%s", result, rep, pos + m);
    str_freeStr(result);
    result = next;
    if (!result) return nullptr;
    int total = length(result);
    // The rebuild is cut at the fmt limit, which may leave the end of the replacement (or the
    // whole occurrence) behind the end of the result: nothing is left to search there.
    if (static_cast<int64_t>(off) + o >= total || total - off <= m) break;
    pos = str_find(result + off + o, sub);
  }
  return result;
}

char *str_replaceAllSubstitutions(const char *str) noexcept {
  char *copy = str_dup(str);
  if (!copy) return nullptr;
  char *result = nullptr;
  char *cur = copy;
  for (;;) {
    char *open = str_findc(cur, '%');
    if (!open) {
      append(&result, cur);
      break;
    }
    char *close = str_findc(open + 1, '%');
    *open = '\0';
    if (!close) {
      append(&result, cur);
      break;
    }
    *close = '\0';
    // An unset variable reads as empty text: the text built so far must survive it.
    const char *value = system_getProperty(open + 1);
    if (!append(&result, cur) || !append(&result, lumo::orEmpty(value))) break;
    cur = close + 1;
  }
  str_freeStr(copy);
  return result;
}

// Hexadecimal and URL encodings.

char *str_byteToStr(const unsigned char *bytes, int n) noexcept {
  static const char kDigits[] = "0123456789ABCDEF";
  if (!bytes || n < 0) return nullptr;
  char *r = allocStr(2 * static_cast<uint64_t>(n) + 1, LUMO_TID_STRING, __LINE__);
  if (!r) return nullptr;
  for (int i = 0; i < n; ++i) {
    r[2 * i] = kDigits[bytes[i] >> 4];
    r[2 * i + 1] = kDigits[bytes[i] & 0x0F];
  }
  return r;
}

unsigned char *str_strToByteBuffer(const char *hex, unsigned char *buffer) noexcept {
  if (!hex || !buffer) return nullptr;
  std::size_t n = size(hex);
  for (std::size_t i = 0; i < n; i += 2)
    buffer[i / 2] = static_cast<unsigned char>(hexValue(hex + i, 2, nullptr));
  return buffer;
}

unsigned char *str_strToByte(const char *hex) noexcept {
  if (!hex) return nullptr;
  std::size_t n = size(hex) / 2 + 1;
  if (n > static_cast<std::size_t>(INT_MAX)) return nullptr;
  auto *buffer = static_cast<unsigned char *>(mem_alloc(static_cast<int>(n), kSource, __LINE__));
  if (!buffer) return nullptr;
  return str_strToByteBuffer(hex, buffer);
}

char *str_encode4URL(const char *str) noexcept {
  if (!str) return nullptr;
  uint64_t n = 3 * static_cast<uint64_t>(size(str)) + 1;
  if (n > static_cast<uint64_t>(INT_MAX)) return nullptr;
  char *buffer = static_cast<char *>(mem_alloc(static_cast<int>(n), kSource, __LINE__));
  if (!buffer) return nullptr;
  char *out = buffer;
  for (const char *p = str; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (urlReserved(c))
      out += std::snprintf(out, 4, "%%%02X", static_cast<unsigned>(c));
    else
      *out++ = static_cast<char>(c);
  }
  char *r = str_dup(buffer);
  mem_free(buffer, kSource, __LINE__);
  return r;
}

char *str_decode4URL(const char *str) noexcept {
  if (!str) return nullptr;
  std::size_t n = size(str);
  if (n >= static_cast<std::size_t>(INT_MAX)) return nullptr;
  char *buffer = static_cast<char *>(mem_alloc(static_cast<int>(n) + 1, kSource, __LINE__));
  if (!buffer) return nullptr;
  char *out = buffer;
  for (const char *p = str; *p;) {
    if (*p == '%') {
      ++p;
      *out++ = static_cast<char>(hexValue(p, 2, nullptr));
      // Both characters go whatever they are, but never past the terminator.
      for (int i = 0; i < 2 && *p; ++i) ++p;
    } else {
      *out++ = *p++;
    }
  }
  char *r = str_dup(buffer);
  mem_free(buffer, kSource, __LINE__);
  return r;
}

// Fixed-width fields.

void str_long2snz(char *field, int width, long value) noexcept {
  if (!field || width <= 0) return;
  // The number is formatted in a buffer of kFieldBuffer bytes: a wider field gets as many
  // digits as the buffer holds, the number's own last digits included.
  if (width > kFieldBuffer - 1) width = kFieldBuffer - 1;
  char format[32];
  std::snprintf(format, sizeof format, "%c0%uld", '%', static_cast<unsigned>(width));
  char buffer[kFieldBuffer];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  std::snprintf(buffer, sizeof buffer, format, value);
#pragma GCC diagnostic pop
  str_copynz(field, width, buffer);
}

void str_int2snz(char *field, int width, int value) noexcept {
  str_long2snz(field, width, static_cast<long>(value));
}

char *str_snz2sz(const char *field, int width) noexcept {
  return str_snz2szID(field, width, LUMO_TID_STRING);
}

char *str_snz2szID(const char *field, int width, int id) noexcept {
  if (!field || width < 0) return nullptr;
  return dupN(field, static_cast<std::size_t>(width), id, __LINE__);
}

// Time stamps.

char *str_createStamp(void) noexcept { return stamp(LUMO_TID_STRING, true, __LINE__); }

bool str_stampInto(char *buffer, bool dots) noexcept { return buffer && stampInto(buffer, dots); }

char *str_createStampID(int id) noexcept { return stamp(id, true, __LINE__); }

char *str_createStampNoDots(void) noexcept { return stamp(LUMO_TID_STRING, false, __LINE__); }

char *str_isoDate(time_t t) noexcept {
  struct tm tm;
  if (!localtime_r(&t, &tm)) return nullptr;
  return timeText(LUMO_TID_STRING, __LINE__, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday);
}

char *str_isoTime(time_t t) noexcept {
  struct tm tm;
  if (!localtime_r(&t, &tm)) return nullptr;
  return timeText(LUMO_TID_STRING, __LINE__, "%02d:%02d:%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
}

// Lines.

int str_getCntLinefeeds(const char *text) noexcept {
  int n = 0;
  if (text)
    for (const char *p = text; *p; ++p)
      if (*p == '\n' && n < INT_MAX) ++n;
  return n;
}

char *str_getLine(const char *text, int n) noexcept {
  return str_getLineID(text, n, LUMO_TID_STRING);
}

char *str_getLineID(const char *text, int n, int id) noexcept {
  if (!text || n < 0) return nullptr;
  const char *p = text;
  for (int i = 0; i < n; ++i) {
    const char *lf = std::strchr(p, '\n');
    if (!lf) return nullptr;
    p = lf + 1;
    if (*p == '\r') ++p;
  }
  const char *lf = std::strchr(p, '\n');
  char *r;
  if (lf)
    r = dupN(p, static_cast<std::size_t>(lf - p), id, __LINE__);
  else if (n == 0)
    r = str_dupID(text, id);
  else
    return nullptr;
  if (r)
    for (std::size_t k = size(r); k > 0 && r[k - 1] == '\r'; --k) r[k - 1] = '\0';
  return r;
}

char *str_getNextLine(const char *text, int *lengthOut) noexcept {
  if (!text) return nullptr;
  const char *lf = std::strchr(text, '\n');
  if (!lf) return nullptr;
  const char *p = lf + 1;
  if (*p == '\r') ++p;
  const char *end = std::strchr(p, '\n');
  if (lengthOut) {
    std::size_t n = end ? static_cast<std::size_t>(end - p) : size(p);
    *lengthOut = n < static_cast<std::size_t>(INT_MAX) ? static_cast<int>(n) : INT_MAX;
  }
  return const_cast<char *>(p);
}

const LumoStr StrOp = {LUMO_STR_OPS(LUMO_SLOT_INIT_PREFIXED, str_)};

LUMO_CHECK_TABLE(LumoStr, LUMO_STR_OPS, 0);

char *str_dupTagged(const char *text, int id, const char *source, int line) noexcept {
  if (!text) return nullptr;
  std::size_t n = std::strlen(text);
  if (n >= static_cast<std::size_t>(INT_MAX)) return nullptr;
  char *copy = static_cast<char *>(mem_allocTID(static_cast<int>(n + 1), id, source, line));
  if (copy) std::memcpy(copy, text, n);
  return copy;
}
