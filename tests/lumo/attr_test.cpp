// Attributes: escaping in the three modes over every high byte, what decodes back and what
// deliberately does not, buffer growth, the typed accessors and the text forms.
#include <gtest/gtest.h>
#include <lumo/attr.h>
#include <lumo/doc.h>
#include <lumo/mem.h>
#include <lumo/str.h>
#include <lumo/trace.h>

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "lumo/impl/testing.h"
#include "support/testutil.hpp"

namespace {

void resetSwitches() {
  DocOp.setUniCodeEscapes(0);
  DocOp.setHTMLEscapes(0);
  DocOp.setUTF2Latin(0);
  DocOp.setEncoding(DocOp.utf8Name);
  DocOp.setIgnoreCase(0);
}

// Every test leaves the switches at their defaults and gives back every block it took.
class AttrTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetSwitches();
    blocks.note({LUMO_TID_ATTR, LUMO_TID_NODE, LUMO_TID_STRING});
  }
  void TearDown() override {
    for (LumoAttr *a : made) AttrOp.del(a);
    resetSwitches();
    blocks.expectUnchanged();
  }
  LumoAttr *make(const char *name, const char *text) {
    LumoAttr *a = AttrOp.inst(name, text);
    made.push_back(a);
    return a;
  }
  BlockCounts blocks;
  std::vector<LumoAttr *> made;
};

// The HTML 4 names of 0xA0..0xFF as this system writes them ("" where it has no escape).
const char *const kExpectedNames[96] = {
    "nbsp",   "iexcl",  "cent",   "pound",  "euro",   "yen",    "",       "sect",
    "",       "copy",   "ordf",   "laquo",  "not",    "",       "reg",    "macr",
    "deg",    "plusmn", "sup2",   "sup3",   "",       "micro",  "para",   "middot",
    "",       "sup1",   "ordm",   "raquo",  "",       "",       "",       "iquest",
    "Agrave", "Aacute", "Acirc",  "Atilde", "Auml",   "Aring",  "AElig",  "Ccedil",
    "Egrave", "Eacute", "Ecirc",  "Euml",   "Igrave", "Iacute", "Icirc",  "Iuml",
    "ETH",    "Ntilde", "Ograve", "Oacute", "Ocirc",  "Otilde", "Ouml",   "times",
    "Oslash", "Ugrave", "Uacute", "Ucirc",  "Uuml",   "Yacute", "THORN",  "szlig",
    "agrave", "aacute", "acirc",  "atilde", "auml",   "aring",  "aelig",  "ccedil",
    "egrave", "eacute", "ecirc",  "euml",   "igrave", "iacute", "icirc",  "iuml",
    "eth",    "ntilde", "ograve", "oacute", "ocirc",  "otilde", "ouml",   "divide",
    "oslash", "ugrave", "uacute", "ucirc",  "uuml",   "yacute", "thorn",  "yuml",
};

enum class Mode { Off, Named, Numeric };

void setMode(Mode m) {
  DocOp.setHTMLEscapes(m == Mode::Named);
  DocOp.setUniCodeEscapes(m == Mode::Numeric);
}

std::vector<std::string> escapeWarnings() {
  std::vector<std::string> out;
  for (const auto &h : TraceListener::heard())
    if (h.level == LUMO_TRC_W && h.object == "OAttr") out.push_back(h.text);
  return out;
}

TEST_F(AttrTest, EveryHighByteEscapesAndDecodesByItsMode) {
  TraceListener listener;
  for (Mode mode : {Mode::Off, Mode::Named, Mode::Numeric}) {
    setMode(mode);
    for (int b = 0xA0; b <= 0xFF; ++b) {
      SCOPED_TRACE("mode " + std::to_string(static_cast<int>(mode)) + " byte " +
                   std::to_string(b));
      const std::string text = std::string("x") + static_cast<char>(b) + "y";
      const std::string name = kExpectedNames[b - 0xA0];
      TraceListener::clear();
      LumoAttr *a = make("n", text.c_str());
      std::string stored = AttrOp.getEscVal(a), decoded = AttrOp.getVal(a);

      if (mode == Mode::Off || name.empty()) {
        EXPECT_EQ(stored, text);
        EXPECT_EQ(decoded, text);
        std::vector<std::string> expected;
        if (mode != Mode::Off) {
          char msg[64];
          std::snprintf(msg, sizeof msg, "Could not escape code=0x%02X.", b);
          expected.push_back(msg);
        }
        EXPECT_EQ(escapeWarnings(), expected);
        continue;
      }
      const std::string entity = mode == Mode::Named ? "&" + name + ";"
                                 : b == 0xA4         ? std::string("&#8364;")
                                                     : "&#" + std::to_string(b) + ";";
      EXPECT_EQ(stored, "x" + entity + "y");
      EXPECT_TRUE(escapeWarnings().empty());
      // 0xA0 and 0xB7 do not come back: &nbsp; reads as a space, the other forms stay text.
      std::string expected = text;
      if (b == 0xA0) expected = mode == Mode::Named ? "x y" : stored;
      if (b == 0xB7) expected = stored;
      EXPECT_EQ(decoded, expected);
    }
  }
}

