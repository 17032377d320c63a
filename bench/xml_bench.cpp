// bench: XML parse + free and serialization of the same generated documents with the document
// model and with libxml2, tinyxml2 and pugixml, and parse + free of the held-out corpus. Before
// timing, every parser's tree is counted (elements and element attributes) and must match the
// generator's counts.
//
//   xml_bench [google benchmark flags]   the timed runs
//   xml_bench --rss=<lumo|libxml2|tinyxml2|pugixml>
//                                         peak resident-set growth of one 10 MB parse (KiB),
//                                         measured in this fresh process
#include <benchmark/benchmark.h>

#include <lumo/doc.h>
#include <lumo/node.h>
#include <lumo/str.h>
#include <lumo/trace.h>

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <pugixml.hpp>
#include <tinyxml2.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <utility>
#include <string>

#include "xmlgen.hpp"

namespace {

enum Corpus { kConfig, kHeldOut };

const bench::GeneratedDoc &docOfSize(long bytes, Corpus corpus = kConfig) {
  static std::map<std::pair<int, long>, bench::GeneratedDoc> docs;
  auto key = std::make_pair(static_cast<int>(corpus), bytes);
  auto it = docs.find(key);
  if (it == docs.end()) {
    size_t n = static_cast<size_t>(bytes);
    it = docs.emplace(key, corpus == kConfig ? bench::generate(n) : bench::generateHeldOut(n)).first;
  }
  return it->second;
}

struct Counts {
  long elements = 0;
  long attributes = 0;
};

// ---- the document model ----

void countLumo(LumoNode *node, Counts &c) {
  if (NodeOp.getType(node) != LUMO_NODE_ELEMENT) return;  // comments, instructions
  c.elements += 1;
  c.attributes += NodeOp.getAttrCnt(node);
  int n = NodeOp.getChildCnt(node);
  for (int i = 0; i < n; ++i) countLumo(NodeOp.getChild(node, i), c);
}

LumoNode *parseLumo(const std::string &text) {
  LumoDoc *doc = DocOp.parse(text.c_str());
  if (!doc) return nullptr;
  LumoNode *root = DocOp.getRootNode(doc);
  DocOp.del(doc);
  return root;
}

// ---- libxml2 ----

void countXml2(xmlNode *node, Counts &c) {
  for (; node; node = node->next) {
    if (node->type != XML_ELEMENT_NODE) continue;
    c.elements += 1;
    for (xmlAttr *a = node->properties; a; a = a->next) c.attributes += 1;
    countXml2(node->children, c);
  }
}

// XML_PARSE_HUGE: without it libxml2 refuses a 10 MB document when its look-ahead reaches 10 MB
// inside a start tag. It only lifts limits; the work per byte is the same.
xmlDoc *parseXml2(const std::string &text) {
  return xmlReadMemory(text.data(), static_cast<int>(text.size()), "bench.xml", nullptr,
                       XML_PARSE_HUGE);
}

// ---- tinyxml2 ----

void countTiny(const tinyxml2::XMLElement *e, Counts &c) {
  for (; e; e = e->NextSiblingElement()) {
    c.elements += 1;
    for (const tinyxml2::XMLAttribute *a = e->FirstAttribute(); a; a = a->Next()) c.attributes += 1;
    countTiny(e->FirstChildElement(), c);
  }
}

// ---- pugixml ----

void countPugi(pugi::xml_node node, Counts &c) {
  for (; node; node = node.next_sibling()) {
    if (node.type() != pugi::node_element) continue;
    c.elements += 1;
    for (pugi::xml_attribute a = node.first_attribute(); a; a = a.next_attribute()) c.attributes += 1;
    countPugi(node.first_child(), c);
  }
}

struct StringWriter : pugi::xml_writer {
  std::string out;
  void write(const void *data, size_t size) override {
    out.append(static_cast<const char *>(data), size);
  }
};

// ---- result check ----

bool checkCounts(const char *lib, long size, const bench::GeneratedDoc &g, const Counts &c) {
  if (c.elements == g.elements && c.attributes == g.attributes) return true;
  std::fprintf(stderr, "xml_bench: %s on %ld bytes counted %ld elements / %ld attributes, "
                       "expected %ld / %ld\n",
               lib, size, c.elements, c.attributes, g.elements, g.attributes);
  return false;
}

bool verifyAll() {
  bool ok = true;
  for (auto [corpus, size] : {std::pair{kConfig, 100L << 10}, {kConfig, 1L << 20},
                              {kConfig, 10L << 20}, {kHeldOut, 100L << 10}, {kHeldOut, 1L << 20},
                              {kHeldOut, 10L << 20}}) {
    const bench::GeneratedDoc &g = docOfSize(size, corpus);
    {
      Counts c;
      LumoNode *root = parseLumo(g.text);
      if (root) countLumo(root, c);
      ok &= checkCounts("lumo", size, g, c);
      NodeOp.del(root);
    }
    {
      Counts c;
      xmlDoc *doc = parseXml2(g.text);
      if (doc) countXml2(xmlDocGetRootElement(doc), c);
      ok &= checkCounts("libxml2", size, g, c);
      xmlFreeDoc(doc);
    }
    {
      Counts c;
      tinyxml2::XMLDocument doc;
      doc.Parse(g.text.data(), g.text.size());
      countTiny(doc.RootElement(), c);
      ok &= checkCounts("tinyxml2", size, g, c);
    }
    {
      Counts c;
      pugi::xml_document doc;
      doc.load_buffer(g.text.data(), g.text.size());
      countPugi(doc.first_child(), c);
      ok &= checkCounts("pugixml", size, g, c);
    }
  }
  return ok;
}

// ---- parse + free ----

void setCounters(benchmark::State &state, const bench::GeneratedDoc &g) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(g.text.size()));
  state.counters["elements"] = static_cast<double>(g.elements);
  state.counters["attributes"] = static_cast<double>(g.attributes);
}

