// lumo: the tracked memory manager: header check on every release, live-block statistics per
// allocation type, the registry of live strings and the last-operation record.
#include "mem.hpp"

#include <atomic>
#include <cinttypes>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "object.hpp"
#include "str.hpp"
#ifdef LUMO_TEST_HOOKS
#include "testing.h"
#endif

#if defined(__SANITIZE_ADDRESS__)
#define LUMO_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LUMO_ASAN 1
#endif
#endif
#ifdef LUMO_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace {

constexpr char kMagic[12] = "#@liblumo@#";
constexpr int kHeader = LUMO_MEM_HEADER_SIZE;
// Padding in front of the header keeps the caller's pointer aligned for any type, while the 20
// header bytes stay directly before it and the statistics still count n + 20.
constexpr std::size_t kAlign = alignof(std::max_align_t);
constexpr std::size_t kPad = (kAlign - kHeader % kAlign) % kAlign;
static_assert((kPad + kHeader) % kAlign == 0, "caller pointer must be max-aligned");

struct Header {
  char magic[12];
  int32_t size;
  int32_t tid;
};
static_assert(sizeof(Header) == kHeader, "header layout is fixed");

constexpr std::size_t kLargeBlock = 64 * 1024;
// A listed string's line is cut where the string module's fmt cuts (its scratch buffer's size).
constexpr int kDumpLine = 4096;

enum { kOpAlloc = 0, kOpRealloc = 1, kOpCheck = 2, kOpFree = 3 };

// The header check's "whatever type the block has": only realloc asks for it. Every entry point
// refuses ids outside 0..23, so a caller can never reach it.
constexpr int kAnyType = -1;

// The padding in front of the header (at least 4 bytes on every platform this runs on) holds
// the block's bookkeeping word: the string-registry slot that holds it (plus one; 0 when none)
// in the low 16 bits and the reset epoch of its allocation in the high 16 bits. It lies outside
// the 20 documented header bytes, which keep their layout.
static_assert(kPad >= sizeof(uint32_t), "room for the bookkeeping word before the header");
constexpr uint32_t kSlotMask = 0xFFFFu;

std::atomic<int> m_bDebug{0};
// Per thread: the text handed out stays put while another thread asks for its own.
thread_local char opStr[1024];
std::atomic<char *> m_Strings[LUMO_MEM_MAX_STRINGS];
std::atomic<int> stringsTaken{0};  // occupied registry slots
static_assert(LUMO_MEM_MAX_STRINGS < kSlotMask, "a slot number fits the bookkeeping word");

// ---- statistics ----
//
// Every thread counts into a shard of its own (no locked instruction, no cache line shared with
// another thread); a read sums the shards of the live threads and what the ended threads left.
// A block may be released on another thread than the one that took it, so a shard's counters
// can be negative; only the sum means anything. Blocks and bytes are counted in 64 bits (a few
// large documents pass 2 GiB on a 64-bit host); the int getters saturate.
//
// The per-type counters restart at zero on resetDump. A release of a block taken before the
// last reset leaves them alone (its allocation is no longer counted), which is what keeps them
// from going below zero: each block's reset epoch rides in its bookkeeping word.
struct Counters {
  std::atomic<int64_t> count{0};
  std::atomic<int64_t> size{0};
  std::atomic<int> perType[LUMO_TID_UNTYPED] = {};
};

struct Shard {
  Counters c;
  Shard *next = nullptr;
  // The last operation of this thread (see mem_getLastOperation). Another thread may read it
  // while this one writes it, so each field is an atomic of its own: a reader may see the fields
  // of two consecutive operations mixed, but never a torn value.
  std::atomic<int> op{0};
  std::atomic<const void *> p{nullptr};
  std::atomic<const char *> source{nullptr};
  std::atomic<int> line{0};
  std::atomic<bool> recorded{false};
};

// Only the owning thread writes its shard: a plain add through a relaxed load and store.
template <typename T>
inline void bump(std::atomic<T> &c, T delta) {
  c.store(c.load(std::memory_order_relaxed) + delta, std::memory_order_relaxed);
}

int saturate(int64_t n) {
  if (n > INT_MAX) return INT_MAX;
  if (n < INT_MIN) return INT_MIN;
  return static_cast<int>(n);
}

