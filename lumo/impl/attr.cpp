// lumo: attributes: a name and a value kept in stored (escaped) form, escaped on the way in by
// the document switches of the moment and decoded to ISO 8859-15 on the way out.
#include "attr.hpp"

#include <lumo/system.h>
#include <lumo/trace.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "doc.hpp"
#include "mem.hpp"
#include "object.hpp"
#include "str.hpp"

namespace {

constexpr int kTid = LUMO_TID_ATTR;
constexpr const char *kSource = "impl/attr";
constexpr const char *kObject = "OAttr";
constexpr int kBlock = 64;  // value buffers are whole multiples of this

lumo::ClassInfo attrClass{"OAttr", kTid, kSource};

struct AttrData {
  char *name = nullptr;
  char *value = nullptr;  // stored text; capacity bytes
  int capacity = 0;
  char *decoded = nullptr;  // made by getVal; dropped by every change of the value
  int hasEntities = 0;
};

AttrData *dataOf(LumoAttr *attr) noexcept { return lumo::dataOf<AttrData>(attr); }

const char *orEmpty(const char *s) noexcept { return s ? s : ""; }

char *dupText(const char *text, int line) noexcept {
  return str_dupTagged(text, kTid, kSource, line);
}

void freeBlock(char *&p, int line) noexcept {
  if (p) mem_freeTID(p, kTid, kSource, line);
  p = nullptr;
}

// The smallest multiple of 64 strictly greater than need, or 0 when that does not fit an int.
int capacityFor(std::size_t need) noexcept {
  if (need >= static_cast<std::size_t>(INT_MAX - kBlock)) return 0;
  return static_cast<int>((need / kBlock + 1) * kBlock);
}

// Stores len bytes of text as the stored text, growing the buffer by the growth rule. The text
// may live in the attribute's own buffers (the stored text or the decoded copy), so the old
// buffer is released only after the copy. False leaves the stored text as it was.
bool storeText(AttrData *d, const char *text, std::size_t len) noexcept {
  if (len + 1 > static_cast<std::size_t>(d->capacity) || !d->value) {
    int capacity = capacityFor(len + 1);
    if (len + 1 <= static_cast<std::size_t>(d->capacity)) capacity = d->capacity;
    if (capacity == 0) return false;
    char *fresh = static_cast<char *>(mem_allocTID(capacity, kTid, kSource, __LINE__));
    if (!fresh) return false;
    std::memcpy(fresh, text, len);
    freeBlock(d->value, __LINE__);
    d->value = fresh;
    d->capacity = capacity;
  } else {
    std::memmove(d->value, text, len);
  }
  d->value[len] = '\0';
  return true;
}

// A value has changed: the decoded copy no longer matches it.
void dropDecoded(AttrData *d) noexcept { freeBlock(d->decoded, __LINE__); }

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

// The byte a named entity stands for, or -1. 0xB7 ("middot") stays text.
int namedByte(const char *name, std::size_t len) noexcept {
  for (const Entity &e : kMarkupNames)
    if (std::strlen(e.name) == len && std::memcmp(e.name, name, len) == 0) return e.byte;
  for (int b = 0xA1; b <= 0xFF; ++b) {
    const char *n = lumo::kHtmlEntityNames[b - 0xA0];
    if (!n || b == 0xB7) continue;
    if (std::strlen(n) == len && std::memcmp(n, name, len) == 0) return b;
  }
  return -1;
}

constexpr std::size_t kMaxEntityName = 6;  // "curren", "plusmn", "middot", "Agrave" ...
constexpr std::size_t kMaxDigits = 4;      // "8364"

// ---- escaping ----

struct EscapeMode {
  bool numeric;  // unicodeescapes
  bool html;     // htmlescapes (named mode only)
};

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
bool highEscape(unsigned char b, const EscapeMode &mode, char *buf) noexcept {
  if (!lumo::isCoveredByte(b)) return false;
  if (mode.numeric) {
    std::snprintf(buf, 10, "&#%d;", b == 0xA4 ? kEuroCode : b);
  } else {
    std::snprintf(buf, 10, "&%s;", b == 0xA4 ? "euro" : lumo::kHtmlEntityNames[b - 0xA0]);
  }
  return true;
}

// One pass of the escaping walk: with out null it only measures (and traces nothing); with out
// set it writes the stored form and traces the bytes it cannot escape. Returns the length.
std::size_t escapeWalk(const unsigned char *src, const EscapeMode &mode, char *out,
                       int *hasEntities) noexcept {
  std::size_t n = 0;
  auto put = [&](const char *s, std::size_t len) {
    if (out) std::memcpy(out + n, s, len);
    n += len;
  };
  const bool highActive = mode.numeric || mode.html;
  char buf[10];
  for (const unsigned char *p = src; *p; ++p) {
    unsigned char b = *p;
    if (b == '&') {
      unsigned char dummy;
      int known = lumo::attrMatchEntity(reinterpret_cast<const char *>(p), &dummy);
      if (p[1] == '#') {
        if (known) *hasEntities = 1;
        put("&", 1);
      } else {
        *hasEntities = 1;
        if (known)
          put("&", 1);
        else
          put("&amp;", 5);
      }
      continue;
    }
    const char *esc = markupEscape(b, mode.numeric);
    if (esc) {
      *hasEntities = 1;
      put(esc, std::strlen(esc));
      continue;
    }
    if (b >= 0x80 && highActive) {
      if (highEscape(b, mode, buf)) {
        *hasEntities = 1;
        put(buf, std::strlen(buf));
        continue;
      }
      if (out)
        TraceOp.trc(kObject, LUMO_TRC_W, __LINE__, LUMO_TRC_CODE, "Could not escape code=0x%02X.",
                    static_cast<unsigned int>(b));
    }
    put(reinterpret_cast<const char *>(p), 1);
  }
  return n;
}

// name="text" with the text already chosen; a new string of the string allocation type.
char *quoted(const char *name, const char *text, int *length) noexcept {
  std::size_t a = std::strlen(orEmpty(name)), b = std::strlen(orEmpty(text));
  if (a + b + 4 >= INT_MAX) return nullptr;
  std::size_t total = a + b + 3;
  char *r = static_cast<char *>(
      mem_allocTID(static_cast<int>(total + 1), LUMO_TID_STRING, kSource, __LINE__));
  if (!r) return nullptr;
  std::memcpy(r, orEmpty(name), a);
  r[a] = '=';
  r[a + 1] = '"';
  std::memcpy(r + a + 2, orEmpty(text), b);
  r[a + 2 + b] = '"';
  if (length) *length = static_cast<int>(total);
  return r;
}

// Stores a formatted number: the typed setters may produce more than the buffer holds (a double
// of large magnitude in "%f" runs to over 300 characters), so they go through the growth rule.
// False when memory was refused; the value is then as it was.
bool storeFormatted(LumoAttr *attr, const char *format, ...) noexcept
    __attribute__((format(printf, 2, 3)));
bool storeFormatted(LumoAttr *attr, const char *format, ...) noexcept {
  AttrData *d = dataOf(attr);
  if (!d) return false;
  char small[kBlock];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(small, sizeof small, format, args);
  va_end(args);
  if (n < 0) return false;
  if (static_cast<std::size_t>(n) < sizeof small) {
    if (!storeText(d, small, static_cast<std::size_t>(n))) return false;
  } else {
    char *big = static_cast<char *>(mem_allocTID(n + 1, kTid, kSource, __LINE__));
    if (!big) return false;
    va_start(args, format);
    std::vsnprintf(big, static_cast<std::size_t>(n) + 1, format, args);
    va_end(args);
    bool stored = storeText(d, big, static_cast<std::size_t>(n));
    freeBlock(big, __LINE__);
    if (!stored) return false;
  }
  dropDecoded(d);
  d->hasEntities = 0;
  return true;
}

// A copy of len bytes of text as a string of the attribute's type; null when it cannot be had.
char *copyOf(const char *text, std::size_t len) noexcept {
  if (len >= static_cast<std::size_t>(INT_MAX)) return nullptr;
  char *copy = static_cast<char *>(mem_allocTID(static_cast<int>(len + 1), kTid, kSource, __LINE__));
  if (copy) std::memcpy(copy, text, len);
  return copy;
}

struct Impl : lumo::Base<LumoAttr, attrClass> {
  static void del(LumoAttr *attr) noexcept { attr_del(attr); }
  static char *toString(LumoAttr *attr) noexcept { return attr_toString(attr); }
  static unsigned char *serialize(LumoAttr *attr, int *length) noexcept {
    return attr_serialize(attr, length);
  }
  static void deserialize(LumoAttr *attr, const unsigned char *image) noexcept;
  static LumoAttr *clone(LumoAttr *attr) noexcept { return attr_clone(attr); }
};

// name="value": the name ends at the first "=", the value lies between the next two double
// quotes; a text without "=" is all name. Name and value change together or not at all.
void Impl::deserialize(LumoAttr *attr, const unsigned char *image) noexcept {
  AttrData *d = dataOf(attr);
  if (!d || !image) return;
  const char *text = reinterpret_cast<const char *>(image);
  const char *eq = std::strchr(text, '=');
  const char *open = eq ? std::strchr(eq + 1, '"') : nullptr;
  const char *close = open ? std::strchr(open + 1, '"') : nullptr;
  char *name = copyOf(text, eq ? static_cast<std::size_t>(eq - text) : std::strlen(text));
  char *val = close ? copyOf(open + 1, static_cast<std::size_t>(close - open - 1)) : nullptr;
  LumoAttr *staged = name && (val || !close) ? attr_staged(attr, val ? val : "") : nullptr;
  if (staged) {
    freeBlock(d->name, __LINE__);
    d->name = name;
    name = nullptr;
    attr_swapValues(attr, staged);
    attr_del(staged);
  }
  freeBlock(name, __LINE__);
  freeBlock(val, __LINE__);
}

}  // namespace

