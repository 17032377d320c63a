// lumo: the file module's functions for direct use inside the library (the same functions that
// fill FileOp): the trace opens, writes and names its files through them.
#ifndef LUMO_IMPL_FILE_HPP
#define LUMO_IMPL_FILE_HPP

#include <lumo/file.h>

#include <cstdarg>

#include "object.hpp"

LUMO_FILE_OPS(LUMO_SLOT_DECLARE, file_)

// inst for the files the library creates where others may write (trace, exception and command
// output files): a symbolic link in the last component is refused like any failed open, and a
// FIFO without a reader is refused rather than waited for.
LumoFile *file_instNoFollow(const char *path, int mode) noexcept;

// The base slot del: closes the stream (a failure is traced) and releases the object.
void file_del(LumoFile *file) noexcept;

int file_fmtFile(LumoFile *file, const char *format, ...) noexcept
    __attribute__((format(printf, 2, 3)));

// fmtFile over a va_list.
int file_vfmtFile(LumoFile *file, const char *format, va_list args) noexcept
    __attribute__((format(printf, 2, 0)));

#endif
