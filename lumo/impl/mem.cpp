// lumo: the tracked memory manager: header check on every release, live-block statistics per
// allocation type, the registry of live strings and the last-operation record.
#include "mem.hpp"

#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "object.hpp"
#include "str.hpp"

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

enum { kOpAlloc = 0, kOpRealloc = 1, kOpCheck = 2, kOpFree = 3 };

// Statistics and records are touched from every thread without a lock: atomics keep them exact.
std::atomic<int> m_bDebug{0};
std::atomic<int> m_lAllocated{0};
std::atomic<int> m_lAllocatedSize{0};
std::atomic<int> m_lAllocatedID[LUMO_MEM_TYPE_COUNT];
std::atomic<char *> m_Strings[LUMO_MEM_MAX_STRINGS];
static_assert(sizeof(std::atomic<int>) == sizeof(int) && std::atomic<int>::is_always_lock_free,
              "the counter array is handed out as plain ints");

struct LastOp {
  std::atomic<int> op{0};
  std::atomic<const void *> p{nullptr};
  std::atomic<const char *> source{nullptr};
  std::atomic<int> line{0};
} mt;
char opStr[1024];

// The statistics lock exists only after mem_init; the counters are atomic either way.
std::mutex statMutex;
std::atomic<bool> statMutexOn{false};

std::atomic<long> failCountdown{0};

const char *orEmpty(const char *s) { return s ? s : ""; }

uintptr_t addr(const void *p) { return reinterpret_cast<uintptr_t>(p); }

void recordOp(int op, const void *p, const char *source, int line) {
  mt.op.store(op, std::memory_order_relaxed);
  mt.p.store(p, std::memory_order_relaxed);
  mt.source.store(source, std::memory_order_relaxed);
  mt.line.store(line, std::memory_order_relaxed);
}

Header *headerOf(void *p) { return reinterpret_cast<Header *>(static_cast<char *>(p) - kHeader); }

bool injectedFailure() {
  long n = failCountdown.load(std::memory_order_relaxed);
  while (n > 0) {
    if (failCountdown.compare_exchange_weak(n, n - 1)) return n == 1;
  }
  return false;
}

void count(int delta, int size, int tid) {
  std::unique_lock<std::mutex> lock(statMutex, std::defer_lock);
  if (statMutexOn.load(std::memory_order_acquire)) lock.lock();
  m_lAllocatedSize.fetch_add(delta * (size + kHeader), std::memory_order_relaxed);
  m_lAllocated.fetch_add(delta, std::memory_order_relaxed);
  if (tid >= 0 && tid < LUMO_TID_UNTYPED) {
    std::atomic<int> &c = m_lAllocatedID[tid];
    if (delta > 0) {
      c.fetch_add(1, std::memory_order_relaxed);
    } else {
      // A release never drives a per-type counter below zero (resetDump may have cleared it).
      int v = c.load(std::memory_order_relaxed);
      while (v > 0 && !c.compare_exchange_weak(v, v - 1, std::memory_order_relaxed)) {
      }
    }
  }
}

// Allocation shared by alloc, allocTID and realloc.
void *allocBlock(int n, int tid, const char *source, int line) {
  std::size_t total = kPad + kHeader + static_cast<std::size_t>(n < 0 ? 0 : n);
  char *raw = injectedFailure() ? nullptr : static_cast<char *>(std::malloc(total));
  recordOp(kOpAlloc, raw ? raw + kPad : nullptr, source, line);
  if (!raw) {
    std::printf(">>>>> malloc( %ld ) failed! %s:%d <<<<<\n", static_cast<long>(n) + kHeader,
                orEmpty(source), line);
    return nullptr;
  }
  std::memset(raw, 0, total);
  Header *h = reinterpret_cast<Header *>(raw + kPad);
  std::memcpy(h->magic, kMagic, sizeof kMagic);
  h->size = n;
  h->tid = tid;
  count(+1, n, tid);
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

// Header check; tid < 0 accepts the block's own type (only the magic decides).
bool checkBlock(void *p, int tid, const char *source, int line, int *sizeOut, int *tidOut) {
  if (!p) return false;
  recordOp(kOpCheck, p, source, line);
  if (!hasMagic(p)) {
    std::printf(">>>>> Unknown memory block( 0x%08" PRIXPTR " ) %s:%d <<<<<\n",
                addr(headerOf(p)), orEmpty(source), line);
    return false;
  }
  Header *h = headerOf(p);
  if (tid >= 0 && h->tid != tid) {
    std::printf(">>>>> memory block id=%d freeID=%d file=%s line=%d <<<<<\n", h->tid, tid,
                orEmpty(source), line);
    return false;
  }
  if (sizeOut) *sizeOut = h->size;
  if (tidOut) *tidOut = h->tid;
  return true;
}

// Release shared by free, freeTID and realloc.
bool releaseBlock(void *p, int tid, const char *source, int line) {
  int size = 0;
  if (!checkBlock(p, tid, source, line, &size, nullptr)) return false;
  recordOp(kOpFree, p, source, line);
  Header *h = headerOf(p);
  std::memset(h, 0, kHeader);
  std::free(reinterpret_cast<char *>(h) - kPad);
  count(-1, size, tid);
  return true;
}

void registerString(char *p) {
  for (auto &slot : m_Strings) {
    char *expected = nullptr;
    if (slot.compare_exchange_strong(expected, p)) return;
  }
}

void unregisterString(char *p) {
  for (auto &slot : m_Strings) {
    char *expected = p;
    if (slot.compare_exchange_strong(expected, nullptr)) return;
  }
}

bool validTid(int tid) { return tid >= 0 && tid <= LUMO_TID_UNTYPED; }

}  // namespace