namespace lumo {

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
  int b = namedByte(name, len);
  if (b < 0) return 0;
  *byte = static_cast<unsigned char>(b);
  return static_cast<int>(len + 2);
}

}  // namespace lumo

// ---- operations ----

void attr_del(LumoAttr *attr) noexcept {
  AttrData *d = dataOf(attr);
  if (!d) return;
  freeBlock(d->name, __LINE__);
  freeBlock(d->value, __LINE__);
  freeBlock(d->decoded, __LINE__);
  lumo::freeInstance<AttrData>(attr, attrClass, __LINE__);
}

LumoAttr *attr_clone(LumoAttr *attr) noexcept {
  AttrData *d = dataOf(attr);
  if (!d) return nullptr;
  return attr_inst(d->name, d->value);
}

char *attr_toString(LumoAttr *attr) noexcept {
  AttrData *d = dataOf(attr);
  if (!d) return nullptr;
  return quoted(d->name, d->value, nullptr);
}

unsigned char *attr_serialize(LumoAttr *attr, int *length) noexcept {
  AttrData *d = dataOf(attr);
  if (!d) return nullptr;
  char *r = nullptr;
  if (d->value && doc_isUTF8Encoding() && doc_isUTF2Latin()) {
    char *utf = SystemOp.latin2utf(d->value);
    if (!utf) return nullptr;
    r = quoted(d->name, utf, length);
    str_freeStr(utf);
  } else {
    r = quoted(d->name, d->value, length);
  }
  return reinterpret_cast<unsigned char *>(r);
}

