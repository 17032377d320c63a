// Memory manager: block layout, messages, statistics, string registry, last operation.
#include <lumo/mem.h>
#include <lumo/str.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cinttypes>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/testutil.hpp"

namespace {

const char *kSrc = "tests/mem";

bool aligned(const void *p) {
  return reinterpret_cast<uintptr_t>(p) % alignof(std::max_align_t) == 0;
}

std::string hex(const void *p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%08" PRIXPTR, reinterpret_cast<uintptr_t>(p));
  return buf;
}

TEST(MemTest, BlocksAreZeroedAlignedAndCarryTheHeaderDirectlyBeforeThePointer) {
  for (int size : {0, 1, 7, 8, 20, 33, 4096}) {
    unsigned char *p = static_cast<unsigned char *>(MemOp.allocTID(size, 8, kSrc, __LINE__));
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(aligned(p)) << size;
    EXPECT_EQ(std::memcmp(p - 20, "#@liblumo@#", 12), 0);
    int32_t storedSize, storedType;
    std::memcpy(&storedSize, p - 8, 4);
    std::memcpy(&storedType, p - 4, 4);
    EXPECT_EQ(storedSize, size);
    EXPECT_EQ(storedType, 8);
    for (int i = 0; i < size; ++i) ASSERT_EQ(p[i], 0) << "byte " << i;
    MemOp.freeTID(p, 8, kSrc, __LINE__);
  }
}

TEST(MemTest, StatisticsCountRequestedSizePlusHeaderPerBlock) {
  int count = MemOp.getAllocCount(), size = MemOp.getAllocSize();
  int typed = MemOp.getAllocCntID(5);
  void *a = MemOp.allocTID(100, 5, kSrc, __LINE__);
  void *b = MemOp.alloc(0, kSrc, __LINE__);
  EXPECT_EQ(MemOp.getAllocCount(), count + 2);
  EXPECT_EQ(MemOp.getAllocSize(), size + 120 + 20);
  EXPECT_EQ(MemOp.getAllocCntID(5), typed + 1);
  EXPECT_EQ(MemOp.getAllocCntID(23), 0) << "the untyped id is never counted";
  MemOp.freeTID(a, 5, kSrc, __LINE__);
  MemOp.free(b, kSrc, __LINE__);
  EXPECT_EQ(MemOp.getAllocCount(), count);
  EXPECT_EQ(MemOp.getAllocSize(), size);
  EXPECT_EQ(MemOp.getAllocCntID(5), typed);
}

TEST(MemTest, SecondReleaseIsReportedAndChangesNoCounter) {
  void *p = MemOp.alloc(16, kSrc, __LINE__);
  MemOp.free(p, kSrc, __LINE__);
  int count = MemOp.getAllocCount(), size = MemOp.getAllocSize();
  StreamCapture out;
  MemOp.free(p, "again.c", 77);
  EXPECT_EQ(out.text(), ">>>>> Unknown memory block( 0x" +
                            hex(static_cast<char *>(p) - 20) + " ) again.c:77 <<<<<\n");
  EXPECT_EQ(MemOp.getAllocCount(), count);
  EXPECT_EQ(MemOp.getAllocSize(), size);
}

TEST(MemTest, ReleaseUnderAnotherTypeIsRefusedAndTheBlockStaysAlive) {
  char *p = static_cast<char *>(MemOp.allocTID(8, 7, kSrc, __LINE__));
  int count = MemOp.getAllocCount();
  {
    StreamCapture out;
    MemOp.freeTID(p, 8, "wrong.c", 12);
    EXPECT_EQ(out.text(), ">>>>> memory block id=7 freeID=8 file=wrong.c line=12 <<<<<\n");
  }
  EXPECT_EQ(MemOp.getAllocCount(), count);
  std::strcpy(p, "alive");  // still ours
  MemOp.freeTID(p, 7, kSrc, __LINE__);
  EXPECT_EQ(MemOp.getAllocCount(), count - 1);
}

TEST(MemTest, UntypedIdThroughTheTypedCallsIsReportedButServed) {
  StreamCapture out;
  void *p = MemOp.allocTID(4, 23, "u.c", 3);
  MemOp.freeTID(p, 23, "u.c", 4);
  std::string h = hex(p);
  EXPECT_EQ(out.text(), " allicIDMem( 0x" + h + ", 4 ) u.c line=3: id 23 not allowed!!!\n" +
                            " freeIDMem( 0x" + h + " ) u.c line=4: id 23 not allowed!!!\n");
}

TEST(MemTest, TypeIdsOutsideTheTableAreRejectedWithoutTouchingCounters) {
  int count = MemOp.getAllocCount();
  StreamCapture out;
  EXPECT_EQ(MemOp.allocTID(4, 24, "r.c", 1), nullptr);
  EXPECT_EQ(MemOp.allocTID(4, -1, "r.c", 2), nullptr);
  EXPECT_EQ(MemOp.getAllocCntID(24), 0);
  EXPECT_EQ(MemOp.getAllocCntID(-5), 0);
  std::string text = out.text();
  EXPECT_NE(text.find("id 24 not allowed!!!"), std::string::npos) << text;
  EXPECT_NE(text.find("id -1 not allowed!!!"), std::string::npos) << text;
  EXPECT_EQ(MemOp.getAllocCount(), count);
}

TEST(MemTest, ReallocKeepsContentsZeroFillsGrowthAndKeepsTheType) {
  unsigned char *p = static_cast<unsigned char *>(MemOp.allocTID(4, 9, kSrc, __LINE__));
  std::memcpy(p, "abcd", 4);
  int typed = MemOp.getAllocCntID(9);
  unsigned char *big = static_cast<unsigned char *>(MemOp.realloc(p, 64, kSrc, __LINE__));
  ASSERT_NE(big, nullptr);
  EXPECT_TRUE(aligned(big));
  EXPECT_EQ(std::memcmp(big, "abcd", 4), 0);
  for (int i = 4; i < 64; ++i) ASSERT_EQ(big[i], 0);
  EXPECT_EQ(MemOp.getAllocCntID(9), typed);
  unsigned char *small = static_cast<unsigned char *>(MemOp.realloc(big, 2, kSrc, __LINE__));
  EXPECT_EQ(std::memcmp(small, "ab", 2), 0);
  MemOp.freeTID(small, 9, kSrc, __LINE__);
}

TEST(MemTest, ReallocOfNullAndOfABadBlock) {
  StreamCapture out;
  void *p = MemOp.realloc(nullptr, 8, "n.c", 5);
  ASSERT_NE(p, nullptr);
  MemOp.free(p, kSrc, __LINE__);
  int count = MemOp.getAllocCount();
  EXPECT_EQ(MemOp.realloc(p, 8, "bad.c", 6), nullptr);
  EXPECT_EQ(MemOp.getAllocCount(), count);
  std::string h = hex(p);
  EXPECT_EQ(out.text(),
            ">>>>> realloc( 0x00000000, 8 ) with NULL pointer! n.c:5 <<<<<\n"
            ">>>>> Unknown memory block( 0x" + hex(static_cast<char *>(p) - 20) +
                " ) bad.c:6 <<<<<\n__mem_realloc_magic(0x" + h + ", 8) failed!");
}

TEST(MemTest, ReallocOfAStringMovesItsRegistryEntry) {
  char *s = StrOp.dup("moving");
  s = static_cast<char *>(MemOp.realloc(s, 100, kSrc, __LINE__));
  std::strcat(s, " string");
  char *dump = MemOp.dumpStrings(1);
  ASSERT_NE(dump, nullptr);
  EXPECT_NE(std::string(dump).find("[moving string]"), std::string::npos);
  StrOp.freeStr(dump);
  StrOp.freeStr(s);
}

TEST(MemTest, DebugModePrintsOneLinePerAllocAndFree) {
  MemOp.setDebug(1);
  StreamCapture out;
  void *p = MemOp.alloc(3, "d.c", 10);
  MemOp.free(p, "d.c", 11);
  MemOp.free(nullptr, "d.c", 12);
  MemOp.setDebug(0);
  EXPECT_EQ(out.text(), " 0x" + hex(p) + " = allocMem( 3 ) d.c line=10\n" + " freeMem( 0x" +
                            hex(p) + " ) d.c line=11\n" + " freeMem( 0x00000000 ) d.c line=12\n");
}

TEST(MemTest, LastOperationNamesTheMostRecentCall) {
  void *p = MemOp.alloc(1, "last.c", 40);
  MemOp.free(p, "last.c", 41);
  EXPECT_EQ(std::string(MemOp.getLastOperation()),
            ">>>>> memLastOp: op=free p=0x" + hex(p) + " file=last.c line=41 <<<<<");
  EXPECT_TRUE(MemOp.isValid(nullptr) == 0);
  void *q = MemOp.allocTID(1, 0, "last.c", 42);
  EXPECT_TRUE(MemOp.isValid(q));
  EXPECT_EQ(std::string(MemOp.getLastOperation()),
            ">>>>> memLastOp: op=check p=0x" + hex(q) + " file=- line=0 <<<<<");
  MemOp.freeTID(q, 0, kSrc, __LINE__);
}

TEST(MemTest, StringRegistryHoldsFourHundredAndTheRestStayUsable) {
  ASSERT_EQ(MemOp.dumpStrings(1), nullptr) << "no strings are live between tests";
  std::vector<char *> strings;
  for (int i = 0; i < 401; ++i) strings.push_back(StrOp.fmt("s%03d", i));
  char *dump = MemOp.dumpStrings(1);
  ASSERT_NE(dump, nullptr);
  std::string text(dump);
  StrOp.freeStr(dump);
  EXPECT_NE(text.find("DUMP STRING[0]: [s000]\n"), std::string::npos);
  EXPECT_NE(text.find("DUMP STRING[399]: [s399]\n"), std::string::npos);
  EXPECT_EQ(text.find("s400"), std::string::npos);
  EXPECT_STREQ(strings[400], "s400");
  for (char *s : strings) StrOp.freeStr(s);
  EXPECT_EQ(MemOp.dumpStrings(1), nullptr);
  char *one = StrOp.dup("one");
  StreamCapture out;
  EXPECT_EQ(MemOp.dumpStrings(0), nullptr);
  EXPECT_EQ(out.text(), "***DUMP STRING[0]: [one]\n");
  StrOp.freeStr(one);
}

TEST(MemTest, CountersStayExactUnderConcurrentAllocAndFree) {
  int count = MemOp.getAllocCount(), size = MemOp.getAllocSize();
  int typed = MemOp.getAllocCntID(8);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      std::vector<void *> blocks;
      for (int i = 0; i < 2000; ++i) {
        blocks.push_back(MemOp.allocTID(1 + (i + t) % 50, 8, kSrc, __LINE__));
        if (i % 3 == 0) {
          MemOp.freeTID(blocks.back(), 8, kSrc, __LINE__);
          blocks.pop_back();
        }
        if (i % 7 == 0) StrOp.freeStr(StrOp.dup("x"));
      }
      for (void *b : blocks) MemOp.freeTID(b, 8, kSrc, __LINE__);
    });
  for (auto &th : threads) th.join();
  EXPECT_EQ(MemOp.getAllocCount(), count);
  EXPECT_EQ(MemOp.getAllocSize(), size);
  EXPECT_EQ(MemOp.getAllocCntID(8), typed);
  EXPECT_EQ(MemOp.dumpStrings(1), nullptr);
}

