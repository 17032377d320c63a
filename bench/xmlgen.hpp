// bench: a seeded generator of configuration-style XML documents, the same bytes for every
// parser: elements nested 3 to 6 levels below the root, 2 to 15 double-quoted attributes each
// (entities, accented UTF-8 text, apostrophes), comments between sections.
#ifndef LUMO_BENCH_XMLGEN_HPP
#define LUMO_BENCH_XMLGEN_HPP

#include <cstdint>
#include <string>

namespace bench {

class Rng {
 public:
  explicit Rng(uint64_t seed) : s_(seed ? seed : 0x9E3779B97F4A7C15ull) {}
  uint64_t next() {
    s_ ^= s_ << 13;
    s_ ^= s_ >> 7;
    s_ ^= s_ << 17;
    return s_;
  }
  int between(int lo, int hi) { return lo + static_cast<int>(next() % uint64_t(hi - lo + 1)); }

 private:
  uint64_t s_;
};

struct GeneratedDoc {
  std::string text;
  long elements = 0;    // every element, the root included
  long attributes = 0;  // attributes of elements (comments and the declaration not counted)
};

namespace detail {

inline const char *const kElements[] = {"server", "channel", "device", "param",   "group",
                                        "port",   "limit",   "entry",  "route",   "schedule",
                                        "sensor", "account", "relay",  "station", "profile"};
inline const char *const kAttributes[] = {"id",   "name",  "host",  "port",    "enabled", "timeout",
                                          "desc", "mode",  "unit",  "min",     "max",     "label",
                                          "path", "owner", "city",  "retries"};
inline const char *const kValues[] = {
    "Z\xC3\xBCrich",                  // Zürich
    "Gen\xC3\xA8ve",                  // Genève
    "S\xC3\xA3o Paulo",               // São Paulo
    "Krak\xC3\xB3w",                  // Kraków
    "\xC3\x86r\xC3\xB8sk\xC3\xB8" "bing",  // Ærøskøbing
    "na\xC3\xAFve caf\xC3\xA9",       // naïve café
    "R&amp;D department",
    "a &lt; b &amp;&amp; c &gt; d",
    "&quot;quoted&quot; text",
    "it's the operator's choice",
    "&#233;t&#233; 2024",
    "5 &#8364; per unit",
    "/var/lib/qivhub/data",
    "true",
    "false",
    "node-0042.example",
    "Fran\xC3\xA7ois M\xC3\xBCller",  // François Müller
    "M&#252;nchen &amp; K&#246;ln",
    "primary",
    "rs485:/dev/ttyS1",
};

inline void appendInt(std::string &out, uint64_t v) { out += std::to_string(v); }

inline void indent(std::string &out, int level) { out.append(static_cast<size_t>(level) * 2, ' '); }

inline void element(std::string &out, Rng &rng, GeneratedDoc &doc, int level, int depth) {
  indent(out, level);
  const char *name = kElements[rng.next() % (sizeof kElements / sizeof *kElements)];
  out += '<';
  out += name;
  // Distinct attribute names: a random choice of 2 to 15 of the 16, in a random order.
  constexpr int kNames = sizeof kAttributes / sizeof *kAttributes;
  int order[kNames];
  for (int i = 0; i < kNames; ++i) order[i] = i;
  for (int i = kNames - 1; i > 0; --i) {
    int j = static_cast<int>(rng.next() % uint64_t(i + 1));
    int t = order[i];
    order[i] = order[j];
    order[j] = t;
  }
  int attrs = rng.between(2, 15);
  for (int a = 0; a < attrs; ++a) {
    out += ' ';
    out += kAttributes[order[a]];
    out += "=\"";
    switch (rng.next() % 3) {
      case 0:
        appendInt(out, rng.next() % 100000);
        break;
      default:
        out += kValues[rng.next() % (sizeof kValues / sizeof *kValues)];
        break;
    }
    out += '"';
  }
  doc.elements += 1;
  doc.attributes += attrs;
  if (level >= depth) {
    out += "/>\n";
    return;
  }
  out += ">\n";
  int children = rng.between(1, 4);
  for (int c = 0; c < children; ++c) element(out, rng, doc, level + 1, depth);
  indent(out, level);
  out += "</";
  out += name;
  out += ">\n";
}

}  // namespace detail

// A document of at least `bytes` bytes (a few hundred more at most), the same for a given seed.
inline GeneratedDoc generate(size_t bytes, uint64_t seed = 20240131) {
  GeneratedDoc doc;
  Rng rng(seed);
  std::string &out = doc.text;
  out.reserve(bytes + 4096);
  out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  out += "<!-- generated configuration: stations/devices, r\xC3\xA9vision 7 -->\n";
  out += "<config version=\"3\" site=\"Gen\xC3\xA8ve &amp; Lausanne\">\n";
  doc.elements = 1;
  doc.attributes = 2;
  long section = 0;
  while (out.size() + 16 < bytes) {
    if (section % 4 == 0) {
      out += "  <!-- section ";
      detail::appendInt(out, static_cast<uint64_t>(section));
      out += ": caf\xC3\xA9/r\xC3\xA9seau -->\n";
    }
    // Each section is a subtree whose leaves lie 3 to 6 levels below the root.
    detail::element(out, rng, doc, 1, rng.between(3, 6));
    ++section;
  }
  out += "</config>\n";
  return doc;
}

}  // namespace bench

#endif
