// bench: what a parsed tree costs, read from the memory manager's own statistics: tracked bytes
// (requested sizes plus the 20-byte headers) per input byte and tracked blocks per element, for
// the generated corpora. The figures are exact and repeat to the byte, so they need no
// repetitions; built for the target too and run there under an emulator.
//
//   footprint [--size=BYTES] [--corpus=config|small|heldout]
//       prints one JSON object on standard output (every corpus, or the one named); exits 1 when
//       a tree does not hold the generator's elements and attributes. What deleting the tree
//       leaves behind is reported, not judged: a table of names shared across trees may stay.
#include <lumo/doc.h>
#include <lumo/mem.h>
#include <lumo/node.h>
#include <lumo/trace.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "xmlgen.hpp"

namespace {

#if defined(__arm__)
constexpr const char *kArch = "armhf";
#elif defined(__x86_64__)
constexpr const char *kArch = "x86_64";
#elif defined(__aarch64__)
constexpr const char *kArch = "aarch64";
#else
constexpr const char *kArch = "other";
#endif

struct Stats {
  long bytes = 0;
  long blocks = 0;
  int perType[LUMO_MEM_TYPE_COUNT] = {};

  static Stats now() {
    Stats s;
    s.bytes = MemOp.getAllocSize();
    s.blocks = MemOp.getAllocCount();
    for (int t = 0; t < LUMO_MEM_TYPE_COUNT; ++t) s.perType[t] = MemOp.getAllocCntID(t);
    return s;
  }
};

void count(LumoNode *node, long &elements, long &attributes) {
  if (NodeOp.getType(node) != LUMO_NODE_ELEMENT) return;
  elements += 1;
  attributes += NodeOp.getAttrCnt(node);
  int n = NodeOp.getChildCnt(node);
  for (int i = 0; i < n; ++i) count(NodeOp.getChild(node, i), elements, attributes);
}

// Parses the corpus with the tree kept alive (the document record deleted, as a caller that
// takes the root over does), prints its entry and releases it. False when the tree is wrong.
bool measure(const char *name, const bench::GeneratedDoc &g, bool first) {
  Stats before = Stats::now();
  LumoDoc *doc = DocOp.parse(g.text.c_str());
  LumoNode *root = doc ? DocOp.getRootNode(doc) : nullptr;
  if (doc) DocOp.del(doc);
  Stats held = Stats::now();
  long elements = 0, attributes = 0;
  if (root) count(root, elements, attributes);
  NodeOp.del(root);
  Stats after = Stats::now();

  bool treeOk = elements == g.elements && attributes == g.attributes;
  long bytes = held.bytes - before.bytes;
  long blocks = held.blocks - before.blocks;
  std::printf("%s    \"%s\": {\"input_bytes\": %zu, \"elements\": %ld, \"attributes\": %ld, "
              "\"tracked_bytes\": %ld, \"tracked_blocks\": %ld, \"bytes_per_input_byte\": %.3f, "
              "\"blocks_per_element\": %.3f, \"left_bytes\": %ld, \"left_blocks\": %ld, "
              "\"blocks_by_type\": {",
              first ? "" : ",\n", name, g.text.size(), elements, attributes, bytes, blocks,
              static_cast<double>(bytes) / static_cast<double>(g.text.size()),
              elements ? static_cast<double>(blocks) / static_cast<double>(elements) : 0.0,
              after.bytes - before.bytes, after.blocks - before.blocks);
  const char *sep = "";
  for (int t = 0; t < LUMO_MEM_TYPE_COUNT; ++t) {
    int d = held.perType[t] - before.perType[t];
    if (d == 0) continue;
    std::printf("%s\"%d\": %d", sep, t, d);
    sep = ", ";
  }
  std::printf("}}");
  if (!treeOk)
    std::fprintf(stderr, "footprint: %s counted %ld elements / %ld attributes, expected %ld / %ld\n",
                 name, elements, attributes, g.elements, g.attributes);
  return treeOk;
}

}  // namespace

int main(int argc, char **argv) {
  size_t size = 1u << 20;
  std::string only;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--size=", 7) == 0) {
      size = std::strtoul(argv[i] + 7, nullptr, 10);
    } else if (std::strncmp(argv[i], "--corpus=", 9) == 0) {
      only = argv[i] + 9;
    } else {
      std::fprintf(stderr, "usage: footprint [--size=BYTES] [--corpus=config|small|heldout]\n");
      return 2;
    }
  }
  // As in the hub: a default trace of levels E, I and W, neither echo nor file. It is made
  // before the first reading, so only the trees are counted.
  TraceOp.inst(LUMO_TRC_E | LUMO_TRC_I | LUMO_TRC_W, nullptr, 0);
  std::printf("{\"arch\": \"%s\", \"pointer_bytes\": %zu, \"corpora\": {\n", kArch, sizeof(void *));
  bool ok = true, first = true;
  auto corpus = [&](const char *name, bench::GeneratedDoc (*make)(size_t)) {
    if (!only.empty() && only != name) return;
    ok &= measure(name, make(size), first);
    first = false;
  };
  corpus("config", [](size_t n) { return bench::generate(n); });
  corpus("small", bench::generateSmall);
  corpus("heldout", [](size_t n) { return bench::generateHeldOut(n); });
  if (first) {
    std::fprintf(stderr, "footprint: no corpus named %s\n", only.c_str());
    ok = false;
  }
  std::printf("\n}}\n");
  return ok ? 0 : 1;
}
