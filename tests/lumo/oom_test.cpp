// Allocation-failure injection: each main path of the library runs once for every allocation it
// makes, with exactly that allocation failing (N = 1, 2, ... until a run completes without
// reaching it). Every run must end normally, give back every block it took, and the failure must
// have been reported by the memory manager; a path checks its results in the run without failure.
//
// The hub's start-up is driven through the same library calls it makes (options, a trace with
// files, the banner, the plug-in library and its factory symbol, the digint node): the real
// process never tears down what it builds, so only in-process can each run be checked for leaks.
#include <gtest/gtest.h>
#include <lumo/attr.h>
#include <lumo/cmdln.h>
#include <lumo/doc.h>
#include <lumo/ebcdic.h>
#include <lumo/event.h>
#include <lumo/file.h>
#include <lumo/lib.h>
#include <lumo/list.h>
#include <lumo/map.h>
#include <lumo/mem.h>
#include <lumo/mutex.h>
#include <lumo/node.h>
#include <lumo/queue.h>
#include <lumo/socket.h>
#include <lumo/str.h>
#include <lumo/strtok.h>
#include <lumo/system.h>
#include <lumo/thread.h>
#include <lumo/trace.h>
#include <lumo/wDigInt.h>
#include <lumo/wProgram.h>
#include <lumo/wrapper.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "lumo/impl/testing.h"
#include "stdout_capture.hpp"

namespace fs = std::filesystem;

namespace {

constexpr long kMaxPoints = 5000;  // a path making more allocations than this is a fault itself

std::string tempDir() {
  static std::string dir = [] {
    char name[] = "/tmp/lumo-oom-XXXXXX";
    return std::string(mkdtemp(name) ? name : "/tmp");
  }();
  return dir;
}

// Records "<module> <points>" lines for the reliability report when LUMO_OOM_REPORT names a file.
void report(const char *module, long points) {
  const char *path = std::getenv("LUMO_OOM_REPORT");
  if (!path) return;
  std::ofstream out(path, std::ios::app);
  out << module << ' ' << points << '\n';
}

// Runs path with the n-th allocation failing for every n it reaches. path returns true when it
// ran to its end with every result in hand, false when it gave up on a null or false result.
void injectEveryPoint(const char *module, const std::function<bool()> &path) {
  const int start = MemOp.getAllocCount();
  ASSERT_TRUE(path()) << module << " fails without an injected failure";
  ASSERT_EQ(MemOp.getAllocCount(), start) << module << " leaks without an injected failure";
  long n = 1;
  for (; n <= kMaxPoints; ++n) {
    bool failedBefore = ::testing::Test::HasFailure();
    StreamCapture out;
    lumo_mem_failAfter(n);
    path();
    long left = lumo_mem_failAfter(0);
    std::string console = out.text();
    // A check inside the path reported into the capture: show it with the run's console.
    if (!failedBefore && ::testing::Test::HasFailure())
      std::printf("%s: failure at allocation %ld\n%s\n", module, n, console.c_str());
    EXPECT_EQ(MemOp.getAllocCount(), start) << module << ": blocks left by a failure at allocation "
                                            << n << "\n" << console;
    if (left > 0) break;  // completed before its n-th allocation: every point was injected
    EXPECT_NE(console.find(">>>>> malloc( "), std::string::npos)
        << module << ": failure at allocation " << n << " was not reported";
    if (::testing::Test::HasFailure()) break;
  }
  EXPECT_LE(n, kMaxPoints) << module;
  report(module, n - 1);
  std::printf("%s: %ld allocation points injected\n", module, n - 1);
}

// The trace most records go to, without file and echo: its formatting allocates too, and must
// survive failures like any other path.
class InjectionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    DocOp.setHTMLEscapes(0);
    DocOp.setUniCodeEscapes(0);
    trace_ = TraceOp.inst(-1 & ~LUMO_TRC_D, nullptr, 0);
  }
  static void TearDownTestSuite() {
    TraceOp.set(trace_);
    TraceOp.del(trace_);
    std::error_code ec;
    fs::remove_all(tempDir(), ec);
  }
  static LumoTrace *trace_;
};
LumoTrace *InjectionTest::trace_ = nullptr;

