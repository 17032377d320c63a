// String module: ownership of returned strings, encodings, fields, lines and stamps. Every test
// checks on tear-down that each string it received was freed under its allocation type.
#include <lumo/mem.h>
#include <lumo/str.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <ctime>
#include <regex>
#include <string>

#include "support/testutil.hpp"

namespace {

constexpr int kOwnId = 15;  // a type no module uses, so its counter belongs to these tests
const std::string kNull = "<null>";

class StrTest : public ::testing::Test {
 protected:
  void SetUp() override { blocks_.note({LUMO_TID_STRING, kOwnId, kAllTypes}); }
  void TearDown() override { blocks_.expectUnchanged(); }
  BlockCounts blocks_;
};

TEST_F(StrTest, CatConsumesItsStringOnlyWhenItReturnsANewOne) {
  EXPECT_EQ(take(StrOp.cat(nullptr, "ab")), "ab");
  char *s = StrOp.dup("ab");
  EXPECT_EQ(StrOp.cat(s, nullptr), nullptr);  // s stays alive and is still ours
  char *joined = StrOp.cat(s, "");
  EXPECT_NE(joined, s);
  EXPECT_EQ(MemOp.getAllocCount(), blocks_.at(kAllTypes) + 1);  // the old string went
  joined = StrOp.cat(joined, "cd");
  EXPECT_EQ(take(joined), "abcd");
  char *own = StrOp.catID(StrOp.dupID("x", kOwnId), "y", kOwnId);
  EXPECT_EQ(MemOp.getAllocCntID(kOwnId), blocks_.at(kOwnId) + 1);
  EXPECT_EQ(take(own, kOwnId), "xy");
}

TEST_F(StrTest, CopiesMeasureAndCopyWithoutTerminator) {
  EXPECT_EQ(StrOp.len(nullptr), 0);
  EXPECT_EQ(StrOp.dup(nullptr), nullptr);
  char buf[8] = "#######";
  EXPECT_EQ(StrOp.copynz(buf, 3, "abcdef"), 3);
  EXPECT_STREQ(buf, "abc####");
  EXPECT_EQ(StrOp.copynz(buf, 3, nullptr), 0);
  EXPECT_EQ(StrOp.copy(buf, nullptr), nullptr);
  EXPECT_STREQ(StrOp.copy(buf, "hi"), "hi");
}

TEST_F(StrTest, ComparisonsFollowTheirTable) {
  struct Case {
    int (*fn)(const char *, const char *);
    const char *a, *b;
    int want;
  } cases[] = {
      {StrOp.equals, nullptr, nullptr, 0}, {StrOp.equals, "", "", 1},
      {StrOp.equals, "ab", "abc", 0},      {StrOp.equalsi, "AbC", "aBc", 1},
      {StrOp.startsWith, "abc", "ab", 1},  {StrOp.startsWith, "a", "ab", 0},
      {StrOp.startsWithi, "ABc", "ab", 1}, {StrOp.endsWith, "", "", 1},
      {StrOp.endsWith, nullptr, "", 0},    {StrOp.endsWith, "abc", "bc", 1},
      {StrOp.endsWith, "c", "bc", 0},      {StrOp.endsWithi, "file.TXT", ".txt", 1},
  };
  for (const Case &c : cases) EXPECT_EQ(c.fn(c.a, c.b), c.want) << c.a << " / " << c.b;
  EXPECT_TRUE(StrOp.equalsn("abcX", "abcY", 3));
  EXPECT_FALSE(StrOp.equalsni(nullptr, "a", 0));
  EXPECT_TRUE(StrOp.equalsni("ABx", "aby", 2));
}

TEST_F(StrTest, SearchesReturnPointersIntoTheirArgument) {
  const char *text = "Hello World";
  EXPECT_EQ(StrOp.find(text, ""), nullptr);
  EXPECT_EQ(StrOp.find("", "a"), nullptr);
  EXPECT_EQ(StrOp.find(text, "World"), text + 6);
  EXPECT_EQ(StrOp.findi(text, "WORLD"), text + 6);
  EXPECT_EQ(StrOp.findi(text, "xyz"), nullptr);
  const char *high = "ab\xE9z";
  EXPECT_EQ(StrOp.findc(high, 0xE9), high + 2);
  EXPECT_EQ(StrOp.findc(high, static_cast<char>(0xE9)), high + 2);  // a promoted char
  EXPECT_EQ(StrOp.findc(nullptr, 'a'), nullptr);
  const char *path = "dir.d/a.tar.gz";
  EXPECT_EQ(StrOp.getExtension(path), path + 12);
  EXPECT_EQ(StrOp.getExtension("noext"), nullptr);
}

TEST_F(StrTest, ClassifiesEmptyAndNumericText) {
  EXPECT_TRUE(StrOp.isEmpty(nullptr));
  EXPECT_TRUE(StrOp.isEmpty("   "));
  EXPECT_FALSE(StrOp.isEmpty("\t"));
  EXPECT_TRUE(StrOp.isNumber("007"));
  for (const char *s : {"", "-1", "1.5", " 1", "\xB9"}) EXPECT_FALSE(StrOp.isNumber(s)) << s;
}

TEST_F(StrTest, InPlaceChangesTreatHighBytesAsUnsigned) {
  char s[] = "a\xE9Z\xE9";
  EXPECT_STREQ(StrOp.strupr(s), "A\xE9Z\xE9");
  EXPECT_STREQ(StrOp.strlwr(s), "a\xE9z\xE9");
  EXPECT_EQ(StrOp.replaceAll(s, static_cast<char>(0xE9), 'e'), 2);
  EXPECT_STREQ(s, "aeze");
  EXPECT_EQ(StrOp.replaceAll(nullptr, 'a', 'b'), 0);
}

TEST_F(StrTest, TrimReturnsItsArgumentWhenNothingIsRemoved) {
  char *s = StrOp.dup("ab");
  EXPECT_EQ(StrOp.trim(s), s);
  StrOp.freeStr(s);
  EXPECT_EQ(StrOp.trim(nullptr), nullptr);
}

TEST_F(StrTest, TrimReplacesAndFreesItsArgumentWhenBlanksGo) {
  for (const char *in : {"  a b  ", "a b ", " a b"}) {
    char *s = StrOp.dup(in);
    char *t = StrOp.trim(s);
    EXPECT_NE(t, s);
    EXPECT_EQ(take(t), "a b");  // the fixture sees s gone as well
  }
  EXPECT_EQ(take(StrOp.trim(StrOp.dup("   "))), "");
  EXPECT_EQ(take(StrOp.trimID(StrOp.dupID(" x\t ", kOwnId), kOwnId), kOwnId), "x\t");
}

TEST_F(StrTest, FmtCutsAt4094Characters) {
  std::string big(5000, 'x');
  EXPECT_EQ(take(StrOp.fmt("%s", big.c_str())), big.substr(0, LUMO_STR_FMT_MAX));
  EXPECT_EQ(take(StrOp.fmtID(kOwnId, "%d-%s", 7, "a"), kOwnId), "7-a");
  char buf[16];
  EXPECT_STREQ(StrOp.fmtb(buf, "%03d", 5), "005");
}

TEST_F(StrTest, HexRoundTripsInEitherCaseAndOddLength) {
  const unsigned char bytes[] = {0x00, 0xAB, 0xFF};
  EXPECT_EQ(take(StrOp.byteToStr(bytes, 3)), "00ABFF");
  for (const char *hex : {"00ABFF", "00abff"}) {
    unsigned char *b = StrOp.strToByte(hex);
    EXPECT_EQ(memcmp(b, bytes, 3), 0) << hex;
    MemOp.free(b, "test", __LINE__);
  }
  unsigned char buf[3] = {9, 9, 9};
  StrOp.strToByteBuffer("ABC", buf);
  EXPECT_EQ(buf[0], 0xAB);
  EXPECT_EQ(buf[1], 0x0C);
  EXPECT_EQ(buf[2], 9);
  StrOp.strToByteBuffer("G1-1", buf);  // a non-digit ends the pair's number
  EXPECT_EQ(buf[0], 0);
  EXPECT_EQ(buf[1], 0);
}

TEST_F(StrTest, UrlEncodingEscapesReservedAndHighBytes) {
  EXPECT_EQ(take(StrOp.encode4URL(" /=?%\"\xE9")), "%20%2F%3D%3F%25%22%E9");
  EXPECT_EQ(take(StrOp.encode4URL("a&+#:\t")), "a&+#:\t");
  EXPECT_EQ(StrOp.encode4URL(nullptr), nullptr);
}

TEST_F(StrTest, UrlDecodingReadsTwoCharactersAfterEachPercent) {
  struct {
    const char *in, *want;
  } cases[] = {
      {"a+b", "a+b"}, {"%4a%4A", "JJ"}, {"x%E9", "x\xE9"}, {"a%zzb", "a"}, {"a%00b", "a"},
      {"a%4", "a\x04"}, {"a%", "a"},    {"%41%", "A"},      {"", ""},
  };
  for (const auto &c : cases) EXPECT_EQ(take(StrOp.decode4URL(c.in)), c.want) << c.in;
}

TEST_F(StrTest, NumericFieldsArePaddedOrCutToTheirWidth) {
  struct {
    int width;
    long value;
    const char *want;
  } cases[] = {{5, 42, "00042"}, {3, 12345, "123"}, {5, -42, "-0042"}, {1, 0, "0"}};
  for (const auto &c : cases) {
    char field[8];
    memset(field, '#', sizeof field);
    StrOp.long2snz(field, c.width, c.value);
    EXPECT_EQ(std::string(field, 8), std::string(c.want) + std::string(8 - c.width, '#'));
  }
  char field[4] = {'#', '#', '#', '#'};
  StrOp.int2snz(field, 3, 7);
  EXPECT_EQ(std::string(field, 4), "007#");
  EXPECT_EQ(take(StrOp.snz2sz("abcdef", 3)), "abc");
  EXPECT_EQ(take(StrOp.snz2szID("xy", 2, kOwnId), kOwnId), "xy");
}

TEST_F(StrTest, ReplaceAllSubTerminates) {
  std::string cut(4090, 'a');
  std::string far(5000, 'a');
  far[4500] = '-';
  struct {
    std::string in, sub, rep, want;
  } cases[] = {
      {"a-b-", "-", "--", "a--b--"},
      {"one two two", "two", "2", "one 2 2"},
      {"abab", "ab", "", "ab"},  // the occurrence that is the whole rest stays
      {"abc", "", "x", "abc"},
      // the rebuild is cut at 4094 inside the replacement: nothing to search behind it
      {cut + "-xyz", "-", "0123456789", cut + "0123"},
      {far, "-", "+", far.substr(0, LUMO_STR_FMT_MAX)},
  };
  for (const auto &c : cases)
    EXPECT_EQ(take(StrOp.replaceAllSub(c.in.c_str(), c.sub.c_str(), c.rep.c_str())), c.want)
        << c.in.substr(0, 20);
  EXPECT_EQ(take(StrOp.replaceAllSub("a-", nullptr, "x")), "a-");
  EXPECT_EQ(take(StrOp.replaceAllSub("a-", "-", nullptr)), "a");
}

TEST_F(StrTest, SubstitutionsReadTheEnvironment) {
  setenv("LUMO_STR_TEST", "val", 1);
  unsetenv("LUMO_STR_UNSET");
  struct {
    const char *in, *want;
  } cases[] = {
      {"x%LUMO_STR_TEST%y%LUMO_STR_TEST%", "xvalyval"},
      {"a%LUMO_STR_UNSET%b", "ab"},  // an unset name is empty text
      {"ab%cd", "ab"},
      {"plain", "plain"},
      {"", ""},
      {"%%", ""},
  };
  for (const auto &c : cases) EXPECT_EQ(take(StrOp.replaceAllSubstitutions(c.in)), c.want) << c.in;
  EXPECT_EQ(StrOp.replaceAllSubstitutions(nullptr), nullptr);
}

TEST_F(StrTest, GetLineAcceptsBothLineEnds) {
  struct {
    const char *text;
    int n;
    std::string want;
  } cases[] = {
      {"one\r\ntwo\r\n", 1, "two"}, {"one\n\rtwo\n\r", 1, "two"}, {"solo", 0, "solo"},
      {"solo\n", 1, kNull},          {"a\nb", 1, kNull},           {"a\nb\n", 5, kNull},
      {"a\r\r\n", 0, "a"},          {"\n\nc\n", 1, ""},
  };
  for (const auto &c : cases) EXPECT_EQ(take(StrOp.getLine(c.text, c.n)), c.want) << c.text;
  EXPECT_EQ(take(StrOp.getLineID("x\ny\n", 1, kOwnId), kOwnId), "y");
  EXPECT_EQ(StrOp.getCntLinefeeds("a\nb\r\n\n"), 3);
}

TEST_F(StrTest, GetNextLinePointsBehindTheFirstLineEnd) {
  const char *text = "one\ntwo\r\nthree";
  int length = -1;
  EXPECT_EQ(StrOp.getNextLine(text, &length), text + 4);
  EXPECT_EQ(length, 4);  // the carriage return before the line feed counts
  const char *crAfter = "one\n\rtwo";
  EXPECT_EQ(StrOp.getNextLine(crAfter, &length), crAfter + 5);
  EXPECT_EQ(length, 3);
  length = -1;
  EXPECT_EQ(StrOp.getNextLine("no line feed", &length), nullptr);
  EXPECT_EQ(length, -1);
}

TEST_F(StrTest, StampsHaveTheirShape) {
  std::regex dotted(R"(\d{8}\.\d{6}\.\d{3})"), plain(R"(\d{17})");
  EXPECT_TRUE(std::regex_match(take(StrOp.createStamp()), dotted));
  EXPECT_TRUE(std::regex_match(take(StrOp.createStampID(kOwnId), kOwnId), dotted));
  EXPECT_TRUE(std::regex_match(take(StrOp.createStampNoDots()), plain));
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(take(StrOp.isoDate(1706745599)), "2024-01-31");
  EXPECT_EQ(take(StrOp.isoTime(1706745599)), "23:59:59");
}

TEST_F(StrTest, StampDateMatchesTheClock) {
  time_t before = time(nullptr);
  std::string s = take(StrOp.createStamp());
  time_t after = time(nullptr);
  std::string d1 = take(StrOp.isoDate(before)), d2 = take(StrOp.isoDate(after));
  std::string date = s.substr(0, 4) + "-" + s.substr(4, 2) + "-" + s.substr(6, 2);
  EXPECT_TRUE(date == d1 || date == d2) << s;
}

// ---- counts, widths and lengths at the edge of an int ----

TEST_F(StrTest, NegativeCountsCompareWholeStrings) {
  EXPECT_FALSE(StrOp.equalsn("abc", "xyz", -1));
  EXPECT_TRUE(StrOp.equalsn("abc", "abc", -1));
  EXPECT_FALSE(StrOp.equalsn("abc", "abcd", INT_MIN));
  EXPECT_FALSE(StrOp.equalsni("abc", "abd", -5));
  EXPECT_TRUE(StrOp.equalsni("ABC", "abc", -1));
}

TEST_F(StrTest, FieldsWiderThanTheFormatBufferKeepTheNumber) {
  std::string field(300, '#');
  StrOp.long2snz(&field[0], 300, 42);
  EXPECT_EQ(field, std::string(253, '0') + "42" + std::string(45, '#'));
  field.assign(300, '#');
  StrOp.int2snz(&field[0], INT_MAX, -7);
  EXPECT_EQ(field, "-" + std::string(253, '0') + "7" + std::string(45, '#'));
}

TEST_F(StrTest, ResultsTooLargeForAnIntAreRefused) {
  const unsigned char byte = 0xAB;
  // Twice the count plus one passes INT_MAX: nothing is allocated or read.
  EXPECT_EQ(StrOp.byteToStr(&byte, INT_MAX / 2 + 1), nullptr);
  EXPECT_EQ(StrOp.snz2sz("ab", INT_MAX), nullptr);
}

TEST_F(StrTest, TextsLongerThanIntMaxAreRefusedNotWrapped) {
  if (sizeof(void *) < 8) GTEST_SKIP() << "a 32-bit process has no room for such a text";
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer shadows every byte read";
#endif
  HugeText huge(129);  // 2064 MiB
  const char *text = huge.text();
  if (!text) GTEST_SKIP() << "the machine refused the mappings";
  EXPECT_EQ(StrOp.len(text), INT_MAX);
  EXPECT_EQ(StrOp.dup(text), nullptr);
  EXPECT_EQ(StrOp.encode4URL(text), nullptr);
  EXPECT_EQ(StrOp.decode4URL(text), nullptr);
  char *small = StrOp.dup("kept");
  EXPECT_EQ(StrOp.cat(small, text), nullptr);
  EXPECT_EQ(take(small), "kept") << "a refused join leaves the string to its owner";
  EXPECT_TRUE(StrOp.startsWith(text, "aaa"));
  EXPECT_TRUE(StrOp.endsWith(text, "aaa"));
  EXPECT_FALSE(StrOp.endsWith("aaa", text));
}

}  // namespace
