// lumo: thread objects (name, description, quit and pause flags, own message queue) and the
// process-wide registry that finds them by name or platform id.
#include "thread.hpp"

#include <lumo/map.h>
#include <lumo/mutex.h>
#include <lumo/trace.h>

#include <atomic>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "mem.hpp"
#include "object.hpp"
#include "str.hpp"
#include "trace.hpp"

namespace {

constexpr int kTid = LUMO_TID_THREAD;
constexpr const char *kSource = "impl/thread";
constexpr const char *kObject = "OThread";
constexpr int kQueueSize = 25000;
constexpr int kNormalPriority = 1;

lumo::ClassInfo threadClass{"OThread", kTid, kSource};

// The registry: name -> thread object. Made on the first registration and kept for the process.
std::atomic<LumoMutex *> threadMutex{nullptr};
std::atomic<LumoMap *> threadMap{nullptr};
std::mutex registryCreation;

// Set while this thread waits for the registry mutex: a failing wait traces, and that trace
// asks the registry for this thread's name again.
thread_local bool waitingForRegistry = false;

using lumo::orEmpty;

// Moves on with every change that can change what nameById answers: a thread entered or
// removed (setName does both) and a registered thread's id being set when it starts.
std::atomic<unsigned> registryGeneration{1};

// The answer of this thread's last nameById, valid while the generation stays: every trace
// record asks for the writing thread's name, and the walk over the registry costs a scan of the
// map's buckets under the registry lock.
struct NameCache {
  unsigned generation = 0;
  LumoThreadId id = 0;
  LumoThread *found = nullptr;
  char name[128] = {};
};
thread_local NameCache nameCache;

void ensureRegistry() {
  if (threadMutex.load() && threadMap.load()) return;
  std::lock_guard<std::mutex> guard(registryCreation);
  if (!threadMutex.load()) threadMutex.store(MutexOp.inst(nullptr, 1));
  if (!threadMap.load()) threadMap.store(MapOp.inst());
}

// Holds the registry mutex for one registry operation. The map traces while it is held, and
// every trace record asks the registry for the writing thread's name; so a thread that already
// holds the mutex does not wait for it again but gets no map, and the caller answers as if the
// registry were empty (the record then names the thread "main" or by its id). Walking the map
// anyway would not be safe: the operation that traced is still inside the map, using the
// cursor of a bucket list. The owner record tells exactly whether the calling thread holds the
// mutex: only the acquirer writes its own id, and it clears it before releasing.
class RegistryLock {
 public:
  RegistryLock() noexcept {
    mutex_ = threadMutex.load();
    map_ = threadMap.load();
    if (!mutex_ || !map_ || waitingForRegistry) return;
    if (MutexOp.getTID(mutex_) == lumo_thread_id()) return;
    waitingForRegistry = true;
    locked_ = MutexOp.wait(mutex_) != 0;
    waitingForRegistry = false;
  }
  ~RegistryLock() { unlock(); }
  RegistryLock(const RegistryLock &) = delete;
  RegistryLock &operator=(const RegistryLock &) = delete;

  LumoMap *map() const noexcept { return locked_ ? map_ : nullptr; }
  // Whether a lock made now would get the map (see above), without taking it.
  static bool wouldGetMap() noexcept {
    LumoMutex *mutex = threadMutex.load();
    if (!mutex || !threadMap.load() || waitingForRegistry) return false;
    return MutexOp.getTID(mutex) != lumo_thread_id();
  }
  void unlock() noexcept {
    if (!locked_) return;
    locked_ = false;
    MutexOp.post(mutex_);
  }

