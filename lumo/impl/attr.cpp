// lumo: attributes: a name and a value kept in stored (escaped) form, escaped on the way in by
// the document switches of the moment and decoded to ISO 8859-15 on the way out (attr_value.cpp).
//
// An attribute object is either free (made by inst: it owns its name and value buffer) or kept
// by a node, where it stands for one of the node's compact records and reads and changes that
// record.
#include "attr.hpp"

#include <lumo/system.h>
#include <lumo/trace.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "doc.hpp"
#include "mem.hpp"
#include "names.hpp"
#include "node_data.hpp"
#include "object.hpp"
#include "str.hpp"

namespace {

constexpr int kTid = LUMO_TID_ATTR;
constexpr const char *kSource = "impl/attr";
constexpr int kBlock = 64;  // value buffers of free attributes are whole multiples of this

lumo::ClassInfo attrClass{"OAttr", kTid, kSource};

struct AttrData {
  // A free attribute's own name, value buffer (capacity bytes), decoded copy and entity flag.
  char *name = nullptr;
  char *value = nullptr;
  int capacity = 0;
  char *decoded = nullptr;  // made by getVal; dropped by every change of the value
  unsigned bits = 0;
  // An attribute a node keeps: the node and the entry that ties the object to its record.
  LumoNode *owner = nullptr;
  int aux = 0;
};

AttrData *attrData(LumoAttr *attr) noexcept { return lumo::dataOf<AttrData>(attr); }

using lumo::orEmpty;

char *dupText(const char *text, int line) noexcept {
  return str_dupTagged(text, kTid, kSource, line);
}

void freeBlock(char *&p, int) noexcept {
  lumo::freeText(p);
  p = nullptr;
}

using lumo::capacityFor;

// ---- where an attribute's name and value are ----

// A free attribute's own fields, or the record of the node that keeps it.
struct Target {
  AttrData *d = nullptr;       // null for a null attribute
  lumo::NodeData *node = nullptr;  // the keeping node, or null for a free attribute
  int index = -1;              // the record's position in that node