template <Corpus C>
void parseLumoBench(benchmark::State &state) {
  const bench::GeneratedDoc &g = docOfSize(state.range(0), C);
  for (auto _ : state) {
    LumoNode *root = parseLumo(g.text);
    benchmark::DoNotOptimize(root);
    NodeOp.del(root);
  }
  setCounters(state, g);
}

template <Corpus C>
void parseXml2Bench(benchmark::State &state) {
  const bench::GeneratedDoc &g = docOfSize(state.range(0), C);
  for (auto _ : state) {
    xmlDoc *doc = parseXml2(g.text);
    benchmark::DoNotOptimize(doc);
    xmlFreeDoc(doc);
  }
  setCounters(state, g);
}

template <Corpus C>
void parseTinyBench(benchmark::State &state) {
  const bench::GeneratedDoc &g = docOfSize(state.range(0), C);
  for (auto _ : state) {
    tinyxml2::XMLDocument doc;
    doc.Parse(g.text.data(), g.text.size());
    benchmark::DoNotOptimize(doc.RootElement());
  }
  setCounters(state, g);
}

template <Corpus C>
void parsePugiBench(benchmark::State &state) {
  const bench::GeneratedDoc &g = docOfSize(state.range(0), C);
  for (auto _ : state) {
    pugi::xml_document doc;
    doc.load_buffer(g.text.data(), g.text.size());
    benchmark::DoNotOptimize(doc.first_child());
  }
  setCounters(state, g);
}

// ---- serialization of the parsed trees (throughput counted in bytes of the source document) ----

void BM_Write_lumo(benchmark::State &state) {
  const bench::GeneratedDoc &g = docOfSize(state.range(0));
  LumoNode *root = parseLumo(g.text);
  size_t out = 0;
  for (auto _ : state) {
    char *text = DocOp.node2String(root, 1);
    out = std::strlen(text);
    StrOp.freeStr(text);
  }
  NodeOp.del(root);
  setCounters(state, g);
  state.counters["output_bytes"] = static_cast<double>(out);
}

void BM_Write_libxml2(benchmark::State &state) {
  const bench::GeneratedDoc &g = docOfSize(state.range(0));
  xmlDoc *doc = parseXml2(g.text);
  int out = 0;
  for (auto _ : state) {
    xmlChar *text = nullptr;
    xmlDocDumpMemory(doc, &text, &out);
    benchmark::DoNotOptimize(text);
    xmlFree(text);
  }
  xmlFreeDoc(doc);
  setCounters(state, g);
  state.counters["output_bytes"] = out;
}

void BM_Write_tinyxml2(benchmark::State &state) {
  const bench::GeneratedDoc &g = docOfSize(state.range(0));
  tinyxml2::XMLDocument doc;
  doc.Parse(g.text.data(), g.text.size());
  int out = 0;
  for (auto _ : state) {
    tinyxml2::XMLPrinter printer;
    doc.Print(&printer);
    out = printer.CStrSize();
    benchmark::DoNotOptimize(printer.CStr());
  }
  setCounters(state, g);
  state.counters["output_bytes"] = out;
}

