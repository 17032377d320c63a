// lumo: the trace's writers for direct use inside the library: the va_list forms of the record
// operations, for modules that wrap the trace in variadic helpers of their own.
#ifndef LUMO_IMPL_TRACE_HPP
#define LUMO_IMPL_TRACE_HPP

#include <lumo/trace.h>

#include <cstdarg>

// trc over a va_list: a line record through the default trace.
void trace_vtrc(const char *object, int level, int line, int code, const char *format,
                va_list args) noexcept __attribute__((format(printf, 5, 0)));

// log over a va_list: a line record through the given trace; nothing when it is null.
void trace_vlog(LumoTrace *trace, const char *object, int level, int line, int code,
                const char *format, va_list args) noexcept __attribute__((format(printf, 6, 0)));

// terrno over a va_list: a line record with the error number and its text.
void trace_vterrno(const char *object, int level, int line, int code, int error, const char *format,
                   va_list args) noexcept __attribute__((format(printf, 6, 0)));

// False when no trace can write a record of this level (no trace has ever had it in its mask
// and it is not a protocol level): callers may skip formatting the record's arguments.
int trace_mayWrite(int level) noexcept;

// The one-letter tag of a level: "?" for 0 and for combinations of bits.
char trace_levelLetter(int level) noexcept;

#endif