TEST_F(InjectionTest, StringOperations) {
  injectEveryPoint("str", [] {
    char *a = StrOp.fmt("%s-%d", "abc", 42);
    if (!a) return false;
    char *b = StrOp.cat(a, "-xyz");
    if (!b) {
      StrOp.freeStr(a);
      return false;
    }
    char *r = StrOp.replaceAllSub(b, "-", "--");
    StrOp.freeStr(b);
    if (!r) return false;
    EXPECT_STREQ(r, "abc--42--xyz");
    char *e = StrOp.encode4URL(r);
    StrOp.freeStr(r);
    char *d = e ? StrOp.decode4URL("a%20b") : nullptr;
    unsigned char *bytes = StrOp.strToByte("00ABFF");
    char *hex = bytes ? StrOp.byteToStr(bytes, 3) : nullptr;
    char *padded = StrOp.dup("  x  ");
    char *trimmed = padded ? StrOp.trim(padded) : nullptr;
    if (!trimmed) StrOp.freeStr(padded);
    char *line = StrOp.getLine("one\ntwo\n", 1);
    bool ok = e && d && hex && trimmed && line;
    if (ok) {
      EXPECT_STREQ(d, "a b");
      EXPECT_STREQ(hex, "00ABFF");
      EXPECT_STREQ(trimmed, "x");
      EXPECT_STREQ(line, "two");
    }
    StrOp.freeStr(line);
    StrOp.freeStr(trimmed);
    StrOp.freeStr(hex);
    MemOp.free(bytes, "oom_test", __LINE__);
    StrOp.freeStr(d);
    StrOp.freeStr(e);
    return ok;
  });
}

TEST_F(InjectionTest, AttributesEscapeAndDecode) {
  injectEveryPoint("attr", [] {
    LumoAttr *a = AttrOp.inst("name", "a<b & \"c\" &lt;");
    if (!a) return false;
    const char *value = AttrOp.getVal(a);
    bool ok = value != nullptr;
    if (ok) {
      EXPECT_STREQ(value, "a<b & \"c\" <");
    }
    AttrOp.setVal(a, std::string(200, 'x').c_str());
    LumoAttr *copy = a->clone(a);
    char *text = a->toString(a);
    ok = ok && copy && text;
    StrOp.freeStr(text);
    AttrOp.del(copy);
    AttrOp.del(a);
    return ok;
  });
}

TEST_F(InjectionTest, BuildAndSerializeNodes) {
  injectEveryPoint("node", [] {
    LumoNode *root = NodeOp.inst("root", nullptr, LUMO_NODE_ELEMENT);
    if (!root) return false;
    NodeOp.setStr(root, "text", "a<b");
    NodeOp.setInt(root, "number", 42);
    for (int i = 0; i < 3; ++i) {
      LumoNode *child = NodeOp.inst("child", nullptr, LUMO_NODE_ELEMENT);
      if (!child) continue;
      NodeOp.setInt(child, "i", i);
      NodeOp.addChild(root, child);
    }
    LumoNode *copy = root->clone(root);
    char *xml = DocOp.node2String(root, 1);
    char *flat = NodeOp.toEscString(root);
    bool ok = copy && xml && flat && NodeOp.getChildCnt(root) == 3 &&
              NodeOp.getAttrCnt(root) == 2 && NodeOp.getInt(NodeOp.getChild(root, 2), "i", -1) == 2;
    if (ok) {
      EXPECT_NE(std::strstr(xml, "text=\"a&lt;b\""), nullptr) << xml;
    }
    StrOp.freeStr(flat);
    StrOp.freeStr(xml);
    NodeOp.del(copy);
    NodeOp.del(root);
    return ok;
  });
}

TEST_F(InjectionTest, ParseADocument) {
  const char *text =
      "<?xml version=\"1.0\" encoding=\"ISO-8859-15\"?>\n"
      "<!-- configuration -->\n"
      "<digint iid=\"qivlib\" host=\"server&amp;co\" uid=\"256\">\n"
      "  <rs485 device=\"/dev/ttyS0\" bps=\"57600\"/>\n"
      "  <remark>text &lt;inside&gt;</remark>\n"
      "</digint>\n";
  injectEveryPoint("doc", [text] {
    LumoDoc *doc = DocOp.parse(text);
    if (!doc) return false;
    LumoNode *root = DocOp.getRootNode(doc);
    char *again = root ? DocOp.node2String(root, 1) : nullptr;
    bool ok = root && again && std::strcmp(NodeOp.getStr(root, "host", ""), "server&co") == 0 &&
              NodeOp.getChildCnt(root) == 2;
    StrOp.freeStr(again);
    NodeOp.del(root);
    DocOp.del(doc);
    return ok;
  });
}

