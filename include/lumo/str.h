/* lumo: string operations on NUL-terminated 8-bit strings.
 *
 * Every new string returned here belongs to the caller and is allocated through the memory
 * manager under allocation type 14 (strings), or under the id passed to an ...ID variant; free
 * it with freeStr, or with freeStrID and the same id. strToByte returns an untyped buffer that is
 * freed with MemOp.free. NULL arguments give NULL, 0 or false unless stated otherwise.
 * cat/catID and trim/trimID consume their first argument when they return a new string: the
 * caller replaces its string by the result. A result that would pass INT_MAX bytes is refused
 * (NULL); len saturates at INT_MAX. equalsn/equalsni with a negative count compare the whole
 * strings; long2snz/int2snz write at most 255 digits. No state: every operation is thread-safe on
 * strings the caller does not share. */
#ifndef LUMO_STR_H
#define LUMO_STR_H

#include <time.h>

#include <lumo/object.h>

#define LUMO_STR_FMT_MAX 4094 /* fmt/fmtID keep at most this many characters */

LUMO_EXTERN_C_BEGIN

#define LUMO_STR_OPS(X, C)                                                          \
  X(C, char *, byteToStr, (const unsigned char *bytes, int n))                      \
  X(C, char *, cat, (char *str, const char *text))                                  \
  X(C, char *, catID, (char *str, const char *text, int id))                        \
  X(C, char *, copy, (char *dst, const char *src))                                  \
  X(C, int, copynz, (char *dst, int dstLen, const char *src))                       \
  X(C, char *, createStamp, (void))                                                 \
  X(C, char *, createStampID, (int id))                                             \
  X(C, char *, createStampNoDots, (void))                                           \
  X(C, char *, decode4URL, (const char *str))                                       \
  X(C, char *, dup, (const char *str))                                              \
  X(C, char *, dupID, (const char *str, int id))                                    \
  X(C, char *, encode4URL, (const char *str))                                       \
  X(C, int, endsWith, (const char *str, const char *suffix))                        \
  X(C, int, endsWithi, (const char *str, const char *suffix))                       \
  X(C, int, equals, (const char *a, const char *b))                                 \
  X(C, int, equalsi, (const char *a, const char *b))                                \
  X(C, int, equalsn, (const char *a, const char *b, int n))                         \
  X(C, int, equalsni, (const char *a, const char *b, int n))                        \
  X(C, char *, find, (const char *str, const char *pattern))                        \
  X(C, char *, findc, (const char *str, int c))                                     \
  X(C, char *, findi, (const char *str, const char *pattern))                       \
  X(C, char *, fmt, (const char *format, ...))                                      \
  X(C, char *, fmtID, (int id, const char *format, ...))                            \
  X(C, char *, fmtb, (char *buffer, const char *format, ...))                       \
  X(C, void, freeStr, (char *str))                                                  \
  X(C, void, freeStrID, (char *str, int id))                                        \
  X(C, int, getCntLinefeeds, (const char *text))                                    \
  X(C, char *, getExtension, (const char *path))                                    \
  X(C, char *, getLine, (const char *text, int n))                                  \
  X(C, char *, getLineID, (const char *text, int n, int id))                        \
  X(C, char *, getNextLine, (const char *text, int *length))                        \
  X(C, void, int2snz, (char *field, int width, int value))                          \
  X(C, int, isEmpty, (const char *str))                                             \
  X(C, int, isNumber, (const char *str))                                            \
  X(C, char *, isoDate, (time_t t))                                                 \
  X(C, char *, isoTime, (time_t t))                                                 \
  X(C, int, len, (const char *str))                                                 \
  X(C, void, long2snz, (char *field, int width, long value))                        \
  X(C, int, replaceAll, (char *str, int from, int to))                              \
  X(C, char *, replaceAllSub, (const char *str, const char *sub, const char *rep))  \
  X(C, char *, replaceAllSubstitutions, (const char *str))                          \
  X(C, char *, snz2sz, (const char *field, int width))                              \
  X(C, char *, snz2szID, (const char *field, int width, int id))                    \
  X(C, int, startsWith, (const char *str, const char *prefix))                      \
  X(C, int, startsWithi, (const char *str, const char *prefix))                     \
  X(C, unsigned char *, strToByte, (const char *hex))                               \
  X(C, unsigned char *, strToByteBuffer, (const char *hex, unsigned char *buffer))  \
  X(C, char *, strlwr, (char *str))                                                 \
  X(C, char *, strupr, (char *str))                                                 \
  X(C, char *, trim, (char *str))                                                   \
  X(C, char *, trimID, (char *str, int id))

typedef struct LumoStr LumoStr;
struct LumoStr {
  LUMO_STR_OPS(LUMO_SLOT_FIELD, _)
};

LUMO_API extern const LumoStr StrOp;

LUMO_EXTERN_C_END

#endif