 private:
  LumoMutex *mutex_ = nullptr;
  LumoMap *map_ = nullptr;
  bool locked_ = false;
};

// A copy (string module) of the description, or of the name when description is false or there
// is none; copied under textLock, as setDescription and setName release the texts they replace.
char *copyText(LumoThreadData *d, bool description) {
  std::lock_guard<std::mutex> guard(d->textLock);
  const char *text = description && d->description ? d->description : d->name.load();
  return text ? str_dup(text) : nullptr;
}

// A new name owned by the thread: a copy of name, or one made from the instance address.
char *newName(LumoThread *thread, const char *name) {
  if (name) return str_dupID(name, kTid);
  return str_fmtID(kTid, "tid0x%08" PRIXPTR, reinterpret_cast<uintptr_t>(thread));
}

// Nothing may be traced while the registry is held (the trace takes it too): the duplicate
// message is written after the unlock.
void registerThread(LumoThread *thread, LumoThreadData *d) {
  ensureRegistry();
  RegistryLock lock;
  LumoMap *map = lock.map();
  if (!map) return;
  const char *name = d->name.load();
  bool duplicate = MapOp.haskey(map, name) != 0;
  if (!duplicate) {
    MapOp.put(map, name, thread);
    registryGeneration.fetch_add(1);
  }
  lock.unlock();
  if (duplicate) TraceOp.println("A named thread, [%s], already exist!", name);
}

// Whether the registry entry under name is this thread's. The map answers null for the empty
// key even when it holds it, so that one key is checked by walking.
bool ownsEntry(LumoMap *map, const char *name, LumoThread *thread) {
  if (*name) return MapOp.get(map, name) == thread;
  char *key = nullptr;
  for (void *v = MapOp.first2key(map, &key); v; v = MapOp.next2key(map, &key))
    if (v == thread && key && !*key) return true;
  return false;
}

// Removes the name only when the entry is this thread's: a duplicate-named thread was never
// entered, and deleting it must not unregister the thread that owns the name.
void unregisterThread(LumoThread *thread, LumoThreadData *d) {
  const char *name = d->name.load();
  if (!name) return;
  RegistryLock lock;
  LumoMap *map = lock.map();
  if (!map) return;
  void *removed = ownsEntry(map, name, thread) ? MapOp.remove(map, name) : nullptr;
  if (removed) registryGeneration.fetch_add(1);
  lock.unlock();
  if (!removed)
    TraceOp.trc(kObject, LUMO_TRC_E, __LINE__, LUMO_TRC_CODE, "NOT FOUND!!! __removeThread(%s)",
                name);
}

// First registered thread for which match(thread data) holds.
template <class Match>
LumoThread *findFirst(Match match) {
  RegistryLock lock;
  LumoMap *map = lock.map();
  if (!map) return nullptr;
  for (void *v = MapOp.first(map); v; v = MapOp.next(map)) {
    LumoThread *thread = static_cast<LumoThread *>(v);
    if (match(lumo::dataOf<LumoThreadData>(thread))) return thread;
  }
  return nullptr;
}

struct Impl : lumo::Base<LumoThread, threadClass> {
  static void del(LumoThread *thread) noexcept {
    if (!thread) {
      TraceOp.trc(kObject, LUMO_TRC_E, __LINE__, LUMO_TRC_CODE, "inst == NULL !");
      return;
    }
    LumoThreadData *d = lumo::dataOf<LumoThreadData>(thread);
    thread_forgetRun(d);
    unregisterThread(thread, d);
    if (d->queue) d->queue->del(d->queue);
    str_freeStrID(d->name.exchange(nullptr), kTid);
    str_freeStrID(d->description, kTid);
    d->description = nullptr;
    lumo::freeInstance<LumoThreadData>(thread, threadClass, __LINE__);
  }

  static char *toString(LumoThread *thread) noexcept {
    LumoThreadData *d = lumo::dataOf<LumoThreadData>(thread);
    return d ? copyText(d, true) : nullptr;
  }

  static LumoThread *find(const char *name) noexcept {
    if (!name) return nullptr;
    return findFirst([name](LumoThreadData *d) {
      const char *own = d->name.load();
      return own && str_equals(own, name);
    });
  }

  static LumoThread *findById(LumoThreadId id) noexcept {
    return findFirst([id](LumoThreadData *d) { return d->id.load() == id; });
  }

  static LumoList *getAll() noexcept {
    LumoList *all = ListOp.inst();
    if (!all) return nullptr;
    RegistryLock lock;
    if (LumoMap *map = lock.map())
      for (void *v = MapOp.first(map); v; v = MapOp.next(map)) ListOp.add(all, v);
    return all;
  }