TEST(MemTest, ResetDumpClearsPerTypeCountersAndReleasesNeverGoBelowZero) {
  void *p = MemOp.allocTID(4, 4, kSrc, __LINE__);
  int total = MemOp.getAllocCount();
  MemOp.resetDump();
  EXPECT_EQ(MemOp.getAllocCntID(4), 0);
  EXPECT_EQ(MemOp.getAllocCount(), total) << "totals survive a reset";
  MemOp.freeTID(p, 4, kSrc, __LINE__);
  EXPECT_EQ(MemOp.getAllocCntID(4), 0);
  EXPECT_EQ(MemOp.getDumpSize(), 96);
  EXPECT_EQ(MemOp.dumpAllocCntID()[4], 0);
}

TEST(MemTest, ByteHelpersTolerateNullAndCompareUnsigned) {
  unsigned char buf[4] = {1, 0xE9, 3, 0xE9};
  EXPECT_EQ(MemOp.chr(buf, 0xE9, 4), buf + 1);
  EXPECT_EQ(MemOp.chr(buf, static_cast<char>(0xE9), 4), buf + 1);
  EXPECT_EQ(MemOp.chr(buf, 7, 4), nullptr);
  EXPECT_EQ(MemOp.chr(buf, 3, 2), nullptr) << "search stays within the length";
  EXPECT_TRUE(MemOp.cmp("abc", "abd", 2));
  EXPECT_FALSE(MemOp.cmp("abc", "abd", 3));
  EXPECT_FALSE(MemOp.cmp(nullptr, "a", 1));
  char dst[4] = "xyz";
  EXPECT_EQ(MemOp.copy(dst, nullptr, 3), dst);
  EXPECT_STREQ(dst, "xyz");
  EXPECT_EQ(MemOp.copy(dst, "ab", 2), dst);
  EXPECT_STREQ(dst, "abz");
  EXPECT_EQ(MemOp.set(dst, '-', 3), dst);
  EXPECT_STREQ(dst, "---");
}

