// Test support: a text longer than an int can count that costs address space, not memory.
#ifndef LUMO_TESTS_HUGE_TEXT_HPP
#define LUMO_TESTS_HUGE_TEXT_HPP

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

// The text is the same two small shared buffers mapped over and over, the last one ending in the
// terminator: chunks times 16 MiB less one byte of 'a'. text() is null when the machine refused
// the mappings; a 32-bit process has no room for it.
class HugeText {
 public:
  static constexpr size_t kChunk = size_t{16} << 20;

  explicit HugeText(size_t chunks) : chunks_(chunks) {
    int filled = memfd_create("lumo-huge", 0), ended = memfd_create("lumo-huge-end", 0);
    ready_ = map(filled, ended);
    if (filled >= 0) close(filled);
    if (ended >= 0) close(ended);
  }
  ~HugeText() {
    if (base_) munmap(base_, kChunk * chunks_);
  }
  HugeText(const HugeText &) = delete;
  HugeText &operator=(const HugeText &) = delete;
  const char *text() const { return ready_ ? base_ : nullptr; }

 private:
  bool map(int filled, int ended) {
    if (sizeof(void *) < 8 || filled < 0 || ended < 0 || ftruncate(filled, kChunk) != 0 ||
        ftruncate(ended, kChunk) != 0)
      return false;
    void *area = mmap(nullptr, kChunk * chunks_, PROT_NONE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (area == MAP_FAILED) return false;
    base_ = static_cast<char *>(area);
    for (size_t i = 0; i < chunks_; ++i) {
      void *at = mmap(base_ + i * kChunk, kChunk, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED,
                      i + 1 < chunks_ ? filled : ended, 0);
      if (at == MAP_FAILED) return false;
    }
    memset(base_, 'a', kChunk);                               // every chunk but the last
    memset(base_ + (chunks_ - 1) * kChunk, 'a', kChunk - 1);  // the last, up to its end
    base_[chunks_ * kChunk - 1] = '\0';
    return true;
  }
  size_t chunks_;
  char *base_ = nullptr;
  bool ready_ = false;
};

#endif
