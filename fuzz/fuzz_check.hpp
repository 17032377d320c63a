// Shared checks of the fuzz targets: a failed property prints what broke and aborts (libFuzzer
// keeps the input), and every target must hand back every block it took from the memory manager.
#ifndef LUMO_FUZZ_CHECK_HPP
#define LUMO_FUZZ_CHECK_HPP

#include <lumo/mem.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

[[noreturn]] inline void fail(const char *target, const char *what, const std::string &detail) {
  std::fprintf(stderr, "%s: %s\n--- detail\n%s\n", target, what, detail.c_str());
  std::abort();
}

// Printable form of a byte string for the failure messages.
inline std::string show(const char *s) {
  if (!s) return "(null)";
  std::string out;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p; ++p) {
    if (*p >= 0x20 && *p < 0x7F && *p != '\\') {
      out += static_cast<char>(*p);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", *p);
      out += hex;
    }
  }
  return out;
}

// The live-block count of the memory manager must be where it was when the guard was made.
class LiveBlocks {
 public:
  explicit LiveBlocks(const char *target) : target_(target), start_(MemOp.getAllocCount()) {}
  ~LiveBlocks() {
    int now = MemOp.getAllocCount();
    if (now != start_)
      fail(target_, "blocks left allocated",
           std::to_string(now - start_) + " block(s) more than before the input");
  }
  LiveBlocks(const LiveBlocks &) = delete;
  LiveBlocks &operator=(const LiveBlocks &) = delete;

 private:
  const char *target_;
  int start_;
};

// The input as a C string (up to its first NUL), with the first byte taken off as a selector.
inline std::string text(const uint8_t *data, size_t size, size_t skip = 0) {
  if (size <= skip) return std::string();
  std::string s(reinterpret_cast<const char *>(data) + skip, size - skip);
  return s.substr(0, s.find('\0'));
}

// The input cut into fields at each NUL or line feed (at most max fields; the last takes the
// rest).
inline std::string *fields(const uint8_t *data, size_t size, std::string *out, int max,
                           int *count) {
  int n = 0;
  std::string cur;
  for (size_t i = 0; i < size; ++i) {
    char c = static_cast<char>(data[i]);
    if ((c == '\0' || c == '\n') && n < max - 1) {
      out[n++] = cur;
      cur.clear();
    } else if (c != '\0') {
      cur += c;
    }
  }
  out[n++] = cur;
  *count = n;
  return out;
}

}  // namespace fuzz

#endif
