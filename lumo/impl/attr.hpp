// lumo: the attribute module's functions for direct use inside the library (the same functions
// that fill AttrOp, plus its base operations), and the entity tables that escaping and decoding
// share.
#ifndef LUMO_IMPL_ATTR_HPP
#define LUMO_IMPL_ATTR_HPP

#include <lumo/attr.h>

#define LUMO_ATTR_DECLARE(prefix, ret, name, params) ret prefix##name params noexcept;
LUMO_ATTR_OPS(LUMO_ATTR_DECLARE, attr_)
#undef LUMO_ATTR_DECLARE

void attr_del(LumoAttr *attr) noexcept;
LumoAttr *attr_clone(LumoAttr *attr) noexcept;
// name="stored text": a new string (string allocation type) owned by the caller.
char *attr_toString(LumoAttr *attr) noexcept;
// As toString, converted to UTF-8 when the output encoding is UTF-8 and utf2latin is on; the
// length goes to *length when length is not null.
unsigned char *attr_serialize(LumoAttr *attr, int *length) noexcept;
// The name and the stored text (each the empty text when missing), which toString puts
// together as name="text"; false for an attribute without data.
bool attr_parts(LumoAttr *attr, const char **name, const char **value) noexcept;

// The setters with their outcome: false when memory was refused (or, for the texts, the text is
// null), and the value is then as it was. The table's setters are these without the result.
bool attr_putVal(LumoAttr *attr, const char *text) noexcept;
bool attr_putRawVal(LumoAttr *attr, const char *text) noexcept;
bool attr_putBoolean(LumoAttr *attr, int value) noexcept;
bool attr_putFloat(LumoAttr *attr, double value) noexcept;
bool attr_putInt(LumoAttr *attr, int value) noexcept;
bool attr_putLong(LumoAttr *attr, long value) noexcept;

// For changes that must be able to go back: a new attribute without name holding exactly what
// setVal(attr, text) would leave in attr (buffer size included), null when memory is refused;
// attr_swapValues then exchanges the two values (stored text, buffer, decoded copy, entity
// flag), and exchanging again restores both.
LumoAttr *attr_staged(LumoAttr *attr, const char *text) noexcept;
void attr_swapValues(LumoAttr *a, LumoAttr *b) noexcept;

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

}  // namespace lumo

#endif
