/* The public headers as a plug-in written in C sees them, through the umbrella header: every
 * header compiles as C11, the tables are reached through their slot positions and called as
 * plain C. */
#include <lumo/lumo.h>

#include <stddef.h>
#include <string.h>

int lumo_c_abi_check(void);

/* Returns the line of the first failed check, so the C++ side can say which one. */
#define CHECK(cond)                \
  do {                             \
    if (!(cond)) return __LINE__;  \
  } while (0)

#define SLOT(n) ((size_t)(n) * sizeof(void *))

static int checkLayout(void) {
  /* Base slots: data first, event twelfth. */
  CHECK(offsetof(LumoObject, data) == SLOT(0));
  CHECK(offsetof(LumoObject, del) == SLOT(1));
  CHECK(offsetof(LumoObject, toString) == SLOT(5));
  CHECK(offsetof(LumoObject, event) == SLOT(11));
  CHECK(sizeof(LumoObject) == SLOT(12));

  /* MemOp: 22 operations, free the 9th, getAllocCount the 13th, setDebug the last. */
  CHECK(offsetof(LumoMem, alloc) == SLOT(0));
  CHECK(offsetof(LumoMem, free) == SLOT(8));
  CHECK(offsetof(LumoMem, freeTID) == SLOT(10));
  CHECK(offsetof(LumoMem, getAllocCount) == SLOT(12));
  CHECK(offsetof(LumoMem, setDebug) == SLOT(21));
  CHECK(sizeof(LumoMem) == SLOT(22));

  /* StrOp: 51 operations, fmt the 22nd, freeStr the 25th, trimID the last. */
  CHECK(offsetof(LumoStr, byteToStr) == SLOT(0));
  CHECK(offsetof(LumoStr, fmt) == SLOT(21));
  CHECK(offsetof(LumoStr, freeStr) == SLOT(24));
  CHECK(offsetof(LumoStr, trimID) == SLOT(50));
  CHECK(sizeof(LumoStr) == SLOT(51));

  /* TraceOp: own operations from the 13th slot, dmp first and trc last. */
  CHECK(offsetof(LumoTrace, dmp) == SLOT(12));
  CHECK(offsetof(LumoTrace, inst) == SLOT(22));
  CHECK(offsetof(LumoTrace, trc) == SLOT(42));
  CHECK(sizeof(LumoTrace) == SLOT(43));

  /* QueueOp keeps msgCount ahead of get. */
  CHECK(offsetof(LumoQueue, msgCount) == SLOT(12));
  CHECK(offsetof(LumoQueue, get) == SLOT(13));
  return 0;
}

static int checkMem(void) {
  const int blocks = MemOp.getAllocCount();
  unsigned char *p = (unsigned char *)MemOp.alloc(24, "tests/c_abi", __LINE__);
  CHECK(p != NULL);
  CHECK(MemOp.getAllocCount() == blocks + 1);
  CHECK(p[0] == 0 && p[23] == 0);
  MemOp.free(p, "tests/c_abi", __LINE__);
  CHECK(MemOp.getAllocCount() == blocks);

  const int typed = MemOp.getAllocCntID(LUMO_TID_EBCDIC);
  void *q = MemOp.allocTID(8, LUMO_TID_EBCDIC, "tests/c_abi", __LINE__);
  CHECK(q != NULL);
  CHECK(MemOp.getAllocCntID(LUMO_TID_EBCDIC) == typed + 1);
  MemOp.freeTID(q, LUMO_TID_EBCDIC, "tests/c_abi", __LINE__);
  CHECK(MemOp.getAllocCntID(LUMO_TID_EBCDIC) == typed);
  CHECK(MemOp.getAllocCount() == blocks);
  return 0;
}

static int checkStr(void) {
  const int strings = MemOp.getAllocCntID(LUMO_TID_STRING);
  char *s = StrOp.fmt("%s-%d", "abc", 42);
  CHECK(s != NULL);
  CHECK(strcmp(s, "abc-42") == 0);
  CHECK(StrOp.len(s) == 6);
  CHECK(StrOp.startsWith(s, "abc"));
  CHECK(MemOp.getAllocCntID(LUMO_TID_STRING) == strings + 1);
  StrOp.freeStr(s);
  CHECK(MemOp.getAllocCntID(LUMO_TID_STRING) == strings);
  return 0;
}

static struct {
  int calls;
  int level;
  int code;
  char text[64];
  char object[16];
} heard;

static int onException(int level, const char *text, int code, const char *object) {
  ++heard.calls;
  heard.level = level;
  heard.code = code;
  strncpy(heard.text, text, sizeof heard.text - 1);
  strncpy(heard.object, object, sizeof heard.object - 1);
  return 0;
}

/* A plug-in's view of the trace: create it, hear its exceptions, release it. */
static int checkTrace(void) {
  const int count = TraceOp.count();
  LumoTrace *trace = TraceOp.inst(LUMO_TRC_E | LUMO_TRC_I, NULL, 0);
  CHECK(trace != NULL);
  CHECK(TraceOp.count() == count + 1);
  CHECK(strcmp(trace->name(), "OTrace") == 0);
  CHECK(TraceOp.get() == trace);
  TraceOp.setExceptionListener(trace, onException, 0);
  TraceOp.trc("CAbi", LUMO_TRC_E, __LINE__, LUMO_TRC_CODE, "from C %d", 5);
  CHECK(heard.calls == 1);
  CHECK(heard.level == LUMO_TRC_E);
  CHECK(heard.code == LUMO_TRC_CODE);
  CHECK(strcmp(heard.text, "from C 5") == 0);
  CHECK(strcmp(heard.object, "CAbi") == 0);
  trace->del(trace);
  CHECK(TraceOp.count() == count);
  CHECK(TraceOp.get() == NULL);
  return 0;
}

/* What a plug-in does with a configuration node: read it through the schema, write it out. */
static int checkNode(void) {
  const int nodes = MemOp.getAllocCntID(LUMO_TID_NODE);
  LumoNode *node = NodeOp.inst(wDigInt.node_name(), NULL, LUMO_NODE_ELEMENT);
  CHECK(node != NULL);
  wDigInt.setiid(node, "qivlib");
  wDigInt.setuid(node, 7);
  CHECK(strcmp(wDigInt.getiid(node), "qivlib") == 0);
  CHECK(wDigInt.getuid(node) == 7);
  CHECK(wDigInt.getbps(node) == 2400);
  char *text = DocOp.node2String(node, 0);
  CHECK(text != NULL && strcmp(text, "<digint iid=\"qivlib\" uid=\"7\"/>\n") == 0);
  StrOp.freeStr(text);
  NodeOp.del(node);
  CHECK(MemOp.getAllocCntID(LUMO_TID_NODE) == nodes);
  /* The plug-in's interface object: sendCommand first, registerListener fourth. */
  CHECK(offsetof(LumoDigInt, sendCommand) == SLOT(12));
  CHECK(offsetof(LumoDigInt, registerListener) == SLOT(15));
  CHECK(strcmp(LUMO_PLUGIN_FACTORY, "lumGetDigInt") == 0);
  return 0;
}

int lumo_c_abi_check(void) {
  int line;
  if ((line = checkNode()) != 0) return line;
  if ((line = checkLayout()) != 0) return line;
  if ((line = checkMem()) != 0) return line;
  if ((line = checkStr()) != 0) return line;
  if ((line = checkTrace()) != 0) return line;
  CHECK(LUMO_VERSION_MAJOR >= 1);
  CHECK(lumo_system_getMillis() >= 0 && lumo_system_getMillis() < 1000);
  CHECK(lumo_thread_id() != 0);
  return 0;
}
