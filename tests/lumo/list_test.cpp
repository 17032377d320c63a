// List: capacity steps seen through the memory manager's byte count, positional edits, the
// cursor, out-of-range records heard by a trace listener, sorting and cloning.
#include <gtest/gtest.h>
#include <lumo/list.h>
#include <lumo/mem.h>
#include <lumo/trace.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/testutil.hpp"

namespace {

struct Heard {
  int level;
  std::string text;
  std::string object;
};
std::vector<Heard> heard;

int listen(int level, const char *text, int, const char *object) {
  heard.push_back({level, text, object});
  return 0;
}

// A quiet default trace: E and W still reach the listener.
class ListTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!TraceOp.get()) TraceOp.inst(0, nullptr, 0);
    TraceOp.setExceptionListener(nullptr, listen, 0);
  }
  void SetUp() override {
    heard.clear();
    lists.note({LUMO_TID_LIST});
  }
  void TearDown() override { lists.expectUnchanged(); }
  BlockCounts lists;
};

// Slots of a list's item array: the only block of the list whose size changes after inst.
struct Slots {
  explicit Slots(LumoList *l) : list(l), bytesAtInst(MemOp.getAllocSize()) {}
  int operator()() const {
    return 20 + (MemOp.getAllocSize() - bytesAtInst) / static_cast<int>(sizeof(void *));
  }
  LumoList *list;
  int bytesAtInst;
};

int element[100];

std::vector<void *> contents(LumoList *l) {
  std::vector<void *> v;
  for (int i = 0; i < ListOp.size(l); ++i) v.push_back(ListOp.get(l, i));
  return v;
}

TEST_F(ListTest, CapacityGrowsAtEveryTwentiethElementAndNeverShrinksBelowSixty) {
  LumoList *l = ListOp.inst();
  Slots slots(l);
  for (int i = 0; i < 19; ++i) ListOp.add(l, &element[i]);
  EXPECT_EQ(slots(), 20);
  ListOp.add(l, &element[19]);
  EXPECT_EQ(slots(), 40);
  for (int i = 20; i < 39; ++i) ListOp.insert(l, ListOp.size(l), &element[i]);
  EXPECT_EQ(slots(), 40);
  ListOp.insert(l, 0, &element[39]);
  EXPECT_EQ(slots(), 60);
  for (int i = 40; i < 60; ++i) ListOp.add(l, &element[i]);
  EXPECT_EQ(slots(), 80);
  EXPECT_EQ(ListOp.remove(l, 59), &element[59]);
  EXPECT_EQ(slots(), 60);
  while (ListOp.size(l) > 0) ListOp.remove(l, ListOp.size(l) - 1);
  EXPECT_EQ(slots(), 60);

  for (int i = 0; i < 30; ++i) ListOp.add(l, &element[i]);
  ListOp.clear(l);
  EXPECT_EQ(ListOp.size(l), 0);
  EXPECT_EQ(slots(), 60);
  ListOp.del(l);
}

TEST_F(ListTest, EditsMoveTheFollowingElements) {
  LumoList *l = ListOp.inst();
  ListOp.add(l, &element[0]);
  ListOp.add(l, &element[2]);
  ListOp.insert(l, 1, &element[1]);
  ListOp.insert(l, 3, &element[3]);
  ListOp.add(l, &element[1]);
  EXPECT_EQ(contents(l),
            (std::vector<void *>{&element[0], &element[1], &element[2], &element[3], &element[1]}));
  EXPECT_EQ(ListOp.removeObj(l, &element[1]), &element[1]);  // the first identical one only
  EXPECT_EQ(ListOp.remove(l, 0), &element[0]);
  ListOp.replace(l, 1, &element[9]);
  EXPECT_EQ(contents(l), (std::vector<void *>{&element[2], &element[9], &element[1]}));
  EXPECT_EQ(ListOp.removeObj(l, &element[3]), nullptr);

  char a[] = "same", b[] = "same";
  ListOp.add(l, a);
  EXPECT_TRUE(ListOp.hasObj(l, a));
  EXPECT_FALSE(ListOp.hasObj(l, b));  // identity, not contents
  EXPECT_TRUE(heard.empty());
  ListOp.del(l);
}