std::mutex shardLock;      // the shard list, the retired totals and resetDump
Shard *shards = nullptr;   // the shards of the live threads
Counters retired;          // what ended threads counted (atomics: updated from any thread)
std::atomic<int> typeBase[LUMO_TID_UNTYPED] = {};  // moved by resetDump so that sums read 0
std::atomic<uint32_t> epoch{0};
// The shard of the thread that recorded its first operation most recently:
// the fallback of mem_getLastOperation on a thread that has recorded nothing itself.
std::atomic<Shard *> lastRecorder{nullptr};

// The per-type counters as last read by dumpAllocCntID.
std::atomic<int> m_lAllocatedID[LUMO_MEM_TYPE_COUNT];
static_assert(sizeof(std::atomic<int>) == sizeof(int) && std::atomic<int>::is_always_lock_free,
              "the counter array is handed out as plain ints");

// The calling thread's shard, read on every allocation and release. Initial-exec TLS: the
// library is loaded with the program, and the general model costs a call per access.
#define LUMO_FAST_TLS __attribute__((tls_model("initial-exec")))
thread_local Shard *tlsShard LUMO_FAST_TLS = nullptr;
thread_local bool tlsEnded LUMO_FAST_TLS = false;

// A thread's shard leaves the list when the thread ends; its counts go to the retired totals.
struct ShardOwner {
  Shard *shard = nullptr;
  ~ShardOwner() {
    tlsEnded = true;
    tlsShard = nullptr;
    Shard *s = shard;
    if (!s) return;
    std::lock_guard<std::mutex> guard(shardLock);
    retired.count.fetch_add(s->c.count.load(std::memory_order_relaxed));
    retired.size.fetch_add(s->c.size.load(std::memory_order_relaxed));
    for (int t = 0; t < LUMO_TID_UNTYPED; ++t)
      retired.perType[t].fetch_add(s->c.perType[t].load(std::memory_order_relaxed));
    for (Shard **link = &shards; *link; link = &(*link)->next)
      if (*link == s) {
        *link = s->next;
        break;
      }
    Shard *expected = s;
    lastRecorder.compare_exchange_strong(expected, nullptr);
    shard = nullptr;
    delete s;
  }
};

thread_local ShardOwner shardOwner;

__attribute__((noinline)) Shard *newShard() noexcept {
  Shard *s = new (std::nothrow) Shard;
  if (!s) return nullptr;
  std::lock_guard<std::mutex> guard(shardLock);
  s->next = shards;
  shards = s;
  shardOwner.shard = s;
  tlsShard = s;
  // A shard is made by its thread's first operation, which is recorded next.
  s->recorded.store(true, std::memory_order_relaxed);
  lastRecorder.store(s, std::memory_order_release);
  return s;
}

// The calling thread's shard; null while the thread is ending (its counts then go straight to
// the retired totals) or when no memory is left for one.
inline Shard *myShard() noexcept {
  Shard *s = tlsShard;
  if (s || tlsEnded) return s;
  return newShard();
}

// The statistics lock exists only after mem_init; the counters are exact without it.
std::mutex statMutex;
std::atomic<bool> statMutexOn{false};

#ifdef LUMO_TEST_HOOKS
std::atomic<long> failCountdown{0};
#endif

using lumo::orEmpty;

uintptr_t addr(const void *p) { return reinterpret_cast<uintptr_t>(p); }

void recordOp(Shard *s, int op, const void *p, const char *source, int line) {
  if (!s) return;
  s->op.store(op, std::memory_order_relaxed);
  s->p.store(p, std::memory_order_relaxed);
  s->source.store(source, std::memory_order_relaxed);
  s->line.store(line, std::memory_order_relaxed);
}

Header *headerOf(void *p) { return reinterpret_cast<Header *>(static_cast<char *>(p) - kHeader); }

uint32_t &wordOf(Header *h) {
  return *reinterpret_cast<uint32_t *>(reinterpret_cast<char *>(h) - sizeof(uint32_t));
}

#ifdef LUMO_TEST_HOOKS
bool injectedFailure() {
  long n = failCountdown.load(std::memory_order_relaxed);
  while (n > 0) {
    if (failCountdown.compare_exchange_weak(n, n - 1)) return n == 1;
  }
  return false;
}
#else
constexpr bool injectedFailure() { return false; }
#endif

