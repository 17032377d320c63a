// lumo: system-module functions used directly inside the library, and the seams its tests
// reach through the shared object.
#ifndef LUMO_IMPL_SYSTEM_HPP
#define LUMO_IMPL_SYSTEM_HPP

#include <lumo/system.h>

#include <cstddef>

// The value of environment variable name, or null; the text belongs to the environment.
const char *system_getProperty(const char *name) noexcept;

// Runs command through the shell and waits for it; the shell's status, -1 for a null command.
int system_exec(const char *command) noexcept;

// The text of an error number, as SystemOp.getErrStr (static, never null).
const char *system_getErrStr(int error) noexcept;

// The process id (from the platform layer).
int system_processId() noexcept;

namespace lumo {

// Exported for the module's tests only; no public header declares them.

// Sunrise or sunset for the given local date (year with century, month 1..12, day) and
// daylight-saving flag: the steps and the result of SystemOp.sunrise.
LUMO_API int system_sunriseOn(int year, int month, int day, int dst, int rising, int offset,
                              double latitude, double longitude) noexcept;

// Writes the halt command for password (quoted for the shell) into buffer; false, with the
// buffer emptied, when it does not fit in size bytes.
LUMO_API bool system_shutdownCommand(char *buffer, std::size_t size, const char *password) noexcept;

}  // namespace lumo

#endif