TEST_F(AttrTest, ControlBlockHighBytesAreReportedOnlyWhileAHighByteModeIsOn) {
  TraceListener listener;
  const char text[] = "\x80\x9F";
  for (Mode mode : {Mode::Off, Mode::Named, Mode::Numeric}) {
    setMode(mode);
    TraceListener::clear();
    LumoAttr *a = make("n", text);
    EXPECT_STREQ(AttrOp.getEscVal(a), text);
    std::vector<std::string> expected;
    if (mode != Mode::Off) expected = {"Could not escape code=0x80.", "Could not escape code=0x9F."};
    EXPECT_EQ(escapeWarnings(), expected);
  }
}

TEST_F(AttrTest, MarkupAndEntitiesInTheText) {
  const struct {
    Mode mode;
    const char *text, *stored, *decoded;
  } table[] = {
      {Mode::Off, "a<b", "a&lt;b", "a<b"},
      {Mode::Numeric, "a<b", "a&#60;b", "a<b"},
      {Mode::Off, "\"q'>", "&quot;q&apos;&gt;", "\"q'>"},
      {Mode::Numeric, "\"q'>", "&#34;q&#39;&#62;", "\"q'>"},
      {Mode::Off, "AT&T", "AT&amp;T", "AT&T"},
      {Mode::Numeric, "AT&T", "AT&amp;T", "AT&T"},  // "&" is never written in numeric form
      {Mode::Off, "trailing&", "trailing&amp;", "trailing&"},
      // Known entities are kept, so escaping is not the inverse of decoding.
      {Mode::Off, "a&amp;b", "a&amp;b", "a&b"},
      {Mode::Off, "a&lt;b", "a&lt;b", "a<b"},
      {Mode::Off, "a&#38;b&#62;", "a&#38;b&#62;", "a&b>"},
      // Numeric forms outside the table pass unchanged and stay text.
      {Mode::Off, "a&#65;b", "a&#65;b", "a&#65;b"},
      {Mode::Off, "&#x41;&#060;&#", "&#x41;&#060;&#", "&#x41;&#060;&#"},
      {Mode::Off, "&#160;&#164;&#183;", "&#160;&#164;&#183;", "&#160;&#164;&#183;"},
      {Mode::Off, "&#8364;&#233;", "&#8364;&#233;", "\xA4\xE9"},
      // Named forms must match exactly, ";" included; unknown names lose their "&".
      {Mode::Off, "&LT;&lt", "&amp;LT;&amp;lt", "&LT;&lt"},
      {Mode::Off, "&middot;&brvbar;", "&amp;middot;&amp;brvbar;", "&middot;&brvbar;"},
      {Mode::Off, "&nbsp;&euro;&curren;&eacute;", "&nbsp;&euro;&curren;&eacute;", " \xA4\xA4\xE9"},
      {Mode::Off, "", "", ""},
  };
  for (const auto &row : table) {
    SCOPED_TRACE(row.text);
    setMode(row.mode);
    LumoAttr *a = make("n", row.text);
    EXPECT_STREQ(AttrOp.getEscVal(a), row.stored);
    EXPECT_STREQ(AttrOp.getVal(a), row.decoded);
  }
}

TEST_F(AttrTest, GetValHandsOutOneDecodedCopyUntilTheValueChanges) {
  LumoAttr *a = make("n", "a<b");
  EXPECT_STREQ(AttrOp.getRawVal(a), "a&lt;b");  // no decoded copy yet
  const char *first = AttrOp.getVal(a);
  const char *second = AttrOp.getVal(a);
  EXPECT_EQ(first, second);
  EXPECT_STREQ(first, "a<b");  // still readable after the second call
  EXPECT_EQ(AttrOp.getRawVal(a), first);

  // Setting a value from the attribute's own texts must read them before they go.
  EXPECT_STREQ(AttrOp.setVal(a, AttrOp.getVal(a)), "a&lt;b");
  EXPECT_STREQ(AttrOp.getVal(a), "a<b");
  AttrOp.setRawVal(a, AttrOp.getVal(a));
  EXPECT_STREQ(AttrOp.getEscVal(a), "a<b");
  AttrOp.setRawVal(a, AttrOp.getEscVal(a));
  EXPECT_STREQ(AttrOp.getVal(a), "a<b");
}