// delta +1 for an allocation, -1 for a release; counted tells whether the block's type counter
// moves (a typed block of the current epoch).
inline void countUnlocked(Shard *s, int delta, int size, int tid, bool counted) {
  bool typed = counted && tid >= 0 && tid < LUMO_TID_UNTYPED;
  int64_t bytes = delta * (static_cast<int64_t>(size) + kHeader);
  if (s) {
    bump<int64_t>(s->c.size, bytes);
    bump<int64_t>(s->c.count, delta);
    if (typed) bump(s->c.perType[tid], delta);
  } else {
    retired.size.fetch_add(bytes, std::memory_order_relaxed);
    retired.count.fetch_add(delta, std::memory_order_relaxed);
    if (typed) retired.perType[tid].fetch_add(delta, std::memory_order_relaxed);
  }
}

inline void count(Shard *s, int delta, int size, int tid, bool counted) {
  if (!statMutexOn.load(std::memory_order_relaxed)) return countUnlocked(s, delta, size, tid, counted);
  std::lock_guard<std::mutex> lock(statMutex);
  countUnlocked(s, delta, size, tid, counted);
}

int64_t sum(std::atomic<int64_t> Counters::*field) {
  std::lock_guard<std::mutex> guard(shardLock);
  int64_t n = (retired.*field).load(std::memory_order_relaxed);
  for (Shard *s = shards; s; s = s->next) n += (s->c.*field).load(std::memory_order_relaxed);
  return n;
}

// Under shardLock.
int sumTypeLocked(int tid) {
  int n = typeBase[tid].load(std::memory_order_relaxed) +
          retired.perType[tid].load(std::memory_order_relaxed);
  for (Shard *s = shards; s; s = s->next) n += s->c.perType[tid].load(std::memory_order_relaxed);
  return n;
}

int sumType(int tid) {
  if (tid < 0 || tid >= LUMO_TID_UNTYPED) return 0;
  std::lock_guard<std::mutex> guard(shardLock);
  int n = sumTypeLocked(tid);
  return n > 0 ? n : 0;
}

// Allocation shared by alloc, allocTID and realloc; n is never negative here.
inline __attribute__((always_inline)) void *allocBlock(int n, int tid, const char *source, int line) {
  std::size_t total = kPad + kHeader + static_cast<std::size_t>(n);
  // A large block comes zeroed from calloc, which need not clear pages fresh from the system;
  // a small one is cleared here, which is cheaper than calloc's slower path for it.
  bool large = total >= kLargeBlock;
  char *raw = nullptr;
  if (!injectedFailure())
    raw = static_cast<char *>(large ? std::calloc(1, total) : std::malloc(total));
  Shard *s = myShard();
  recordOp(s, kOpAlloc, raw ? raw + kPad : nullptr, source, line);
  if (!raw) {
    std::printf(">>>>> malloc( %ld ) failed! %s:%d <<<<<\n", static_cast<long>(n) + kHeader,
                orEmpty(source), line);
    return nullptr;
  }
  if (!large) std::memset(raw, 0, total);
  Header *h = reinterpret_cast<Header *>(raw + kPad);
  std::memcpy(h->magic, kMagic, sizeof kMagic);
  h->size = n;
  h->tid = tid;
  wordOf(h) = (epoch.load(std::memory_order_relaxed) & 0xFFFFu) << 16;
  count(s, +1, n, tid, true);
  return raw + kPad + kHeader;
}

// True when the 20 bytes before p hold the magic. A pointer that is not a live block is read
// best-effort; under AddressSanitizer poisoned memory is recognised instead of read.
bool hasMagic(void *p) {
#ifdef LUMO_ASAN
  if (__asan_region_is_poisoned(static_cast<char *>(p) - kHeader, kHeader)) return false;
#endif
  return std::memcmp(headerOf(p)->magic, kMagic, sizeof kMagic) == 0;
}

// Header check; kAnyType accepts the block's own type (only the magic decides). A release that
// passes the check records itself as the last operation at once, so the check is recorded here
// only where it stays the last one: when it fails, or when the caller asked for a check alone.
bool checkBlock(Shard *s, void *p, int tid, const char *source, int line, int *sizeOut,
                int *tidOut, bool recordPass = true) {
  if (!p) return false;
  if (recordPass) recordOp(s, kOpCheck, p, source, line);
  if (!hasMagic(p)) {
    if (!recordPass) recordOp(s, kOpCheck, p, source, line);
    std::printf(">>>>> Unknown memory block( 0x%08" PRIXPTR " ) %s:%d <<<<<\n",
                addr(headerOf(p)), orEmpty(source), line);
    return false;
  }
  Header *h = headerOf(p);
  if (tid != kAnyType && h->tid != tid) {
    if (!recordPass) recordOp(s, kOpCheck, p, source, line);
    std::printf(">>>>> memory block id=%d freeID=%d file=%s line=%d <<<<<\n", h->tid, tid,
                orEmpty(source), line);
    return false;
  }
  if (sizeOut) *sizeOut = h->size;
  if (tidOut) *tidOut = h->tid;
  return true;
}

