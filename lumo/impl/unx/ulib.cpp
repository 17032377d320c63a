// lumo: platform layer of the library loader (dlopen with lazy binding).
#include <dlfcn.h>

#include <lumo/mem.h>

#include "../lib.hpp"
#include "../str.hpp"
#include "../trace.hpp"

namespace {

constexpr const char *kObject = "OLib";

using lumo::orEmpty;

}  // namespace

int lumo_lib_load(LumoLibData *lib) {
  if (!lib) return 0;
  if (lib->path && !str_endsWith(lib->path, ".so")) {
    char *withSuffix = str_catID(lib->path, ".so", LUMO_TID_LIB);
    if (withSuffix) lib->path = withSuffix;
  }
  dlerror();
  lib->handle = lib->path ? dlopen(lib->path, RTLD_LAZY) : nullptr;
  const char *error = dlerror();
  if (lib->handle) {
    TraceOp.trc(kObject, LUMO_TRC_D, __LINE__, LUMO_TRC_CODE, "lumo_lib_load OK [%s]", lib->path);
    return 1;
  }
  TraceOp.trc(kObject, LUMO_TRC_E, __LINE__, LUMO_TRC_CODE, "lumo_lib_load [%s] failed. rc=%s",
              orEmpty(lib->path), orEmpty(error));
  return 0;
}

void *lumo_lib_getProc(LumoLib *self, const char *name) {
  LumoLibData *d = self ? static_cast<LumoLibData *>(self->data) : nullptr;
  const char *path = d ? orEmpty(d->path) : "";
  dlerror();
  // The handle goes to dlsym as stored, also when it is null after a failed load: dlsym then
  // searches the process's global scope.
  void *address = (d && name) ? dlsym(d->handle, name) : nullptr;
  const char *error = dlerror();
  if (address) {
    TraceOp.trc(kObject, LUMO_TRC_D, __LINE__, LUMO_TRC_CODE, "lumo_lib_getProc OK [%s.%s]", path,
                name);
    return address;
  }
  TraceOp.trc(kObject, LUMO_TRC_E, __LINE__, LUMO_TRC_CODE,
              "lumo_lib_getProc [%s.%s] failed. rc=%s", path, orEmpty(name), orEmpty(error));
  return nullptr;
}

void lumo_lib_free(LumoLibData *lib) {
  if (lib && lib->handle) {
    dlclose(lib->handle);
    lib->handle = nullptr;
  }
}
