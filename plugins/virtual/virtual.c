/* qiv.so: a simulated device plug-in. It needs no hardware: it traces its configuration, reports
 * a sensor event every two seconds and a power-state event every ten from a thread of its own,
 * and answers a query command (a program node with cmd 25) with a program event. Written in C
 * against the installed headers only, as an example for plug-in authors. Its thread sleeps
 * until the next event is due or an event object wakes it (a command, the request to stop). */
#define _POSIX_C_SOURCE 200809L /* clock_gettime under -std=c11 */

#include <lumo/event.h>
#include <lumo/mem.h>
#include <lumo/plugin.h>
#include <lumo/str.h>
#include <lumo/thread.h>
#include <lumo/trace.h>
#include <lumo/wDigInt.h>
#include <lumo/wProgram.h>

#include <stdatomic.h>
#include <stddef.h>
#include <time.h>

#define OBJECT "OVirtual"
#define CODE LUMO_TRC_CODE
#define SOURCE "plugins/virtual"
#define SENSOR_MS 2000 /* a sensor event every 2 s */
#define POWER_EVERY 5   /* a power-state event with every fifth: every 10 s */

typedef struct VirtualData {
  LumoNode *config; /* taken over from the hub */
  LumoTrace *trace;
  LumoThread *worker;
  LumoEvent *wake; /* set by a command posted and by the request to stop */
  LumoEvent *done; /* set by the worker as its very last step */
  _Atomic(LumoListener) listener;
  _Atomic(LumoObject *) owner;
  atomic_int connected;
  int sensorState;
  int power;
} VirtualData;

static atomic_int instCnt;

static VirtualData *dataOf(LumoDigInt *self) { return self ? (VirtualData *)self->data : NULL; }

/* Hands one event to the listener, then frees it: the hub only reads it. */
static void report(VirtualData *d, LumoNode *event) {
  LumoListener listener = atomic_load(&d->listener);
  if (listener) listener(atomic_load(&d->owner), event, LUMO_TRC_I);
  NodeOp.del(event);
}

static void answerCommand(VirtualData *d, LumoNode *command) {
  const char *name = NodeOp.getName(command);
  int cmd = wProgram.getcmd(command);
  TraceOp.log(d->trace, OBJECT, LUMO_TRC_I, __LINE__, CODE, "command [%s] cmd=%d", name, cmd);
  if (StrOp.equals(name, wProgram.node_name()) && cmd == wProgram.query) {
    LumoNode *answer = NodeOp.inst(wProgram.node_name(), NULL, LUMO_NODE_ELEMENT);
    wProgram.setcmd(answer, wProgram.query);
    wProgram.setrc(answer, 0);
    wProgram.setversion(answer, 1);
    wProgram.setiid(answer, wDigInt.getiid(d->config));
    wProgram.setstrval1(answer, "virtual");
    report(d, answer);
  }
  NodeOp.del(command);
}

