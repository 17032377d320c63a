// bench: seeded generators of XML documents, the same bytes for every parser.
//   generate:        configuration-style: elements nested 3 to 6 levels below the root, 2 to 15
//                    double-quoted attributes each (entities, accented UTF-8 text, apostrophes),
//                    comments between sections. The corpus the parser was tuned on.
//   generateHeldOut: a corpus kept out of that tuning: other names, 8 to 24 attributes per
//                    element whose values are mostly entities and character references, and
//                    leaves with entity-laden text.
//   generateSmall:   many small elements, `<a b="12"/>` on a line each, under one root.
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

// A random order of the n attribute names (distinct names: a parser may refuse repeated ones).
template <int N>
inline void shuffle(Rng &rng, int (&order)[N]) {
  for (int i = 0; i < N; ++i) order[i] = i;
  for (int i = N - 1; i > 0; --i) {
    int j = static_cast<int>(rng.next() % uint64_t(i + 1));
    int t = order[i];
    order[i] = order[j];
    order[j] = t;
  }
}

inline void endTag(std::string &out, int level, const char *name) {
  indent(out, level);
  out += "</";
  out += name;
  out += ">\n";
}

inline void element(std::string &out, Rng &rng, GeneratedDoc &doc, int level, int depth) {
  indent(out, level);
  const char *name = kElements[rng.next() % (sizeof kElements / sizeof *kElements)];
  out += '<';
  out += name;
  // A random choice of 2 to 15 of the 16 names, in a random order.
  int order[sizeof kAttributes / sizeof *kAttributes];
  shuffle(rng, order);
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
  endTag(out, level, name);
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

// ---- the held-out corpus ----

namespace detail {

inline const char *const kHeldElements[] = {"record",  "field",  "item",    "option", "binding",
                                            "filter",  "target", "rule",    "mapping", "source",
                                            "sink",    "window", "trigger", "metric", "alias"};
constexpr int kHeldNames = 28;
inline const char *const kHeldAttributes[kHeldNames] = {
    "key",     "ref",    "type",    "scope",  "title",  "note",   "lang",     "format",   "width",
    "height",  "color",  "weight",  "expr",   "pattern", "from",  "to",       "since",    "until",
    "quota",   "prio",   "origin",  "comment", "encoding", "ns",  "version",  "checksum", "flags",
    "style"};
// Mostly entities and character references, decimal and hexadecimal, in every position.
inline const char *const kHeldValues[] = {
    "&lt;none&gt;",
    "&quot;a&quot; &amp; &quot;b&quot;",
    "x &lt;= 10 &amp;&amp; y &gt;= 20",
    "l&apos;&#233;t&#233; &amp; l&apos;hiver",
    "&#x20AC; 12,50 &#x2F; St&#xFC;ck",
    "Stra&#223;e 7, &#xC4;rger &amp; S&#246;hne",
    "&#60;tag&#62; &amp;amp; &#38;",
    "caf\xC3\xA9 &#x263A; cr\xC3\xA8me",
    "&apos;single&apos; &amp; &quot;double&quot;",
    "50 &#37; &lt; 75 &#37;",
    "C:\\data\\out &amp; /srv/in",
    "&#169; 2024 &#8211; ACME &amp; Co.",
    "plain-value-without-escapes",
    "&amp;&amp;&amp;&amp;",
};
inline const char *const kHeldTexts[] = {
    "Gr&#252;&#223;e &amp; mehr",
    "a &lt; b &amp;&amp; b &lt; c",
    "&quot;quoted&quot; &#x2014; it&apos;s fine",
    "Z\xC3\xBCrich &#8594; Gen\xC3\xA8ve",
};

template <size_t N>
inline const char *pick(Rng &rng, const char *const (&list)[N]) {
  return list[rng.next() % N];
}

inline void heldElement(std::string &out, Rng &rng, GeneratedDoc &doc, int level, int depth) {
  indent(out, level);
  const char *name = pick(rng, kHeldElements);
  out += '<';
  out += name;
  int order[kHeldNames];
  shuffle(rng, order);
  int attrs = rng.between(8, 24);
  for (int a = 0; a < attrs; ++a) {
    out += ' ';
    out += kHeldAttributes[order[a]];
    out += "=\"";
    int parts = rng.between(1, 2);
    for (int p = 0; p < parts; ++p) {
      if (p) out += ' ';
      if (rng.next() % 5 == 0)
        appendInt(out, rng.next() % 1000000);
      else
        out += pick(rng, kHeldValues);
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
  for (int c = 0; c < children; ++c) {
    if (rng.next() % 4 == 0) {
      // A leaf whose content is text: an element without attributes.
      indent(out, level + 1);
      out += "<text>";
      out += pick(rng, kHeldTexts);
      out += "</text>\n";
      doc.elements += 1;
      continue;
    }
    heldElement(out, rng, doc, level + 1, depth);
  }
  endTag(out, level, name);
}

}  // namespace detail

// A held-out document of at least `bytes` bytes (one top-level subtree more at most), the same
// for a given seed.
inline GeneratedDoc generateHeldOut(size_t bytes, uint64_t seed = 7340033) {
  GeneratedDoc doc;
  Rng rng(seed);
  std::string &out = doc.text;
  out.reserve(bytes + 8192);
  out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  out += "<catalog schema=\"2\" owner=\"M&#252;ller &amp; Partner\">\n";
  doc.elements = 1;
  doc.attributes = 2;
  while (out.size() + 16 < bytes) {
    detail::heldElement(out, rng, doc, 1, rng.between(2, 5));
  }
  out += "</catalog>\n";
  return doc;
}

// ---- many small elements ----

// `<a b="12"/>` on a line each under one root, to at least `bytes` bytes.
inline GeneratedDoc generateSmall(size_t bytes) {
  GeneratedDoc doc;
  std::string &out = doc.text;
  static const char kLine[] = "<a b=\"12\"/>\n";
  out.reserve(bytes + sizeof kLine + 16);
  out += "<r>\n";
  doc.elements = 1;
  while (out.size() + 5 < bytes) {
    out += kLine;
    doc.elements += 1;
    doc.attributes += 1;
  }
  out += "</r>\n";
  return doc;
}

}  // namespace bench

#endif
