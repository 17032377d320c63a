// lumo: the message queue: opaque pointers in three priorities (high first, posting order within
// one priority) behind one mutex, with an event that wakes waiting consumers. The queue never
// owns payloads.
#include <lumo/event.h>
#include <lumo/mutex.h>
#include <lumo/queue.h>
#include <lumo/trace.h>

#include <atomic>
#include <cstddef>

#include "queue.hpp"

#include "event.hpp"
#include "mem.hpp"
#include "object.hpp"
#include "str.hpp"

namespace {

constexpr int kTid = LUMO_TID_QUEUE;
constexpr const char *kSource = "impl/queue";
constexpr const char *kObject = "OQueue";
constexpr int kPriorities = 3;  // 0 low, 1 normal, 2 high

lumo::ClassInfo queueClass{"OQueue", kTid, kSource};

struct Message {
  void *payload;
  int priority;
  Message *next;  // toward the tail
};

// The chain from head holds all high messages, then all normal, then all low, each priority in
// posting order. count and head are read without the lock (capacity check, isEmpty, msgCount,
// waitPost); everything else is touched under the mutex only.
struct QueueData {
  char *desc = nullptr;
  int size = 0;
  std::atomic<int> count{0};
  LumoMutex *mutex = nullptr;
  LumoEvent *event = nullptr;
  std::atomic<Message *> head{nullptr};
  Message *tails[kPriorities] = {};
  // Message nodes that get has handed back, kept for the next posts (under the mutex): a stream
  // between two threads then allocates nothing, and no node travels back to another thread's
  // allocator. Released with the queue.
  Message *spare = nullptr;
  int spareCount = 0;
};

constexpr int kMaxSpare = 64;

// count changes only under the mutex; it is atomic for the readers that do not take it.
void addToCount(QueueData *d, int delta) noexcept {
  d->count.store(d->count.load(std::memory_order_relaxed) + delta, std::memory_order_release);
}

// Sets the queue's event unless it is set already. The event only tells a waiting consumer to
// look at head again, and waitPost looks at head before it waits, so a set that would change
// nothing is left out: it is a store into a line the consumer keeps reading. The poster links
// the message before it reads the flag, and a consumer resets the flag before it reads head
// (both sequentially consistent): a consumer that misses the message sees the set.
void wake(QueueData *d) noexcept {
  auto *e = lumo::dataOf<LumoEventData>(d->event);
  if (e && e->handle && event_isSet(e->handle)) return;
  EventOp.set(d->event);
}

// The description as it is now, copied under the lock so that setDesc on another thread
// cannot release it while a message is formatted. The lock is not held while tracing: the
// trace itself posts into a queue.
char *descCopy(QueueData *d) noexcept {
  if (!MutexOp.wait(d->mutex)) return nullptr;
  char *copy = str_dupID(d->desc ? d->desc : "", kTid);
  MutexOp.post(d->mutex);
  return copy;
}

void freeChain(Message *m) noexcept {
  while (m) {
    Message *next = m->next;
    mem_freeTID(m, kTid, kSource, __LINE__);
    m = next;
  }
}

struct Impl : lumo::Base<LumoQueue, queueClass> {
  static void del(LumoQueue *queue) noexcept {
    if (!queue) return;
    QueueData *d = lumo::dataOf<QueueData>(queue);
    EventOp.del(d->event);
    MutexOp.del(d->mutex);
    str_freeStrID(d->desc, kTid);
    freeChain(d->head.load());
    freeChain(d->spare);
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

  // Takes up to max messages from the head. An empty queue answers at once: a consumer polling
  // an empty queue does not contend with the posters for the lock (a post that is not complete
  // yet is not there either way).
  static int takeBatch(QueueData *d, void **payloads, int max) noexcept {
    if (!d || max <= 0 || !d->head.load(std::memory_order_acquire)) return 0;
    if (!MutexOp.wait(d->mutex)) return 0;
    Message *m = d->head.load();
    Message *surplus = nullptr;  // nodes beyond what the spares keep, released after the lock
    int taken = 0;
    for (; m && taken < max; ++taken) {
      payloads[taken] = m->payload;
      Message *next = m->next;
      if (d->tails[m->priority] == m) d->tails[m->priority] = nullptr;
      Message **to = &surplus;
      if (d->spareCount < kMaxSpare) {
        to = &d->spare;
        ++d->spareCount;
      }
      m->next = *to;
      *to = m;
      m = next;
    }
    if (taken > 0) {
      d->head.store(m);
      addToCount(d, -taken);
    }
    MutexOp.post(d->mutex);
    freeChain(surplus);
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
                  desc ? desc : "");
      str_freeStrID(desc, kTid);
      return 0;
    }
    int count = d->count.load();
    if (count >= d->size) {
      char *desc = descCopy(d);
      TraceOp.trc(
          kObject, LUMO_TRC_W, __LINE__, LUMO_TRC_CODE,
          "QueueOp.post: count(%d) is getting bigger than size(%d)! Post rejected for [%s].", count,
          d->size, desc ? desc : "");
      str_freeStrID(desc, kTid);
      return 0;
    }
    if (!MutexOp.wait(d->mutex)) return 0;
    Message *m = d->spare;
    if (m) {
      d->spare = m->next;
      --d->spareCount;
    } else {
      m = static_cast<Message *>(
          mem_allocTID(static_cast<int>(sizeof(Message)), kTid, kSource, __LINE__));
    }
    if (!m) {
      MutexOp.post(d->mutex);
      return 0;
    }
    m->payload = payload;
    m->priority = priority;
    Message *head = d->head.load();
    if (!head) {
      m->next = nullptr;
      d->head.store(m);
    } else {
      // After the last message of the same priority, else after the last of the nearest higher
      // one; with neither, the message goes first.
      Message *after = nullptr;
      for (int p = priority; p < kPriorities && !after; ++p) after = d->tails[p];
      if (after) {
        m->next = after->next;
        after->next = m;
      } else {
        m->next = head;
        d->head.store(m);
      }
    }
    d->tails[priority] = m;
    addToCount(d, +1);
    MutexOp.post(d->mutex);
    wake(d);
    return 1;
  }

