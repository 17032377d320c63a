// Work over outside input grows in proportion to it: documents whose attribute names collide
// under a fixed hash, converter files and command lines with many entries, walks and merges over
// nodes with many children, token lists. Each case times n and 4n items (or hostile against
// ordinary input of the same size): a rescan inside a loop shows as a sixteen-fold step, where
// linear work takes four.
#include <gtest/gtest.h>
#include <lumo/cmdln.h>
#include <lumo/doc.h>
#include <lumo/ebcdic.h>
#include <lumo/node.h>
#include <lumo/str.h>
#include <lumo/strtok.h>
#include <lumo/trace.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <cstdio>
#include <random>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "support/testutil.hpp"

namespace {

// The best of three runs, so that a busy machine slows a run but not the verdict.
template <class Fn>
double seconds(Fn fn) {
  double best = 1e9;
  for (int i = 0; i < 3; ++i) {
    auto start = std::chrono::steady_clock::now();
    fn();
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
  }
  return best;
}

// fn(n) sets up untimed and returns the work to time.
template <class Setup>
void expectLinear(const char *what, int n, Setup setup) {
  double small = 0, large = 0;
  {
    auto work = setup(n);
    small = seconds(work);
  }
  {
    auto work = setup(4 * n);
    large = seconds(work);
  }
  EXPECT_LT(large, 8 * small + 0.02)
      << what << ": " << small << " s for " << n << " items, " << large << " s for " << 4 * n;
}

// Traces at level W and above only, so that formatting records does not hide the work.
class InputScalingTest : public ::testing::Test {
 protected:
  ScopedTrace trace_{LUMO_TRC_W, 0};
};

unsigned fnv1a(unsigned h, const std::string &text) {
  for (unsigned char c : text) h = (h ^ c) * 16777619u;
  return h;
}

constexpr unsigned kLow16 = 0xFFFF;

// 2^stages names of one length whose FNV-1a hashes agree in their low 16 bits, which pick the
// slot in any table of up to 65536 slots: each stage appends one of two blocks that take the
// common state to the same next state (the low bits of the state depend on its low bits only).
// Any fixed, unkeyed hash admits such a family; this one is the widespread FNV-1a.
std::vector<std::string> collidingNames(int stages) {
  std::mt19937 rng(7);
  unsigned state = 2166136261u & kLow16;
  std::vector<std::string> names{""};
  for (int s = 0; s < stages; ++s) {
    std::unordered_map<unsigned, std::string> seen;
    for (;;) {
      std::string block(4, 'a');
      for (char &c : block) c = static_cast<char>('a' + rng() % 26);
      unsigned h = fnv1a(state, block) & kLow16;
      auto found = seen.emplace(h, block);
      if (found.second || found.first->second == block) continue;
      std::vector<std::string> next;
      for (const std::string &n : names) {
        next.push_back(n + found.first->second);
        next.push_back(n + block);
      }
      names.swap(next);
      state = h;
      break;
    }
  }
  return names;
}

std::string elementWith(const std::vector<std::string> &names) {
  std::string xml = "<a";
  for (const std::string &n : names) xml += " " + n + "=\"\"";
  return xml + "/>";
}

TEST_F(InputScalingTest, AttributeNamesThatCollideUnderAFixedHashParseAsFastAsOthers) {
  std::vector<std::string> colliding = collidingNames(13);
  ASSERT_EQ(fnv1a(2166136261u, colliding.front()) & kLow16,
            fnv1a(2166136261u, colliding.back()) & kLow16);
  std::mt19937 rng(11);
  std::vector<std::string> ordinary(colliding.size(), std::string(colliding[0].size(), 'a'));
  for (std::string &n : ordinary)
    for (char &c : n) c = static_cast<char>('a' + rng() % 26);
  std::string hostile = elementWith(colliding), plain = elementWith(ordinary);
  auto parse = [](const std::string &xml) {
    LumoDoc *doc = DocOp.parse(xml.c_str());
    LumoNode *root = DocOp.getRootNode(doc);
    int count = NodeOp.getAttrCnt(root);
    NodeOp.del(root);
    DocOp.del(doc);
    return count;
  };
  ASSERT_EQ(parse(hostile), static_cast<int>(colliding.size()));
  double ordinaryTime = seconds([&] { parse(plain); });
  double hostileTime = seconds([&] { parse(hostile); });
  EXPECT_LT(hostileTime, 4 * ordinaryTime + 0.02)
      << colliding.size() << " colliding names: " << hostileTime << " s, ordinary names "
      << ordinaryTime << " s";

  // Every one of them is still found under its own name.
  LumoDoc *doc = DocOp.parse(hostile.c_str());
  LumoNode *root = DocOp.getRootNode(doc);
  for (const std::string &n : colliding)
    ASSERT_EQ(AttrOp.getName(NodeOp.findAttr(root, n.c_str())), n);
  NodeOp.del(root);
  DocOp.del(doc);
}

TEST_F(InputScalingTest, ConverterFilesLoadInTimeProportionalToTheirMappings) {
  TempDir dir("scaling");
  ASSERT_TRUE(dir.made());
  std::string path = dir.at("conv.xml");
  // Mostly entries without mappings: reading them is cheap, walking to them is what counts.
  expectLinear("converter file", 20000, [&path](int n) {
    std::string xml = "<table>\n";
    for (int i = 0; i < n; ++i)
      xml += i % 64 ? std::string("<conv/>\n")
                    : "<conv ebcdic=\"" + std::to_string(1 + i % 255) + "\" latin1=\"" +
                          std::to_string(1 + (i * 7) % 255) + "\"/>\n";
    xml += "</table>\n";
    writeFile(path, xml);
    return [&path] { EbcdicOp.del(EbcdicOp.inst(1252, path.c_str())); };
  });
}

// The argument vector of n options with values, as main receives it.
struct Arguments {
  explicit Arguments(int n) {
    texts.push_back("qivhub");
    for (int i = 0; i < n; ++i) {
      texts.push_back("-option" + std::to_string(i));
      texts.push_back("value" + std::to_string(i));
    }
    for (std::string &t : texts) argv.push_back(&t[0]);
  }
  std::vector<std::string> texts;
  std::vector<char *> argv;
};

TEST_F(InputScalingTest, CommandLinesParseInTimeProportionalToTheirArguments) {
  expectLinear("command line", 5000, [](int n) {
    auto args = std::make_shared<Arguments>(n);
    return [args] {
      LumoCmdLn *p = CmdLnOp.inst(static_cast<int>(args->argv.size()), args->argv.data());
      EXPECT_STREQ(CmdLnOp.getStr(p, "-option0"), "value0");
      CmdLnOp.del(p);
    };
  });
}

TEST_F(InputScalingTest, TokenListsAreRewrittenInTimeProportionalToTheirLength) {
  expectLinear("replaceAll", 20000, [](int n) {
    auto text = std::make_shared<std::string>();
    for (int i = 0; i < n; ++i) *text += (i ? ";" : "") + std::string(i % 3 ? "b" : "a");
    return [text] { StrOp.freeStr(StrTokOp.replaceAll(text->c_str(), ';', "a", "x")); };
  });
}

// A node with n children of one name, walked as the schema accessors and the converter loader
// walk them: findNode, then findNextNode on each result.
TEST_F(InputScalingTest, WalkingTheChildrenOfOneNameIsLinear) {
  expectLinear("findNextNode walk", 20000, [](int n) {
    std::shared_ptr<LumoNode> node(NodeOp.inst("list", nullptr, 0), NodeOp.del);
    for (int i = 0; i < n; ++i) NodeOp.addChild(node.get(), NodeOp.inst(i % 2 ? "c" : "d", nullptr, 0));
    return [node, n] {
      int seen = 0;
      for (LumoNode *c = NodeOp.findNode(node.get(), "c"); c; c = NodeOp.findNextNode(node.get(), c))
        ++seen;
      EXPECT_EQ(seen, n / 2);
    };
  });
}

// Every child of the source is looked up by name among the target's children, which grow as the
// missing ones are appended.
TEST_F(InputScalingTest, MergingManyChildrenIsLinear) {
  expectLinear("mergeNode", 4000, [](int n) {
    std::shared_ptr<LumoNode> source(NodeOp.inst("s", nullptr, 0), NodeOp.del);
    for (int i = 0; i < n; ++i)
      NodeOp.addChild(source.get(), NodeOp.inst(("c" + std::to_string(i)).c_str(), nullptr, 0));
    return [source, n] {
      LumoNode *target = NodeOp.inst("s", nullptr, 0);
      NodeOp.mergeNode(target, source.get(), 1, 1, 0, 0);
      EXPECT_EQ(NodeOp.getChildCnt(target), n);
      NodeOp.del(target);
    };
  });
}

// With the ignore-case switch on, every attribute of the source is looked up among the target's
// attributes by a comparison that no exact-name index answers.
TEST_F(InputScalingTest, MergingManyAttributesIgnoringCaseIsLinear) {
  DocOp.setIgnoreCase(1);
  expectLinear("mergeNode ignoring case", 4000, [](int n) {
    std::shared_ptr<LumoNode> source(NodeOp.inst("s", nullptr, 0), NodeOp.del);
    for (int i = 0; i < n; ++i) NodeOp.addAttr(source.get(), AttrOp.inst(("A" + std::to_string(i)).c_str(), "v"));
    return [source, n] {
      LumoNode *target = NodeOp.inst("s", nullptr, 0);
      NodeOp.setStr(target, "a0", "old");
      NodeOp.mergeNode(target, source.get(), 1, 0, 0, 0);
      EXPECT_EQ(NodeOp.getAttrCnt(target), n);
      EXPECT_STREQ(NodeOp.getStr(target, "a0", nullptr), "v");
      NodeOp.del(target);
    };
  });
  DocOp.setIgnoreCase(0);
}

}  // namespace
