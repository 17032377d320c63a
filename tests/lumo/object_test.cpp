// Object model: a small class module built from the same pieces as the library's own modules
// (X-macro table, lumo::Base, newInstance/freeInstance) checks the inst/del pattern, the
// instance copy of the table and MemOp.freeObj from outside the library.
#include <lumo/mem.h>
#include <lumo/object.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "lumo/impl/object.hpp"

extern "C" int lumo_c_abi_check(void);

typedef struct LumoProbe LumoProbe;

#define PROBE_OPS(X, C)                                 \
  X(C, int, getValue, (LumoProbe * self))               \
  X(C, LumoProbe *, inst, (int value))                  \
  X(C, void, setValue, (LumoProbe * self, int value))

struct LumoProbe {
  LUMO_BASE_SLOTS(LumoProbe)
  PROBE_OPS(LUMO_SLOT_FIELD, _)
};

namespace {

// 12 is an allocation type that no module uses, so only the probe moves its counter.
constexpr int kProbeTid = 12;

lumo::ClassInfo probeClass{"OProbe", kProbeTid, "tests/probe"};

// Counts releases so that a test can see that del really ran.
std::atomic<int> probeDels{0};

struct ProbeData {
  int value;
  int marker;
};

struct ProbeImpl : lumo::Base<LumoProbe, probeClass> {
  static void del(LumoProbe *self) noexcept {
    if (!self) return;
    probeDels.fetch_add(1);
    lumo::freeInstance<ProbeData>(self, probeClass, __LINE__);
  }
  static int getValue(LumoProbe *self) noexcept {
    ProbeData *d = lumo::dataOf<ProbeData>(self);
    return d ? d->value : 0;
  }
  static LumoProbe *inst(int value) noexcept;
  static void setValue(LumoProbe *self, int value) noexcept {
    if (ProbeData *d = lumo::dataOf<ProbeData>(self)) d->value = value;
  }
};

const LumoProbe ProbeOp = {LUMO_BASE_INIT(ProbeImpl), PROBE_OPS(LUMO_SLOT_INIT_MEMBER, ProbeImpl)};

LumoProbe *ProbeImpl::inst(int value) noexcept {
  ProbeData *d = nullptr;
  LumoProbe *self = lumo::newInstance(ProbeOp, probeClass, __LINE__, &d);
  if (!self) return nullptr;
  d->value = value;
  d->marker = 0x5A;
  lumo::countInstance(probeClass);
  return self;
}

// The probe's table passes the same generated checks as the library's own: layout and order.
LUMO_CHECK_TABLE(LumoProbe, PROBE_OPS, lumo::kOwnSlotsAt);

// The ordering rule's own examples, and the cases that a signed or case-blind comparison or a
// prefix mistake would get wrong.
constexpr const char *kOrdered[] = {"getARCH", "getCurrentFilename", "getF", "getFilename",
                                    "setNrFiles", "setStdErr", "strToByteBuffer", "strlwr",
                                    "terrno", "trace", "trc"};
static_assert(lumo::namesAscending(kOrdered), "documented order is accepted");
constexpr const char *kPrefixAfterExtension[] = {"getFilename", "getF"};
static_assert(!lumo::namesAscending(kPrefixAfterExtension), "a name precedes its extensions");
constexpr const char *kLowerBeforeUpper[] = {"strlwr", "strToByte"};
static_assert(!lumo::namesAscending(kLowerBeforeUpper), "upper case sorts first");
constexpr const char *kDuplicate[] = {"del", "del"};
static_assert(!lumo::namesAscending(kDuplicate), "a slot name appears once");
static_assert(lumo::compareNames("a\x80", "a\x7f") > 0, "bytes compare unsigned");

TEST(ObjectTest, CountFollowsInstAndDelAndIgnoresNull) {
  const int before = ProbeOp.count();
  LumoProbe *a = ProbeOp.inst(1);
  LumoProbe *b = ProbeOp.inst(2);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  EXPECT_EQ(ProbeOp.count(), before + 2);
  EXPECT_EQ(a->count(), before + 2);

  const int dels = probeDels.load();
  ProbeOp.del(nullptr);
  a->del(nullptr);
  EXPECT_EQ(ProbeOp.count(), before + 2);
  EXPECT_EQ(probeDels.load(), dels);

  ProbeOp.del(a);
  EXPECT_EQ(ProbeOp.count(), before + 1);
  b->del(b);
  EXPECT_EQ(ProbeOp.count(), before);
}

TEST(ObjectTest, InstanceCopyAndGlobalTableHaveTheSameEffect) {
  LumoProbe *p = ProbeOp.inst(7);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->getValue(p), 7);
  EXPECT_EQ(ProbeOp.getValue(p), 7);

  p->setValue(p, 11);
  EXPECT_EQ(ProbeOp.getValue(p), 11);
  ProbeOp.setValue(p, 13);
  EXPECT_EQ(p->getValue(p), 13);