// ---- bad sizes and ids never reach the heap ----

TEST(MemTest, NegativeSizesAreRefusedAndLeaveTheOldBlockAsItWas) {
  char *p = static_cast<char *>(MemOp.allocTID(8, 9, kSrc, __LINE__));
  std::strcpy(p, "intact");
  int count = MemOp.getAllocCount(), size = MemOp.getAllocSize(), typed = MemOp.getAllocCntID(9);
  StreamCapture out;
  EXPECT_EQ(MemOp.alloc(-5, "neg.c", 1), nullptr);
  EXPECT_EQ(MemOp.allocTID(-5, 9, "neg.c", 2), nullptr);
  EXPECT_EQ(MemOp.realloc(p, -1, "neg.c", 3), nullptr);
  EXPECT_EQ(MemOp.realloc(nullptr, INT_MIN, "neg.c", 4), nullptr);
  EXPECT_EQ(out.text(),
            ">>>>> alloc( -5 ) with negative size! neg.c:1 <<<<<\n"
            ">>>>> alloc( -5 ) with negative size! neg.c:2 <<<<<\n"
            ">>>>> realloc( 0x" + hex(p) + ", -1 ) with negative size! neg.c:3 <<<<<\n"
            ">>>>> realloc( 0x00000000, -2147483648 ) with negative size! neg.c:4 <<<<<\n");
  EXPECT_EQ(MemOp.getAllocCount(), count);
  EXPECT_EQ(MemOp.getAllocSize(), size);
  EXPECT_EQ(MemOp.getAllocCntID(9), typed);
  int32_t storedSize;
  std::memcpy(&storedSize, p - 8, 4);
  EXPECT_EQ(storedSize, 8);
  EXPECT_STREQ(p, "intact");
  // Still a sound block: it grows and is released as usual.
  p = static_cast<char *>(MemOp.realloc(p, 10, kSrc, __LINE__));
  ASSERT_NE(p, nullptr);
  EXPECT_STREQ(p, "intact");
  MemOp.freeTID(p, 9, kSrc, __LINE__);
  EXPECT_EQ(MemOp.getAllocCount(), count - 1);
}