static long long monotonicMs(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

static void work(LumoThread *thread) {
  LumoDigInt *self = (LumoDigInt *)ThreadOp.getParm(thread);
  VirtualData *d = dataOf(self);
  TraceOp.log(d->trace, OBJECT, LUMO_TRC_I, __LINE__, CODE, "simulation started");
  long long start = monotonicMs();
  for (unsigned beat = 1; !ThreadOp.isQuit(thread);) {
    /* Reset before the queue is looked at: a command posted after the look sets it again. */
    EventOp.reset(d->wake);
    LumoNode *command;
    while ((command = (LumoNode *)ThreadOp.getPost(thread)) != NULL) answerCommand(d, command);
    if (ThreadOp.isQuit(thread)) break;
    long long dueIn = start + (long long)beat * SENSOR_MS - monotonicMs();
    if (dueIn > 0) {
      EventOp.trywait(d->wake, dueIn < 0x7fffffff ? (int)dueIn : 0x7fffffff);
      continue;
    }
    LumoNode *sensor = NodeOp.inst("sensor", NULL, LUMO_NODE_ELEMENT);
    d->sensorState = !d->sensorState;
    NodeOp.setStr(sensor, "id", "fb1");
    NodeOp.setInt(sensor, "addr", 1);
    NodeOp.setBool(sensor, "state", d->sensorState);
    report(d, sensor);
    if (beat % POWER_EVERY == 0) {
      LumoNode *event = NodeOp.inst("state", NULL, LUMO_NODE_ELEMENT);
      NodeOp.setStr(event, "iid", wDigInt.getiid(d->config));
      NodeOp.setBool(event, "power", d->power);
      report(d, event);
    }
    ++beat;
  }
  /* Commands still queued were taken over too. */
  LumoNode *left;
  while ((left = (LumoNode *)ThreadOp.getPost(thread)) != NULL) NodeOp.del(left);
  TraceOp.log(d->trace, OBJECT, LUMO_TRC_I, __LINE__, CODE, "simulation stopped");
  EventOp.set(d->done); /* del may release everything from here on */
}

static int sendCommand(LumoDigInt *self, LumoNode *command) {
  VirtualData *d = dataOf(self);
  if (!d || !command) {
    NodeOp.del(command);
    return 0;
  }
  /* Commands are answered on the plug-in's own thread, in the order they came. */
  if (!ThreadOp.post(d->worker, command)) {
    NodeOp.del(command);
    return 0;
  }
  EventOp.set(d->wake);
  return 1;
}

static void halt(LumoDigInt *self) {
  VirtualData *d = dataOf(self);
  if (d) d->power = 0;
}

static int isConnected(LumoDigInt *self) {
  VirtualData *d = dataOf(self);
  return d ? atomic_load(&d->connected) : 0;
}

static int registerListener(LumoDigInt *self, LumoObject *owner, LumoListener listener) {
  VirtualData *d = dataOf(self);
  if (!d) return 0;
  atomic_store(&d->owner, owner);
  atomic_store(&d->listener, listener);
  return 1;
}

static void del(LumoDigInt *self) {
  VirtualData *d = dataOf(self);
  if (!d) return;
  ThreadOp.quit(d->worker);
  EventOp.set(d->wake);
  EventOp.wait(d->done);
  ThreadOp.del(d->worker);
  EventOp.del(d->wake);
  EventOp.del(d->done);
  NodeOp.del(d->config);
  MemOp.free(d, SOURCE, __LINE__);
  MemOp.free(self, SOURCE, __LINE__);
  atomic_fetch_sub(&instCnt, 1);
}

static const char *name(void) { return "OVirtual"; }
static int count(void) { return atomic_load(&instCnt); }
static unsigned char *serialize(LumoDigInt *self, int *length) {
  (void)self;
  if (length) *length = 0;
  return NULL;
}
static void deserialize(LumoDigInt *self, const unsigned char *image) {
  (void)self;
  (void)image;
}
static char *toString(LumoDigInt *self) {
  VirtualData *d = dataOf(self);
  return d ? NodeOp.toString(d->config) : NULL;
}
static LumoDigInt *clone(LumoDigInt *self) {
  (void)self;
  return NULL;
}
static int equals(LumoDigInt *self, LumoDigInt *other) {
  (void)self;
  (void)other;
  return 0;
}
static void *properties(LumoDigInt *self) {
  VirtualData *d = dataOf(self);
  return d ? d->config : NULL;
}
static void *objectId(LumoDigInt *self) {
  (void)self;
  return NULL;
}
static void *event(LumoDigInt *self, void *eventData) {
  (void)self;
  (void)eventData;
  return NULL;
}

static const LumoDigInt VirtualOp = {NULL,      del,        name,        serialize,
                                     deserialize, toString, count,       clone,
                                     equals,    properties, objectId,    event,
                                     sendCommand, halt,     isConnected, registerListener};

__attribute__((visibility("default"))) LumoDigInt *lumGetDigInt(LumoNode *config,
                                                                LumoTrace *trace) {
  LumoDigInt *self = (LumoDigInt *)MemOp.alloc((int)sizeof(LumoDigInt), SOURCE, __LINE__);
  VirtualData *d = (VirtualData *)MemOp.alloc((int)sizeof(VirtualData), SOURCE, __LINE__);
  if (!self || !d) {
    MemOp.free(self, SOURCE, __LINE__);
    MemOp.free(d, SOURCE, __LINE__);
    NodeOp.del(config);
    return NULL;
  }
  MemOp.basecpy(self, &VirtualOp, 0, (int)sizeof VirtualOp, d);
  d->config = config;
  d->trace = trace;
  d->power = 1;
  atomic_store(&d->connected, 1);

  TraceOp.log(trace, OBJECT, LUMO_TRC_I, __LINE__, CODE,
              "virtual device: iid=[%s] host=[%s] uid=%d sublib=[%s] device=[%s]",
              StrOp.len(wDigInt.getiid(config)) ? wDigInt.getiid(config) : "",
              StrOp.len(wDigInt.gethost(config)) ? wDigInt.gethost(config) : "",
              wDigInt.getuid(config),
              StrOp.len(wDigInt.getsublib(config)) ? wDigInt.getsublib(config) : "",
              StrOp.len(wDigInt.getdevice(config)) ? wDigInt.getdevice(config) : "");

  d->wake = EventOp.inst(NULL, 1);
  d->done = EventOp.inst(NULL, 1);
  d->worker = d->wake && d->done ? ThreadOp.inst("virtual", work, self) : NULL;
  if (!d->worker || !ThreadOp.start(d->worker)) {
    TraceOp.log(trace, OBJECT, LUMO_TRC_E, __LINE__, CODE, "simulation thread did not start");
    ThreadOp.del(d->worker);
    EventOp.del(d->wake);
    EventOp.del(d->done);
    NodeOp.del(config);
    MemOp.free(d, SOURCE, __LINE__);
    MemOp.free(self, SOURCE, __LINE__);
    return NULL;
  }
  atomic_fetch_add(&instCnt, 1);
  return self;
}