  lumo::AttrRec &rec() const noexcept { return lumo::recordsOf(node)[index]; }
  const char *name() const noexcept { return node ? rec().name : d->name; }
  char *text() const noexcept { return node ? rec().text : d->value; }
  char *decoded() const noexcept {
    if (!node) return d->decoded;
    char **slot = lumo::storeDecodedSlot(node, index);
    return slot ? *slot : nullptr;
  }
  lumo::ValueRef value() const noexcept {
    if (!node) return lumo::ValueRef{&d->value, &d->bits, &d->decoded, &d->capacity};
    lumo::AttrRec &r = rec();
    return lumo::ValueRef{&r.text, &r.bits, lumo::storeDecodedSlot(node, index), nullptr};
  }
};

Target targetOf(LumoAttr *attr) noexcept {
  Target t;
  t.d = attrData(attr);
  if (!t.d || !t.d->owner) return t;
  lumo::NodeData *nd = lumo::nodeData(t.d->owner);
  lumo::NodeExtra *x = nd ? lumo::extraOf(nd) : nullptr;
  if (!x || t.d->aux < 1 || t.d->aux > x->auxCount || x->aux[t.d->aux - 1].rec < 0) {
    t.d = nullptr;  // not reachable from a live object; treated as a null attribute
    return t;
  }
  t.node = nd;
  t.index = x->aux[t.d->aux - 1].rec;
  return t;
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

// A copy of len bytes of text as a string of the attribute's type; null when it cannot be had.
char *copyOf(const char *text, std::size_t len) noexcept {
  if (len >= static_cast<std::size_t>(INT_MAX)) return nullptr;
  char *copy = static_cast<char *>(mem_allocTID(static_cast<int>(len + 1), kTid, kSource, __LINE__));
  if (copy) std::memcpy(copy, text, len);
  return copy;
}

// The decoded value behind a free attribute's getVal. The copy lives until the value changes,
// so every caller of an unchanged attribute gets the same text.
const char *ownDecoded(AttrData *d) noexcept {
  if (!(d->bits & lumo::kRecEntities) || !d->value) return d->value;
  if (d->decoded) return d->decoded;
  char *copy = nullptr;
  int made = lumo::decodeStored(d->value, &copy);
  // The stored text is not the value: without room for the decoded copy there is no value.
  if (made < 0) return nullptr;
  if (made == 0) return d->value;
  d->decoded = copy;
  return copy;
}

// A free attribute with exactly what setVal(attr, text) would leave in one, for changes that
// must happen whole or not at all.
bool stageOwn(AttrData *d, const char *text, char **value, int *capacity, unsigned *bits) noexcept {
  *capacity = d->capacity > 0 ? d->capacity : kBlock;
  *value = static_cast<char *>(mem_allocTID(*capacity, kTid, kSource, __LINE__));
  *bits = 0;
  if (!*value) return false;
  char *decoded = nullptr;
  if (!lumo::valuePutVal(lumo::ValueRef{value, bits, &decoded, capacity}, text)) {
    freeBlock(*value, __LINE__);
    return false;
  }
  return true;
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
  Target t = targetOf(attr);
  if (!t.d || !image) return;
  const char *text = reinterpret_cast<const char *>(image);
  const char *eq = std::strchr(text, '=');
  const char *open = eq ? std::strchr(eq + 1, '"') : nullptr;
  const char *close = open ? std::strchr(open + 1, '"') : nullptr;
  std::size_t nameLen = eq ? static_cast<std::size_t>(eq - text) : std::strlen(text);
  char *val = close ? copyOf(open + 1, static_cast<std::size_t>(close - open - 1)) : nullptr;
  if (close && !val) return;
  const char *plain = orEmpty(val);
  if (!t.node) {
    char *name = copyOf(text, nameLen);
    char *value = nullptr;
    int capacity = 0;
    unsigned bits = 0;
    if (name && stageOwn(t.d, plain, &value, &capacity, &bits)) {
      std::swap(t.d->name, name);
      std::swap(t.d->value, value);
      t.d->capacity = capacity;
      t.d->bits = bits;
      freeBlock(t.d->decoded, __LINE__);
      freeBlock(value, __LINE__);
    }
    freeBlock(name, __LINE__);
  } else {
    const char *name = lumo::nameNew(text, nameLen);
    unsigned bits = 0;
    char *stored = name ? lumo::escapeToBlock(plain, &bits) : nullptr;
    // After the swaps the old name and value are the ones left here to let go of; an old text
    // that lay in the node's block is not freed.
    if (stored) {
      char *decoded = nullptr;
      lumo::storeSwapValue(t.node, t.index, &stored, &bits, &decoded);
      std::swap(t.rec().name, name);
      lumo::storeReindex(t.node);
      if (bits & lumo::kRecTextOwned) freeBlock(stored, __LINE__);
      freeBlock(decoded, __LINE__);
    }
    lumo::nameRelease(name);
  }
  freeBlock(val, __LINE__);
}

}  // namespace

namespace lumo {

LumoAttr *attrBound(LumoNode *owner, int aux) noexcept {
  AttrData *d = nullptr;
  LumoAttr *attr = newInstanceBlock<AttrData>(AttrOp, attrClass, __LINE__, &d);
  if (!attr) return nullptr;
  d->owner = owner;
  d->aux = aux;
  countInstance(attrClass);
  return attr;
}

bool attrHandOver(LumoAttr *attr, LumoNode *owner, int aux, const char **name, char **text,
                  unsigned *bits, char **decoded) noexcept {
  AttrData *d = attrData(attr);
  if (!d || d->owner) return false;
  const char *shared = d->name ? nameNew(d->name, std::strlen(d->name)) : nullptr;
  if (d->name && !shared) return false;
  *name = shared;
  *text = d->value;
  *bits = (d->bits & kRecEntities) | kRecTextOwned;
  *decoded = d->decoded;
  freeBlock(d->name, __LINE__);
  d->value = d->decoded = nullptr;
  d->capacity = 0;
  d->bits = 0;
  d->owner = owner;
  d->aux = aux;
  return true;
}

bool attrKeptBy(LumoAttr *attr, LumoNode **owner, int *aux) noexcept {
  AttrData *d = attrData(attr);
  if (!d || !d->owner) return false;
  *owner = d->owner;
  *aux = d->aux;
  return true;
}

void attrDrop(LumoAttr *attr) noexcept {
  if (attrData(attr)) freeInstanceBlock<AttrData>(attr, attrClass, __LINE__);
}

}  // namespace lumo

// ---- operations ----

// An object the node keeps is only let go: the node's attribute stays.
void attr_del(LumoAttr *attr) noexcept {
  AttrData *d = attrData(attr);
  if (!d) return;
  if (d->owner) {
    lumo::NodeData *nd = lumo::nodeData(d->owner);
    lumo::NodeExtra *x = nd ? lumo::extraOf(nd) : nullptr;
    if (x && d->aux >= 1 && d->aux <= x->auxCount) x->aux[d->aux - 1].attr = nullptr;
  } else {
    freeBlock(d->name, __LINE__);
    freeBlock(d->value, __LINE__);
    freeBlock(d->decoded, __LINE__);
  }
  lumo::freeInstanceBlock<AttrData>(attr, attrClass, __LINE__);
}

LumoAttr *attr_clone(LumoAttr *attr) noexcept {
  Target t = targetOf(attr);
  if (!t.d) return nullptr;
  return attr_inst(t.name(), t.text());
}

char *attr_toString(LumoAttr *attr) noexcept {
  Target t = targetOf(attr);
  if (!t.d) return nullptr;
  return quoted(t.name(), t.text(), nullptr);
}

unsigned char *attr_serialize(LumoAttr *attr, int *length) noexcept {
  Target t = targetOf(attr);
  if (!t.d) return nullptr;
  char *r = nullptr;
  if (t.text() && doc_isUTF8Encoding() && doc_isUTF2Latin()) {
    char *utf = SystemOp.latin2utf(t.text());
    if (!utf) return nullptr;
    r = quoted(t.name(), utf, length);
    str_freeStr(utf);
  } else {
    r = quoted(t.name(), t.text(), length);
  }
  return reinterpret_cast<unsigned char *>(r);
}

int attr_getBoolean(LumoAttr *attr) noexcept {
  Target t = targetOf(attr);
  return t.d && str_equalsi(t.text(), "true");
}

const char *attr_getEscVal(LumoAttr *attr) noexcept {
  Target t = targetOf(attr);
  return t.d ? t.text() : nullptr;
}

double attr_getFloat(LumoAttr *attr) noexcept {
  Target t = targetOf(attr);
  return t.d && t.text() ? std::strtod(t.text(), nullptr) : 0.0;
}

// A decimal integer as the target reads it: out-of-range texts saturate at the 32-bit limits
// on every platform instead of wrapping differently on a 64-bit host.
int attr_getInt(LumoAttr *attr) noexcept {
  Target t = targetOf(attr);
  if (!t.d || !t.text()) return 0;
  long v = std::strtol(t.text(), nullptr, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

long attr_getLong(LumoAttr *attr) noexcept {
  Target t = targetOf(attr);
  return t.d && t.text() ? std::strtol(t.text(), nullptr, 10) : 0L;
}

const char *attr_getName(LumoAttr *attr) noexcept {
  Target t = targetOf(attr);
  return t.d ? t.name() : nullptr;
}

const char *attr_getRawVal(LumoAttr *attr) noexcept {
  Target t = targetOf(attr);
  if (!t.d) return nullptr;
  char *decoded = t.decoded();
  return decoded ? decoded : t.text();
}

const char *attr_getVal(LumoAttr *attr) noexcept {
  Target t = targetOf(attr);
  if (!t.d) return nullptr;
  return t.node ? lumo::storeGetVal(t.node, t.index) : ownDecoded(t.d);
}

LumoAttr *attr_inst(const char *name, const char *text) noexcept {
  AttrData *d = nullptr;
  LumoAttr *attr = lumo::newInstanceBlock<AttrData>(AttrOp, attrClass, __LINE__, &d);
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
    lumo::freeInstanceBlock<AttrData>(attr, attrClass, __LINE__, false);
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
  Target t = targetOf(attr);
  return t.d && lumo::valuePutBoolean(t.value(), value);
}

bool attr_putFloat(LumoAttr *attr, double value) noexcept {
  Target t = targetOf(attr);
  return t.d && lumo::valuePutFloat(t.value(), value);
}

bool attr_putInt(LumoAttr *attr, int value) noexcept {
  Target t = targetOf(attr);
  return t.d && lumo::valuePutInt(t.value(), value);
}

bool attr_putLong(LumoAttr *attr, long value) noexcept {
  Target t = targetOf(attr);
  return t.d && lumo::valuePutLong(t.value(), value);
}

void attr_setBoolean(LumoAttr *attr, int value) noexcept { attr_putBoolean(attr, value); }

void attr_setFloat(LumoAttr *attr, double value) noexcept { attr_putFloat(attr, value); }

void attr_setInt(LumoAttr *attr, int value) noexcept { attr_putInt(attr, value); }

void attr_setLong(LumoAttr *attr, long value) noexcept { attr_putLong(attr, value); }

// A renamed attribute of a node is found under its new name from now on.
void attr_setName(LumoAttr *attr, const char *name) noexcept {
  Target t = targetOf(attr);
  if (!t.d) return;
  if (!t.node) {
    char *copy = dupText(name, __LINE__);
    if (name && !copy) return;
    freeBlock(t.d->name, __LINE__);
    t.d->name = copy;
    return;
  }
  const char *shared = name ? lumo::nameNew(name, std::strlen(name)) : nullptr;
  if (name && !shared) return;
  std::swap(t.rec().name, shared);
  lumo::nameRelease(shared);
  lumo::storeReindex(t.node);
}

bool attr_putRawVal(LumoAttr *attr, const char *text) noexcept {
  Target t = targetOf(attr);
  return t.d && lumo::valuePutRaw(t.value(), text);
}

void attr_setRawVal(LumoAttr *attr, const char *text) noexcept { attr_putRawVal(attr, text); }

bool attr_putVal(LumoAttr *attr, const char *text) noexcept {
  Target t = targetOf(attr);
  return t.d && lumo::valuePutVal(t.value(), text);
}

// A null text keeps the value, and with it the decoded copy and the entity flag: clearing the
// flag alone would make getVal hand out the escaped form of an unchanged value.
const char *attr_setVal(LumoAttr *attr, const char *text) noexcept {
  Target t = targetOf(attr);
  if (!t.d) return nullptr;
  lumo::valuePutVal(t.value(), text);
  return t.text();
}

const LumoAttr AttrOp = {LUMO_BASE_INIT(Impl), LUMO_ATTR_OPS(LUMO_SLOT_INIT_PREFIXED, attr_)};

LUMO_CHECK_TABLE(LumoAttr, LUMO_ATTR_OPS, lumo::kOwnSlotsAt);