// Release shared by free, freeTID and realloc.
inline __attribute__((always_inline)) bool releaseBlock(void *p, int tid, const char *source, int line) {
  Shard *s = myShard();
  int size = 0;
  if (!checkBlock(s, p, tid, source, line, &size, nullptr, false)) return false;
  recordOp(s, kOpFree, p, source, line);
  Header *h = headerOf(p);
  bool current = (wordOf(h) >> 16) == (epoch.load(std::memory_order_relaxed) & 0xFFFFu);
  std::memset(h, 0, kHeader);
  std::free(reinterpret_cast<char *>(h) - kPad);
  count(s, -1, size, tid, current);
  return true;
}

// Enters a string block in the first empty registry slot and notes the slot in its bookkeeping
// word, so that its release finds the slot at once. With all 400 taken it stays unregistered.
void registerString(char *p) {
  if (stringsTaken.load(std::memory_order_relaxed) >= LUMO_MEM_MAX_STRINGS) return;
  for (int i = 0; i < LUMO_MEM_MAX_STRINGS; ++i) {
    std::atomic<char *> &slot = m_Strings[i];
    char *expected = nullptr;
    if (slot.load(std::memory_order_relaxed) == nullptr &&
        slot.compare_exchange_strong(expected, p)) {
      stringsTaken.fetch_add(1, std::memory_order_relaxed);
      uint32_t &word = wordOf(headerOf(p));
      word = (word & ~kSlotMask) | static_cast<uint32_t>(i + 1);
      return;
    }
  }
}

// Frees the registry slot that the bookkeeping word names, if it still holds p.
void releaseSlot(char *p, uint32_t word) {
  uint32_t slot = word & kSlotMask;
  if (slot == 0 || slot > LUMO_MEM_MAX_STRINGS) return;
  char *expected = p;
  if (m_Strings[slot - 1].compare_exchange_strong(expected, nullptr))
    stringsTaken.fetch_sub(1, std::memory_order_relaxed);
}

void unregisterString(char *p) {
  uint32_t &word = wordOf(headerOf(p));
  releaseSlot(p, word);
  word &= ~kSlotMask;
}

bool isLarge(int n) { return static_cast<std::size_t>(n) + kPad + kHeader >= kLargeBlock; }

// Realloc of a large block: the C library moves its pages instead of copying them where it can.
// The statistics, the registry and the last-operation record end as after a new block, a copy
// and the release of the old block. The old header loses its magic before the block is handed
// over, as a released block's does, and gets it back when the C library refuses.
void *resizeLarge(void *p, int oldSize, int tid, int n, const char *source, int line) {
  Shard *s = myShard();
  Header *h = headerOf(p);
  uint32_t word = wordOf(h);
  bool current = (word >> 16) == (epoch.load(std::memory_order_relaxed) & 0xFFFFu);
  std::size_t total = kPad + kHeader + static_cast<std::size_t>(n);
  std::memset(h->magic, 0, sizeof kMagic);
  char *raw = nullptr;
  if (!injectedFailure())
    raw = static_cast<char *>(std::realloc(reinterpret_cast<char *>(h) - kPad, total));
  if (!raw) {
    std::memcpy(h->magic, kMagic, sizeof kMagic);
    recordOp(s, kOpRealloc, p, source, line);
    std::printf(">>>>> malloc( %ld ) failed! %s:%d <<<<<\n", static_cast<long>(n) + kHeader,
                orEmpty(source), line);
    return nullptr;
  }
  Header *fresh = reinterpret_cast<Header *>(raw + kPad);
  std::memcpy(fresh->magic, kMagic, sizeof kMagic);
  fresh->size = n;
  fresh->tid = tid;
  wordOf(fresh) = (epoch.load(std::memory_order_relaxed) & 0xFFFFu) << 16;
  char *block = raw + kPad + kHeader;
  if (n > oldSize) std::memset(block + oldSize, 0, static_cast<std::size_t>(n - oldSize));
  if (tid == LUMO_TID_STRING) {
    releaseSlot(static_cast<char *>(p), word);
    registerString(block);
  }
  count(s, -1, oldSize, tid, current);
  count(s, +1, n, tid, true);
  recordOp(s, kOpFree, p, source, line);
  return block;
}

