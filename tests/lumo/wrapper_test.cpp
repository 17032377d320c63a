// Schema runtime: typed defaults of definitions, the range rules of wUtils with their exact
// messages, the node-name check, validation of one attribute (and the reset of a value that
// does not fit), and the tests for attributes and children a schema does not define.
#include <gtest/gtest.h>
#include <lumo/node.h>
#include <lumo/wrapper.h>

#include <climits>
#include <string>
#include <vector>

#include "lumo/impl/testing.h"
#include "schema_trace.hpp"
#include "support/testutil.hpp"

namespace {

LumoWgenAttr attrDef(const char *name, const char *type, const char *def, const char *range,
                     int required = 0, const char *unit = "") {
  return LumoWgenAttr{name, "", unit, type, def, range, required};
}

using WrapperTest = SchemaTest;

TEST_F(WrapperTest, DefaultsAreReadFromTheDefinitionText) {
  LumoWgenAttr d = attrDef("a", "bool", "TRUE", "");
  EXPECT_EQ(xBool(&d), 1);
  d.defval = "true";
  EXPECT_EQ(xBool(&d), 1);
  for (const char *no : {"false", "yes", "1", "", "NULL"}) {
    d.defval = no;
    EXPECT_EQ(xBool(&d), 0) << no;
  }

  struct {
    const char *text;
    int i;
    long l;
    double f;
  } numbers[] = {
      {"2400", 2400, 2400L, 2400.0}, {"  -5", -5, -5L, -5.0}, {"12abc", 12, 12L, 12.0},
      {"2.5", 2, 2L, 2.5},           {"NULL", 0, 0L, 0.0},    {"", 0, 0L, 0.0},
      {nullptr, 0, 0L, 0.0},
  };
  for (const auto &n : numbers) {
    d.defval = n.text;
    EXPECT_EQ(xInt(&d), n.i) << (n.text ? n.text : "(null)");
    EXPECT_EQ(xLong(&d), n.l) << (n.text ? n.text : "(null)");
    EXPECT_DOUBLE_EQ(xFloat(&d), n.f) << (n.text ? n.text : "(null)");
  }
  // Out of int's range the default saturates instead of being undefined.
  d.defval = "99999999999999999999";
  EXPECT_EQ(xInt(&d), INT_MAX);
  EXPECT_EQ(xLong(&d), LONG_MAX);
  d.defval = "-99999999999999999999";
  EXPECT_EQ(xInt(&d), INT_MIN);

  d.defval = "virtual";
  EXPECT_EQ(xStr(&d), d.defval) << "the definition's own text, not a copy";
  d.defval = "";
  ASSERT_NE(xStr(&d), nullptr) << "an empty default is the empty text";
  EXPECT_STREQ(xStr(&d), "");
  for (const char *none : {"NULL", "null", "Null"}) {
    d.defval = none;
    EXPECT_EQ(xStr(&d), nullptr) << none;
  }
  d.defval = nullptr;
  EXPECT_EQ(xStr(&d), nullptr);

  EXPECT_EQ(xBool(nullptr), 0);
  EXPECT_EQ(xInt(nullptr), 0);
  EXPECT_EQ(xLong(nullptr), 0L);
  EXPECT_EQ(xFloat(nullptr), 0.0);
  EXPECT_EQ(xStr(nullptr), nullptr);
}

struct RangeCase {
  const char *type;
  const char *range;
  const char *value;
  bool fits;
  Records records;  // besides the closing "n.a=[value]" record of a value that fits
};

std::string outOfRange(const std::string &valueAndRange) {
  return "E param 9999 Attribute n.a is out of range! " + valueAndRange;
}

std::string unknownRange(const std::string &range, bool allowed) {
  return "W param 9999 Range [" + range + "] is in an unknown format!" +
         (allowed ? " Using [*] as default." : "");
}

TEST_F(WrapperTest, RangeRulesDecideAndTraceExactly) {
  const std::string bauds = "1200,2400,4800,9600,19200,38400,57600";
  // clang-format off
  const std::vector<RangeCase> cases = {
      // whole numbers: bounds, open upper bound, anything, lists, unknown formats
      {"int", "0-255", "0", true, {}},
      {"int", "0-255", "255", true, {}},
      {"int", "0-255", "256", false, {outOfRange("256 -> [0-255]")}},
      {"int", "0-255", "-1", false, {outOfRange("-1 -> [0-255]")}},
      {"int", "0-*", "0", true, {}},
      {"int", "0-*", "2147483647", true, {}},
      {"int", "0-*", "-1", false, {outOfRange("-1 -> [0-*]")}},
      {"int", "*", "-7", true, {}},
      {"int", "*junk", "x", true, {}},
      {"int", "1-5-9", "6", false, {outOfRange("6 -> [1-5-9]")}},
      {"int", bauds.c_str(), "9600", true, {}},
      {"int", bauds.c_str(), "300", false, {outOfRange("300 -> [" + bauds + "]")}},
      {"INT", "0-255", "300", false, {outOfRange("300 -> [0-255]")}},
      {"int", "", "7", true, {unknownRange("", true)}},
      {"int", "abc", "7", true, {unknownRange("abc", true)}},
      {"long", "0-65535", "65535", true, {}},
      {"long", "0-65535", "65536", false, {outOfRange("65536 -> [0-65535]")}},
      {"long", "", "1", true, {unknownRange("", true)}},
      // floating point: an unknown format refuses the value
      {"float", "0.5-1.5", "1.5", true, {}},
      {"float", "0.5-1.5", "1.6", false, {outOfRange("1.600000 -> [0.5-1.5]")}},
      {"float", "0.5-*", "1e9", true, {}},
      {"float", "0.25,0.5", "0.5", true, {}},
      {"float", "0.25,0.5", "0.3", false, {outOfRange("0.300000 -> [0.25,0.5]")}},
      {"float", "0-10", "nan", false, {outOfRange("nan -> [0-10]")}},
      {"float", "", "0.3", false, {unknownRange("", false), outOfRange("0.300000 -> []")}},
      // Booleans ignore the range
      {"bool", "", "TRUE", true, {}},
      {"bool", "*", "False", true, {}},
      {"bool", "*", "yes", false, {outOfRange("yes -> [true,false]")}},
      // texts: lists ignore case and take "*" entries as anything, bounds compare bytes
      {"string", "none,even,odd", "EVEN", true, {}},
      {"string", "none,even,odd", "mark", false, {outOfRange("mark -> [none,even,odd]")}},
      {"string", "cts,*", "anything", true, {}},
      {"string", "b-d", "c", true, {}},
      {"string", "b-d", "d", true, {}},
      {"string", "b-d", "dz", false, {outOfRange("dz -> [b-d]")}},
      {"string", "b-d", "B", false, {outOfRange("B -> [b-d]")}},
      {"string", "b-*", "zzz", true, {}},
      {"string", "*", "", true, {}},
      {"string", "", "x", false, {unknownRange("", false), outOfRange("x -> []")}},
      {"string", "", "NULL", false, {unknownRange("", false), outOfRange("NULL -> []")}},
      {"other", "a,b", "B", true, {}},
  };
  // clang-format on
  for (const auto &c : cases) {
    int fits = -1;
    Records got = traced([&] { fits = wUtils.checkAttrRange("n", "a", c.type, c.range, c.value); });
    Records want = c.records;
    if (c.fits) want.push_back(std::string("A param 9999 n.a=[") + c.value + "]");
    EXPECT_EQ(fits, c.fits ? 1 : 0) << c.type << " [" << c.range << "] " << c.value;
    EXPECT_EQ(got, want) << c.type << " [" << c.range << "] " << c.value;
  }
}

TEST_F(WrapperTest, NodeNameCheckIgnoresCaseAndTracesAMismatch) {
  const LumoWgenNode def = {"digint", "", 0, "n"};
  LumoNode *digint = make("DigInt");
  LumoNode *program = make("program");
  int same = -1, other = -1, none = -1;
  EXPECT_EQ(traced([&] { same = xNode(&def, digint); }), Records{});
  EXPECT_EQ(same, 1);
  EXPECT_EQ(traced([&] { other = xNode(&def, program); }),
            Records{"Z wrapper 9999 Wrong wrapper? NodeName digint expected instead of program"});
  EXPECT_EQ(other, 0);
  EXPECT_EQ(traced([&] { none = xNode(&def, nullptr); }), Records{});
  EXPECT_EQ(none, 0);
}

TEST_F(WrapperTest, MissingAttributesFailOnlyWhenRequired) {
  LumoNode *node = make("digint");
  LumoWgenAttr optional = attrDef("host", "string", "", "");
  LumoWgenAttr required = attrDef("iid", "string", "NULL", "", 1);
  int a = -1, b = -1;
  EXPECT_EQ(traced([&] { a = xAttr(&optional, node); }), Records{});
  EXPECT_EQ(a, 1);
  EXPECT_EQ(traced([&] { b = xAttr(&required, node); }),
            Records{"E param 9999 >>>>> Required attribute digint.iid not found!"});
  EXPECT_EQ(b, 0);
  EXPECT_EQ(NodeOp.getAttrCnt(node), 0) << "validation adds nothing that is missing";
}

TEST_F(WrapperTest, OptionalValuesThatDoNotFitAreResetToTheDefaultText) {
  struct {
    LumoWgenAttr def;
    const char *value;
    const char *after;
    Records records;
  } cases[] = {
      {attrDef("bps", "int", "2400", "1200,2400,4800,9600", 0, "bps"),
       "300",
       "2400",
       {"E param 9999 Attribute digint.bps is out of range! 300 -> [1200,2400,4800,9600]",
        "W param 9999 Using default [2400bps] for digint.bps."}},
      {attrDef("monitoring", "bool", "true", ""),
       "yes",
       "true",
       {"E param 9999 Attribute digint.monitoring is out of range! yes -> [true,false]",
        "W param 9999 Using default [true] for digint.monitoring."}},
      {attrDef("host", "string", "", ""),
       "example",
       "",
       {"W param 9999 Range [] is in an unknown format!",
        "E param 9999 Attribute digint.host is out of range! example -> []",
        "W param 9999 Using default [] for digint.host."}},
      // "NULL" is written as it stands: the attribute then reads as the text NULL
      {attrDef("iid_master", "string", "NULL", ""),
       "lnet",
       "NULL",
       {"W param 9999 Range [] is in an unknown format!",
        "E param 9999 Attribute digint.iid_master is out of range! lnet -> []",
        "W param 9999 Using default [NULL] for digint.iid_master."}},
  };
  for (auto &c : cases) {
    LumoNode *node = make("digint");
    NodeOp.setStr(node, c.def.name, c.value);
    int ok = -1;
    EXPECT_EQ(only(traced([&] { ok = xAttr(&c.def, node); }), "EW"), c.records) << c.def.name;
    EXPECT_EQ(ok, 1) << c.def.name;
    EXPECT_STREQ(NodeOp.getStr(node, c.def.name, "(missing)"), c.after) << c.def.name;
    EXPECT_EQ(NodeOp.getAttrCnt(node), 1) << c.def.name;
  }
}

TEST_F(WrapperTest, RequiredValuesThatDoNotFitFailAndStayAsTheyAre) {
  LumoNode *node = make("digint");
  NodeOp.setStr(node, "iid", "qivlib");
  LumoWgenAttr iid = attrDef("iid", "string", "NULL", "", 1);
  int ok = -1;
  EXPECT_EQ(only(traced([&] { ok = xAttr(&iid, node); }), "EW"),
            (Records{"W param 9999 Range [] is in an unknown format!",
                     "E param 9999 Attribute digint.iid is out of range! qivlib -> []"}));
  EXPECT_EQ(ok, 0);
  EXPECT_STREQ(NodeOp.getStr(node, "iid", nullptr), "qivlib");

  LumoWgenAttr anyIid = attrDef("iid", "string", "NULL", "*", 1);
  EXPECT_EQ(traced([&] { ok = xAttr(&anyIid, node); }),
            Records{"A param 9999 digint.iid=[qivlib]"});
  EXPECT_EQ(ok, 1);
}

TEST_F(WrapperTest, ValuesAreCheckedInTheirDecodedForm) {
  LumoNode *node = make("digint");
  NodeOp.setStr(node, "parity", "even & odd");
  LumoWgenAttr parity = attrDef("parity", "string", "none", "none,even & odd");
  int ok = -1;
  EXPECT_EQ(only(traced([&] { ok = xAttr(&parity, node); }), "A"),
            Records{"A param 9999 digint.parity=[even & odd]"});
  EXPECT_EQ(ok, 1);

  // A value whose decoded form cannot be made is not known to be out of range: it is not
  // replaced by the default, and the check fails.
  NodeOp.setStr(node, "parity", "odd & even");
  StreamCapture out;
  lumo_mem_failAfter(1);
  ok = xAttr(&parity, node);
  lumo_mem_failAfter(0);
  EXPECT_EQ(ok, 0);
  EXPECT_STREQ(NodeOp.getStr(node, "parity", nullptr), "odd & even");
}

TEST_F(WrapperTest, UnknownAttributesAreReportedWithoutStoppingTheWalk) {
  LumoNode *node = make("digint");
  NodeOp.setStr(node, "bps", "2400");
  NodeOp.setStr(node, "foo", "1");
  NodeOp.setStr(node, "FLOW", "cts");
  const LumoWgenAttr bps = attrDef("bps", "int", "2400", ""),
                     flow = attrDef("flow", "string", "", "");
  const LumoWgenAttr *list[] = {&bps, &flow, nullptr};
  int ok = -1;
  EXPECT_EQ(traced([&] { ok = xAttrTest(list, node); }),
            (Records{"Z param 9999 Testing 3 attributes in node [digint]",
                     "Z param 9999 Checking attribute [bps] in node [digint]",
                     "Z param 9999 Checking attribute [foo] in node [digint]",
                     "W param 9999 Unknown attribute [foo] found in node [digint]",
                     "Z param 9999 Checking attribute [FLOW] in node [digint]"}));
  EXPECT_EQ(ok, 0);

  const LumoWgenAttr *empty[] = {nullptr};
  EXPECT_EQ(only(traced([&] { ok = xAttrTest(empty, node); }), "EW"), Records{});
  EXPECT_EQ(ok, 1) << "an empty list accepts everything";
  EXPECT_EQ(xAttrTest(nullptr, node), 1);
}

TEST_F(WrapperTest, UnknownChildrenAreReportedButRemarksAlwaysPass) {
  LumoNode *node = make("digint");
  for (const char *name : {"loconet", "Remark", "bogus", "LOCONET"})
    NodeOp.addChild(node, NodeOp.inst(name, node, LUMO_NODE_ELEMENT));
  const LumoWgenNode loconet = {"loconet", "", 0, "1"};
  const LumoWgenNode *list[] = {&loconet, nullptr};
  int ok = -1;
  EXPECT_EQ(traced([&] { ok = xNodeTest(list, node); }),
            (Records{"Z param 9999 Testing 4 childnodes in node [digint]",
                     "Z param 9999 Checking childnode [loconet] in node [digint]",
                     "Z param 9999 Checking childnode [Remark] in node [digint]",
                     "Z param 9999 Checking childnode [bogus] in node [digint]",
                     "W param 9999 Unknown childnode [bogus] found in node [digint]",
                     "Z param 9999 Checking childnode [LOCONET] in node [digint]"}));
  EXPECT_EQ(ok, 0);

  const LumoWgenNode *empty[] = {nullptr};
  EXPECT_EQ(xNodeTest(empty, node), 1);
  LumoNode *plain = make("digint");
  NodeOp.addChild(plain, NodeOp.inst("remark", plain, LUMO_NODE_ELEMENT));
  EXPECT_EQ(xNodeTest(list, plain), 1);
}

}  // namespace