  // Every slot but data is a copy of the template, the base defaults included.
  EXPECT_EQ(p->del, ProbeOp.del);
  EXPECT_EQ(p->name, ProbeOp.name);
  EXPECT_EQ(p->inst, ProbeOp.inst);
  EXPECT_EQ(p->serialize(p, nullptr), nullptr);
  EXPECT_EQ(p->clone(p), nullptr);
  EXPECT_EQ(p->toString(p), nullptr);
  EXPECT_FALSE(p->equals(p, p));
  EXPECT_EQ(p->properties(p), nullptr);
  EXPECT_EQ(p->id(p), nullptr);
  EXPECT_EQ(p->event(p, p), nullptr);
  EXPECT_EQ(ProbeOp.data, nullptr);
  p->del(p);
}

TEST(ObjectTest, NameStaysValidAfterTheLastInstanceIsGone) {
  LumoProbe *p = ProbeOp.inst(0);
  ASSERT_NE(p, nullptr);
  const char *fromInstance = p->name();
  p->del(p);
  ASSERT_EQ(ProbeOp.count(), 0);
  EXPECT_STREQ(fromInstance, "OProbe");
  EXPECT_STREQ(ProbeOp.name(), "OProbe");
  EXPECT_EQ(fromInstance, ProbeOp.name());
}

TEST(ObjectTest, DataSlotHoldsTheInstancesOwnRecord) {
  LumoProbe *a = ProbeOp.inst(3);
  LumoProbe *b = ProbeOp.inst(4);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ProbeData *da = static_cast<ProbeData *>(LUMO_DATA(a));
  ASSERT_NE(da, nullptr);
  EXPECT_NE(LUMO_DATA(a), LUMO_DATA(b));
  EXPECT_EQ(da, lumo::dataOf<ProbeData>(a));
  EXPECT_EQ(da->value, 3);
  EXPECT_EQ(da->marker, 0x5A);
  // The record is suitably aligned despite the memory manager's header.
  EXPECT_EQ(reinterpret_cast<uintptr_t>(da) % alignof(std::max_align_t), 0u);
  EXPECT_EQ(lumo::dataOf<ProbeData>(static_cast<LumoProbe *>(nullptr)), nullptr);
  a->del(a);
  b->del(b);
}

TEST(ObjectTest, BlocksAreCountedUnderTheModulesTypeAndReturned) {
  const int typed = MemOp.getAllocCntID(kProbeTid);
  const int blocks = MemOp.getAllocCount();
  const int bytes = MemOp.getAllocSize();
  LumoProbe *p = ProbeOp.inst(5);
  ASSERT_NE(p, nullptr);
  // The instance block and the data record.
  EXPECT_EQ(MemOp.getAllocCntID(kProbeTid), typed + 2);
  EXPECT_EQ(MemOp.getAllocCount(), blocks + 2);
  EXPECT_EQ(MemOp.getAllocSize(),
            bytes + static_cast<int>(sizeof(LumoProbe) + sizeof(ProbeData)) +
                2 * LUMO_MEM_HEADER_SIZE);
  p->del(p);
  EXPECT_EQ(MemOp.getAllocCntID(kProbeTid), typed);
  EXPECT_EQ(MemOp.getAllocCount(), blocks);
  EXPECT_EQ(MemOp.getAllocSize(), bytes);
}

TEST(ObjectTest, FreeObjCallsTheObjectsDelAndClearsTheHandle) {
  LumoProbe *p = ProbeOp.inst(9);
  ASSERT_NE(p, nullptr);
  const int count = ProbeOp.count();
  const int dels = probeDels.load();
  MemOp.freeObj(&p);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(probeDels.load(), dels + 1);
  EXPECT_EQ(ProbeOp.count(), count - 1);

  // A cleared handle and a null handle address are both harmless.
  MemOp.freeObj(&p);
  MemOp.freeObj(nullptr);
  EXPECT_EQ(probeDels.load(), dels + 1);
  EXPECT_EQ(ProbeOp.count(), count - 1);
}

// The counter is shared by every thread that creates objects; a lost update would leave it off.
TEST(ObjectTest, CountStaysExactUnderConcurrentInstAndDel) {
  const int before = ProbeOp.count();
  const int typed = MemOp.getAllocCntID(kProbeTid);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 500; ++i) {
        LumoProbe *p = ProbeOp.inst(i);
        if (p) p->del(p);
      }
    });
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ(ProbeOp.count(), before);
  EXPECT_EQ(MemOp.getAllocCntID(kProbeTid), typed);
}

// The C side returns 0, or the line of the first check that failed.
TEST(ObjectTest, PublicHeadersWorkFromC) { EXPECT_EQ(lumo_c_abi_check(), 0); }

}  // namespace
