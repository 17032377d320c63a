/* lumo: the object model shared by every module.
 *
 * A module is one global operation table (a struct of function pointers). An instance is a heap
 * copy of that table whose first slot, `data`, points at the instance's private data record; the
 * instance pointer is the handle callers keep. Class tables start with the twelve base slots
 * below, then the module's own operations in byte-wise ascending order of their names (lumo.h
 * lists the few tables that depart from it). Plug-ins built elsewhere reach operations by
 * position, so the layout is part of the ABI. */
#ifndef LUMO_OBJECT_H
#define LUMO_OBJECT_H

#include <lumo/export.h>

/* The twelve base slots that head every class table, typed for the instance type T. */
#define LUMO_BASE_SLOTS(T)                                         \
  void *data;                                                      \
  void (*del)(T * self);                                           \
  const char *(*name)(void);                                       \
  unsigned char *(*serialize)(T * self, int *length);              \
  void (*deserialize)(T * self, const unsigned char *image);       \
  char *(*toString)(T * self);                                     \
  int (*count)(void);                                              \
  T *(*clone)(T * self);                                           \
  int (*equals)(T * self, T * other);                              \
  void *(*properties)(T * self);                                   \
  void *(*id)(T * self);                                           \
  void *(*event)(T * self, void *eventData);

/* Operation lists are written once as X-macros, X(ctx, return type, name, (parameters)), and
 * expanded into the struct here and into the initialiser inside the library, so the slot order
 * of the header and of the implementation can never drift apart. */
#define LUMO_SLOT_FIELD(ctx, ret, name, params) ret(*name) params;

/* Reads the data slot of an instance. */
#define LUMO_DATA(inst) ((inst)->data)

LUMO_EXTERN_C_BEGIN

/* Any instance seen through its base slots only: what the hub knows of a plug-in's object. */
typedef struct LumoObject LumoObject;
struct LumoObject {
  LUMO_BASE_SLOTS(LumoObject)
};

LUMO_EXTERN_C_END

#endif
