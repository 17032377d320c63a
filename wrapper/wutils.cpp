// lumo: wUtils, the range check of one attribute value against the type and range text of its
// definition; the schema validation decides with it whether a value stays or is reset.
#include <lumo/strtok.h>
#include <lumo/trace.h>
#include <lumo/wrapper.h>

#include <cstddef>

#include "wrapper.hpp"

namespace {

constexpr const char *kObject = "param";

// Splits a range text at one separator; the pieces live as long as this object.
class Pieces {
 public:
  Pieces(const char *range, char separator) noexcept : tok_(StrTokOp.inst(range, separator)) {}
  ~Pieces() { StrTokOp.del(tok_); }
  Pieces(const Pieces &) = delete;
  Pieces &operator=(const Pieces &) = delete;
  bool ok() const noexcept { return tok_ != nullptr; }
  // The next piece, or null when none is left.
  const char *next() noexcept { return tok_ ? StrTokOp.nextToken(tok_) : nullptr; }

 private:
  LumoStrTok *tok_;
};

enum class RangeForm { Any, Bounds, List, Unknown };

// The first rule that applies decides: a leading "*", then "-", then ",".
RangeForm formOf(const char *range) noexcept {
  if (range[0] == '*') return RangeForm::Any;
  for (const char *p = range; *p; ++p)
    if (*p == '-') return RangeForm::Bounds;
  for (const char *p = range; *p; ++p)
    if (*p == ',') return RangeForm::List;
  return RangeForm::Unknown;
}

bool isStar(const char *text) noexcept { return text[0] == '*' && text[1] == '\0'; }

// The one walk over a range text: "*" for anything, bounds "low-high" (a high bound "*" for
// none) or a list "a,b,c"; the comparisons of the value with a bound or an item are the
// caller's. A range that could not be split (memory refused) sets *refused: nothing is known
// about the value then. Unknown formats are allowed where unknownAllows says so (with a warning).
template <class AtLeast, class AtMost, class Matches>
bool rangeFits(const char *range, bool unknownAllows, bool *refused, AtLeast atLeast,
               AtMost atMost, Matches matches) noexcept {
  switch (formOf(range)) {
    case RangeForm::Any:
      return true;
    case RangeForm::Bounds: {
      Pieces pieces(range, '-');
      if (!pieces.ok()) return !(*refused = true);
      const char *low = lumo::orEmpty(pieces.next());
      const char *high = lumo::orEmpty(pieces.next());
      if (!atLeast(low)) return false;
      return isStar(high) || atMost(high);
    }
    case RangeForm::List: {
      Pieces pieces(range, ',');
      if (!pieces.ok()) return !(*refused = true);
      for (const char *item = pieces.next(); item; item = pieces.next())
        if (matches(item)) return true;
      return false;
    }
    case RangeForm::Unknown:
      break;
  }
  if (unknownAllows) {
    TraceOp.trc(kObject, LUMO_TRC_W, __LINE__, LUMO_TRC_CODE,
                "Range [%s] is in an unknown format! Using [*] as default.", range);
    return true;
  }
  TraceOp.trc(kObject, LUMO_TRC_W, __LINE__, LUMO_TRC_CODE, "Range [%s] is in an unknown format!",
              range);
  return false;
}

// Number ranges. Unknown formats are allowed for whole numbers and refused for floating-point
// numbers, which is how the schemas have always been validated. The comparisons are written so
// that a value that is not a number (NaN) fits no bound and no item.
template <class V, V (*read)(const char *) noexcept>
bool numberFits(V value, const char *range, bool unknownAllows, bool *refused) noexcept {
  return rangeFits(
      range, unknownAllows, refused, [value](const char *low) { return value >= read(low); },
      [value](const char *high) { return value <= read(high); },
      [value](const char *item) { return value == read(item); });
}

// Text ranges: bounds in byte order, list items without regard to case ("*" matches anything).
bool textFits(const char *value, const char *range, bool *refused) noexcept {
  return rangeFits(
      range, false, refused,
      [value](const char *low) { return lumo::compareNames(value, low) >= 0; },
      [value](const char *high) { return lumo::compareNames(value, high) <= 0; },
      [value](const char *item) {
        return item[0] == '*' || lumo::wgen::equalsIgnoreCase(value, item);
      });
}

}  // namespace

int wutils_checkAttrRange(const char *nodeName, const char *attrName, const char *type,
                          const char *range, const char *value) noexcept {
  bool refused = false;
  return wutils_checkRange(nodeName, attrName, type, range, value, &refused);
}

int wutils_checkRange(const char *nodeName, const char *attrName, const char *type,
                      const char *range, const char *value, bool *refused) noexcept {
  *refused = false;
  nodeName = lumo::orEmpty(nodeName);
  attrName = lumo::orEmpty(attrName);
  type = lumo::orEmpty(type);
  range = lumo::orEmpty(range);
  value = lumo::orEmpty(value);

  bool ok;
  if (lumo::wgen::equalsIgnoreCase(type, "int")) {
    int number = lumo::wgen::readInt(value);
    ok = numberFits<int, lumo::wgen::readInt>(number, range, true, refused);
    if (!ok && !*refused)
      TraceOp.trc(kObject, LUMO_TRC_E, __LINE__, LUMO_TRC_CODE,
                  "Attribute %s.%s is out of range! %d -> [%s]", nodeName, attrName, number, range);
  } else if (lumo::wgen::equalsIgnoreCase(type, "long")) {
    long number = lumo::wgen::readLong(value);
    ok = numberFits<long, lumo::wgen::readLong>(number, range, true, refused);
    if (!ok && !*refused)
      TraceOp.trc(kObject, LUMO_TRC_E, __LINE__, LUMO_TRC_CODE,
                  "Attribute %s.%s is out of range! %ld -> [%s]", nodeName, attrName, number,
                  range);
  } else if (lumo::wgen::equalsIgnoreCase(type, "float")) {
    double number = lumo::wgen::readFloat(value);
    ok = numberFits<double, lumo::wgen::readFloat>(number, range, false, refused);
    if (!ok && !*refused)
      TraceOp.trc(kObject, LUMO_TRC_E, __LINE__, LUMO_TRC_CODE,
                  "Attribute %s.%s is out of range! %f -> [%s]", nodeName, attrName, number, range);
  } else if (lumo::wgen::equalsIgnoreCase(type, "bool")) {
    ok =
        lumo::wgen::equalsIgnoreCase(value, "true") || lumo::wgen::equalsIgnoreCase(value, "false");
    if (!ok && !*refused)
      TraceOp.trc(kObject, LUMO_TRC_E, __LINE__, LUMO_TRC_CODE,
                  "Attribute %s.%s is out of range! %s -> [true,false]", nodeName, attrName, value);
  } else {
    ok = textFits(value, range, refused);
    if (!ok && !*refused)
      TraceOp.trc(kObject, LUMO_TRC_E, __LINE__, LUMO_TRC_CODE,
                  "Attribute %s.%s is out of range! %s -> [%s]", nodeName, attrName, value, range);
  }
  if (ok)
    TraceOp.trc(kObject, LUMO_TRC_A, __LINE__, LUMO_TRC_CODE, "%s.%s=[%s]", nodeName, attrName,
                value);
  return ok ? 1 : 0;
}

const LumoWUtils wUtils = {LUMO_WUTILS_OPS(LUMO_SLOT_INIT_PREFIXED, wutils_)};
LUMO_CHECK_TABLE(LumoWUtils, LUMO_WUTILS_OPS, 0);