bool validTid(int tid) { return tid >= 0 && tid <= LUMO_TID_UNTYPED; }

// A negative size would reach the header, the statistics and the copy of a realloc; it is
// refused before anything is allocated or released.
bool refuseSize(int size, const char *source, int line) {
  if (size >= 0) return false;
  std::printf(">>>>> alloc( %ld ) with negative size! %s:%d <<<<<\n", static_cast<long>(size),
              orEmpty(source), line);
  return true;
}

// The byte helpers take no source; a negative length is reported and nothing is touched.
bool refuseLength(const char *op, const void *p, int length) {
  if (length >= 0) return false;
  std::printf(">>>>> %s( 0x%08" PRIXPTR ", %d ) with negative length! <<<<<\n", op, addr(p),
              length);
  return true;
}

}  // namespace

void *mem_alloc(int size, const char *source, int line) noexcept {
  if (refuseSize(size, source, line)) return nullptr;
  void *p = allocBlock(size, LUMO_TID_UNTYPED, source, line);
  if (!p) std::printf("__mem_alloc_magic(%ld) failed!", static_cast<long>(size));
  if (m_bDebug.load(std::memory_order_relaxed))
    std::printf(" 0x%08" PRIXPTR " = allocMem( %ld ) %s line=%d\n", addr(p),
                static_cast<long>(size), orEmpty(source), line);
  return p;
}

void *mem_allocTID(int size, int tid, const char *source, int line) noexcept {
  if (!validTid(tid)) {
    std::printf(" allicIDMem( 0x%08" PRIXPTR ", %ld ) %s line=%d: id %d not allowed!!!\n",
                static_cast<uintptr_t>(0), static_cast<long>(size), orEmpty(source), line, tid);
    return nullptr;
  }
  if (refuseSize(size, source, line)) return nullptr;
  void *p = allocBlock(size, tid, source, line);
  if (!p) {
    std::printf("__mem_alloc_magic(%ld) failed!\n", static_cast<long>(size));
    return nullptr;
  }
  if (tid == LUMO_TID_UNTYPED)
    std::printf(" allicIDMem( 0x%08" PRIXPTR ", %ld ) %s line=%d: id %d not allowed!!!\n",
                addr(p), static_cast<long>(size), orEmpty(source), line, LUMO_TID_UNTYPED);
  if (tid == LUMO_TID_STRING) registerString(static_cast<char *>(p));
  return p;
}

void mem_basecpy(void *dst, const void *table, int extLen, int total, void *data) noexcept {
  // The base slots, the extension bytes and the rest lie back to back in the source, so the
  // three copies are one contiguous copy.
  (void)extLen;
  if (!dst || !table || total < static_cast<int>(sizeof(void *))) return;
  std::memcpy(dst, table, static_cast<std::size_t>(total));
  std::memcpy(dst, &data, sizeof data);
}

void *mem_chr(const void *buffer, int c, int length) noexcept {
  if (refuseLength("chr", buffer, length) || !buffer || length == 0) return nullptr;
  return const_cast<void *>(
      std::memchr(buffer, static_cast<unsigned char>(c), static_cast<std::size_t>(length)));
}

// A negative length compares nothing and so proves nothing equal.
int mem_cmp(const void *a, const void *b, int length) noexcept {
  if (refuseLength("cmp", a, length) || !a || !b) return 0;
  if (length == 0) return 1;
  return std::memcmp(a, b, static_cast<std::size_t>(length)) == 0;
}

void *mem_copy(void *dst, const void *src, int length) noexcept {
  if (!refuseLength("copy", dst, length) && dst && src && length > 0)
    std::memmove(dst, src, static_cast<std::size_t>(length));
  return dst;
}

