// lumo: a growable array in one tracked block, for the library's own work lists and scratch
// space: the memory manager sees every byte, growth doubles (so n pushes cost O(n) copies), and
// a growth that is refused leaves the contents as they were.
#ifndef LUMO_IMPL_BUFFER_HPP
#define LUMO_IMPL_BUFFER_HPP

#include <climits>
#include <cstring>
#include <type_traits>

#include "mem.hpp"

namespace lumo {

// The one growth step of the library's growable blocks: the block moved to bytes bytes (its
// contents kept) when there is one, a new block of the caller's allocation type when there is
// none; null, the old block untouched, when the memory manager refuses.
inline void *growBlock(void *block, int bytes, int tid, const char *source, int line) noexcept {
  return block ? mem_realloc(block, bytes, source, line) : mem_allocTID(bytes, tid, source, line);
}

template <class T>
class Buffer {
  static_assert(std::is_trivially_copyable<T>::value, "entries are moved as bytes");

 public:
  Buffer(int tid, const char *source) noexcept : tid_(tid), source_(source) {}
  Buffer(const Buffer &) = delete;
  Buffer &operator=(const Buffer &) = delete;
  ~Buffer() { release(); }

  // Room for at least n entries in all; false when it cannot be had.
  bool reserve(int n) noexcept {
    if (n <= capacity_) return true;
    if (n > INT_MAX / 2 / static_cast<int>(sizeof(T))) return false;
    int capacity = capacity_ ? capacity_ : 16;
    while (capacity < n) capacity *= 2;
    int bytes = capacity * static_cast<int>(sizeof(T));
    void *fresh = growBlock(items_, bytes, tid_, source_, __LINE__);
    if (!fresh) return false;
    items_ = static_cast<T *>(fresh);
    capacity_ = capacity;
    return true;
  }
  bool push(const T &item) noexcept {
    if (size_ == capacity_ && (size_ == INT_MAX || !reserve(size_ + 1))) return false;
    items_[size_++] = item;
    return true;
  }
  // Appends n entries from items (for byte buffers: text).
  bool append(const T *items, int n) noexcept {
    if (n < 0 || n > INT_MAX - size_ || !reserve(size_ + n)) return false;
    std::memcpy(static_cast<void *>(items_ + size_), items, static_cast<std::size_t>(n) * sizeof(T));
    size_ += n;
    return true;
  }
  void pop() noexcept { --size_; }
  // Sets the number of entries: fewer, or more within the room reserved (written by the caller).
  void resize(int n) noexcept { size_ = n; }
  void clear() noexcept { size_ = 0; }
  void release() noexcept {
    if (items_) mem_freeTID(items_, tid_, source_, __LINE__);
    items_ = nullptr;
    size_ = capacity_ = 0;
  }

  bool empty() const noexcept { return size_ == 0; }
  int size() const noexcept { return size_; }
  T *data() noexcept { return items_; }
  T &operator[](int i) noexcept { return items_[i]; }
  T &top() noexcept { return items_[size_ - 1]; }

 private:
  T *items_ = nullptr;
  int size_ = 0;
  int capacity_ = 0;
  int tid_;
  const char *source_;
};

}  // namespace lumo

#endif