  static const char *getName(LumoThread *thread) noexcept {
    LumoThreadData *d = lumo::dataOf<LumoThreadData>(thread);
    return d ? orEmpty(d->name.load()) : "?";
  }

  static void *getParm(LumoThread *thread) noexcept {
    LumoThreadData *d = lumo::dataOf<LumoThreadData>(thread);
    return d ? d->parm : nullptr;
  }

  static void *getPost(LumoThread *thread) noexcept {
    LumoThreadData *d = lumo::dataOf<LumoThreadData>(thread);
    return d ? QueueOp.get(d->queue) : nullptr;
  }

  static int hasPost(LumoThread *thread) noexcept {
    LumoThreadData *d = lumo::dataOf<LumoThreadData>(thread);
    return d ? !QueueOp.isEmpty(d->queue) : 0;
  }

  // The operating-system functions themselves fill their slots.
  static constexpr LumoThreadId (&id_)(void) = lumo_thread_id;
  static constexpr void (&sleep)(int) = lumo_thread_sleep;
  static constexpr void (&usleep)(int) = lumo_thread_usleep;

  static LumoThread *inst(const char *name, LumoThreadRun run, void *parm) noexcept {
    LumoThreadData *d = nullptr;
    LumoThread *thread = lumo::newInstance<LumoThreadData>(ThreadOp, threadClass, __LINE__, &d);
    if (!thread) return nullptr;
    d->run = run;
    d->parm = parm;
    d->queue = QueueOp.inst(kQueueSize);
    char *own = newName(thread, name);
    if (!d->queue || !own) {
      if (d->queue) d->queue->del(d->queue);
      str_freeStrID(own, kTid);
      lumo::freeInstance<LumoThreadData>(thread, threadClass, __LINE__, false);
      return nullptr;
    }
    d->name.store(own);
    lumo::countInstance(threadClass);
    registerThread(thread, d);
    return thread;
  }

  static int isPause(LumoThread *thread) noexcept {
    LumoThreadData *d = lumo::dataOf<LumoThreadData>(thread);
    return d ? d->pause.load() : 0;
  }

  static int isQuit(LumoThread *thread) noexcept {
    LumoThreadData *d = lumo::dataOf<LumoThreadData>(thread);
    return d ? d->quit.load() : 0;
  }

  static int join(LumoThread *thread) noexcept { return thread ? lumo_thread_join(thread) : 0; }

  static int kill(LumoThread *thread) noexcept { return lumo_thread_kill(thread); }

  static LumoThread *nameById(LumoThreadId id, char *buffer, int size) noexcept {
    if (!RegistryLock::wouldGetMap()) return nullptr;
    NameCache &cache = nameCache;
    if (cache.generation == registryGeneration.load() && cache.id == id) {
      if (cache.found && buffer && size > 0)
        std::snprintf(buffer, static_cast<size_t>(size), "%s", cache.name);
      return cache.found;
    }
    LumoThread *found = nullptr;
    RegistryLock lock;
    LumoMap *map = lock.map();
    if (!map) return nullptr;
    unsigned generation = registryGeneration.load();
    const char *name = nullptr;
    // A thread started here gives its id up when its body returns, but one whose platform
    // thread entered lumo_thread_wrapper by other means keeps it after it ended, and the
    // platform gives it to a later thread: of several entries with the id, the one started
    // last is that thread.
    unsigned latest = 0;
    for (void *v = MapOp.first(map); v; v = MapOp.next(map)) {
      LumoThreadData *d = lumo::dataOf<LumoThreadData>(static_cast<LumoThread *>(v));
      if (d->id.load() != id) continue;
      unsigned started = d->started.load();
      if (found && started <= latest) continue;
      found = static_cast<LumoThread *>(v);
      latest = started;
      // Read under the lock: setName replaces the name only while the thread is unregistered.
      name = orEmpty(d->name.load());
    }
    if (found && buffer && size > 0) std::snprintf(buffer, static_cast<size_t>(size), "%s", name);
    // A name too long for the cache is looked up every time.
    if (!name || std::strlen(name) < sizeof cache.name) {
      cache.generation = generation;
      cache.id = id;
      cache.found = found;
      std::snprintf(cache.name, sizeof cache.name, "%s", orEmpty(name));
    } else {
      cache.generation = 0;
    }
    return found;
  }