int attr_getBoolean(LumoAttr *attr) noexcept {
  AttrData *d = dataOf(attr);
  return d && str_equalsi(d->value, "true");
}

bool attr_parts(LumoAttr *attr, const char **name, const char **value) noexcept {
  AttrData *d = dataOf(attr);
  if (!d) return false;
  *name = orEmpty(d->name);
  *value = orEmpty(d->value);
  return true;
}

const char *attr_getEscVal(LumoAttr *attr) noexcept {
  AttrData *d = dataOf(attr);
  return d ? d->value : nullptr;
}

double attr_getFloat(LumoAttr *attr) noexcept {
  AttrData *d = dataOf(attr);
  return d && d->value ? std::strtod(d->value, nullptr) : 0.0;
}

// A decimal integer as the target reads it: out-of-range texts saturate at the 32-bit limits
// on every platform instead of wrapping differently on a 64-bit host.
int attr_getInt(LumoAttr *attr) noexcept {
  AttrData *d = dataOf(attr);
  if (!d || !d->value) return 0;
  long v = std::strtol(d->value, nullptr, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

long attr_getLong(LumoAttr *attr) noexcept {
  AttrData *d = dataOf(attr);
  return d && d->value ? std::strtol(d->value, nullptr, 10) : 0L;
}

const char *attr_getName(LumoAttr *attr) noexcept {
  AttrData *d = dataOf(attr);
  return d ? d->name : nullptr;
}

const char *attr_getRawVal(LumoAttr *attr) noexcept {
  AttrData *d = dataOf(attr);
  if (!d) return nullptr;
  return d->decoded ? d->decoded : d->value;
}

// The decoded copy lives until the value changes, so every caller of an unchanged attribute
// gets the same text and none of them is left holding a released one.
const char *attr_getVal(LumoAttr *attr) noexcept {
  AttrData *d = dataOf(attr);
  if (!d) return nullptr;
  if (!d->hasEntities || !d->value) return d->value;
  if (d->decoded) return d->decoded;
  std::size_t len = std::strlen(d->value);
  char *copy = static_cast<char *>(
      mem_allocTID(static_cast<int>(len + 1), kTid, kSource, __LINE__));
  // The stored text is not the value: without room for the decoded copy there is no value.
  if (!copy) return nullptr;
  bool any = false;
  std::size_t n = 0;
  for (const char *p = d->value; *p;) {
    unsigned char b;
    int used = *p == '&' ? lumo::attrMatchEntity(p, &b) : 0;
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
    return d->value;
  }
  d->decoded = copy;
  return copy;
}

LumoAttr *attr_inst(const char *name, const char *text) noexcept {
  AttrData *d = nullptr;
  LumoAttr *attr = lumo::newInstance<AttrData>(AttrOp, attrClass, __LINE__, &d);
  if (!attr) return nullptr;
  int capacity = kBlock;
  if (text) {
    capacity = capacityFor(2 * std::strlen(text) + 1);
    if (capacity == 0) capacity = kBlock;  // setVal grows it as far as it can
  }
  d->name = dupText(name, __LINE__);
  d->value = static_cast<char *>(mem_allocTID(capacity, kTid, kSource, __LINE__));
  if ((name && !d->name) || !d->value) {
    freeBlock(d->name, __LINE__);
    freeBlock(d->value, __LINE__);
    lumo::freeInstance<AttrData>(attr, attrClass, __LINE__, false);
    return nullptr;
  }
  d->capacity = capacity;
  lumo::countInstance(attrClass);
  // An attribute without the value it was made with would be a different attribute.
  if (text && !attr_putVal(attr, text)) {
    attr_del(attr);
    return nullptr;
  }
  return attr;
}

LumoAttr *attr_instInt(const char *name, int value) noexcept {
  LumoAttr *attr = attr_inst(name, "0");
  attr_setInt(attr, value);
  return attr;
}

bool attr_putBoolean(LumoAttr *attr, int value) noexcept {
  return storeFormatted(attr, "%s", value ? "true" : "false");
}

bool attr_putFloat(LumoAttr *attr, double value) noexcept {
  return storeFormatted(attr, "%f", value);
}

bool attr_putInt(LumoAttr *attr, int value) noexcept { return storeFormatted(attr, "%d", value); }

bool attr_putLong(LumoAttr *attr, long value) noexcept {
  return storeFormatted(attr, "%ld", value);
}

void attr_setBoolean(LumoAttr *attr, int value) noexcept { attr_putBoolean(attr, value); }

void attr_setFloat(LumoAttr *attr, double value) noexcept { attr_putFloat(attr, value); }

void attr_setInt(LumoAttr *attr, int value) noexcept { attr_putInt(attr, value); }

void attr_setLong(LumoAttr *attr, long value) noexcept { attr_putLong(attr, value); }

void attr_setName(LumoAttr *attr, const char *name) noexcept {
  AttrData *d = dataOf(attr);
  if (!d) return;
  char *copy = dupText(name, __LINE__);
  if (name && !copy) return;
  freeBlock(d->name, __LINE__);
  d->name = copy;
}

bool attr_putRawVal(LumoAttr *attr, const char *text) noexcept {
  AttrData *d = dataOf(attr);
  if (!d || !text) return false;
  if (!storeText(d, text, std::strlen(text))) return false;
  dropDecoded(d);
  d->hasEntities = 0;
  return true;
}

void attr_setRawVal(LumoAttr *attr, const char *text) noexcept { attr_putRawVal(attr, text); }

bool attr_putVal(LumoAttr *attr, const char *text) noexcept {
  AttrData *d = dataOf(attr);
  if (!d || !text) return false;
  EscapeMode mode{doc_isUniCodeEscapes() != 0, doc_isHTMLEscapes() != 0};
  const unsigned char *src = reinterpret_cast<const unsigned char *>(text);
  int ignored = 0, hasEntities = 0;
  std::size_t len = escapeWalk(src, mode, nullptr, &ignored);
  int capacity = capacityFor(len + 1);
  if (capacity == 0) return false;
  // The text may be this attribute's own stored text or decoded copy: it is escaped into a
  // scratch buffer before either is touched (on the stack when it is short).
  char small[512];
  char *scratch = len < sizeof small
                      ? small
                      : static_cast<char *>(mem_allocTID(capacity, kTid, kSource, __LINE__));
  if (!scratch) return false;
  escapeWalk(src, mode, scratch, &hasEntities);
  bool stored = storeText(d, scratch, len);
  if (scratch != small) freeBlock(scratch, __LINE__);
  if (!stored) return false;
  dropDecoded(d);
  d->hasEntities = hasEntities;
  return true;
}

// A null text keeps the value, and with it the decoded copy and the entity flag: clearing the
// flag alone would make getVal hand out the escaped form of an unchanged value.
const char *attr_setVal(LumoAttr *attr, const char *text) noexcept {
  AttrData *d = dataOf(attr);
  if (!d) return nullptr;
  attr_putVal(attr, text);
  return d->value;
}

LumoAttr *attr_staged(LumoAttr *attr, const char *text) noexcept {
  AttrData *d = dataOf(attr);
  AttrData *s = nullptr;
  if (!d) return nullptr;
  LumoAttr *staged = lumo::newInstance<AttrData>(AttrOp, attrClass, __LINE__, &s);
  if (!staged) return nullptr;
  s->capacity = d->capacity > 0 ? d->capacity : kBlock;
  s->value = static_cast<char *>(mem_allocTID(s->capacity, kTid, kSource, __LINE__));
  if (!s->value) {
    lumo::freeInstance<AttrData>(staged, attrClass, __LINE__, false);
    return nullptr;
  }
  lumo::countInstance(attrClass);
  if (!attr_putVal(staged, text)) {
    attr_del(staged);
    return nullptr;
  }
  return staged;
}

void attr_swapValues(LumoAttr *a, LumoAttr *b) noexcept {
  AttrData *x = dataOf(a);
  AttrData *y = dataOf(b);
  if (!x || !y) return;
  std::swap(x->value, y->value);
  std::swap(x->capacity, y->capacity);
  std::swap(x->decoded, y->decoded);
  std::swap(x->hasEntities, y->hasEntities);
}

const LumoAttr AttrOp = {LUMO_BASE_INIT(Impl), LUMO_ATTR_OPS(LUMO_SLOT_INIT_PREFIXED, attr_)};

namespace {
constexpr const char *kAttrSlots[] = {LUMO_ATTR_OPS(LUMO_SLOT_NAME, _)};
static_assert(lumo::namesAscending(kAttrSlots), "AttrOp slots are in byte-wise order");
static_assert(lumo::classLayoutOk<LumoAttr, 17>(), "AttrOp has the base slots and 17 own slots");
}  // namespace