  static void setDesc(LumoQueue *queue, const char *text) noexcept {
    QueueData *d = lumo::dataOf<QueueData>(queue);
    if (!d) return;
    char *copy = str_dupID(text, kTid);
    if (!MutexOp.wait(d->mutex)) {
      str_freeStrID(copy, kTid);
      return;
    }
    char *old = d->desc;
    d->desc = copy;
    MutexOp.post(d->mutex);
    str_freeStrID(old, kTid);
  }

  // The event is only a hint: after two wake-ups without a message (other consumers took
  // them) the result is null.
  static void *waitPost(LumoQueue *queue) noexcept {
    QueueData *d = lumo::dataOf<QueueData>(queue);
    if (!d) return nullptr;
    for (int round = 0; round < 2 && !d->head.load(); ++round) {
      EventOp.wait(d->event);
      EventOp.reset(d->event);
    }
    void *payload = get(queue);
    EventOp.reset(d->event);
    return payload;
  }
};

}  // namespace

const LumoQueue QueueOp = {LUMO_BASE_INIT(Impl), LUMO_QUEUE_OPS(LUMO_SLOT_INIT_MEMBER, Impl)};

int lumo::queue_takeBatch(LumoQueue *queue, void **payloads, int max) noexcept {
  return Impl::takeBatch(lumo::dataOf<QueueData>(queue), payloads, max);
}

namespace {
constexpr const char *kQueueSlots[] = {LUMO_QUEUE_OPS(LUMO_SLOT_NAME, _)};
// The published table puts msgCount first; the slots after it are in byte-wise order.
constexpr bool queueSlotsInOrder() {
  if (lumo::compareNames(kQueueSlots[0], "msgCount") != 0) return false;
  for (std::size_t i = 2; i < sizeof kQueueSlots / sizeof kQueueSlots[0]; ++i)
    if (lumo::compareNames(kQueueSlots[i - 1], kQueueSlots[i]) >= 0) return false;
  return true;
}
static_assert(queueSlotsInOrder(), "QueueOp slots: msgCount, then byte-wise order");
static_assert(lumo::classLayoutOk<LumoQueue, 7>(), "QueueOp has the base slots and 7 own slots");
}  // namespace