  static void pause(LumoThread *thread, int flag) noexcept {
    if (LumoThreadData *d = lumo::dataOf<LumoThreadData>(thread)) d->pause.store(flag);
  }

  static int post(LumoThread *thread, void *message) noexcept {
    LumoThreadData *d = lumo::dataOf<LumoThreadData>(thread);
    if (!d) return 0;
    if (trace_mayWrite(LUMO_TRC_D)) {
      char *name = nullptr, *description = nullptr;
      {
        std::lock_guard<std::mutex> guard(d->textLock);
        name = str_dup(d->name.load());
        description = str_dup(d->description);
      }
      TraceOp.trc(kObject, LUMO_TRC_D, __LINE__, LUMO_TRC_CODE, "queue[%s][%s] items %d",
                  orEmpty(name), orEmpty(description), QueueOp.msgCount(d->queue));
      str_freeStr(description);
      str_freeStr(name);
    }
    return QueueOp.post(d->queue, message, kNormalPriority);
  }

  static int postCount(LumoThread *thread) noexcept {
    LumoThreadData *d = lumo::dataOf<LumoThreadData>(thread);
    return d ? QueueOp.msgCount(d->queue) : 0;
  }

  static int prioPost(LumoThread *thread, void *message, int priority) noexcept {
    LumoThreadData *d = lumo::dataOf<LumoThreadData>(thread);
    return d ? QueueOp.post(d->queue, message, priority) : 0;
  }

  static void quit(LumoThread *thread) noexcept {
    if (LumoThreadData *d = lumo::dataOf<LumoThreadData>(thread)) d->quit.store(1);
  }

  static void quitAll() noexcept {
    findFirst([](LumoThreadData *d) {
      d->quit.store(1);
      return false;
    });
  }

  static void setDescription(LumoThread *thread, const char *text) noexcept {
    LumoThreadData *d = lumo::dataOf<LumoThreadData>(thread);
    if (!d) return;
    char *copy = text ? str_dupID(text, kTid) : nullptr;
    char *old = nullptr;
    {
      std::lock_guard<std::mutex> guard(d->textLock);
      old = d->description;
      d->description = copy;
    }
    str_freeStrID(old, kTid);
    QueueOp.setDesc(d->queue, text);
  }

  static int setHigh(LumoThread *thread) noexcept { return lumo_thread_high(thread); }

  static void setName(LumoThread *thread, const char *name) noexcept {
    LumoThreadData *d = lumo::dataOf<LumoThreadData>(thread);
    if (!d) return;
    char *own = newName(thread, name);
    if (!own) return;
    unregisterThread(thread, d);
    char *old = nullptr;
    {
      std::lock_guard<std::mutex> guard(d->textLock);
      old = d->name.exchange(own);
    }
    str_freeStrID(old, kTid);
    registerThread(thread, d);
  }

  static void setStacksize(LumoThread *thread, int bytes) noexcept {
    if (LumoThreadData *d = lumo::dataOf<LumoThreadData>(thread)) d->stacksize.store(bytes);
  }

  static int start(LumoThread *thread) noexcept { return thread ? lumo_thread_start(thread) : 0; }

  static void *waitPost(LumoThread *thread) noexcept {
    LumoThreadData *d = lumo::dataOf<LumoThreadData>(thread);
    return d ? QueueOp.waitPost(d->queue) : nullptr;
  }
};

}  // namespace

unsigned thread_registryChanged() noexcept { return registryGeneration.fetch_add(1) + 1; }

char *thread_copyName(LumoThreadData *d) noexcept { return d ? copyText(d, false) : nullptr; }

const LumoThread ThreadOp = {LUMO_BASE_INIT(Impl), LUMO_THREAD_OPS(LUMO_SLOT_INIT_MEMBER, Impl)};

LUMO_CHECK_TABLE(LumoThread, LUMO_THREAD_OPS, lumo::kOwnSlotsAt);