TEST_F(ListTest, OutOfRangePositionsAreTracedAndChangeNothing) {
  LumoList *l = ListOp.inst();
  ListOp.add(l, &element[0]);
  ListOp.add(l, &element[1]);
  ListOp.insert(l, 3, &element[2]);
  ListOp.insert(l, -1, &element[2]);
  EXPECT_EQ(ListOp.remove(l, 2), nullptr);
  EXPECT_EQ(ListOp.get(l, -1), nullptr);
  ListOp.replace(l, 2, &element[2]);
  EXPECT_EQ(contents(l), (std::vector<void *>{&element[0], &element[1]}));
  std::vector<std::string> texts;
  for (const Heard &h : heard) {
    EXPECT_EQ(h.level, LUMO_TRC_E);
    EXPECT_EQ(h.object, "OList");
    texts.push_back(h.text);
  }
  EXPECT_EQ(texts, (std::vector<std::string>{
                       "insert list out of range: 3 > 2", "insert list out of range: -1 > 2",
                       "remove list out of range: 2 > 2", "get list out of range: -1 > 2",
                       "replace list out of range: 2 >= 2"}));
  ListOp.del(l);
}

TEST_F(ListTest, CursorStaysOnTheLastElementAndRemoveDoesNotMoveIt) {
  LumoList *l = ListOp.inst();
  EXPECT_EQ(ListOp.first(l), nullptr);
  EXPECT_EQ(ListOp.getIndex(l), 0);
  for (int i = 0; i < 4; ++i) ListOp.add(l, &element[i]);
  EXPECT_EQ(ListOp.first(l), &element[0]);
  EXPECT_EQ(ListOp.next(l), &element[1]);
  EXPECT_EQ(ListOp.remove(l, ListOp.getIndex(l)), &element[1]);
  EXPECT_EQ(ListOp.next(l), &element[3]);  // element 2 moved into the cursor's slot
  EXPECT_EQ(ListOp.next(l), nullptr);
  EXPECT_EQ(ListOp.getIndex(l), 2);
  ListOp.del(l);
}

int byText(const void *a, const void *b) {
  return std::strcmp(*static_cast<char *const *>(a), *static_cast<char *const *>(b));
}

TEST_F(ListTest, SortOrdersByTheComparatorAndKeepsTheArray) {
  const char *words[] = {"pear", "apple", "fig", "kiwi", "date"};
  LumoList *l = ListOp.inst();
  for (int i = 0; i < 45; ++i) ListOp.add(l, const_cast<char *>(words[i % 5]));
  int blocks = MemOp.getAllocCount(), bytes = MemOp.getAllocSize();
  ListOp.sort(l, byText);
  EXPECT_EQ(MemOp.getAllocCount(), blocks);  // the temporary array is gone
  EXPECT_EQ(MemOp.getAllocSize(), bytes);    // and the capacity is what it was
  ASSERT_EQ(ListOp.size(l), 45);
  for (int i = 1; i < 45; ++i)
    EXPECT_LE(std::strcmp(static_cast<char *>(ListOp.get(l, i - 1)),
                          static_cast<char *>(ListOp.get(l, i))),
              0);
  EXPECT_STREQ(static_cast<char *>(ListOp.get(l, 0)), "apple");

  ListOp.sort(nullptr, byText);
  ASSERT_EQ(heard.size(), 1u);
  EXPECT_EQ(heard[0].level, LUMO_TRC_W);
  EXPECT_EQ(heard[0].text, "inst == NULL");
  ListOp.del(l);
}

TEST_F(ListTest, CloneHoldsTheSamePointersIndependently) {
  int lists = ListOp.count();
  LumoList *l = ListOp.inst();
  for (int i = 0; i < 25; ++i) ListOp.add(l, &element[i]);
  LumoList *c = l->clone(l);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(ListOp.count(), lists + 2);
  EXPECT_EQ(contents(c), contents(l));
  ListOp.add(c, &element[30]);
  EXPECT_EQ(ListOp.size(l), 25);
  ListOp.del(c);
  ListOp.del(l);
  EXPECT_EQ(ListOp.count(), lists);
}

}  // namespace