void *mem_alloc(int size, const char *source, int line) noexcept {
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
  if (!buffer || length <= 0) return nullptr;
  return const_cast<void *>(
      std::memchr(buffer, static_cast<unsigned char>(c), static_cast<std::size_t>(length)));
}

int mem_cmp(const void *a, const void *b, int length) noexcept {
  if (!a || !b) return 0;
  if (length <= 0) return 1;
  return std::memcmp(a, b, static_cast<std::size_t>(length)) == 0;
}

void *mem_copy(void *dst, const void *src, int length) noexcept {
  if (dst && src && length > 0) std::memmove(dst, src, static_cast<std::size_t>(length));
  return dst;
}

int *mem_dumpAllocCntID(void) noexcept { return reinterpret_cast<int *>(m_lAllocatedID); }

char *mem_dumpStrings(int flag) noexcept {
  char *result = nullptr;
  for (int i = 0; i < LUMO_MEM_MAX_STRINGS; ++i) {
    const char *s = m_Strings[i].load(std::memory_order_acquire);
    if (!s) continue;
    if (flag) {
      char *line = str_fmt("DUMP STRING[%d]: [%s]\n", i, s);
      char *joined = str_cat(result, line);
      if (joined) result = joined;
      str_freeStr(line);
    } else {
      std::printf("***DUMP STRING[%d]: [%s]\n", i, s);
    }
  }
  return flag ? result : nullptr;
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
  if (tid == LUMO_TID_UNTYPED)
    std::printf(" freeIDMem( 0x%08" PRIXPTR " ) %s line=%d: id %d not allowed!!!\n", addr(p),
                orEmpty(source), line, LUMO_TID_UNTYPED);
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
  return m_lAllocatedID[tid].load(std::memory_order_relaxed);
}

int mem_getAllocCount(void) noexcept { return m_lAllocated.load(std::memory_order_relaxed); }

int mem_getAllocSize(void) noexcept { return m_lAllocatedSize.load(std::memory_order_relaxed); }

int mem_getDumpSize(void) noexcept { return LUMO_MEM_TYPE_COUNT * static_cast<int>(sizeof(int)); }

char *mem_getLastOperation(void) noexcept {
  static const char *const names[] = {"alloc", "realloc", "check", "free"};
  int op = mt.op.load(std::memory_order_relaxed);
  const char *opName = (op >= 0 && op <= 3) ? names[op] : "?";
  std::snprintf(opStr, sizeof opStr, ">>>>> memLastOp: op=%s p=0x%08" PRIXPTR " file=%s line=%d <<<<<",
                opName, addr(mt.p.load(std::memory_order_relaxed)),
                orEmpty(mt.source.load(std::memory_order_relaxed)),
                mt.line.load(std::memory_order_relaxed));
  return opStr;
}

void mem_init(void) noexcept { statMutexOn.store(true, std::memory_order_release); }

int mem_isValid(void *p) noexcept { return checkBlock(p, 0, "-", 0, nullptr, nullptr); }

void *mem_realloc(void *p, int size, const char *source, int line) noexcept {
  void *fresh = nullptr;
  if (!p) {
    std::printf(">>>>> realloc( 0x%08" PRIXPTR ", %ld ) with NULL pointer! %s:%d <<<<<\n",
                addr(p), static_cast<long>(size), orEmpty(source), line);
    fresh = allocBlock(size, LUMO_TID_UNTYPED, source, line);
  } else {
    int oldSize = 0, tid = 0;
    if (checkBlock(p, -1, source, line, &oldSize, &tid)) {
      fresh = allocBlock(size, tid, source, line);
      recordOp(kOpRealloc, p, source, line);
      if (fresh) {
        std::memcpy(fresh, p, static_cast<std::size_t>(oldSize < size ? oldSize : size));
        // A registered string keeps its registry slot under its new address; the old address
        // must not stay there once the block is gone.
        if (tid == LUMO_TID_STRING) {
          unregisterString(static_cast<char *>(p));
          registerString(static_cast<char *>(fresh));
        }
        releaseBlock(p, tid, source, line);
      }
    }
  }
  if (!fresh)
    std::printf("__mem_realloc_magic(0x%08" PRIXPTR ", %ld) failed!", addr(p),
                static_cast<long>(size));
  return fresh;
}

void mem_resetDump(void) noexcept {
  for (auto &c : m_lAllocatedID) c.store(0, std::memory_order_relaxed);
}

void *mem_set(void *buffer, int c, int length) noexcept {
  if (buffer && length > 0) std::memset(buffer, c, static_cast<std::size_t>(length));
  return buffer;
}

void mem_setDebug(int flag) noexcept { m_bDebug.store(flag, std::memory_order_relaxed); }

namespace lumo {
void mem_failAfter(long n) noexcept { failCountdown.store(n, std::memory_order_relaxed); }
}  // namespace lumo

const LumoMem MemOp = {LUMO_MEM_OPS(LUMO_SLOT_INIT_PREFIXED, mem_)};

namespace {
constexpr const char *kMemSlots[] = {LUMO_MEM_OPS(LUMO_SLOT_NAME, _)};
static_assert(lumo::namesAscending(kMemSlots), "MemOp slots are in byte-wise order");
static_assert(sizeof(LumoMem) == 22 * sizeof(void *), "MemOp has 22 slots");
}  // namespace
