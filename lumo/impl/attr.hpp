// lumo: the attribute module's functions for direct use inside the library (the same functions
// that fill AttrOp, plus its base operations), and the entity tables that escaping and decoding
// share.
#ifndef LUMO_IMPL_ATTR_HPP
#define LUMO_IMPL_ATTR_HPP

#include <lumo/attr.h>
#include <lumo/node.h>

#include <cstddef>

#include "object.hpp"

LUMO_ATTR_OPS(LUMO_SLOT_DECLARE, attr_)

void attr_del(LumoAttr *attr) noexcept;
LumoAttr *attr_clone(LumoAttr *attr) noexcept;
// name="stored text": a new string (string allocation type) owned by the caller.
char *attr_toString(LumoAttr *attr) noexcept;
// As toString, converted to UTF-8 when the output encoding is UTF-8 and utf2latin is on; the
// length goes to *length when length is not null.
unsigned char *attr_serialize(LumoAttr *attr, int *length) noexcept;

// The setters with their outcome: false when memory was refused (or, for the texts, the text is
// null), and the value is then as it was. The table's setters are these without the result.
bool attr_putVal(LumoAttr *attr, const char *text) noexcept;
bool attr_putRawVal(LumoAttr *attr, const char *text) noexcept;
bool attr_putBoolean(LumoAttr *attr, int value) noexcept;
bool attr_putFloat(LumoAttr *attr, double value) noexcept;
bool attr_putInt(LumoAttr *attr, int value) noexcept;
bool attr_putLong(LumoAttr *attr, long value) noexcept;

namespace lumo {

// The HTML 4 entity names of the ISO 8859-1 characters 0xA0..0xFF, indexed by byte - 0xA0.
// Null marks the positions this system does not escape: the seven where ISO 8859-15 has
// characters of its own (0xA6, 0xA8, 0xB4, 0xB8, 0xBC, 0xBD, 0xBE) and the soft hyphen 0xAD.
// 0xA4 keeps its HTML 4 name (curren) for decoding; escaping writes it as the euro sign.
inline constexpr const char *kHtmlEntityNames[96] = {
    "nbsp",   "iexcl",  "cent",   "pound",  "curren", "yen",    nullptr,  "sect",    // A0
    nullptr,  "copy",   "ordf",   "laquo",  "not",    nullptr,  "reg",    "macr",    // A8
    "deg",    "plusmn", "sup2",   "sup3",   nullptr,  "micro",  "para",   "middot",  // B0
    nullptr,  "sup1",   "ordm",   "raquo",  nullptr,  nullptr,  nullptr,  "iquest",  // B8
    "Agrave", "Aacute", "Acirc",  "Atilde", "Auml",   "Aring",  "AElig",  "Ccedil",  // C0
    "Egrave", "Eacute", "Ecirc",  "Euml",   "Igrave", "Iacute", "Icirc",  "Iuml",    // C8
    "ETH",    "Ntilde", "Ograve", "Oacute", "Ocirc",  "Otilde", "Ouml",   "times",   // D0
    "Oslash", "Ugrave", "Uacute", "Ucirc",  "Uuml",   "Yacute", "THORN",  "szlig",   // D8
    "agrave", "aacute", "acirc",  "atilde", "auml",   "aring",  "aelig",  "ccedil",  // E0
    "egrave", "eacute", "ecirc",  "euml",   "igrave", "iacute", "icirc",  "iuml",    // E8
    "eth",    "ntilde", "ograve", "oacute", "ocirc",  "otilde", "ouml",   "divide",  // F0
    "oslash", "ugrave", "uacute", "ucirc",  "uuml",   "yacute", "thorn",  "yuml",    // F8
};

// Whether a byte from 0xA0 upwards has an escape (a named and a numeric one).
constexpr bool isCoveredByte(unsigned char b) {
  return b >= 0xA0 && kHtmlEntityNames[b - 0xA0] != nullptr;
}

// The length of the entity of the decoding table that starts at text (which points at "&"),
// 0 when none does; its byte goes to *byte.
int attrMatchEntity(const char *text, unsigned char *byte) noexcept;

// ---- escaping and decoding, for attribute objects and node records alike ----

enum : unsigned {
  kRecEntities = 1u,   // the stored text holds entities that getVal decodes
  kRecTextOwned = 2u,  // the text is a block of its own (a node's record may keep it elsewhere)
};

struct EscapeMode {
  bool numeric;  // unicodeescapes
  bool html;     // htmlescapes (named mode only)
};
// The escaping switches of the moment.
EscapeMode escapeMode() noexcept;
// The stored form of a plain text: with out null only its length (nothing traced); with out set
// the text itself, tracing the bytes it cannot escape. *entities is set when the stored form
// holds entities that decoding must turn back.
std::size_t escapeText(const char *text, const EscapeMode &mode, char *out,
                       bool *entities) noexcept;
// A new block (attribute type) holding the stored form of text; *bits gets kRecTextOwned and,
// where it applies, kRecEntities. Null when memory is refused.
char *escapeToBlock(const char *text, unsigned *bits) noexcept;
// The decoded form of a stored text: 1 with a new block in *out, 0 when the text holds no entity
// of the decoding table (it is its own decoded form), -1 when memory is refused.
int decodeStored(const char *stored, char **out) noexcept;
void freeText(char *text) noexcept;
// The buffer size of a free attribute for need bytes: the smallest multiple of 64 strictly
// greater than need, or 0 when that does not fit an int.
int capacityFor(std::size_t need) noexcept;

// Where a value lives: an attribute object's own buffer, or a node's record.
struct ValueRef {
  char **text;
  unsigned *bits;   // kRecEntities, kRecTextOwned
  char **decoded;   // the decoded copy that a change drops; null when none can exist
  int *capacity;    // an object's buffer size (it grows by the buffer rule); null for a record
};
// Stores len bytes of stored text (which may lie in the value's own text or decoded copy) with
// its entity flag; false when memory is refused, and the value is then as it was.
bool valueStore(const ValueRef &v, const char *stored, std::size_t len, bool entities) noexcept;
// The attribute setters over a value: escaped, unchanged, or a formatted number.
bool valuePutVal(const ValueRef &v, const char *text) noexcept;
bool valuePutRaw(const ValueRef &v, const char *text) noexcept;
bool valuePutBoolean(const ValueRef &v, int value) noexcept;
bool valuePutFloat(const ValueRef &v, double value) noexcept;
bool valuePutInt(const ValueRef &v, int value) noexcept;
bool valuePutLong(const ValueRef &v, long value) noexcept;

// ---- the objects a node keeps for its records ----

// A new object standing for the record that aux entry aux of owner ties it to; null when memory
// is refused.
LumoAttr *attrBound(LumoNode *owner, int aux) noexcept;
// Turns a free attribute into one that owner keeps: its name becomes a shared name in *name,
// its value buffer and entity flag go to *text and *bits, its decoded copy to *decoded, and from
// now on it stands for the record tied to aux entry aux. False when memory is refused (nothing
// changed).
bool attrHandOver(LumoAttr *attr, LumoNode *owner, int aux, const char **name, char **text,
                  unsigned *bits, char **decoded) noexcept;
// Whether attr is kept by a node (then *owner is that node and *aux its entry).
bool attrKeptBy(LumoAttr *attr, LumoNode **owner, int *aux) noexcept;
// Deletes an object that its node no longer keeps a record for.
void attrDrop(LumoAttr *attr) noexcept;

}  // namespace lumo

#endif
