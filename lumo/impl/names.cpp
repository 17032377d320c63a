// lumo: shared names: a reference count and the text in one block, and the dictionary that
// makes the names of one parse share their blocks.
#include "names.hpp"

#include <atomic>
#include <climits>
#include <cstring>
#include <new>

#include "keyhash.hpp"
#include "mem.hpp"

namespace {

constexpr int kTid = LUMO_TID_NODE;
constexpr const char *kSource = "impl/names";

// The block: the count, then the text up to its terminator; holders keep a pointer to the text.
using Refs = std::atomic<int>;
constexpr std::size_t kTextAt = sizeof(Refs);

Refs *refsOf(const char *name) noexcept {
  return reinterpret_cast<Refs *>(const_cast<char *>(name) - kTextAt);
}

// A slot of the recent names: the top bits of a multiplicative hash, which spread short names
// better than the low ones.
unsigned recentSlot(const char *text, int len, int slots) noexcept {
  unsigned h = static_cast<unsigned>(len) * 0x9E3779B1u;
  for (int i = 0; i < len; ++i) h = (h ^ static_cast<unsigned char>(text[i])) * 0x01000193u;
  h *= 0x9E3779B1u;
  return h >> (32 - __builtin_ctz(static_cast<unsigned>(slots)));
}

bool sameName(const char *name, const char *text, int len) noexcept {
  return std::strncmp(name, text, static_cast<std::size_t>(len)) == 0 && name[len] == '\0';
}

}  // namespace

namespace lumo {

const char *nameNew(const char *text, std::size_t len) noexcept {
  if (len >= static_cast<std::size_t>(INT_MAX) - kTextAt - 1) return nullptr;
  void *raw = mem_allocTID(static_cast<int>(kTextAt + len + 1), kTid, kSource, __LINE__);
  if (!raw) return nullptr;
  new (raw) Refs(1);
  char *name = static_cast<char *>(raw) + kTextAt;
  std::memcpy(name, text, len);
  return name;
}

void nameRetain(const char *name) noexcept {
  if (name) refsOf(name)->fetch_add(1, std::memory_order_relaxed);
}

void nameRelease(const char *name) noexcept {
  if (!name) return;
  Refs *refs = refsOf(name);
  if (refs->fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  refs->~Refs();
  mem_freeTID(refs, kTid, kSource, __LINE__);
}

NameDict::~NameDict() {
  for (int i = 0; i < cap_; ++i) nameRelease(slots_[i].name);
  if (slots_) mem_freeTID(slots_, kTid, kSource, __LINE__);
}

bool NameDict::grow() noexcept {
  int cap = cap_ ? cap_ * 2 : 64;
  if (cap > INT_MAX / 2 / static_cast<int>(sizeof(Slot))) return false;
  void *raw = mem_allocTID(cap * static_cast<int>(sizeof(Slot)), kTid, kSource, __LINE__);
  if (!raw) return false;
  Slot *fresh = static_cast<Slot *>(raw);
  unsigned mask = static_cast<unsigned>(cap - 1);
  for (int i = 0; i < cap_; ++i) {
    if (!slots_[i].name) continue;
    unsigned at = slots_[i].hash & mask;
    while (fresh[at].name) at = (at + 1) & mask;
    fresh[at] = slots_[i];
  }
  if (slots_) mem_freeTID(slots_, kTid, kSource, __LINE__);
  slots_ = fresh;
  cap_ = cap;
  return true;
}

const char *NameDict::share(const char *text, int len) noexcept {
  const char *&recent = recent_[recentSlot(text, len, kRecent)];
  if (recent && sameName(recent, text, len)) {
    nameRetain(recent);
    return recent;
  }
  // Keyed, so that the probe sequences of a document's names cannot be chosen by its author.
  unsigned hash = keyedHash(text);
  if (2 * (used_ + 1) > cap_ && !grow()) return nullptr;
  unsigned mask = static_cast<unsigned>(cap_ - 1);
  unsigned at = hash & mask;
  for (; slots_[at].name; at = (at + 1) & mask) {
    const Slot &s = slots_[at];
    if (s.hash == hash && s.len == len && sameName(s.name, text, len)) {
      recent = s.name;
      nameRetain(s.name);
      return s.name;
    }
  }
  const char *name = nameNew(text, static_cast<std::size_t>(len));
  if (!name) return nullptr;
  slots_[at] = Slot{name, hash, len};
  ++used_;
  recent = name;
  nameRetain(name);  // one for the dictionary, one for the caller
  return name;
}

}  // namespace lumo
