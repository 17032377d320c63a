// Command-line parser: options, values, options without value, the description text and the
// typed look-ups, over argument vectors as the process receives them.
#include <lumo/cmdln.h>
#include <lumo/mem.h>
#include <lumo/str.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/testutil.hpp"

namespace {

// An argument vector with writable strings, as main receives it.
class Args {
 public:
  Args(std::initializer_list<const char *> args) {
    for (const char *a : args) storage_.emplace_back(a, a + std::char_traits<char>::length(a) + 1);
    for (auto &s : storage_) argv_.push_back(s.data());
  }
  int argc() const { return static_cast<int>(argv_.size()); }
  char **argv() { return argv_.data(); }

 private:
  std::vector<std::vector<char>> storage_;
  std::vector<char *> argv_;
};

class CmdLnTest : public ::testing::Test {
 protected:
  void SetUp() override { blocks_.note({LUMO_TID_CMDLN, LUMO_TID_STRING, LUMO_TID_MAP}); }
  void TearDown() override {
    CmdLnOp.del(parser_);
    blocks_.expectUnchanged();
  }
  LumoCmdLn *parse(Args &args) {
    parser_ = CmdLnOp.inst(args.argc(), args.argv());
    return parser_;
  }
  std::string description() { return take(CmdLnOp.toString(parser_)); }
  LumoCmdLn *parser_ = nullptr;
  BlockCounts blocks_;
};

TEST_F(CmdLnTest, OptionsTakeTheFollowingArgumentOrKeyAndTheDescriptionListsThem) {
  Args args{"qivhub", "-l", "/opt/lib", "-console", "-id", "7"};
  LumoCmdLn *p = parse(args);
  EXPECT_STREQ(CmdLnOp.getStr(p, "-l"), "/opt/lib");
  EXPECT_EQ(CmdLnOp.getStr(p, "-l"), args.argv()[2]);  // borrowed, not copied
  EXPECT_STREQ(CmdLnOp.getStr(p, "-console"), "key");
  EXPECT_EQ(CmdLnOp.getIntDef(p, "-id", 0), 7);
  EXPECT_FALSE(CmdLnOp.hasKey(p, "qivhub"));  // the program name is no option
  EXPECT_EQ(description(),
            "OCmdLn: key=-l value=/opt/lib, key=-console,  key=-id value=7, ");
}

TEST_F(CmdLnTest, ADashAlwaysStartsAnOptionEvenWhereANegativeValueWasMeant) {
  Args args{"prg", "-offset", "-5", "x", "y", "-last"};
  LumoCmdLn *p = parse(args);
  EXPECT_STREQ(CmdLnOp.getStr(p, "-offset"), "key");
  EXPECT_EQ(CmdLnOp.getIntDef(p, "-offset", 42), 0);  // present without value
  EXPECT_STREQ(CmdLnOp.getStr(p, "-5"), "x");         // "y" after a value is ignored
  EXPECT_TRUE(CmdLnOp.hasKey(p, "-last"));
  EXPECT_STREQ(CmdLnOp.getStr(p, "-last"), "key");
  EXPECT_EQ(description(), "OCmdLn: key=-offset,  key=-5 value=x, key=-last, ");
}

TEST_F(CmdLnTest, LookUpsUseDefaultsOnlyForAbsentOptions) {
  Args args{"prg", "-n", "12abc", "-word", "abc", "-Debug", "1"};
  LumoCmdLn *p = parse(args);
  EXPECT_EQ(CmdLnOp.getIntDef(p, "-n", 5), 12);      // leading number
  EXPECT_EQ(CmdLnOp.getIntDef(p, "-word", 5), 0);    // not numeric
  EXPECT_EQ(CmdLnOp.getIntDef(p, "-missing", 5), 5);
  EXPECT_STREQ(CmdLnOp.getStrDef(p, "-word", "d"), "abc");
  EXPECT_STREQ(CmdLnOp.getStrDef(p, "-missing", "d"), "d");
  EXPECT_EQ(CmdLnOp.getStr(p, "-missing"), nullptr);
  EXPECT_FALSE(CmdLnOp.hasKey(p, "-debug"));  // case-sensitive
  EXPECT_EQ(CmdLnOp.getStr(p, nullptr), nullptr);
  EXPECT_FALSE(CmdLnOp.hasKey(p, nullptr));
}

TEST_F(CmdLnTest, ARepeatedOptionKeepsItsLaterValueWhileTheDescriptionListsBoth) {
  Args args{"prg", "-l", "a", "-l", "b"};
  LumoCmdLn *p = parse(args);
  EXPECT_STREQ(CmdLnOp.getStr(p, "-l"), "b");
  EXPECT_EQ(description(), "OCmdLn: key=-l value=a, key=-l value=b, ");
}

TEST_F(CmdLnTest, EmptyVectorsAndUninitialisedParsersAnswerNothing) {
  parser_ = CmdLnOp.inst(0, nullptr);
  ASSERT_NE(parser_, nullptr);
  EXPECT_EQ(description(), "OCmdLn: ");
  EXPECT_FALSE(CmdLnOp.hasKey(parser_, "-x"));

  // An instance copy whose data slot is empty: a parser that was never initialised.
  LumoCmdLn blank = CmdLnOp;
  EXPECT_EQ(CmdLnOp.getStr(&blank, "-x"), nullptr);
  EXPECT_FALSE(CmdLnOp.hasKey(&blank, "-x"));
  EXPECT_EQ(CmdLnOp.getIntDef(&blank, "-x", 3), 3);
}

TEST_F(CmdLnTest, CountFollowsInstAndDel) {
  EXPECT_STREQ(CmdLnOp.name(), "OCmdLn");
  int before = CmdLnOp.count();
  Args args{"prg"};
  LumoCmdLn *p = parse(args);
  EXPECT_EQ(CmdLnOp.count(), before + 1);
  EXPECT_EQ(p->getStr(p, "-x"), nullptr);  // through the instance's own copy
  CmdLnOp.del(p);
  parser_ = nullptr;
  CmdLnOp.del(nullptr);
  EXPECT_EQ(CmdLnOp.count(), before);
}

}  // namespace
