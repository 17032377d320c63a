// EBCDIC conversion: the built-in tables of both code pages, the masking conversions, and
// converter files with what they map, what they ignore and what they leave behind.
#include <gtest/gtest.h>
#include <lumo/attr.h>
#include <lumo/doc.h>
#include <lumo/ebcdic.h>
#include <lumo/mem.h>
#include <lumo/node.h>
#include <lumo/str.h>
#include <lumo/trace.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/testutil.hpp"

namespace {

std::vector<unsigned char> allBytes() {
  std::vector<unsigned char> bytes(256);
  for (int i = 0; i < 256; ++i) bytes[i] = static_cast<unsigned char>(i);
  return bytes;
}

char *chars(std::vector<unsigned char> &bytes) { return reinterpret_cast<char *>(bytes.data()); }

// Every test leaves no converter behind.
class EbcdicTest : public ::testing::Test {
 protected:
  void SetUp() override {
    live_ = EbcdicOp.count();
    ASSERT_TRUE(dir_.made());
  }
  void TearDown() override { EXPECT_EQ(EbcdicOp.count(), live_); }

  std::string makeFile(const std::string &name, const std::string &text) {
    std::string path = dir_.at(name);
    EXPECT_TRUE(writeFile(path, text)) << path;
    return path;
  }

  // A converter from the file, with the console lines its creation wrote (time stamps and the
  // fixed columns cut off: what follows the source line).
  LumoEbcdic *fromFile(const std::string &path, std::vector<std::string> *messages) {
    StreamCapture out(1);
    LumoEbcdic *e = EbcdicOp.inst(1252, path.c_str());
    for (const std::string &line : out.lines())
      if (line.find(" OEbcdic  ") != std::string::npos && line.size() > 48)
        messages->push_back(line.substr(line.find(" OEbcdic  ") + 15));
    return e;
  }

  ScopedTrace trace_{LUMO_TRC_I | LUMO_TRC_D, 1};
  int live_ = 0;
  TempDir dir_{"ebcdic"};
};

TEST_F(EbcdicTest, BuiltInTablesAreInversePermutations) {
  for (int page : {1252, 437}) {
    SCOPED_TRACE(page);
    LumoEbcdic *e = EbcdicOp.inst(page, nullptr);
    ASSERT_NE(e, nullptr);
    std::vector<unsigned char> bytes = allBytes();
    EXPECT_EQ(EbcdicOp.Ascii2Ebcdic(e, chars(bytes), 256), chars(bytes));
    std::vector<bool> seen(256, false);
    for (int i = 0; i < 256; ++i) {
      EXPECT_FALSE(seen[bytes[i]]) << "EBCDIC byte " << int(bytes[i]) << " used twice";
      seen[bytes[i]] = true;
      EXPECT_EQ(EbcdicOp.getAscii(e, i), bytes[i]);
      EXPECT_EQ(EbcdicOp.getEbcdic(e, bytes[i]), i);
    }
    EbcdicOp.Ebcdic2Ascii(e, chars(bytes), 256);
    EXPECT_EQ(bytes, allBytes());
    EbcdicOp.del(e);
  }
}

TEST_F(EbcdicTest, CodePagesGiveThePrintedBytes) {
  struct Case {
    int page;
    unsigned char pc, ebcdic;
  };
  const Case cases[] = {
      {1252, 'A', 0xC1},  {1252, 'a', 0x81},  {1252, '0', 0xF0},  {1252, ' ', 0x40},
      {1252, '@', 0x7C},  {1252, 0xC4, 0x4A}, {1252, 0xDF, 0x59}, {1252, '~', 0xA1},
      {1252, 0xA7, 0xB5}, {1252, 0xAF, 0xBC}, {1252, 0x7F, 0x07}, {437, 0x8E, 0x4A},
      {437, 0x9B, 0x70},  {437, 0x9D, 0x80},  {437, 0xDB, 0x1B},  {437, 'A', 0xC1},
      {0, 'A', 0xC1},     {0, 0xDF, 0x59},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.page) + " byte " + std::to_string(c.pc));
    LumoEbcdic *e = EbcdicOp.inst(c.page, nullptr);
    char b = static_cast<char>(c.pc);
    EbcdicOp.Ascii2Ebcdic(e, &b, 1);
    EXPECT_EQ(static_cast<unsigned char>(b), c.ebcdic);
    EbcdicOp.Ebcdic2Ascii(e, &b, 1);
    EXPECT_EQ(static_cast<unsigned char>(b), c.pc);
    EbcdicOp.del(e);
  }
}