TEST_F(InjectionTest, ListsMapsAndTokens) {
  injectEveryPoint("map", [] {
    LumoMap *map = MapOp.inst();
    if (!map) return false;
    static int values[20];
    char key[16];
    for (int i = 0; i < 20; ++i) {
      std::snprintf(key, sizeof key, "key%d", i);
      MapOp.put(map, key, &values[i]);
    }
    MapOp.remove(map, "key3");
    LumoList *list = MapOp.getList(map);
    bool ok = list && MapOp.size(map) == 19 && MapOp.get(map, "key7") == &values[7] &&
              ListOp.size(list) == 19;
    ListOp.del(list);
    MapOp.del(map);
    LumoStrTok *tok = StrTokOp.inst("a,b,,c", ',');
    int tokens = 0;
    while (tok && StrTokOp.nextToken(tok)) ++tokens;
    ok = ok && tok && tokens >= 3;
    StrTokOp.del(tok);
    return ok;
  });
}

TEST_F(InjectionTest, QueuesMutexesAndEvents) {
  injectEveryPoint("queue", [] {
    LumoQueue *queue = QueueOp.inst(10);
    if (!queue) return false;
    QueueOp.setDesc(queue, "oom");
    static int payload[3];
    bool posted = true;
    for (int p = 0; p < 3; ++p) posted = QueueOp.post(queue, &payload[p], p) && posted;
    void *first = QueueOp.get(queue);
    bool ok = posted && first == &payload[2];
    QueueOp.del(queue);
    LumoMutex *mutex = MutexOp.inst(nullptr, 1);
    ok = ok && mutex && MutexOp.wait(mutex) && MutexOp.post(mutex);
    MutexOp.del(mutex);
    LumoEvent *event = EventOp.inst(nullptr, 1);
    ok = ok && event && EventOp.set(event) && EventOp.trywait(event, 10);
    EventOp.del(event);
    return ok;
  });
}

std::atomic<int> bodyRan{0};
void body(LumoThread *) { bodyRan.store(1); }

TEST_F(InjectionTest, CreateAndRunAThread) {
  injectEveryPoint("thread", [] {
    bodyRan.store(0);
    LumoThread *thread = ThreadOp.inst("oomthread", body, nullptr);
    if (!thread) return false;
    bool started = ThreadOp.start(thread);
    // The body touches nothing of the object once it has run.
    for (int i = 0; started && !bodyRan.load() && i < 3000; ++i) lumo_thread_sleep(1);
    LumoThread *found = ThreadOp.find("oomthread");
    bool ok = started && bodyRan.load() && found == thread;
    ThreadOp.del(thread);
    return ok;
  });
}

TEST_F(InjectionTest, SocketsOpenAndClose) {
  injectEveryPoint("socket", [] {
    LumoSocket *udp = SocketOp.inst("127.0.0.1", 0, 0, 1, 0, 0);
    if (!udp) return false;
    bool bound = SocketOp.bind(udp);
    SocketOp.del(udp);
    LumoSocket *tcp = SocketOp.inst("127.0.0.1", 1, 0, 0, 0, 0);
    bool ok = bound && tcp;
    SocketOp.del(tcp);
    return ok;
  });
}

TEST_F(InjectionTest, TraceWithFiles) {
  const std::string base = tempDir() + "/trace";
  injectEveryPoint("trace", [&base] {
    LumoTrace *def = TraceOp.get();
    LumoTrace *t = TraceOp.inst(LUMO_TRC_I | LUMO_TRC_W | LUMO_TRC_E, nullptr, 0);
    if (!t) return false;
    TraceOp.setNrFiles(t, 3);
    TraceOp.setFileSize(t, 1);
    TraceOp.setFilename(t, base.c_str());
    bool ok = TraceOp.getF(t) != nullptr;
    for (int i = 0; i < 30; ++i)
      TraceOp.log(t, "OTest", LUMO_TRC_I, __LINE__, 1, "record %d %s", i, std::string(60, 'x').c_str());
    TraceOp.set(t);
    TraceOp.dump("OTest", LUMO_TRC_I, "0123456789abcdef0123", 20);
    TraceOp.del(t);  // writes what was queued, stops the writer
    TraceOp.set(def);
    return ok;
  });
}

