/* lumo: EBCDIC conversion. An EBCDIC object holds two 256-byte translation tables, PC byte to
 * EBCDIC byte and back, made for a PC code page (1252 or 0: Windows-1252 / ISO-8859-1; 437) from
 * built-in tables, or from a converter file that lists the mappings. Any other code page
 * without a converter file gives all-zero tables (every byte converts to 0).
 *
 * Converter file: an XML document whose root element (of any name) has children named "conv",
 * each with the attributes "ebcdic" and "latin1" written as C integer constants (decimal, 0x
 * hexadecimal or 0 octal); only their low eight bits count, and a mapping with a zero on either
 * side is ignored. A readable, non-empty file replaces the built-in tables entirely: a byte it
 * does not map converts to 0. A missing or empty file falls back to the 1252 tables.
 *
 * Conversions work in place on length bytes of the caller's buffer (no terminator is needed or
 * written) and return the buffer. An object is immutable after inst, so one object may serve
 * several threads. The caller owns what inst returns and releases it with del; toString returns
 * a new string ("CodePage=%d") that the caller frees with StrOp.freeStrID(..., LUMO_TID_EBCDIC). */
#ifndef LUMO_EBCDIC_H
#define LUMO_EBCDIC_H

#include <lumo/object.h>

LUMO_EXTERN_C_BEGIN

typedef struct LumoEbcdic LumoEbcdic;

/* Ascii2Ebcdic / Ebcdic2Ascii: each byte replaced by its table entry.
 * Ebcdic2TrueAscii: as Ebcdic2Ascii, then every result below 0x20 or from 0x80 up becomes '.'
 *   (0x7F stays). Ebcdic2ExtAscii: as Ebcdic2Ascii, then every result below 0x20 or above 0x7E
 *   becomes '.'.
 * getAscii(code): the EBCDIC byte of the PC character code. getEbcdic(code): the PC character of
 *   the EBCDIC byte code. Only the low eight bits of code are used.
 * inst(codePage, converterFile or null): the path is read during inst only. */
#define LUMO_EBCDIC_OPS(X, C)                                                   \
  X(C, char *, Ascii2Ebcdic, (LumoEbcdic * self, char *buffer, int length))     \
  X(C, char *, Ebcdic2Ascii, (LumoEbcdic * self, char *buffer, int length))     \
  X(C, char *, Ebcdic2ExtAscii, (LumoEbcdic * self, char *buffer, int length))  \
  X(C, char *, Ebcdic2TrueAscii, (LumoEbcdic * self, char *buffer, int length)) \
  X(C, unsigned char, getAscii, (LumoEbcdic * self, int code))                  \
  X(C, unsigned char, getEbcdic, (LumoEbcdic * self, int code))                 \
  X(C, LumoEbcdic *, inst, (int codePage, const char *converterFile))

struct LumoEbcdic {
  LUMO_BASE_SLOTS(LumoEbcdic)
  LUMO_EBCDIC_OPS(LUMO_SLOT_FIELD, _)
};

LUMO_API extern const LumoEbcdic EbcdicOp;

LUMO_EXTERN_C_END

#endif