TEST_F(EbcdicTest, UnknownCodePageConvertsEverythingToZero) {
  LumoEbcdic *e = EbcdicOp.inst(850, nullptr);
  std::vector<unsigned char> bytes = allBytes();
  EbcdicOp.Ascii2Ebcdic(e, chars(bytes), 256);
  EXPECT_EQ(bytes, std::vector<unsigned char>(256, 0));
  bytes = allBytes();
  EbcdicOp.Ebcdic2Ascii(e, chars(bytes), 256);
  EXPECT_EQ(bytes, std::vector<unsigned char>(256, 0));
  EXPECT_EQ(EbcdicOp.getEbcdic(e, 0xC1), 0);
  char *text = EbcdicOp.toString(e);
  EXPECT_STREQ(text, "CodePage=850");
  StrOp.freeStrID(text, LUMO_TID_EBCDIC);
  EbcdicOp.del(e);
}

TEST_F(EbcdicTest, MaskingConversionsDifferOnlyInTheDeleteCharacter) {
  LumoEbcdic *e = EbcdicOp.inst(1252, nullptr);
  // EBCDIC "Hi", the delete character, a-umlaut, a control character and a blank.
  const char ebcdic[] = "\xC8\x89\x07\x4A\x05\x40";
  char plain[7], trueAscii[7], extAscii[7];
  for (char *b : {plain, trueAscii, extAscii}) std::memcpy(b, ebcdic, sizeof ebcdic);
  EbcdicOp.Ebcdic2Ascii(e, plain, 6);
  EXPECT_EQ(EbcdicOp.Ebcdic2TrueAscii(e, trueAscii, 6), trueAscii);
  EXPECT_EQ(EbcdicOp.Ebcdic2ExtAscii(e, extAscii, 6), extAscii);
  EXPECT_EQ(std::string(plain, 6), std::string("Hi\x7F\xC4\x09 ", 6));
  EXPECT_EQ(std::string(trueAscii, 6), std::string("Hi\x7F.. ", 6));
  EXPECT_EQ(std::string(extAscii, 6), "Hi... ");
  // Only the low eight bits of a code count; nothing is touched for an empty length.
  EXPECT_EQ(EbcdicOp.getEbcdic(e, 0x1C1), 'A');
  EXPECT_EQ(EbcdicOp.getAscii(e, 0x141), 0xC1);
  char untouched = 'A';
  EbcdicOp.Ascii2Ebcdic(e, &untouched, 0);
  EXPECT_EQ(untouched, 'A');
  EXPECT_EQ(EbcdicOp.Ascii2Ebcdic(e, nullptr, 5), nullptr);
  EbcdicOp.del(e);
}

TEST_F(EbcdicTest, ConverterFileReplacesTheTablesAndIsReleased) {
  std::string path = makeFile("conv.xml",
                               "<table>\n"
                               "  <conv ebcdic=\"0xC1\" latin1=\"65\"/>\n"
                               "  <conv ebcdic=\"0302\" latin1=\"0x142\"/>\n"  // octal; low bits
                               "  <conv ebcdic=\"0xC3\" latin1=\"0\"/>\n"      // ignored
                               "  <conv ebcdic=\"0xC4\"/>\n"                   // incomplete
                               "  <other ebcdic=\"0xC5\" latin1=\"69\"/>\n"    // not a conv
                               "  <conv ebcdic=\"0xC1\" latin1=\"97\"/>\n"     // overwrites
                               "</table>\n");
  int nodes = NodeOp.count(), attrs = AttrOp.count(), docs = DocOp.count();
  int blocks = MemOp.getAllocCount();
  std::vector<std::string> messages;
  LumoEbcdic *e = fromFile(path, &messages);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(NodeOp.count(), nodes);
  EXPECT_EQ(AttrOp.count(), attrs);
  EXPECT_EQ(DocOp.count(), docs);
  EXPECT_EQ(messages, (std::vector<std::string>{"Parsing " + path + "...", "Mapping 0xC1 to 0x41",
                                                "Mapping 0xC2 to 0x42", "Mapping 0xC1 to 0x61",
                                                "3 conv nodes mapped."}));

  std::vector<unsigned char> bytes = allBytes();
  EbcdicOp.Ascii2Ebcdic(e, chars(bytes), 256);
  for (int i = 0; i < 256; ++i) {
    unsigned char expected = i == 'A' ? 0xC1 : i == 'B' ? 0xC2 : i == 'a' ? 0xC1 : 0;
    EXPECT_EQ(bytes[i], expected) << "byte " << i;
  }
  EXPECT_EQ(EbcdicOp.getEbcdic(e, 0xC1), 'a');  // the later mapping wins
  EXPECT_EQ(EbcdicOp.getEbcdic(e, 0xC2), 'B');
  EXPECT_EQ(EbcdicOp.getEbcdic(e, 0xC3), 0);
  EXPECT_EQ(EbcdicOp.getEbcdic(e, 0xC5), 0);
  EbcdicOp.del(e);
  EXPECT_EQ(MemOp.getAllocCount(), blocks);
}

