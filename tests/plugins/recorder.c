/* A test plug-in for the hub's end-to-end tests. It writes what the hub gives it into files in
 * the working directory (digint.txt: the configuration node's attributes in order; commands.txt:
 * one line per command) and, once its listener is registered, reports RECORDER_EVENTS events
 * from each of RECORDER_THREADS threads, named "t<thread>e<sequence>" so a test can check that
 * every event reached the trace files exactly once and in order. With RECORDER_NULL set the
 * factory returns null. */
#include <lumo/mem.h>
#include <lumo/plugin.h>
#include <lumo/str.h>
#include <lumo/thread.h>

#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#define MAX_THREADS 16

typedef struct Recorder {
  LumoListener listener;
  LumoObject *owner;
  pthread_t threads[MAX_THREADS];
  int threadCount;
  int events;
  atomic_int next;
} Recorder;

typedef struct Emitter {
  Recorder *recorder;
  int index;
} Emitter;

static Emitter emitters[MAX_THREADS];

static void *emit(void *arg) {
  Emitter *e = (Emitter *)arg;
  char name[32];
  for (int i = 0; i < e->recorder->events; ++i) {
    snprintf(name, sizeof name, "t%de%06d", e->index, i);
    LumoNode *event = NodeOp.inst(name, NULL, LUMO_NODE_ELEMENT);
    e->recorder->listener(e->recorder->owner, event, 2);
    NodeOp.del(event);
    if (i % 50 == 49) usleep(2000); /* stays well below the trace queue's capacity */
  }
  return NULL;
}

static int sendCommand(LumoDigInt *self, LumoNode *command) {
  (void)self;
  FILE *f = fopen("commands.txt", "a");
  if (f) {
    fprintf(f, "%s cmd=%d\n", NodeOp.getName(command), NodeOp.getInt(command, "cmd", -1));
    fclose(f);
  }
  NodeOp.del(command);
  return 1;
}

static void halt(LumoDigInt *self) { (void)self; }
static int isConnected(LumoDigInt *self) { (void)self; return 1; }

static int registerListener(LumoDigInt *self, LumoObject *owner, LumoListener listener) {
  Recorder *r = (Recorder *)self->data;
  r->owner = owner;
  r->listener = listener;
  for (int t = 0; t < r->threadCount; ++t) {
    emitters[t].recorder = r;
    emitters[t].index = t;
    pthread_create(&r->threads[t], NULL, emit, &emitters[t]);
    pthread_detach(r->threads[t]);
  }
  return 1;
}

static int envInt(const char *name, int def) {
  const char *v = getenv(name);
  return v ? atoi(v) : def;
}

__attribute__((visibility("default"))) LumoDigInt *lumGetDigInt(LumoNode *config,
                                                                LumoTrace *trace) {
  (void)trace;
  FILE *f = fopen("digint.txt", "w");
  if (f) {
    fprintf(f, "name=%s\n", NodeOp.getName(config));
    for (int i = 0; i < NodeOp.getAttrCnt(config); ++i) {
      LumoAttr *a = NodeOp.getAttr(config, i);
      fprintf(f, "%s=%s\n", AttrOp.getName(a), AttrOp.getVal(a));
    }
    fclose(f);
  }
  NodeOp.del(config);
  if (getenv("RECORDER_NULL")) return NULL;
  static LumoDigInt object;
  static Recorder recorder;
  recorder.threadCount = envInt("RECORDER_THREADS", 0);
  if (recorder.threadCount > MAX_THREADS) recorder.threadCount = MAX_THREADS;
  recorder.events = envInt("RECORDER_EVENTS", 0);
  object.data = &recorder;
  object.sendCommand = sendCommand;
  object.halt = halt;
  object.isConnected = isConnected;
  object.registerListener = registerListener;
  return &object;
}
