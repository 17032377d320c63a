// Allocation-failure injection: each main path of the library runs once for every allocation it
// makes, with exactly that allocation failing (N = 1, 2, ... until a run completes without
// reaching it). Every run must end normally, give back every block it took, and the failure must
// have been reported by the memory manager. A result is complete or a reported failure: every
// run in which the path's operations all report success must build exactly what the run without
// failure builds, and an operation that reports failure must leave its inputs as they were.
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
#include <fstream>
#include <functional>
#include <string>

#include "lumo/impl/testing.h"
#include "support/testutil.hpp"

namespace {

constexpr long kMaxPoints = 5000;  // a path making more allocations than this is a fault itself

// One directory for the whole run, removed when the process ends.
std::string tempDir() {
  static TempDir dir("oom");
  return dir.made() ? dir.path() : "/tmp";
}

// Records "<module> <points>" lines for the reliability report when LUMO_OOM_REPORT names a file.
void report(const char *module, long points) {
  const char *path = std::getenv("LUMO_OOM_REPORT");
  if (!path) return;
  std::ofstream out(path, std::ios::app);
  out << module << ' ' << points << '\n';
}

// A path runs a piece of the library. It returns true when every operation reported success,
// with a description of what they built in *state; false when it gave up on a reported failure,
// after checking that the failed operation left its inputs as they were.
using Path = std::function<bool(std::string *state)>;

// Runs path with the n-th allocation failing for every n it reaches.
void injectEveryPoint(const char *module, const Path &path) {
  const int start = MemOp.getAllocCount();
  std::string complete;
  ASSERT_TRUE(path(&complete)) << module << " fails without an injected failure";
  ASSERT_EQ(MemOp.getAllocCount(), start) << module << " leaks without an injected failure";
  long n = 1;
  for (; n <= kMaxPoints; ++n) {
    bool failedBefore = ::testing::Test::HasFailure();
    StreamCapture out;
    std::string state;
    lumo_mem_failAfter(n);
    bool ok = path(&state);
    long left = lumo_mem_failAfter(0);
    std::string console = out.text();
    if (ok) {
      EXPECT_EQ(state, complete) << module << ": allocation " << n
                                 << " failed, yet every operation reported success";
    }
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
  }
  static LumoTrace *trace_;
};
LumoTrace *InjectionTest::trace_ = nullptr;

// The plain text of a subtree, or false when it cannot be made.
bool textOf(LumoNode *node, std::string *out) {
  char *text = DocOp.node2String(node, 0);
  if (!text) return false;
  *out = take(text);
  return true;
}

TEST_F(InjectionTest, StringOperations) {
  injectEveryPoint("str", [](std::string *state) {
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
    char *e = StrOp.encode4URL(r);
    *state = r;
    StrOp.freeStr(r);
    char *d = e ? StrOp.decode4URL("a%20b") : nullptr;
    unsigned char *bytes = StrOp.strToByte("00ABFF");
    char *hex = bytes ? StrOp.byteToStr(bytes, 3) : nullptr;
    char *padded = StrOp.dup("  x  ");
    char *trimmed = padded ? StrOp.trim(padded) : nullptr;
    if (!trimmed) StrOp.freeStr(padded);
    char *line = StrOp.getLine("one\ntwo\n", 1);
    bool ok = e && d && hex && trimmed && line;
    if (ok) *state += std::string("|") + e + "|" + d + "|" + hex + "|" + trimmed + "|" + line;
    StrOp.freeStr(line);
    StrOp.freeStr(trimmed);
    StrOp.freeStr(hex);
    MemOp.free(bytes, "oom_test", __LINE__);
    StrOp.freeStr(d);
    StrOp.freeStr(e);
    return ok;
  });
}

TEST_F(InjectionTest, AttributesEscapeDecodeAndChange) {
  injectEveryPoint("attr", [](std::string *state) {
    LumoAttr *a = AttrOp.inst("name", "a<b & \"c\" &lt;");
    if (!a) return false;
    const char *value = AttrOp.getVal(a);  // null when the decoded copy cannot be made
    if (!value) {
      AttrOp.del(a);
      return false;
    }
    *state = value;
    const std::string before = AttrOp.getEscVal(a), longer(200, '<');
    AttrOp.setVal(a, longer.c_str());
    bool ok = AttrOp.getEscVal(a) != before;
    if (!ok) {
      EXPECT_EQ(AttrOp.getEscVal(a), before) << "a refused setVal changed the value";
    }
    ok = ok && AttrOp.getVal(a) && AttrOp.getVal(a) == longer;
    AttrOp.deserialize(a, reinterpret_cast<const unsigned char *>("other=\"x&amp;y\""));
    if (ok && std::strcmp(AttrOp.getName(a), "other") != 0) {
      EXPECT_STREQ(AttrOp.getName(a), "name") << "a refused deserialize changed only a part";
      EXPECT_EQ(std::string(AttrOp.getVal(a) ? AttrOp.getVal(a) : ""), longer);
      ok = false;
    }
    LumoAttr *copy = ok ? a->clone(a) : nullptr;
    char *text = copy ? copy->toString(copy) : nullptr;
    const char *now = ok ? AttrOp.getVal(a) : nullptr;
    ok = ok && text && now;
    if (ok) *state += std::string("|") + text + "|" + now;
    StrOp.freeStr(text);
    AttrOp.del(copy);
    AttrOp.del(a);
    return ok;
  });
}

// Each setter either takes effect whole or leaves the node as it was.
TEST_F(InjectionTest, BuildAndSerializeNodes) {
  injectEveryPoint("node", [](std::string *state) {
    LumoNode *root = NodeOp.inst("root", nullptr, LUMO_NODE_ELEMENT);
    if (!root) return false;
    // Asked without findAttr, which makes an attribute object and may itself be refused memory.
    auto made = [root](const char *attr, int before) {
      if (lumo_node_getRawVal(root, attr, nullptr)) return true;
      EXPECT_EQ(NodeOp.getAttrCnt(root), before) << "a refused setter changed the node";
      return false;
    };
    bool ok = true;
    NodeOp.setStr(root, "text", "a<b");
    ok = ok && made("text", 0);
    if (ok) NodeOp.setInt(root, "number", 42);
    ok = ok && made("number", 1);
    if (ok) NodeOp.setFloat(root, "huge", 1e300);  // longer than a value buffer
    ok = ok && made("huge", 2);
    if (ok) lumo_node_setRawVal(root, "raw", std::string(100, '&').c_str());
    ok = ok && made("raw", 3);
    for (int i = 0; ok && i < 3; ++i) {
      LumoNode *child = NodeOp.inst("child", nullptr, LUMO_NODE_ELEMENT);
      ok = child != nullptr;
      if (ok) NodeOp.setInt(child, "i", i);
      ok = ok && NodeOp.findAttr(child, "i");
      if (ok) NodeOp.addChild(root, child);
      else NodeOp.del(child);
      ok = ok && NodeOp.getChildCnt(root) == i + 1;
    }
    LumoNode *copy = ok ? root->clone(root) : nullptr;
    char *xml = copy ? DocOp.node2String(root, 1) : nullptr;
    char *flat = xml ? NodeOp.toEscString(root) : nullptr;
    std::string copied;
    ok = ok && copy && xml && flat && textOf(copy, &copied);
    if (ok) *state = std::string(xml) + flat + copied;
    StrOp.freeStr(flat);
    StrOp.freeStr(xml);
    NodeOp.del(copy);
    NodeOp.del(root);
    return ok;
  });
}

// Documents with the attributes, children, element text, comments and conversions of the
// parser; parse gives the whole document or none.
TEST_F(InjectionTest, ParseADocument) {
  const char *text =
      "<?xml version=\"1.0\" encoding=\"ISO-8859-15\"?>\n"
      "<!-- configuration -->\n"
      "<digint iid=\"qivlib\" host=\"server&amp;co\" uid=\"256\">\n"
      "  <rs485 device=\"/dev/ttyS0\" bps=\"57600\"/>\n"
      "  <remark>text &lt;inside&gt;</remark>\n"
      "</digint>\n";
  const char *utf8 =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<cfg name=\"caf\xC3\xA9\" long=\"" "0123456789012345678901234567890123456789"
      "0123456789012345678901234567890123456789012345678901234567890123456789\">value"
      "<x a=\"1\"/>after</cfg>";
  injectEveryPoint("doc", [text, utf8](std::string *state) {
    bool ok = true;
    for (int pass = 0; ok && pass < 2; ++pass) {
      DocOp.setUTF2Latin(pass);
      DocOp.setXMLElementVal(pass);
      LumoDoc *doc = DocOp.parse(pass ? utf8 : text);
      DocOp.setUTF2Latin(0);
      DocOp.setXMLElementVal(0);
      if (!doc) return false;
      LumoNode *root = DocOp.getRootNode(doc);
      std::string rootText, docText;
      ok = root && textOf(root, &rootText) && textOf(DocOp.getDocNode(doc), &docText);
      if (ok) *state += rootText + docText + (root ? NodeOp.getElement(root) ? "e" : "-" : "");
      NodeOp.del(root);
      DocOp.del(doc);
    }
    return ok;
  });
}

// Every kind of merge: it changes the target whole, or returns null and leaves both trees (and a
// pending skip) as they were.
TEST_F(InjectionTest, MergeNodes) {
  const char *target = "<r id=\"t\" v=\"old\"><a k=\"1\"><deep/></a><b/></r>";
  const char *source =
      "<r id=\"s\" v=\"new\" w=\"added&amp;\"><a k=\"2\" m=\"3\"><deep d=\"x\"/><more/></a>"
      "<c n=\"4\"><e/></c><a k=\"5\"/></r>";
  struct Mode {
    int overwrite, recursive, keepId, replaceChilds;
    bool force, skip, intoOwnSubtree;
  };
  const Mode modes[] = {{1, 1, 1, 0, false, false, false}, {0, 1, 0, 0, false, false, false},
                        {1, 1, 0, 1, false, false, false}, {0, 0, 0, 0, true, false, false},
                        {1, 1, 0, 0, false, true, false},  {1, 1, 0, 0, false, false, true}};
  // Without the parser's commentary: the trees are parsed again in every run.
  TraceOp.setLevel(trace_, -1 & ~(LUMO_TRC_D | LUMO_TRC_S));
  injectEveryPoint("merge", [&](std::string *state) {
    for (const Mode &m : modes) {
      LumoNode *t = parsedRoot(target);
      LumoNode *s = m.intoOwnSubtree ? t : parsedRoot(source);
      LumoNode *into = m.intoOwnSubtree ? NodeOp.getChild(t, 0) : t;
      bool ok = t && s && into;
      if (ok && m.force) {
        NodeOp.setForceRecursive(s);
        ok = NodeOp.findAttr(s, "__forcerecursive__") != nullptr;
      }
      if (ok && m.skip) NodeOp.triggerSkipMerge(into);
      std::string before, sourceBefore, after, sourceAfter;
      ok = ok && textOf(t, &before) && textOf(s, &sourceBefore);
      LumoNode *merged = ok ? NodeOp.mergeNode(into, s, m.overwrite, m.recursive, m.keepId,
                                               m.replaceChilds)
                            : nullptr;
      if (ok && !merged) {
        EXPECT_TRUE(textOf(t, &after) && textOf(s, &sourceAfter));
        EXPECT_EQ(after, before) << "a refused merge changed the target";
        EXPECT_EQ(sourceAfter, sourceBefore) << "a refused merge changed the source";
        // A pending skip is still pending.
        if (m.skip) {
          EXPECT_EQ(NodeOp.mergeNode(into, s, 1, 1, 0, 1), into);
          EXPECT_TRUE(textOf(t, &after) && after == before);
        }
        ok = false;
      }
      ok = ok && merged == into && textOf(t, &after) && textOf(s, &sourceAfter);
      if (ok) *state += after + sourceAfter;
      if (s != t) NodeOp.del(s);
      NodeOp.del(t);
      if (!ok) return false;
    }
    return true;
  });
  TraceOp.setLevel(trace_, -1 & ~LUMO_TRC_D);
}

// Each put either takes the value or leaves the map as it was.
TEST_F(InjectionTest, ListsMapsAndTokens) {
  injectEveryPoint("map", [](std::string *state) {
    LumoMap *map = MapOp.inst();
    if (!map) return false;
    static int values[20];
    char key[16];
    bool ok = true;
    for (int i = 0; ok && i < 22; ++i) {
      int k = i < 20 ? i : i - 20;  // the last two replace
      std::snprintf(key, sizeof key, "key%d", k);
      int size = MapOp.size(map);
      void *old = MapOp.get(map, key);
      MapOp.put(map, key, &values[i % 20 == k ? k : 19 - k]);
      ok = MapOp.get(map, key) == &values[i % 20 == k ? k : 19 - k];
      if (!ok) {
        EXPECT_EQ(MapOp.size(map), size) << "a refused put changed the map";
        EXPECT_EQ(MapOp.get(map, key), old) << "a refused put lost the key";
      }
    }
    if (ok) MapOp.remove(map, "key3");
    LumoList *list = ok ? MapOp.getList(map) : nullptr;
    ok = ok && list && MapOp.size(map) == 19 && ListOp.size(list) == 19;
    for (int i = 0; ok && i < ListOp.size(list); ++i)
      *state += std::to_string(static_cast<int *>(ListOp.get(list, i)) - values) + ",";
    ListOp.del(list);
    MapOp.del(map);
    LumoStrTok *tok = ok ? StrTokOp.inst("a,b,,c", ',') : nullptr;
    while (tok && StrTokOp.hasMoreTokens(tok)) *state += std::string(StrTokOp.nextToken(tok)) + ";";
    char *replaced = tok ? StrTokOp.replaceAll("a;b;a", ';', "a", "x") : nullptr;
    ok = ok && tok && replaced;
    if (ok) *state += replaced;
    StrOp.freeStr(replaced);
    StrTokOp.del(tok);
    return ok;
  });
}

TEST_F(InjectionTest, QueuesMutexesAndEvents) {
  injectEveryPoint("queue", [](std::string *) {
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
  injectEveryPoint("thread", [](std::string *) {
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
  injectEveryPoint("socket", [](std::string *) {
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
  injectEveryPoint("trace", [&base](std::string *) {
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
  injectEveryPoint("schema", [](std::string *state) {
    LumoNode *program = NodeOp.inst(wProgram.node_name(), nullptr, LUMO_NODE_ELEMENT);
    if (!program) return false;
    wProgram.setcmd(program, wProgram.query);
    bool ok = wProgram.getcmd(program) == wProgram.query;
    if (!ok) {
      EXPECT_EQ(NodeOp.getAttrCnt(program), 0) << "a refused setter changed the node";
    }
    (void)wProgram.node_dump(program);
    ok = ok && textOf(program, state);
    NodeOp.del(program);
    LumoNode *config = ok ? NodeOp.inst(wDigInt.node_name(), nullptr, LUMO_NODE_ELEMENT) : nullptr;
    if (!config) return false;
    wDigInt.setiid(config, "qivlib");
    ok = NodeOp.getAttrCnt(config) == 1;
    if (ok) wDigInt.sethost(config, "server");
    ok = ok && NodeOp.getAttrCnt(config) == 2;
    if (ok) wDigInt.setuid(config, 7);
    ok = ok && NodeOp.getAttrCnt(config) == 3;
    (void)wDigInt.node_dump(config);
    ok = ok && wUtils.checkAttrRange("n", "a", "int", "0-100", "50");
    std::string text;
    ok = ok && textOf(config, &text);
    *state += text;
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
  injectEveryPoint("file", [&conv, &path](std::string *state) {
    LumoFile *f = FileOp.inst(path.c_str(), LUMO_FILE_WRITE);
    if (!f) return false;
    bool ok = FileOp.writeFile(f, "abc\n", 4);
    FileOp.del(f);
    char *pwd = FileOp.pwd();
    ok = ok && pwd;
    StrOp.freeStr(pwd);
    // The converter maps what the file says or is not made: never the built-in tables instead.
    LumoEbcdic *e = EbcdicOp.inst(1252, conv.c_str());
    ok = ok && e && EbcdicOp.getEbcdic(e, 0x81) == 0x61;
    for (int b = 0; ok && b < 256; ++b) *state += std::to_string(EbcdicOp.getAscii(e, b)) + ",";
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
  injectEveryPoint("hub", [&base, &libpath](std::string *state) {
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
    ok = ok && trace && args && lib && factory && config && NodeOp.getAttrCnt(config) == 4;
    if (ok) *state = args;
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