TEST_F(AttrTest, ANullTextLeavesTheValueAndItsDecoding) {
  LumoAttr *a = make("n", "a<b");
  EXPECT_STREQ(AttrOp.setVal(a, nullptr), "a&lt;b");
  EXPECT_STREQ(AttrOp.getVal(a), "a<b");
  AttrOp.setRawVal(a, nullptr);
  EXPECT_STREQ(AttrOp.getVal(a), "a<b");
}

TEST_F(AttrTest, RawValuesAreStoredAndReadUnchanged) {
  LumoAttr *a = make("n", "x<y");
  AttrOp.setRawVal(a, "a&lt;b");
  EXPECT_STREQ(AttrOp.getEscVal(a), "a&lt;b");
  EXPECT_STREQ(AttrOp.getVal(a), "a&lt;b");
  EXPECT_STREQ(AttrOp.getRawVal(a), "a&lt;b");
}

// The value buffer shows in the memory manager's byte count.
int valueBufferGrowth(LumoAttr *a, int length) {
  int before = MemOp.getAllocSize();
  AttrOp.setRawVal(a, std::string(static_cast<std::size_t>(length), 'v').c_str());
  return MemOp.getAllocSize() - before;
}

TEST_F(AttrTest, ValueBufferGrowsToTheNextMultipleOf64) {
  LumoAttr *a = make("n", nullptr);  // 64 bytes
  EXPECT_EQ(valueBufferGrowth(a, 63), 0);
  EXPECT_EQ(valueBufferGrowth(a, 64), 64);   // 128
  EXPECT_EQ(valueBufferGrowth(a, 127), 0);
  EXPECT_EQ(valueBufferGrowth(a, 128), 64);  // 192
  EXPECT_EQ(valueBufferGrowth(a, 10), 0);    // never shrinks
  EXPECT_EQ(valueBufferGrowth(a, 191), 0);
  EXPECT_EQ(AttrOp.getEscVal(a), std::string(191, 'v'));

  // A new attribute reserves room for twice its initial text.
  auto instSize = [&](int length) {
    int before = MemOp.getAllocSize();
    make("n", std::string(static_cast<std::size_t>(length), 'v').c_str());
    return MemOp.getAllocSize() - before;
  };
  EXPECT_EQ(instSize(32) - instSize(31), 64);
  EXPECT_EQ(instSize(63) - instSize(32), 0);
  EXPECT_EQ(instSize(64) - instSize(63), 64);
}

TEST_F(AttrTest, TypedSettersGrowTheBufferForLongNumbers) {
  LumoAttr *a = make("n", nullptr);
  char expected[400];
  std::snprintf(expected, sizeof expected, "%f", 1e300);
  int before = MemOp.getAllocSize();
  AttrOp.setFloat(a, 1e300);
  EXPECT_STREQ(AttrOp.getEscVal(a), expected);
  EXPECT_EQ(MemOp.getAllocSize() - before, 320 - 64);  // 308 characters need 320 bytes
  EXPECT_DOUBLE_EQ(AttrOp.getFloat(a), 1e300);
  AttrOp.setFloat(a, -DBL_MAX);
  EXPECT_DOUBLE_EQ(AttrOp.getFloat(a), -DBL_MAX);
}

TEST_F(AttrTest, TypedSettersStoreTheirFormatsAndDropTheDecoding) {
  LumoAttr *a = make("n", "a<b");
  AttrOp.getVal(a);
  AttrOp.setFloat(a, 1.5);
  EXPECT_STREQ(AttrOp.getEscVal(a), "1.500000");
  EXPECT_STREQ(AttrOp.getVal(a), "1.500000");
  EXPECT_STREQ(AttrOp.getRawVal(a), "1.500000");
  AttrOp.setInt(a, INT_MIN);
  EXPECT_STREQ(AttrOp.getVal(a), "-2147483648");
  AttrOp.setLong(a, -7L);
  EXPECT_STREQ(AttrOp.getVal(a), "-7");
  AttrOp.setBoolean(a, 5);
  EXPECT_STREQ(AttrOp.getVal(a), "true");
  AttrOp.setBoolean(a, 0);
  EXPECT_STREQ(AttrOp.getVal(a), "false");

  LumoAttr *i = AttrOp.instInt("count", -42);
  made.push_back(i);
  EXPECT_STREQ(AttrOp.getName(i), "count");
  EXPECT_EQ(AttrOp.getInt(i), -42);
}

