/* A stress plug-in for the hub's soak tests. Once its listener is registered, STRESS_THREADS
 * threads (default 8) report events as fast as they can in bursts of STRESS_BURST events each
 * (default 2000: eight threads together send more than the trace queue holds), for
 * STRESS_SECONDS seconds (default 10). Events are named "s<thread>e<sequence>", the sequence
 * counting on across bursts, so a test can tell which reached the trace files and in what order;
 * with STRESS_NAME_BYTES the names are padded with "x" to that length, so that records are long
 * and the trace files rotate often (which is what slows the trace writer most).
 *
 * Between two bursts a controller thread writes out what the trace still queues (it runs at the
 * normal priority, the trace writer may not: on a busy machine the writer can go without the
 * processor for longer than any fixed wait), then waits (at most STRESS_DRAIN_MS, default 20000
 * in all) until the memory manager's live-block count is back at its level from before the
 * burst, or has not changed for 300 ms, and appends one line per burst to stress.txt in the
 * working directory:
 *   burst <n> events <total so far> before <live blocks> after <live blocks>[ t<type>+<n>...]
 * (the allocation types whose count changed, listed when blocks stayed)
 * and at the end "done bursts <n> events <total>". STRESS_PAUSE_MS (default 0) pauses the
 * controller after each burst, for a trace that rotates steadily rather than in a flood, as a
 * reader following the files sees it. The threads are registered thread objects
 * ("stress0" ...), so the trace names them. Unless STRESS_SLOW_WRITER is 0, the threads the hub
 * had already started (the trace writer among them) run at the lowest priority. */
#include <lumo/mem.h>
#include <lumo/node.h>
#include <lumo/plugin.h>
#include <lumo/thread.h>
#include <lumo/trace.h>

#include <dirent.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#define MAX_THREADS 16
#define MAX_NAME 2000

typedef struct Stress {
  LumoListener listener;
  LumoObject *owner;
  int threads;
  int burst;
  int seconds;
  int drainMs;
  int nameBytes;
  int pauseMs;
  atomic_int generation; /* raised by the controller to start a burst; -1 ends the emitters */
  atomic_int finished;   /* emitters done with the current burst */
} Stress;

typedef struct Emitter {
  Stress *stress;
  int index;
  int sequence;
} Emitter;

static Stress stress;
static Emitter emitters[MAX_THREADS];

static void emit(LumoThread *thread) {
  Emitter *e = (Emitter *)ThreadOp.getParm(thread);
  Stress *s = e->stress;
  int seen = 0;
  char name[MAX_NAME + 1];
  for (;;) {
    int generation = atomic_load(&s->generation);
    if (generation < 0) break;
    if (generation == seen) {
      lumo_thread_sleep(1);
      continue;
    }
    seen = generation;
    for (int i = 0; i < s->burst; ++i) {
      int n = snprintf(name, sizeof name, "s%de%07d", e->index, e->sequence++);
      if (s->nameBytes > n) {
        memset(name + n, 'x', (size_t)(s->nameBytes - n));
        name[s->nameBytes] = '\0';
      }
      LumoNode *event = NodeOp.inst(name, NULL, LUMO_NODE_ELEMENT);
      s->listener(s->owner, event, 2);
      NodeOp.del(event);
    }
    atomic_fetch_add(&s->finished, 1);
  }
}

static void note(const char *line) {
  FILE *f = fopen("stress.txt", "a");
  if (!f) return;
  fputs(line, f);
  fclose(f);
}

