// lumo: the message queue: opaque pointers in three priorities (high first, posting order within
// one priority) behind one mutex, with an event that wakes waiting consumers. The queue never
// owns payloads.
#include <lumo/event.h>
#include <lumo/mutex.h>
#include <lumo/queue.h>
#include <lumo/trace.h>

#include <atomic>
#include <climits>
#include <cstddef>
#include <cstring>

#include "queue.hpp"

#include "event.hpp"
#include "mem.hpp"
#include "mutex.hpp"
#include "object.hpp"
#include "str.hpp"

namespace {

constexpr int kTid = LUMO_TID_QUEUE;
constexpr const char *kSource = "impl/queue";
constexpr const char *kObject = "OQueue";
constexpr int kPriorities = 3;  // 0 low, 1 normal, 2 high

lumo::ClassInfo queueClass{"OQueue", kTid, kSource};

// The messages of one priority in posting order: a ring of payloads in one block that doubles
// when it is full. Taking the highest priority's first message first hands out exactly the
// order of one chain holding all high messages, then all normal, then all low. A ring costs no
// allocation per message, and the consumer reads payloads the poster wrote side by side
// instead of following a node per message.
struct Ring {
  void **slots = nullptr;
  int capacity = 0;
  int first = 0;  // index of the oldest message
  int count = 0;
};

constexpr int kFirstCapacity = 16;
// A ring larger than this is released when the queue runs empty: a burst does not keep its
// memory for the rest of the queue's life, a steady stream does not reallocate.
constexpr int kKeptCapacity = 256;

// count is read without the lock (capacity check, isEmpty, msgCount, waitPost); everything else
// is touched under the mutex only.
struct QueueData {
  char *desc = nullptr;
  int size = 0;
  std::atomic<int> count{0};
  LumoMutex *mutex = nullptr;
  LumoEvent *event = nullptr;
  Ring rings[kPriorities];
  unsigned long long posted = 0;  // messages ever accepted
};

void releaseSlots(void **slots) noexcept {
  if (slots) mem_freeTID(slots, kTid, kSource, __LINE__);
}

// Room for one more message of the ring, growing it when it is full; false when the larger
// block cannot be had (the ring stays as it was).
bool makeRoom(Ring &r) noexcept {
  if (r.count < r.capacity) return true;
  long long grown = r.capacity ? 2LL * r.capacity : kFirstCapacity;
  if (grown * static_cast<long long>(sizeof(void *)) > INT_MAX) return false;
  auto **slots = static_cast<void **>(
      mem_allocTID(static_cast<int>(grown * sizeof(void *)), kTid, kSource, __LINE__));
  if (!slots) return false;
  // The old ring in order from its oldest message, which then sits at index 0.
  int tail = r.capacity - r.first;
  if (r.count > 0) {
    std::memcpy(slots, r.slots + r.first, static_cast<std::size_t>(tail) * sizeof(void *));
    std::memcpy(slots + tail, r.slots, static_cast<std::size_t>(r.first) * sizeof(void *));
  }
  releaseSlots(r.slots);
  r.slots = slots;
  r.capacity = static_cast<int>(grown);
  r.first = 0;
  return true;
}

// The queue's lock, taken at every post and take. Nobody outside the queue can ask its mutex for
// the owner, so the platform layer is called directly and the object layer's owner record is
// left out; a failing wait goes through the object layer, which reports it.
bool lock(QueueData *d) noexcept {
  return lumo_mutex_wait(lumo::dataOf<LumoMutexData>(d->mutex), -1) || MutexOp.wait(d->mutex);
}

void unlock(QueueData *d) noexcept {
  if (!lumo_mutex_release(lumo::dataOf<LumoMutexData>(d->mutex))) MutexOp.post(d->mutex);
}

// count changes only under the mutex; it is atomic for the readers that do not take it.
void addToCount(QueueData *d, int delta) noexcept {
  d->count.store(d->count.load(std::memory_order_relaxed) + delta, std::memory_order_release);
}

// Sets the queue's event unless it is set already. The event only tells a waiting consumer to
// look at the queue again, and waitPost looks before it waits, so a set that would change
// nothing is left out: it is a store into a line the consumer keeps reading. A consumer resets
// the event under the lock, and only while the queue is empty: a poster that counted its
// message under the lock after that sees the reset here and sets the event.
void wake(QueueData *d) noexcept {
  if (event_isSet(d->event)) return;
  EventOp.set(d->event);
}

// The description as it is now, copied under the lock so that setDesc on another thread
// cannot release it while a message is formatted. The lock is not held while tracing: the
// trace itself posts into a queue.
char *descCopy(QueueData *d) noexcept {
  if (!lock(d)) return nullptr;
  char *copy = str_dupID(lumo::orEmpty(d->desc), kTid);
  unlock(d);
  return copy;
}

struct Impl : lumo::Base<LumoQueue, queueClass> {
  static void del(LumoQueue *queue) noexcept {
    if (!queue) return;
    QueueData *d = lumo::dataOf<QueueData>(queue);
    EventOp.del(d->event);
    MutexOp.del(d->mutex);
    str_freeStrID(d->desc, kTid);
    for (Ring &r : d->rings) releaseSlots(r.slots);
    lumo::freeInstance<QueueData>(queue, queueClass, __LINE__);
  }