TEST_F(AttrTest, TypedGettersReadTheStoredText) {
  const struct {
    const char *text;
    int boolean, integer;
    long longValue;
    double floating;
  } table[] = {
      {"true", 1, 0, 0, 0.0},
      {"TRUE", 1, 0, 0, 0.0},
      {"True", 1, 0, 0, 0.0},
      {"1", 0, 1, 1, 1.0},
      {"yes", 0, 0, 0, 0.0},
      {"", 0, 0, 0, 0.0},
      {" 42abc", 0, 42, 42, 42.0},
      {"\t-17", 0, -17, -17, -17.0},
      {"+8.75e1x", 0, 8, 8, 87.5},
      // Out of range saturates: int at the 32-bit limits on the host as on the target, long at
      // the platform's own.
      {"99999999999", 0, INT_MAX, static_cast<long>(std::min<long long>(99999999999LL, LONG_MAX)),
       99999999999.0},
      {"-99999999999", 0, INT_MIN,
       static_cast<long>(std::max<long long>(-99999999999LL, LONG_MIN)), -99999999999.0},
  };
  for (const auto &row : table) {
    SCOPED_TRACE(row.text);
    LumoAttr *a = make("n", nullptr);
    AttrOp.setRawVal(a, row.text);
    EXPECT_EQ(AttrOp.getBoolean(a), row.boolean);
    EXPECT_EQ(AttrOp.getInt(a), row.integer);
    EXPECT_EQ(AttrOp.getLong(a), row.longValue);
    EXPECT_DOUBLE_EQ(AttrOp.getFloat(a), row.floating);
  }
  // The stored form is what they read: an entity is not a digit.
  LumoAttr *e = make("n", "&#51;1");
  EXPECT_EQ(AttrOp.getInt(e), 0);
}

TEST_F(AttrTest, TextFormsQuoteTheStoredText) {
  LumoAttr *a = make("id", "1<2");
  char *s = AttrOp.toString(a);
  EXPECT_STREQ(s, "id=\"1&lt;2\"");
  StrOp.freeStr(s);

  int length = -1;
  unsigned char *image = AttrOp.serialize(a, &length);
  EXPECT_STREQ(reinterpret_cast<char *>(image), "id=\"1&lt;2\"");
  EXPECT_EQ(length, 11);
  StrOp.freeStr(reinterpret_cast<char *>(image));

  LumoAttr *anonymous = make(nullptr, nullptr);
  s = AttrOp.toString(anonymous);
  EXPECT_STREQ(s, "=\"\"");
  StrOp.freeStr(s);
}

TEST_F(AttrTest, SerializeConvertsToUtf8OnlyWithBothSwitches) {
  LumoAttr *a = make("n", "\xE9\xA4");
  const struct {
    const char *encoding;
    int utf2latin;
    const char *expected;
  } table[] = {
      {"UTF-8", 0, "n=\"\xE9\xA4\""},
      {"UTF-8", 1, "n=\"\xC3\xA9\xE2\x82\xAC\""},
      {"utf-8", 1, "n=\"\xE9\xA4\""},  // only the exact name means UTF-8 output
      {"ISO-8859-15", 1, "n=\"\xE9\xA4\""},
  };
  for (const auto &row : table) {
    SCOPED_TRACE(std::string(row.encoding) + " " + std::to_string(row.utf2latin));
    DocOp.setEncoding(row.encoding);
    DocOp.setUTF2Latin(row.utf2latin);
    int length = 0;
    unsigned char *image = AttrOp.serialize(a, &length);
    EXPECT_STREQ(reinterpret_cast<char *>(image), row.expected);
    EXPECT_EQ(length, static_cast<int>(std::strlen(row.expected)));
    StrOp.freeStr(reinterpret_cast<char *>(image));
  }
}