// The counters live in per-thread shards: the array handed out holds their sums as of this call.
int *mem_dumpAllocCntID(void) noexcept {
  std::lock_guard<std::mutex> guard(shardLock);
  for (int t = 0; t < LUMO_TID_UNTYPED; ++t) {
    int n = sumTypeLocked(t);
    m_lAllocatedID[t].store(n > 0 ? n : 0, std::memory_order_relaxed);
  }
  m_lAllocatedID[LUMO_TID_UNTYPED].store(0, std::memory_order_relaxed);
  return reinterpret_cast<int *>(m_lAllocatedID);
}

namespace {

// One line of the listing, cut where the string module's fmt cuts; the length of the whole line.
int dumpLine(char *buffer, int i, const char *s) {
  int n = std::snprintf(buffer, kDumpLine - 1, "DUMP STRING[%d]: [%s]\n", i, s);
  if (n < 0) return 0;
  return n < kDumpLine - 2 ? n : kDumpLine - 2;
}

}  // namespace

// The listing is taken from a copy of the registry made first, so that the result string (which
// enters the registry itself) is not listed, and it is built in one block of the measured size.
char *mem_dumpStrings(int flag) noexcept {
  const char *seen[LUMO_MEM_MAX_STRINGS];
  for (int i = 0; i < LUMO_MEM_MAX_STRINGS; ++i)
    seen[i] = m_Strings[i].load(std::memory_order_acquire);
  if (!flag) {
    for (int i = 0; i < LUMO_MEM_MAX_STRINGS; ++i)
      if (seen[i]) std::printf("***DUMP STRING[%d]: [%s]\n", i, seen[i]);
    return nullptr;
  }
  char line[kDumpLine];
  int64_t total = 0;
  for (int i = 0; i < LUMO_MEM_MAX_STRINGS; ++i)
    if (seen[i]) total += dumpLine(line, i, seen[i]);
  if (total == 0 || total >= INT_MAX) return nullptr;
  char *result = static_cast<char *>(
      mem_allocTID(static_cast<int>(total) + 1, LUMO_TID_STRING, "impl/mem", __LINE__));
  if (!result) return nullptr;
  int used = 0;
  for (int i = 0; i < LUMO_MEM_MAX_STRINGS; ++i) {
    if (!seen[i]) continue;
    int n = dumpLine(line, i, seen[i]);
    if (n > total - used) n = static_cast<int>(total - used);
    std::memcpy(result + used, line, static_cast<std::size_t>(n));
    used += n;
  }
  return result;
}

void mem_free(void *p, const char *source, int line) noexcept {
  releaseBlock(p, LUMO_TID_UNTYPED, source, line);
  if (m_bDebug.load(std::memory_order_relaxed))
    std::printf(" freeMem( 0x%08" PRIXPTR " ) %s line=%d\n", addr(p), orEmpty(source), line);
}

void mem_freeObj(void *handleAddress) noexcept {
  if (!handleAddress) return;
  LumoObject **handle = static_cast<LumoObject **>(handleAddress);
  LumoObject *obj = *handle;
  if (!obj) return;
  obj->del(obj);
  *handle = nullptr;
}

void mem_freeTID(void *p, int tid, const char *source, int line) noexcept {
  if (!p) return;
  // The untyped id is served all the same; an id outside the table releases nothing, since its
  // block could not be counted off or taken out of the string registry.
  if (tid == LUMO_TID_UNTYPED || !validTid(tid))
    std::printf(" freeIDMem( 0x%08" PRIXPTR " ) %s line=%d: id %d not allowed!!!\n", addr(p),
                orEmpty(source), line, tid);
  if (!validTid(tid)) return;
  // Only a live string block leaves the registry, so a refused release keeps its entry.
  if (tid == LUMO_TID_STRING && hasMagic(p) && headerOf(p)->tid == LUMO_TID_STRING)
    unregisterString(static_cast<char *>(p));
  releaseBlock(p, tid, source, line);
}

int mem_getAllocCntID(int tid) noexcept {
  if (!validTid(tid)) {
    std::printf(" getAllocCntID( %d ): id %d not allowed!!!\n", tid, tid);
    return 0;
  }
  return sumType(tid);
}

int mem_getAllocCount(void) noexcept { return saturate(sum(&Counters::count)); }

int mem_getAllocSize(void) noexcept { return saturate(sum(&Counters::size)); }

int mem_getDumpSize(void) noexcept { return LUMO_MEM_TYPE_COUNT * static_cast<int>(sizeof(int)); }