  static char *toString(LumoQueue *) noexcept {
    static char empty[1] = "";
    return empty;
  }

  static int msgCount(LumoQueue *queue) noexcept {
    QueueData *d = lumo::dataOf<QueueData>(queue);
    return d ? d->count.load() : 0;
  }

  static void *get(LumoQueue *queue) noexcept {
    void *payload = nullptr;
    return takeBatch(lumo::dataOf<QueueData>(queue), &payload, 1) ? payload : nullptr;
  }

  // Takes up to max messages, highest priority first. An empty queue answers at once: a
  // consumer polling an empty queue does not contend with the posters for the lock (a post
  // that is not complete yet is not there either way).
  static int takeBatch(QueueData *d, void **payloads, int max) noexcept {
    if (!d || max <= 0 || d->count.load() == 0) return 0;
    if (!lock(d)) return 0;
    int taken = 0;
    for (int p = kPriorities - 1; p >= 0 && taken < max; --p) {
      Ring &r = d->rings[p];
      while (r.count > 0 && taken < max) {
        payloads[taken++] = r.slots[r.first];
        r.first = r.first + 1 == r.capacity ? 0 : r.first + 1;
        --r.count;
      }
    }
    void **released[kPriorities] = {};
    if (taken > 0) addToCount(d, -taken);
    if (taken > 0 && d->count.load(std::memory_order_relaxed) == 0) {
      for (int p = 0; p < kPriorities; ++p) {
        Ring &r = d->rings[p];
        if (r.capacity <= kKeptCapacity) continue;
        released[p] = r.slots;
        r = Ring{};
      }
    }
    unlock(d);
    for (void **slots : released) releaseSlots(slots);
    return taken;
  }

  static LumoQueue *inst(int size) noexcept {
    QueueData *d = nullptr;
    LumoQueue *queue = lumo::newInstance<QueueData>(QueueOp, queueClass, __LINE__, &d);
    if (!queue) return nullptr;
    d->size = size;
    d->mutex = MutexOp.inst(nullptr, 1);
    d->event = EventOp.inst(nullptr, 1);
    if (!d->mutex || !d->event) {
      EventOp.del(d->event);
      MutexOp.del(d->mutex);
      lumo::freeInstance<QueueData>(queue, queueClass, __LINE__, false);
      return nullptr;
    }
    EventOp.reset(d->event);
    lumo::countInstance(queueClass);
    return queue;
  }

  static int isEmpty(LumoQueue *queue) noexcept {
    QueueData *d = lumo::dataOf<QueueData>(queue);
    return d ? d->count.load() == 0 : 1;
  }