TEST(MemTest, ReleaseUnderAnIdOutsideTheTableReleasesNothing) {
  char *s = StrOp.dup("kept");
  int strings = MemOp.getAllocCntID(LUMO_TID_STRING), count = MemOp.getAllocCount();
  {
    StreamCapture out;
    MemOp.freeTID(s, -1, "id.c", 7);
    MemOp.freeTID(s, 24, "id.c", 8);
    EXPECT_EQ(out.text(), " freeIDMem( 0x" + hex(s) + " ) id.c line=7: id -1 not allowed!!!\n" +
                              " freeIDMem( 0x" + hex(s) + " ) id.c line=8: id 24 not allowed!!!\n");
  }
  EXPECT_EQ(MemOp.getAllocCntID(LUMO_TID_STRING), strings);
  EXPECT_EQ(MemOp.getAllocCount(), count);
  char *dump = MemOp.dumpStrings(1);
  ASSERT_NE(dump, nullptr);
  EXPECT_NE(std::string(dump).find("[kept]"), std::string::npos) << "still registered and alive";
  StrOp.freeStr(dump);
  StrOp.freeStr(s);
  EXPECT_EQ(MemOp.getAllocCntID(LUMO_TID_STRING), strings - 1);
  EXPECT_EQ(MemOp.dumpStrings(1), nullptr);
}

