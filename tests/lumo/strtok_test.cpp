// String tokenizer: counting, cutting the private copy, empty tokens, replaceAll and the
// release of everything it allocates.
#include <lumo/mem.h>
#include <lumo/str.h>
#include <lumo/strtok.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/testutil.hpp"

namespace {

class StrTokTest : public ::testing::Test {
 protected:
  void SetUp() override {
    blocks_.note({LUMO_TID_STRTOK, LUMO_TID_STRING});
    live_ = StrTokOp.count();
  }
  void TearDown() override {
    blocks_.expectUnchanged();
    EXPECT_EQ(StrTokOp.count(), live_);
  }
  BlockCounts blocks_;
  int live_ = 0;
};

// Every token of text, in order, and the count reported before the first was taken.
std::vector<std::string> split(const char *text, char separator, int *counted = nullptr) {
  LumoStrTok *tok = StrTokOp.inst(text, separator);
  if (counted) *counted = tok->countTokens(tok);
  std::vector<std::string> out;
  while (StrTokOp.hasMoreTokens(tok)) out.push_back(StrTokOp.nextToken(tok));
  EXPECT_EQ(StrTokOp.nextToken(tok), nullptr);
  EXPECT_EQ(StrTokOp.countTokens(tok), counted ? *counted : StrTokOp.countTokens(tok));
  StrTokOp.del(tok);
  return out;
}

using Tokens = std::vector<std::string>;

TEST_F(StrTokTest, SplitsAtEverySeparatorKeepingEmptyTokensAndWhitespace) {
  struct Case {
    const char *text;
    char separator;
    Tokens want;
  } cases[] = {
      {"abc", ',', {"abc"}},
      {"a,,b", ',', {"a", "", "b"}},
      {",a", ',', {"", "a"}},
      {"a,", ',', {"a", ""}},
      {",", ',', {"", ""}},
      {" a ; b ", ';', {" a ", " b "}},
      {"/x/y", '/', {"", "x", "y"}},
      {"1-5,7", '-', {"1", "5,7"}},
      // Bytes above 0x7F split like any other separator.
      {"a\xA4" "b\xA4", '\xA4', {"a", "b", ""}},
  };
  for (const Case &c : cases) {
    int counted = -1;
    EXPECT_EQ(split(c.text, c.separator, &counted), c.want) << c.text;
    EXPECT_EQ(counted, static_cast<int>(c.want.size())) << c.text;
  }
}

TEST_F(StrTokTest, NullAndEmptyTextsYieldNoToken) {
  for (const char *text : {static_cast<const char *>(nullptr), ""}) {
    LumoStrTok *tok = StrTokOp.inst(text, ',');
    EXPECT_EQ(StrTokOp.countTokens(tok), 0);
    EXPECT_FALSE(StrTokOp.hasMoreTokens(tok));
    EXPECT_EQ(StrTokOp.nextToken(tok), nullptr);
    StrTokOp.del(tok);
  }
}

TEST_F(StrTokTest, ZeroSeparatorLeavesTheTextWhole) {
  int counted = -1;
  EXPECT_EQ(split("a,b", '\0', &counted), Tokens{"a,b"});
  EXPECT_EQ(counted, 1);
}

TEST_F(StrTokTest, TokensPointIntoAPrivateCopyThatLivesUntilDel) {
  char text[] = "one:two";
  LumoStrTok *tok = StrTokOp.inst(text, ':');
  text[0] = 'X';  // the caller's string is neither used nor changed
  char *first = StrTokOp.nextToken(tok);
  char *second = StrTokOp.nextToken(tok);
  EXPECT_STREQ(text, "Xne:two");
  EXPECT_STREQ(first, "one");
  EXPECT_STREQ(second, "two");
  EXPECT_EQ(second, first + 4);
  char *shown = tok->toString(tok);  // the copy as cut so far
  EXPECT_STREQ(shown, "one sep=:");
  StrOp.freeStr(shown);
  StrTokOp.del(tok);
}

TEST_F(StrTokTest, BaseSlotsNameCountAndDescribe) {
  EXPECT_STREQ(StrTokOp.name(), "OStrTok");
  LumoStrTok *a = StrTokOp.inst("x;y", ';');
  LumoStrTok *b = StrTokOp.inst(nullptr, ';');
  EXPECT_EQ(StrTokOp.count(), live_ + 2);
  char *text = StrTokOp.toString(a);
  EXPECT_STREQ(text, "x;y sep=;");
  StrOp.freeStr(text);
  text = StrTokOp.toString(b);
  EXPECT_STREQ(text, " sep=;");
  StrOp.freeStr(text);
  EXPECT_EQ(StrTokOp.clone(a), nullptr);
  EXPECT_FALSE(StrTokOp.equals(a, a));
  StrTokOp.del(a);
  StrTokOp.del(b);
  StrTokOp.del(nullptr);
  EXPECT_EQ(StrTokOp.count(), live_);
}

TEST_F(StrTokTest, ReplaceAllJoinsWithCommasAndAnswersNullWithoutAMatch) {
  struct Case {
    const char *text;
    char separator;
    const char *find, *replacement, *want;
  } cases[] = {
      {"a;b;a", ';', "a", "x", "x,b,x"},
      {"a,b", ',', "c", "x", "<null>"},
      {"a", ',', "a", "", ""},
      {";a", ';', "a", "b", ",b"},
      {"A,a", ',', "a", "z", "A,z"},  // case-sensitive
      {"ab", ',', "a", "x", "<null>"},  // whole tokens only
      {nullptr, ',', "a", "x", "<null>"},
      {"a", ',', nullptr, "x", "<null>"},
      {"a", ',', "a", nullptr, "<null>"},
  };
  for (const Case &c : cases)
    EXPECT_EQ(take(StrTokOp.replaceAll(c.text, c.separator, c.find, c.replacement)), c.want)
        << (c.text ? c.text : "<null>");
}

}  // namespace