TEST_F(AttrTest, DeserializeReadsTheSerializedForm) {
  const struct {
    const char *image, *name, *value;
  } table[] = {
      {"x=\"1&lt;2\"", "x", "1<2"},
      {"x=\"a=b\" tail", "x", "a=b"},
      {"x=\"open", "x", ""},
      {"x=1", "x", ""},
      {"bare", "bare", ""},
      {"=\"v\"", "", "v"},
  };
  for (const auto &row : table) {
    SCOPED_TRACE(row.image);
    LumoAttr *a = make("old", "old value");
    AttrOp.deserialize(a, reinterpret_cast<const unsigned char *>(row.image));
    EXPECT_STREQ(AttrOp.getName(a), row.name);
    EXPECT_STREQ(AttrOp.getVal(a), row.value);
  }
  LumoAttr *a = make("keep", "kept");
  AttrOp.deserialize(a, nullptr);
  EXPECT_STREQ(AttrOp.getName(a), "keep");
  EXPECT_STREQ(AttrOp.getVal(a), "kept");
}

TEST_F(AttrTest, CloneCopiesTheStoredTextIndependently) {
  setMode(Mode::Numeric);
  LumoAttr *a = make("n", "\xE9<&#65;");
  setMode(Mode::Named);  // the copy keeps the numeric entities of the stored text
  LumoAttr *c = AttrOp.clone(a);
  made.push_back(c);
  ASSERT_NE(c, nullptr);
  EXPECT_NE(c, a);
  EXPECT_STREQ(AttrOp.getName(c), "n");
  EXPECT_STREQ(AttrOp.getEscVal(c), "&#233;&#60;&#65;");
  EXPECT_STREQ(AttrOp.getVal(c), "\xE9<&#65;");
  AttrOp.setName(c, "other");
  AttrOp.setVal(c, "changed");
  EXPECT_STREQ(AttrOp.getName(a), "n");
  EXPECT_STREQ(AttrOp.getVal(a), "\xE9<&#65;");
}

TEST_F(AttrTest, NullAttributeAnswersNothingAndCountsFollowLifetimes) {
  EXPECT_EQ(AttrOp.getBoolean(nullptr), 0);
  EXPECT_EQ(AttrOp.getEscVal(nullptr), nullptr);
  EXPECT_EQ(AttrOp.getFloat(nullptr), 0.0);
  EXPECT_EQ(AttrOp.getInt(nullptr), 0);
  EXPECT_EQ(AttrOp.getLong(nullptr), 0L);
  EXPECT_EQ(AttrOp.getName(nullptr), nullptr);
  EXPECT_EQ(AttrOp.getRawVal(nullptr), nullptr);
  EXPECT_EQ(AttrOp.getVal(nullptr), nullptr);
  EXPECT_EQ(AttrOp.setVal(nullptr, "x"), nullptr);
  EXPECT_EQ(AttrOp.toString(nullptr), nullptr);
  EXPECT_EQ(AttrOp.serialize(nullptr, nullptr), nullptr);
  EXPECT_EQ(AttrOp.clone(nullptr), nullptr);
  AttrOp.setBoolean(nullptr, 1);
  AttrOp.setFloat(nullptr, 1.0);
  AttrOp.setInt(nullptr, 1);
  AttrOp.setLong(nullptr, 1);
  AttrOp.setName(nullptr, "x");
  AttrOp.setRawVal(nullptr, "x");
  AttrOp.deserialize(nullptr, reinterpret_cast<const unsigned char *>("a=\"b\""));
  AttrOp.del(nullptr);

  EXPECT_STREQ(AttrOp.name(), "OAttr");
  int count = AttrOp.count();
  LumoAttr *a = AttrOp.inst("n", "v");
  EXPECT_EQ(AttrOp.count(), count + 1);
  EXPECT_EQ(a->getVal(a), AttrOp.getVal(a));  // the instance carries the table
  AttrOp.del(a);
  EXPECT_EQ(AttrOp.count(), count);
}

}  // namespace

// Without room for the decoded copy the stored text must not pass for the value.
TEST_F(AttrTest, GetValGivesNullWhenTheDecodedCopyCannotBeMade) {
  LumoAttr *a = AttrOp.inst("a", "x<y");
  ASSERT_NE(a, nullptr);
  std::string console;
  const char *value;
  {
    StreamCapture out;
    lumo_mem_failAfter(1);
    value = AttrOp.getVal(a);
    lumo_mem_failAfter(0);
    console = out.text();
  }
  EXPECT_EQ(value, nullptr);
  EXPECT_NE(console.find(">>>>> malloc( "), std::string::npos) << console;
  EXPECT_STREQ(AttrOp.getVal(a), "x<y");
  AttrOp.del(a);
}