void BM_Write_pugixml(benchmark::State &state) {
  const bench::GeneratedDoc &g = docOfSize(state.range(0));
  pugi::xml_document doc;
  doc.load_buffer(g.text.data(), g.text.size());
  size_t out = 0;
  for (auto _ : state) {
    StringWriter w;
    doc.save(w);
    out = w.out.size();
    benchmark::DoNotOptimize(w.out.data());
  }
  setCounters(state, g);
  state.counters["output_bytes"] = static_cast<double>(out);
}

#define XML_SIZES ->Arg(100 << 10)->Arg(1 << 20)->Arg(10 << 20)->Unit(benchmark::kMillisecond)
BENCHMARK_TEMPLATE(parseLumoBench, kConfig)->Name("BM_Parse_lumo") XML_SIZES;
BENCHMARK_TEMPLATE(parseXml2Bench, kConfig)->Name("BM_Parse_libxml2") XML_SIZES;
BENCHMARK_TEMPLATE(parseTinyBench, kConfig)->Name("BM_Parse_tinyxml2") XML_SIZES;
BENCHMARK_TEMPLATE(parsePugiBench, kConfig)->Name("BM_Parse_pugixml") XML_SIZES;
BENCHMARK_TEMPLATE(parseLumoBench, kHeldOut)->Name("BM_ParseHeldOut_lumo") XML_SIZES;
BENCHMARK_TEMPLATE(parseXml2Bench, kHeldOut)->Name("BM_ParseHeldOut_libxml2") XML_SIZES;
BENCHMARK_TEMPLATE(parseTinyBench, kHeldOut)->Name("BM_ParseHeldOut_tinyxml2") XML_SIZES;
BENCHMARK_TEMPLATE(parsePugiBench, kHeldOut)->Name("BM_ParseHeldOut_pugixml") XML_SIZES;
BENCHMARK(BM_Write_lumo) XML_SIZES;
BENCHMARK(BM_Write_libxml2) XML_SIZES;
BENCHMARK(BM_Write_tinyxml2) XML_SIZES;
BENCHMARK(BM_Write_pugixml) XML_SIZES;

// ---- peak resident-set growth ----

long statusKiB(const char *field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  size_t n = std::strlen(field);
  while (std::getline(in, line))
    if (line.compare(0, n, field) == 0) return std::atol(line.c_str() + n + 1);
  return -1;
}

int rssMode(const std::string &lib) {
  const bench::GeneratedDoc &g = docOfSize(10L << 20);
  // Resets the peak to the present resident set, so the peak after the parse is the parse's own.
  {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
  }
  long before = statusKiB("VmRSS:");
  Counts c;
  if (lib == "lumo") {
    LumoNode *root = parseLumo(g.text);
    if (root) countLumo(root, c);
    long peak = statusKiB("VmHWM:");
    NodeOp.del(root);
    std::printf("%ld\n", peak - before);
  } else if (lib == "libxml2") {
    xmlDoc *doc = parseXml2(g.text);
    if (doc) countXml2(xmlDocGetRootElement(doc), c);
    long peak = statusKiB("VmHWM:");
    xmlFreeDoc(doc);
    std::printf("%ld\n", peak - before);
  } else if (lib == "tinyxml2") {
    auto *doc = new tinyxml2::XMLDocument;
    doc->Parse(g.text.data(), g.text.size());
    countTiny(doc->RootElement(), c);
    long peak = statusKiB("VmHWM:");
    delete doc;
    std::printf("%ld\n", peak - before);
  } else if (lib == "pugixml") {
    auto *doc = new pugi::xml_document;
    doc->load_buffer(g.text.data(), g.text.size());
    countPugi(doc->first_child(), c);
    long peak = statusKiB("VmHWM:");
    delete doc;
    std::printf("%ld\n", peak - before);
  } else {
    std::fprintf(stderr, "xml_bench: unknown library %s\n", lib.c_str());
    return 2;
  }
  return checkCounts(lib.c_str(), 10L << 20, g, c) ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  xmlInitParser();
  // The parser's commentary (level S) is off, as in the hub: the default trace writes E, I and W
  // and has neither echo nor file.
  TraceOp.inst(LUMO_TRC_E | LUMO_TRC_I | LUMO_TRC_W, nullptr, 0);
  if (argc == 2 && std::strncmp(argv[1], "--rss=", 6) == 0) return rssMode(argv[1] + 6);
  if (!verifyAll()) return 1;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