TEST(MemTest, ByteHelpersRefuseNegativeLengths) {
  char a[4] = "abc", b[4] = "xyz";
  StreamCapture out;
  EXPECT_FALSE(MemOp.cmp(a, b, -1)) << "nothing compared proves nothing equal";
  EXPECT_EQ(MemOp.chr(a, 'a', -1), nullptr);
  EXPECT_EQ(MemOp.copy(a, b, -1), a);
  EXPECT_EQ(MemOp.set(a, '-', -1), a);
  EXPECT_STREQ(a, "abc");
  std::string h = hex(a);
  EXPECT_EQ(out.text(), ">>>>> cmp( 0x" + h + ", -1 ) with negative length! <<<<<\n"
                        ">>>>> chr( 0x" + h + ", -1 ) with negative length! <<<<<\n"
                        ">>>>> copy( 0x" + h + ", -1 ) with negative length! <<<<<\n"
                        ">>>>> set( 0x" + h + ", -1 ) with negative length! <<<<<\n");
  EXPECT_TRUE(MemOp.cmp(a, b, 0));
}

// ---- statistics past 2 GiB ----

TEST(MemTest, LiveBytesPastTwoGiBSaturateAndComeBackExactly) {
  if (sizeof(void *) < 8) GTEST_SKIP() << "a 32-bit process cannot hold 2 GiB of blocks";
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer writes every byte of a zeroed block";
#endif
  int count = MemOp.getAllocCount(), size = MemOp.getAllocSize();
  // Zeroed large blocks come untouched from the system: address space, not memory.
  const int big = 0x48000000;  // 1.125 GiB
  void *a = MemOp.allocTID(big, 8, kSrc, __LINE__);
  void *b = MemOp.allocTID(big, 8, kSrc, __LINE__);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(MemOp.getAllocSize(), INT_MAX);
  EXPECT_EQ(MemOp.getAllocCount(), count + 2);
  MemOp.freeTID(a, 8, kSrc, __LINE__);
  EXPECT_EQ(MemOp.getAllocSize(), size + big + 20);
  MemOp.freeTID(b, 8, kSrc, __LINE__);
  EXPECT_EQ(MemOp.getAllocSize(), size);
}

// ---- the last-operation record and the string dump under concurrency ----

TEST(MemTest, LastOperationIsReadSafelyWhileAnotherThreadAllocates) {
  std::atomic<bool> stop{false};
  std::thread worker([&stop] {
    while (!stop.load()) MemOp.free(MemOp.alloc(8, "worker.c", 1), "worker.c", 2);
  });
  // A thread that never allocated reads the worker's record while the worker writes it.
  std::thread reader([] {
    for (int i = 0; i < 2000; ++i) {
      std::string text = MemOp.getLastOperation();
      ASSERT_EQ(text.rfind(">>>>> memLastOp: op=", 0), 0u) << text;
    }
  });
  reader.join();
  stop = true;
  worker.join();
}

TEST(MemTest, DumpListsOnlyWhatWasRegisteredBeforeTheCall) {
  ASSERT_EQ(MemOp.dumpStrings(1), nullptr) << "no strings are live between tests";
  char *only = StrOp.dup("only");
  std::string longText(5000, 'x');
  char *longOne = StrOp.dup(longText.c_str());
  char *dump = MemOp.dumpStrings(1);
  ASSERT_NE(dump, nullptr);
  // Each line as the string module's fmt would make it: cut after 4094 characters.
  std::string second = ("DUMP STRING[1]: [" + longText + "]\n").substr(0, 4094);
  EXPECT_EQ(std::string(dump), "DUMP STRING[0]: [only]\n" + second);
  StrOp.freeStr(dump);
  StrOp.freeStr(longOne);
  StrOp.freeStr(only);
}

}  // namespace
