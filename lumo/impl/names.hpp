// lumo: shared names. Element and attribute names repeat heavily in a document, so the parser
// keeps one copy of each name it reads and every node and attribute of the document points at
// it. A shared name is one block holding a reference count and the text; each holder owns one
// reference, and the block goes with the last one (holders may sit in trees of different
// threads, so the count is atomic).
#ifndef LUMO_IMPL_NAMES_HPP
#define LUMO_IMPL_NAMES_HPP

#include <cstddef>

namespace lumo {

// A new shared name holding len bytes of text, with one reference for the caller; null when
// memory is refused or the text is too long to count.
const char *nameNew(const char *text, std::size_t len) noexcept;
// Another reference to, or the end of one reference to, a name made by nameNew.
void nameRetain(const char *name) noexcept;
void nameRelease(const char *name) noexcept;

// The names of one parse: each distinct name once. The dictionary holds a reference of its own
// to every name it knows, given back when it goes.
class NameDict {
 public:
  NameDict() = default;
  NameDict(const NameDict &) = delete;
  NameDict &operator=(const NameDict &) = delete;
  ~NameDict();

  // The shared name equal to text (len bytes before its terminator), with one reference for the
  // caller; null when memory is refused.
  const char *share(const char *text, int len) noexcept;

 private:
  struct Slot {
    const char *name;
    unsigned hash;
    int len;
  };
  // The most recent names by a cheap hash of their bytes: documents repeat a handful of names,
  // and a hit here saves the keyed hash. A miss only costs the keyed look-up, so whoever writes
  // the document gains nothing by making names collide here.
  static constexpr int kRecent = 256;

  bool grow() noexcept;

  Slot *slots_ = nullptr;
  int cap_ = 0;
  int used_ = 0;
  const char *recent_[kRecent] = {};
};

}  // namespace lumo

#endif
