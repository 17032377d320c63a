// Document switches: defaults, the encoding name and its UTF-8 flag, the declaration text, and
// switches set on one thread while others read them.
#include <gtest/gtest.h>
#include <lumo/doc.h>
#include <lumo/mem.h>
#include <lumo/str.h>

#include <atomic>
#include <thread>

namespace {

// Each flag switch with its reader; the prolog and element-text switches have no public reader.
struct Flag {
  void (*set)(int);
  int (*is)(void);
};
const Flag kFlags[] = {{DocOp.setHTMLEscapes, DocOp.isHTMLEscapes},
                       {DocOp.setIgnoreCase, DocOp.isIgnoreCase},
                       {DocOp.setUTF2Latin, DocOp.isUTF2Latin},
                       {DocOp.setUniCodeEscapes, DocOp.isUniCodeEscapes}};

// The switches are process-wide: every test leaves them at their defaults.
class DocTest : public ::testing::Test {
 protected:
  void TearDown() override {
    DocOp.setEncoding(DocOp.utf8Name);
    for (const Flag &f : kFlags) f.set(0);
    DocOp.setXMLProlog(1);
    DocOp.setXMLElementVal(0);
  }
};

TEST_F(DocTest, DefaultsNameUtf8AndLeaveTheFlagsOff) {
  EXPECT_STREQ(DocOp.utf8Name, "UTF-8");
  EXPECT_STREQ(DocOp.latin15Name, "ISO-8859-15");
  EXPECT_STREQ(DocOp.getEncoding(), "UTF-8");
  EXPECT_TRUE(DocOp.isUTF8Encoding());
  for (const Flag &f : kFlags) {
    EXPECT_EQ(f.is(), 0);
    f.set(7);
    EXPECT_EQ(f.is(), 1);
  }
  EXPECT_STREQ(DocOp.name(), "ODoc");
  EXPECT_EQ(DocOp.count(), 0);
}

TEST_F(DocTest, EncodingNameIsKeptAsGivenButOnlyExactUtf8MeansUtf8) {
  const char *lower = "utf-8";
  DocOp.setEncoding(lower);
  EXPECT_EQ(DocOp.getEncoding(), lower);
  EXPECT_FALSE(DocOp.isUTF8Encoding());
  int strings = MemOp.getAllocCntID(LUMO_TID_STRING);
  char *declaration = DocOp.getEncodingProperty();
  EXPECT_STREQ(declaration, "<?xml version=\"1.0\" encoding=\"utf-8\"?>");
  StrOp.freeStr(declaration);
  EXPECT_EQ(MemOp.getAllocCntID(LUMO_TID_STRING), strings);

  DocOp.setEncoding(DocOp.latin15Name);
  EXPECT_FALSE(DocOp.isUTF8Encoding());
  char utf8[] = "UTF-8";  // not the table's own text: the name decides
  DocOp.setEncoding(utf8);
  EXPECT_TRUE(DocOp.isUTF8Encoding());
}

TEST_F(DocTest, SwitchesMayBeReadWhileAnotherThreadSetsThem) {
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop.load()) {
      for (const Flag &f : kFlags) (void)f.is();
      (void)DocOp.isUTF8Encoding();
      (void)DocOp.getEncoding();
    }
  });
  for (int i = 0; i <= 2000; ++i) {  // ends on an even round: UTF-8
    for (const Flag &f : kFlags) f.set(i & 1);
    DocOp.setEncoding(i & 1 ? DocOp.latin15Name : DocOp.utf8Name);
  }
  stop.store(true);
  reader.join();
  EXPECT_TRUE(DocOp.isUTF8Encoding());
}

}  // namespace
