// lumo: attribute values: the entity tables, escaping plain text into stored form, decoding it
// back, and the changes of a value, shared by attribute objects and node records so that every
// path stores the same text.
#include <lumo/trace.h>

#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "attr.hpp"
#include "doc.hpp"
#include "mem.hpp"

namespace {

constexpr int kTid = LUMO_TID_ATTR;
constexpr const char *kSource = "impl/attr";
constexpr const char *kObject = "OAttr";
constexpr int kBlock = 64;  // value buffers of free attributes are whole multiples of this

void freeBlock(char *&p, int line) noexcept {
  if (p) mem_freeTID(p, kTid, kSource, line);
  p = nullptr;
}

// ---- entity tables ----

struct Entity {
  const char *name;  // between "&" and ";"
  unsigned char byte;
};

// Named entities decoded besides the HTML 4 names of the covered bytes.
constexpr Entity kMarkupNames[] = {
    {"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'}, {"apos", '\''},
    {"nbsp", ' '},  // reads as a plain space, not as 0xA0
    {"euro", 0xA4},
};

constexpr int kEuroCode = 8364;
constexpr std::size_t kMaxEntityName = 6;  // "curren", "plusmn", "middot", "Agrave" ...
constexpr std::size_t kMaxDigits = 4;      // "8364"

// The byte a decimal character reference stands for in this system, or -1.
int numericByte(long code) noexcept {
  switch (code) {
    case 34: case 38: case 39: case 60: case 62: return static_cast<int>(code);
    case kEuroCode: return 0xA4;
    case 0xA0: case 0xA4: case 0xB7: return -1;  // left as text
    default: break;
  }
  if (code > 0xA0 && code <= 0xFF && lumo::isCoveredByte(static_cast<unsigned char>(code)))
    return static_cast<int>(code);
  return -1;
}

// Every decodable entity name, as an integer of its bytes, sorted for a binary search: values
// from documents hold many entities, and a walk over a hundred names per "&" showed in every
// parse.
struct NamedTable {
  struct Entry {
    std::uint64_t key;
    unsigned char byte;
  };
  Entry entries[sizeof kMarkupNames / sizeof *kMarkupNames + 96];
  int count = 0;

  // Names are at most six bytes: the key holds them whole, padded with zeros.
  static std::uint64_t keyOf(const char *name, std::size_t len) noexcept {
    std::uint64_t key = 0;
    std::memcpy(&key, name, len);
    return key;
  }
  NamedTable() noexcept {
    for (const Entity &e : kMarkupNames) add(e.name, e.byte);
    for (int b = 0xA1; b <= 0xFF; ++b) {
      const char *n = lumo::kHtmlEntityNames[b - 0xA0];
      if (n && b != 0xB7) add(n, static_cast<unsigned char>(b));  // "middot" stays text
    }
  }
  void add(const char *name, unsigned char byte) noexcept {
    std::uint64_t key = keyOf(name, std::strlen(name));
    int at = count++;
    while (at > 0 && entries[at - 1].key > key) {
      entries[at] = entries[at - 1];
      --at;
    }
    entries[at] = Entry{key, byte};
  }
  // The byte the len bytes of name stand for, or -1.
  int find(const char *name, std::size_t len) const noexcept {
    // The markup entities make up most of what documents hold.
    if (len == 2 && name[1] == 't' && (name[0] == 'l' || name[0] == 'g'))
      return name[0] == 'l' ? '<' : '>';
    if (len == 3 && std::memcmp(name, "amp", 3) == 0) return '&';
    if (len > kMaxEntityName) return -1;
    std::uint64_t key = keyOf(name, len);
    int lo = 0, hi = count - 1;
    while (lo <= hi) {
      int mid = (lo + hi) / 2;
      if (entries[mid].key == key) return entries[mid].byte;
      if (entries[mid].key < key)
        lo = mid + 1;
      else
        hi = mid - 1;
    }
    return -1;
  }
};

const NamedTable &namedTable() noexcept {
  static const NamedTable table;
  return table;
}

// ---- escaping ----

const char *markupEscape(unsigned char b, bool numeric) noexcept {
  switch (b) {
    case '"': return numeric ? "&#34;" : "&quot;";
    case '\'': return numeric ? "&#39;" : "&apos;";
    case '<': return numeric ? "&#60;" : "&lt;";
    case '>': return numeric ? "&#62;" : "&gt;";
    default: return nullptr;
  }
}

// Writes the escape of a byte from 0x80 upwards into buf (at least 10 bytes); false when the
// active mode has none for it.
bool highEscape(unsigned char b, const lumo::EscapeMode &mode, char *buf) noexcept {
  if (!lumo::isCoveredByte(b)) return false;
  if (mode.numeric) {
    std::snprintf(buf, 10, "&#%d;", b == 0xA4 ? kEuroCode : b);
  } else {
    std::snprintf(buf, 10, "&%s;", b == 0xA4 ? "euro" : lumo::kHtmlEntityNames[b - 0xA0]);
  }
  return true;
}

// The bytes the escaping walk must look at; every other byte is copied as it is.
bool needsCare(unsigned char b, bool highActive) noexcept {
  return b == '&' || b == '"' || b == '\'' || b == '<' || b == '>' || (b >= 0x80 && highActive);
}

// Stores len bytes of text into a free attribute's buffer, growing it by the buffer rule. The
// text may live in the attribute's own buffers, so the old buffer goes only after the copy.
bool storeOwn(char **value, int *capacity, const char *text, std::size_t len) noexcept {
  if (len + 1 > static_cast<std::size_t>(*capacity) || !*value) {
    int fresh = lumo::capacityFor(len + 1);
    if (len + 1 <= static_cast<std::size_t>(*capacity)) fresh = *capacity;
    if (fresh == 0) return false;
    char *block = static_cast<char *>(mem_allocTID(fresh, kTid, kSource, __LINE__));
    if (!block) return false;
    std::memcpy(block, text, len);
    freeBlock(*value, __LINE__);
    *value = block;
    *capacity = fresh;
  } else {
    std::memmove(*value, text, len);
  }
  (*value)[len] = '\0';
  return true;
}

// Stores len bytes of text as a record's text: over the old text when it is at least as long
// (the room it had), else in a block of its own of the exact size.
bool storeRecord(char **value, unsigned *bits, const char *text, std::size_t len) noexcept {
  if (*value && std::strlen(*value) >= len) {
    std::memmove(*value, text, len);
    (*value)[len] = '\0';
    return true;
  }
  if (len >= static_cast<std::size_t>(INT_MAX)) return false;
  char *block = static_cast<char *>(mem_allocTID(static_cast<int>(len + 1), kTid, kSource, __LINE__));
  if (!block) return false;
  std::memcpy(block, text, len);
  if (*bits & lumo::kRecTextOwned) freeBlock(*value, __LINE__);
  *value = block;
  *bits |= lumo::kRecTextOwned;
  return true;
}

// Stores a formatted number: the typed setters may produce more than a buffer holds (a double of
// large magnitude in "%f" runs to over 300 characters), so they go through the growth rule.
__attribute__((format(printf, 2, 3))) bool storeFormatted(const lumo::ValueRef &v,
                                                          const char *format, ...) noexcept {
  char small[kBlock];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(small, sizeof small, format, args);
  va_end(args);
  if (n < 0) return false;
  if (static_cast<std::size_t>(n) < sizeof small)
    return lumo::valueStore(v, small, static_cast<std::size_t>(n), false);
  char *big = static_cast<char *>(mem_allocTID(n + 1, kTid, kSource, __LINE__));
  if (!big) return false;
  va_start(args, format);
  std::vsnprintf(big, static_cast<std::size_t>(n) + 1, format, args);
  va_end(args);
  bool stored = lumo::valueStore(v, big, static_cast<std::size_t>(n), false);
  freeBlock(big, __LINE__);
  return stored;
}

}  // namespace

namespace lumo {

int capacityFor(std::size_t need) noexcept {
  if (need >= static_cast<std::size_t>(INT_MAX - kBlock)) return 0;
  return static_cast<int>((need / kBlock + 1) * kBlock);
}

int attrMatchEntity(const char *text, unsigned char *byte) noexcept {
  if (!text || text[0] != '&') return 0;
  if (text[1] == '#') {
    // Decimal only, no leading zeros.
    const char *p = text + 2;
    if (*p < '1' || *p > '9') return 0;
    long code = 0;
    std::size_t digits = 0;
    while (*p >= '0' && *p <= '9' && digits <= kMaxDigits) {
      code = code * 10 + (*p - '0');
      ++p;
      ++digits;
    }
    if (*p != ';' || digits > kMaxDigits) return 0;
    int b = numericByte(code);
    if (b < 0) return 0;
    *byte = static_cast<unsigned char>(b);
    return static_cast<int>(p + 1 - text);
  }
  const char *name = text + 1;
  std::size_t len = 0;
  while (len <= kMaxEntityName && name[len] && name[len] != ';') ++len;
  if (name[len] != ';' || len == 0) return 0;
  int b = namedTable().find(name, len);
  if (b < 0) return 0;
  *byte = static_cast<unsigned char>(b);
  return static_cast<int>(len + 2);
}

EscapeMode escapeMode() noexcept {
  return EscapeMode{doc_isUniCodeEscapes() != 0, doc_isHTMLEscapes() != 0};
}

std::size_t escapeText(const char *text, const EscapeMode &mode, char *out,
                       bool *entities) noexcept {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
  const bool highActive = mode.numeric || mode.html;
  std::size_t n = 0;
  char buf[10];
  for (;;) {
    // The plain stretch up to the next byte that needs a look, in one copy.
    const unsigned char *run = p;
    if (highActive) {
      while (*p && !needsCare(*p, true)) ++p;
    } else {
      p += std::strcspn(reinterpret_cast<const char *>(p), "&\"'<>");
    }
    std::size_t plain = static_cast<std::size_t>(p - run);
    if (out && plain) std::memcpy(out + n, run, plain);
    n += plain;
    if (!*p) return n;
    unsigned char b = *p;
    const char *put = nullptr;
    std::size_t putLen = 1;
    if (b == '&') {
      unsigned char ignored;
      bool known = attrMatchEntity(reinterpret_cast<const char *>(p), &ignored) != 0;
      // "&#..." stays as it is; it counts as an entity only when decoding knows it. Any other
      // "&" is an entity either way: a known one kept, or one written for the "&" itself.
      if (p[1] == '#' ? known : true) *entities = true;
      put = p[1] == '#' || known ? "&" : "&amp;";
      putLen = std::strlen(put);
    } else if ((put = markupEscape(b, mode.numeric)) != nullptr) {
      *entities = true;
      putLen = std::strlen(put);
    } else if (highEscape(b, mode, buf)) {
      *entities = true;
      put = buf;
      putLen = std::strlen(buf);
    } else {
      if (out)
        TraceOp.trc(kObject, LUMO_TRC_W, __LINE__, LUMO_TRC_CODE, "Could not escape code=0x%02X.",
                    static_cast<unsigned int>(b));
      put = reinterpret_cast<const char *>(p);
    }
    if (out) std::memcpy(out + n, put, putLen);
    n += putLen;
    ++p;
  }
}

char *escapeToBlock(const char *text, unsigned *bits) noexcept {
  EscapeMode mode = escapeMode();
  bool entities = false;
  std::size_t len = escapeText(text, mode, nullptr, &entities);
  if (len >= static_cast<std::size_t>(INT_MAX)) return nullptr;
  char *block = static_cast<char *>(mem_allocTID(static_cast<int>(len + 1), kTid, kSource, __LINE__));
  if (!block) return nullptr;
  escapeText(text, mode, block, &entities);
  *bits = kRecTextOwned | (entities ? kRecEntities : 0u);
  return block;
}

int decodeStored(const char *stored, char **out) noexcept {
  const char *amp = std::strchr(stored, '&');
  if (!amp) return 0;
  std::size_t len = std::strlen(stored);
  if (len >= static_cast<std::size_t>(INT_MAX)) return -1;
  char *copy = static_cast<char *>(mem_allocTID(static_cast<int>(len + 1), kTid, kSource, __LINE__));
  if (!copy) return -1;
  std::size_t n = static_cast<std::size_t>(amp - stored);
  std::memcpy(copy, stored, n);
  bool any = false;
  for (const char *p = amp; *p;) {
    unsigned char b;
    int used = *p == '&' ? attrMatchEntity(p, &b) : 0;
    if (used) {
      copy[n++] = static_cast<char>(b);
      p += used;
      any = true;
    } else {
      copy[n++] = *p++;
    }
  }
  if (!any) {
    freeBlock(copy, __LINE__);
    return 0;
  }
  *out = copy;
  return 1;
}

void freeText(char *text) noexcept { freeBlock(text, __LINE__); }

bool valueStore(const ValueRef &v, const char *stored, std::size_t len, bool entities) noexcept {
  bool ok = v.capacity ? storeOwn(v.text, v.capacity, stored, len)
                       : storeRecord(v.text, v.bits, stored, len);
  if (!ok) return false;
  // The value has changed: the decoded copy no longer matches it.
  if (v.decoded) freeBlock(*v.decoded, __LINE__);
  *v.bits = (*v.bits & ~kRecEntities) | (entities ? kRecEntities : 0u);
  return true;
}

bool valuePutVal(const ValueRef &v, const char *text) noexcept {
  if (!text) return false;
  EscapeMode mode = escapeMode();
  bool entities = false;
  std::size_t len = escapeText(text, mode, nullptr, &entities);
  if (len >= static_cast<std::size_t>(INT_MAX - kBlock)) return false;
  // The text may be this value's own stored text or decoded copy: it is escaped into a scratch
  // buffer before either is touched (on the stack when it is short).
  char small[512];
  char *scratch = len < sizeof small ? small
                                     : static_cast<char *>(mem_allocTID(
                                           static_cast<int>(len + 1), kTid, kSource, __LINE__));
  if (!scratch) return false;
  escapeText(text, mode, scratch, &entities);
  bool stored = valueStore(v, scratch, len, entities);
  if (scratch != small) freeBlock(scratch, __LINE__);
  return stored;
}

bool valuePutRaw(const ValueRef &v, const char *text) noexcept {
  return text && valueStore(v, text, std::strlen(text), false);
}

bool valuePutBoolean(const ValueRef &v, int value) noexcept {
  return storeFormatted(v, "%s", value ? "true" : "false");
}

bool valuePutFloat(const ValueRef &v, double value) noexcept {
  return storeFormatted(v, "%f", value);
}

bool valuePutInt(const ValueRef &v, int value) noexcept { return storeFormatted(v, "%d", value); }

bool valuePutLong(const ValueRef &v, long value) noexcept {
  return storeFormatted(v, "%ld", value);
}

}  // namespace lumo
