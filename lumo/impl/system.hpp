// lumo: system-module functions used directly inside the library.
#ifndef LUMO_IMPL_SYSTEM_HPP
#define LUMO_IMPL_SYSTEM_HPP

#include <lumo/system.h>

// The value of environment variable name, or null; the text belongs to the environment.
const char *system_getProperty(const char *name) noexcept;

#endif
