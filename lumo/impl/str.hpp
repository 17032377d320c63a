// lumo: the string module's functions for direct use inside the library (the same functions
// that fill StrOp), plus the va_list form of fmtID that the trace formats through and the
// empty text that every module puts in place of a missing one.
#ifndef LUMO_IMPL_STR_HPP
#define LUMO_IMPL_STR_HPP

#include <lumo/str.h>

#include <cstdarg>

#include "object.hpp"

LUMO_STR_OPS(LUMO_SLOT_DECLARE, str_)

// Format checking for the variadic ones (a redeclaration may add attributes).
char *str_fmt(const char *format, ...) noexcept __attribute__((format(printf, 1, 2)));
char *str_fmtID(int id, const char *format, ...) noexcept __attribute__((format(printf, 2, 3)));
char *str_fmtb(char *buffer, const char *format, ...) noexcept
    __attribute__((format(printf, 2, 3)));

// dupID for modules that tag their strings with their own source ("impl/node") and line.
char *str_dupTagged(const char *text, int id, const char *source, int line) noexcept;

// fmtID over a va_list: same 4096-byte scratch buffer and 4094-character cut.
char *str_vfmtID(int id, const char *format, va_list args) noexcept
    __attribute__((format(printf, 2, 0)));

// The stamp of createStampID (dots true) or createStampNoDots written into buffer, which holds
// LUMO_STAMP_SIZE bytes; false, with the buffer emptied, when the clock cannot be read.
constexpr int LUMO_STAMP_SIZE = 32;
bool str_stampInto(char *buffer, bool dots) noexcept;

namespace lumo {

// A text that may be missing, for formats and comparisons that need one.
inline const char *orEmpty(const char *text) noexcept { return text ? text : ""; }

}  // namespace lumo

#endif