// The record is kept per thread, so that recording costs no store shared between threads: the
// text tells the calling thread's last operation (in a post-mortem, the failing thread's), or,
// on a thread that has made none, that of the thread that made its first one most recently.
char *mem_getLastOperation(void) noexcept {
  static const char *const names[] = {"alloc", "realloc", "check", "free"};
  int op = 0, line = 0;
  const void *p = nullptr;
  const char *source = nullptr;
  {
    std::lock_guard<std::mutex> guard(shardLock);
    Shard *s = tlsShard;
    if (!s || !s->recorded.load(std::memory_order_relaxed))
      s = lastRecorder.load(std::memory_order_acquire);
    if (s) {
      op = s->op.load(std::memory_order_relaxed);
      p = s->p.load(std::memory_order_relaxed);
      source = s->source.load(std::memory_order_relaxed);
      line = s->line.load(std::memory_order_relaxed);
    }
  }
  const char *opName = (op >= 0 && op <= 3) ? names[op] : "?";
  std::snprintf(opStr, sizeof opStr, ">>>>> memLastOp: op=%s p=0x%08" PRIXPTR " file=%s line=%d <<<<<",
                opName, addr(p), orEmpty(source), line);
  return opStr;
}

void mem_init(void) noexcept { statMutexOn.store(true, std::memory_order_release); }

int mem_isValid(void *p) noexcept {
  return checkBlock(myShard(), p, 0, "-", 0, nullptr, nullptr);
}

void *mem_realloc(void *p, int size, const char *source, int line) noexcept {
  if (size < 0) {
    std::printf(">>>>> realloc( 0x%08" PRIXPTR ", %ld ) with negative size! %s:%d <<<<<\n",
                addr(p), static_cast<long>(size), orEmpty(source), line);
    return nullptr;
  }
  void *fresh = nullptr;
  if (!p) {
    std::printf(">>>>> realloc( 0x%08" PRIXPTR ", %ld ) with NULL pointer! %s:%d <<<<<\n",
                addr(p), static_cast<long>(size), orEmpty(source), line);
    fresh = allocBlock(size, LUMO_TID_UNTYPED, source, line);
  } else {
    int oldSize = 0, tid = 0;
    if (checkBlock(myShard(), p, kAnyType, source, line, &oldSize, &tid)) {
      if (isLarge(oldSize) || isLarge(size)) {
        fresh = resizeLarge(p, oldSize, tid, size, source, line);
      } else {
        fresh = allocBlock(size, tid, source, line);
        recordOp(myShard(), kOpRealloc, p, source, line);
        if (fresh) {
          std::memcpy(fresh, p, static_cast<std::size_t>(oldSize < size ? oldSize : size));
          // A registered string keeps its registry slot under its new address; the old
          // address must not stay there once the block is gone.
          if (tid == LUMO_TID_STRING) {
            unregisterString(static_cast<char *>(p));
            registerString(static_cast<char *>(fresh));
          }
          releaseBlock(p, tid, source, line);
        }
      }
    }
  }
  if (!fresh)
    std::printf("__mem_realloc_magic(0x%08" PRIXPTR ", %ld) failed!", addr(p),
                static_cast<long>(size));
  return fresh;
}

void mem_resetDump(void) noexcept {
  std::lock_guard<std::mutex> guard(shardLock);
  epoch.fetch_add(1, std::memory_order_relaxed);
  for (int t = 0; t < LUMO_TID_UNTYPED; ++t)
    typeBase[t].fetch_sub(sumTypeLocked(t), std::memory_order_relaxed);
}

void *mem_set(void *buffer, int c, int length) noexcept {
  if (!refuseLength("set", buffer, length) && buffer && length > 0)
    std::memset(buffer, c, static_cast<std::size_t>(length));
  return buffer;
}

void mem_setDebug(int flag) noexcept { m_bDebug.store(flag, std::memory_order_relaxed); }

#ifdef LUMO_TEST_HOOKS
// Only the test build of the library has the switch (declared in impl/testing.h): the installed
// library offers no way to make allocations fail.
long lumo_mem_failAfter(long n) {
  return failCountdown.exchange(n < 0 ? 0 : n);
}
#endif

const LumoMem MemOp = {LUMO_MEM_OPS(LUMO_SLOT_INIT_PREFIXED, mem_)};

LUMO_CHECK_TABLE(LumoMem, LUMO_MEM_OPS, 0);
