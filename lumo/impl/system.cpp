// lumo: system services (environment properties now; the SystemOp table joins them with the
// platform services).
#include "system.hpp"

#include <cstdlib>

const char *system_getProperty(const char *name) noexcept {
  if (!name) return nullptr;
  return std::getenv(name);
}