  // The capacity check reads count without the lock: concurrent posters may overshoot the
  // size by at most their number. Each rejection is one trace call, so the trace can recognise
  // the warning about its own queue.
  static int post(LumoQueue *queue, void *payload, int priority) noexcept {
    QueueData *d = lumo::dataOf<QueueData>(queue);
    if (!d) return 0;
    if (priority < 0 || priority >= kPriorities) {
      char *desc = descCopy(d);
      TraceOp.trc(kObject, LUMO_TRC_W, __LINE__, LUMO_TRC_CODE,
                  "QueueOp.post: priority(%d) is not 0, 1 or 2! Post rejected for [%s].", priority,
                  lumo::orEmpty(desc));
      str_freeStrID(desc, kTid);
      return 0;
    }
    int count = d->count.load();
    if (count >= d->size) {
      char *desc = descCopy(d);
      TraceOp.trc(
          kObject, LUMO_TRC_W, __LINE__, LUMO_TRC_CODE,
          "QueueOp.post: count(%d) is getting bigger than size(%d)! Post rejected for [%s].", count,
          d->size, lumo::orEmpty(desc));
      str_freeStrID(desc, kTid);
      return 0;
    }
    if (!lock(d)) return 0;
    Ring &r = d->rings[priority];
    if (!makeRoom(r)) {
      unlock(d);
      return 0;
    }
    int at = r.first + r.count;
    r.slots[at < r.capacity ? at : at - r.capacity] = payload;
    ++r.count;
    ++d->posted;
    addToCount(d, +1);
    unlock(d);
    wake(d);
    return 1;
  }

  static void setDesc(LumoQueue *queue, const char *text) noexcept {
    QueueData *d = lumo::dataOf<QueueData>(queue);
    if (!d) return;
    char *copy = str_dupID(text, kTid);
    if (!lock(d)) {
      str_freeStrID(copy, kTid);
      return;
    }
    char *old = d->desc;
    d->desc = copy;
    unlock(d);
    str_freeStrID(old, kTid);
  }

  // The event is only a hint: after two wake-ups without a message (other consumers took
  // them) the result is null. It is reset just before a wait, under the lock and only while the
  // queue is empty (see wake), not after each message taken: while messages keep coming it
  // stays set, and a poster then leaves it alone instead of setting it again for every
  // message. A set left from earlier posts therefore ends no round.
  static void *waitPost(LumoQueue *queue) noexcept {
    QueueData *d = lumo::dataOf<QueueData>(queue);
    if (!d) return nullptr;
    for (int round = 0; round < 2 && d->count.load() == 0; ++round) {
      if (!lock(d)) break;
      bool empty = d->count.load(std::memory_order_relaxed) == 0;
      if (empty) EventOp.reset(d->event);
      unlock(d);
      if (!empty) break;
      EventOp.wait(d->event);
    }
    return get(queue);
  }
};

}  // namespace

const LumoQueue QueueOp = {LUMO_BASE_INIT(Impl), LUMO_QUEUE_OPS(LUMO_SLOT_INIT_MEMBER, Impl)};

int lumo::queue_takeBatch(LumoQueue *queue, void **payloads, int max) noexcept {
  return Impl::takeBatch(lumo::dataOf<QueueData>(queue), payloads, max);
}

unsigned long long lumo::queue_postedCount(LumoQueue *queue) noexcept {
  QueueData *d = lumo::dataOf<QueueData>(queue);
  if (!d || !lock(d)) return 0;
  unsigned long long posted = d->posted;
  unlock(d);
  return posted;
}

bool lumo::queue_isEmptyLocked(LumoQueue *queue) noexcept {
  QueueData *d = lumo::dataOf<QueueData>(queue);
  if (!d || !lock(d)) return true;
  bool empty = d->count.load(std::memory_order_relaxed) == 0;
  unlock(d);
  return empty;
}

// lumo.h (rule 2) puts msgCount first, ahead of get.
LUMO_CHECK_TABLE(LumoQueue, LUMO_QUEUE_OPS, lumo::kOwnSlotsAt, "msgCount", "get");