static double now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static void control(LumoThread *thread) {
  Stress *s = (Stress *)ThreadOp.getParm(thread);
  double end = now() + s->seconds;
  int bursts = 0;
  long events = 0;
  char line[400];
  do {
    int before = MemOp.getAllocCount();
    int typesBefore[LUMO_MEM_TYPE_COUNT];
    memcpy(typesBefore, MemOp.dumpAllocCntID(), sizeof typesBefore);
    atomic_store(&s->finished, 0);
    atomic_fetch_add(&s->generation, 1);
    while (atomic_load(&s->finished) < s->threads) lumo_thread_sleep(1);
    events += (long)s->threads * s->burst;
    lumo_trace_flush(NULL, s->drainMs);
    /* Drained: back at the level, or (blocks a cache keeps) no change for 300 ms. */
    int after = MemOp.getAllocCount();
    for (int waited = 0, still = 0; after > before && still < 300 && waited < s->drainMs;
         waited += 10) {
      lumo_thread_sleep(10);
      int count = MemOp.getAllocCount();
      still = count == after ? still + 10 : 0;
      after = count;
    }
    ++bursts;
    if (s->pauseMs > 0) lumo_thread_sleep(s->pauseMs);
    int n = snprintf(line, sizeof line, "burst %d events %ld before %d after %d", bursts, events,
                     before, after);
    /* Which allocation types kept the blocks, when some stayed. */
    int *types = MemOp.dumpAllocCntID();
    for (int t = 0; t < LUMO_MEM_TYPE_COUNT && n < (int)sizeof line - 16; ++t) {
      if (after > before && types[t] != typesBefore[t])
        n += snprintf(line + n, sizeof line - (size_t)n, " t%d%+d", t, types[t] - typesBefore[t]);
    }
    snprintf(line + n, sizeof line - (size_t)n, "\n");
    note(line);
  } while (now() < end);
  atomic_store(&s->generation, -1);
  snprintf(line, sizeof line, "done bursts %d events %ld\n", bursts, events);
  note(line);
}

static int sendCommand(LumoDigInt *self, LumoNode *command) {
  (void)self;
  NodeOp.del(command);
  return 1;
}

static void halt(LumoDigInt *self) { (void)self; }
static int isConnected(LumoDigInt *self) { (void)self; return 1; }

static int envInt(const char *name, int def) {
  const char *v = getenv(name);
  return v && *v ? atoi(v) : def;
}

/* Lowers every thread of the process but the calling one (the hub's main thread) to the lowest
 * scheduling priority: the trace writer then stands for a slow flash card, and the bursts
 * overrun its queue on any machine. Threads started later from the main thread keep its
 * priority. Returns how many threads were lowered. */
static int slowOtherThreads(void) {
  long self = syscall(SYS_gettid);
  DIR *dir = opendir("/proc/self/task");
  if (!dir) return 0;
  int lowered = 0;
  for (struct dirent *entry; (entry = readdir(dir)) != NULL;) {
    long tid = atol(entry->d_name);
    if (tid > 0 && tid != self && setpriority(PRIO_PROCESS, (id_t)tid, 19) == 0) ++lowered;
  }
  closedir(dir);
  return lowered;
}

static int registerListener(LumoDigInt *self, LumoObject *owner, LumoListener listener) {
  Stress *s = (Stress *)self->data;
  if (envInt("STRESS_SLOW_WRITER", 1)) {
    char line[64];
    snprintf(line, sizeof line, "lowered %d threads\n", slowOtherThreads());
    note(line);
  }
  s->owner = owner;
  s->listener = listener;
  char name[32];
  for (int t = 0; t < s->threads; ++t) {
    emitters[t].stress = s;
    emitters[t].index = t;
    snprintf(name, sizeof name, "stress%d", t);
    ThreadOp.start(ThreadOp.inst(name, emit, &emitters[t]));
  }
  ThreadOp.start(ThreadOp.inst("stressct", control, s));
  return 1;
}

__attribute__((visibility("default"))) LumoDigInt *lumGetDigInt(LumoNode *config,
                                                                LumoTrace *trace) {
  (void)trace;
  NodeOp.del(config);
  static LumoDigInt object;
  stress.threads = envInt("STRESS_THREADS", 8);
  if (stress.threads < 1) stress.threads = 1;
  if (stress.threads > MAX_THREADS) stress.threads = MAX_THREADS;
  stress.burst = envInt("STRESS_BURST", 2000);
  stress.seconds = envInt("STRESS_SECONDS", 10);
  stress.drainMs = envInt("STRESS_DRAIN_MS", 20000);
  stress.nameBytes = envInt("STRESS_NAME_BYTES", 0);
  stress.pauseMs = envInt("STRESS_PAUSE_MS", 0);
  if (stress.nameBytes > MAX_NAME) stress.nameBytes = MAX_NAME;
  object.data = &stress;
  object.sendCommand = sendCommand;
  object.halt = halt;
  object.isConnected = isConnected;
  object.registerListener = registerListener;
  return &object;
}