TEST_F(InjectionTest, SchemaAccessorsAndValidation) {
  injectEveryPoint("schema", [] {
    LumoNode *program = NodeOp.inst(wProgram.node_name(), nullptr, LUMO_NODE_ELEMENT);
    if (!program) return false;
    wProgram.setcmd(program, wProgram.query);
    bool ok = wProgram.getcmd(program) == wProgram.query;
    (void)wProgram.node_dump(program);
    NodeOp.del(program);
    LumoNode *config = NodeOp.inst(wDigInt.node_name(), nullptr, LUMO_NODE_ELEMENT);
    if (!config) return false;
    wDigInt.setiid(config, "qivlib");
    wDigInt.sethost(config, "server");
    wDigInt.setuid(config, 7);
    ok = ok && std::strcmp(wDigInt.gethost(config), "server") == 0;
    (void)wDigInt.node_dump(config);
    ok = wUtils.checkAttrRange("n", "a", "int", "0-100", "50") && ok;
    NodeOp.del(config);
    return ok;
  });
}

TEST_F(InjectionTest, FilesConvertersAndCodePages) {
  const std::string conv = tempDir() + "/conv.xml";
  {
    std::ofstream out(conv);
    out << "<table><conv ebcdic=\"0x81\" latin1=\"0x61\"/><conv ebcdic=\"193\" latin1=\"65\"/></table>";
  }
  const std::string path = tempDir() + "/file.txt";
  injectEveryPoint("file", [&conv, &path] {
    LumoFile *f = FileOp.inst(path.c_str(), LUMO_FILE_WRITE);
    if (!f) return false;
    bool ok = FileOp.writeFile(f, "abc\n", 4);
    FileOp.del(f);
    char *pwd = FileOp.pwd();
    ok = ok && pwd;
    StrOp.freeStr(pwd);
    LumoEbcdic *e = EbcdicOp.inst(1252, conv.c_str());
    ok = ok && e && EbcdicOp.getEbcdic(e, 0x81) == 0x61;
    EbcdicOp.del(e);
    char *latin = SystemOp.utf2latin("caf\xC3\xA9 \xE2\x82\xAC");
    char *utf = latin ? SystemOp.latin2utf(latin) : nullptr;
    ok = ok && latin && utf && std::strcmp(utf, "caf\xC3\xA9 \xE2\x82\xAC") == 0;
    StrOp.freeStr(utf);
    StrOp.freeStr(latin);
    return ok;
  });
}

TEST_F(InjectionTest, HubStartUpCalls) {
  const std::string base = tempDir() + "/qivhub";
  std::string libpath = LUMO_VIRTUAL_DIR;
  injectEveryPoint("hub", [&base, &libpath] {
    char *argv[] = {const_cast<char *>("qivhub"), const_cast<char *>("-byte"),
                    const_cast<char *>("-l"), const_cast<char *>(libpath.c_str()),
                    const_cast<char *>("-id"), const_cast<char *>("7")};
    LumoCmdLn *cmd = CmdLnOp.inst(6, argv);
    if (!cmd) return false;
    bool ok = CmdLnOp.hasKey(cmd, "-byte") && CmdLnOp.getIntDef(cmd, "-id", 256) == 7;
    LumoTrace *def = TraceOp.get();
    LumoTrace *trace = TraceOp.inst(LUMO_TRC_I | LUMO_TRC_W | LUMO_TRC_B, nullptr, 0);
    if (trace) {
      TraceOp.setFilename(trace, base.c_str());
      TraceOp.setAppID(trace, "w");
      TraceOp.log(trace, "OQIVhub", LUMO_TRC_I, __LINE__, 9999, "QIVhub");
      TraceOp.log(trace, "OQIVhub", LUMO_TRC_I, __LINE__, 9999, "  ID [%d]", 7);
    }
    char *args = cmd->toString(cmd);
    char *libName = StrOp.fmt("%s%c%s", CmdLnOp.getStr(cmd, "-l"), SystemOp.getFileSeparator(), "qiv");
    LumoLib *lib = libName ? LibOp.inst(libName) : nullptr;
    void *factory = lib ? LibOp.getProc(lib, "lumGetDigInt") : nullptr;
    LumoNode *config = NodeOp.inst(wDigInt.node_name(), nullptr, LUMO_NODE_ELEMENT);
    if (config) {
      wDigInt.setiid(config, "qivlib");
      wDigInt.setuid(config, CmdLnOp.getIntDef(cmd, "-id", 256));
      wDigInt.setsublib(config, wDigInt.sublib_usb);
      wDigInt.setdevice(config, "");
    }
    ok = ok && trace && args && lib && factory && config;
    NodeOp.del(config);
    LibOp.del(lib);
    StrOp.freeStr(libName);
    StrOp.freeStr(args);
    if (trace) {
      TraceOp.set(trace);
      TraceOp.del(trace);
      TraceOp.set(def);
    }
    CmdLnOp.del(cmd);
    return ok;
  });
}

}  // namespace