TEST_F(EbcdicTest, UnusableConverterFilesAreReportedAndLeaveZeroTables) {
  struct Case {
    const char *text;
    std::vector<std::string> warnings;
  };
  const Case cases[] = {
      {"<table><conv ebcdic=\"1\" latin1=\"2\"></table>", {"Document == NULL!"}},
      {"no element at all", {"Document has no rootnode!"}},
      {"<table><row ebcdic=\"1\" latin1=\"2\"/></table>",
       {"Rootnode(table) has no \"conv\" childnodes!"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    std::string path = makeFile("bad.xml", c.text);
    int nodes = NodeOp.count(), docs = DocOp.count();
    std::vector<std::string> messages;
    LumoEbcdic *e = fromFile(path, &messages);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(NodeOp.count(), nodes);
    EXPECT_EQ(DocOp.count(), docs);
    std::vector<std::string> expected{"Parsing " + path + "..."};
    expected.insert(expected.end(), c.warnings.begin(), c.warnings.end());
    expected.push_back("0 conv nodes mapped.");
    EXPECT_EQ(messages, expected);
    EXPECT_EQ(EbcdicOp.getAscii(e, 'A'), 0);
    EXPECT_EQ(EbcdicOp.getEbcdic(e, 0xC1), 0);
    EbcdicOp.del(e);
  }
}

TEST_F(EbcdicTest, MissingOrEmptyConverterFileFallsBackToCodePage1252Quietly) {
  // A file beyond what an int counts (sparse: it takes no space) is no converter either.
  std::string huge = makeFile("huge.xml", "");
  ASSERT_EQ(truncate(huge.c_str(), 2147483648LL + 1), 0);
  for (const std::string &path : {dir_.at("missing.xml"), makeFile("empty.xml", ""), huge}) {
    SCOPED_TRACE(path);
    std::vector<std::string> messages;
    LumoEbcdic *e = fromFile(path, &messages);
    ASSERT_NE(e, nullptr);
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(EbcdicOp.getAscii(e, 'A'), 0xC1);
    EXPECT_EQ(EbcdicOp.getEbcdic(e, 0x59), 0xDF);
    EbcdicOp.del(e);
  }
  // The converter file wins over the code page, even when it falls back.
  LumoEbcdic *e = EbcdicOp.inst(437, dir_.at("missing.xml").c_str());
  EXPECT_EQ(EbcdicOp.getAscii(e, 0x9B), 0x3B);  // a control byte of 1252, not 437's cent sign
  EbcdicOp.del(e);
}

TEST_F(EbcdicTest, InstancesAreCountedAndDescribeTheirCodePage) {
  EXPECT_STREQ(EbcdicOp.name(), "OEbcdic");
  LumoEbcdic *e = EbcdicOp.inst(437, nullptr);
  EXPECT_EQ(EbcdicOp.count(), live_ + 1);
  char *text = e->toString(e);
  EXPECT_STREQ(text, "CodePage=437");
  StrOp.freeStrID(text, LUMO_TID_EBCDIC);
  char b = static_cast<char>(0x8E);
  e->Ascii2Ebcdic(e, &b, 1);  // through the instance's own table
  EXPECT_EQ(static_cast<unsigned char>(b), 0x4A);
  EbcdicOp.del(e);
  EbcdicOp.del(nullptr);
  EXPECT_EQ(EbcdicOp.count(), live_);
}

}  // namespace
