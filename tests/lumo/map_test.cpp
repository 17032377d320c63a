// Map: buckets seen through the map's level-D records on the console, iteration order,
// replacing, the empty and the null key, and the memory the map gives back.
#include <gtest/gtest.h>
#include <lumo/map.h>
#include <lumo/mem.h>
#include <lumo/str.h>
#include <lumo/trace.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/testutil.hpp"

namespace {

// Level D is in the default trace's mask; echo is on only while a test captures the console.
class MapTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!TraceOp.get()) TraceOp.inst(LUMO_TRC_D, nullptr, 0);
    TraceOp.setLevel(nullptr, LUMO_TRC_D);
  }
  void SetUp() override {
    blocks.note({LUMO_TID_MAP, LUMO_TID_LIST, LUMO_TID_STRING});
    map = MapOp.inst();
  }
  void TearDown() override {
    MapOp.del(map);
    blocks.expectUnchanged();
  }

  // key=value pairs in iteration order.
  std::vector<std::string> walk() {
    std::vector<std::string> seen;
    char *key = nullptr;
    for (void *v = MapOp.first2key(map, &key); v; v = MapOp.next2key(map, &key))
      seen.push_back(std::string(key) + "=" + static_cast<char *>(v));
    return seen;
  }

  BlockCounts blocks;
  LumoMap *map = nullptr;
};

char one[] = "1", two[] = "2", three[] = "3";

TEST_F(MapTest, KeysLandInTheirBuckets) {
  std::string out = echoOf([&] {
    MapOp.put(map, "Aa", one);
    MapOp.put(map, "BB", two);
    EXPECT_EQ(MapOp.get(map, "Aa"), one);
    EXPECT_EQ(MapOp.get(map, "BB"), two);
    MapOp.put(map, "abcdefghij", three);
    EXPECT_TRUE(MapOp.haskey(map, "abcdefghij"));
    MapOp.put(map, "\xE9", one);
    EXPECT_EQ(MapOp.get(map, "\xE9"), one);
  });
  for (const char *expected :
       {"OMap     ", "addMapItem(): *MULTIPLE* hashVal = 86, key = BB\n",
        "findMapItem(): hashVal = 86, key = Aa\n", "findMapItem(): hashVal = 86, key = BB\n",
        "findMapItem(): hashVal = 914, key = abcdefghij\n",
        "findMapItem(): hashVal = 233, key = \xE9\n"})
    EXPECT_NE(out.find(expected), std::string::npos) << expected << " in\n" << out;
  EXPECT_EQ(out.find("*MULTIPLE* hashVal = 86, key = Aa"), std::string::npos);
  EXPECT_EQ(MapOp.size(map), 4);
}

TEST_F(MapTest, IterationRunsByBucketThenByInsertion) {
  MapOp.put(map, "b", two);
  MapOp.put(map, "a", one);
  MapOp.put(map, "BB", three);
  MapOp.put(map, "Aa", one);
  EXPECT_EQ(walk(), (std::vector<std::string>{"BB=3", "Aa=1", "a=1", "b=2"}));
  EXPECT_EQ(MapOp.next(map), nullptr);

  LumoList *values = MapOp.getList(map);
  ASSERT_NE(values, nullptr);
  ASSERT_EQ(ListOp.size(values), 4);
  EXPECT_EQ(ListOp.get(values, 0), three);
  EXPECT_EQ(ListOp.get(values, 3), two);
  ListOp.del(values);
  EXPECT_EQ(MapOp.first(map), three);
}

TEST_F(MapTest, ReplacingAKeyMovesItToTheEndOfItsBucket) {
  MapOp.put(map, "Aa", one);
  MapOp.put(map, "BB", two);
  std::string out = echoOf([&] { MapOp.put(map, "Aa", three); });
  EXPECT_NE(out.find("replace existing object with key [Aa]"), std::string::npos) << out;
  EXPECT_EQ(MapOp.size(map), 2);
  EXPECT_EQ(walk(), (std::vector<std::string>{"BB=2", "Aa=3"}));
}

TEST_F(MapTest, EmptyKeyIsStoredButNotFetchedAndNullKeyIsIgnored) {
  MapOp.put(map, "", one);
  EXPECT_TRUE(MapOp.haskey(map, ""));
  EXPECT_EQ(MapOp.get(map, ""), nullptr);
  MapOp.put(map, nullptr, two);
  EXPECT_FALSE(MapOp.haskey(map, nullptr));
  EXPECT_EQ(MapOp.get(map, nullptr), nullptr);
  EXPECT_EQ(MapOp.remove(map, nullptr), nullptr);
  EXPECT_EQ(MapOp.size(map), 1);
  EXPECT_EQ(MapOp.remove(map, ""), one);
  EXPECT_EQ(MapOp.size(map), 0);
}

TEST_F(MapTest, KeysAreCopiedAndRemovingGivesBackTheValue) {
  char key[] = "key";
  MapOp.put(map, key, one);
  key[0] = 'x';
  EXPECT_EQ(MapOp.get(map, "key"), one);
  char *stored = nullptr;
  EXPECT_EQ(MapOp.first2key(map, &stored), one);
  EXPECT_NE(stored, key);
  EXPECT_STREQ(stored, "key");

  EXPECT_EQ(MapOp.remove(map, "xey"), nullptr);
  EXPECT_EQ(MapOp.remove(map, "Key"), nullptr);  // case counts
  EXPECT_EQ(MapOp.size(map), 1);
  EXPECT_EQ(MapOp.remove(map, "key"), one);
  EXPECT_EQ(MapOp.size(map), 0);
  EXPECT_EQ(MapOp.first(map), nullptr);
  // The empty bucket's list is gone.
  EXPECT_EQ(MemOp.getAllocCntID(LUMO_TID_LIST), blocks.at(LUMO_TID_LIST));
}

TEST_F(MapTest, ClearReleasesEntriesButNotValues) {
  char values[50][8];
  for (int i = 0; i < 50; ++i) {
    std::snprintf(values[i], sizeof values[i], "v%d", i);
    MapOp.put(map, values[i], values[i]);
  }
  EXPECT_EQ(MapOp.size(map), 50);
  MapOp.clear(map);
  EXPECT_EQ(MapOp.size(map), 0);
  EXPECT_EQ(MapOp.first(map), nullptr);
  EXPECT_STREQ(values[49], "v49");
  EXPECT_EQ(MemOp.getAllocCntID(LUMO_TID_MAP), blocks.at(LUMO_TID_MAP) + 2);  // the map only
}

}  // namespace
