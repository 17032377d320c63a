/* lumo: the dynamic library loader: one instance per shared library, loaded when the instance
 * is created, with symbol lookup by name and unloading on del. inst returns an instance also
 * when loading failed (the failure is traced at level E; getProc then yields null). The caller
 * owns the instance; del unloads the library, so addresses from getProc are valid until then. */
#ifndef LUMO_LIB_H
#define LUMO_LIB_H

#include <lumo/object.h>

LUMO_EXTERN_C_BEGIN

typedef struct LumoLib LumoLib;
/* A library's data record, as the operating-system layer sees it. */
typedef struct LumoLibData LumoLibData;

/* inst: the file name with or without directory; ".so" is appended when it does not end so. */
#define LUMO_LIB_OPS(X, C)                                \
  X(C, void *, getProc, (LumoLib * self, const char *name)) \
  X(C, LumoLib *, inst, (const char *name))

struct LumoLib {
  LUMO_BASE_SLOTS(LumoLib)
  LUMO_LIB_OPS(LUMO_SLOT_FIELD, _)
};

LUMO_API extern const LumoLib LibOp;

/* Operating-system layer. load: true when the library is loaded. free: unloads it when a handle
 * exists. getProc: the symbol's address or null (the getProc slot holds this function). */
LUMO_API int lumo_lib_load(LumoLibData *lib);
LUMO_API void *lumo_lib_getProc(LumoLib *lib, const char *name);
LUMO_API void lumo_lib_free(LumoLibData *lib);

LUMO_EXTERN_C_END

#endif
