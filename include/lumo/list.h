/* lumo: a growable array of opaque pointers with positional access, identity search, one
 * iteration cursor and in-place sorting. The list never owns or releases its elements. Not
 * synchronised: callers that share a list lock around it. */
#ifndef LUMO_LIST_H
#define LUMO_LIST_H

#include <lumo/object.h>

LUMO_EXTERN_C_BEGIN

typedef struct LumoList LumoList;

/* Compares two elements given the addresses of their slots; negative, zero or positive. */
typedef int (*LumoListCompare)(const void *a, const void *b);

/* Out-of-range positions are traced at level E and change nothing (null result). */
#define LUMO_LIST_OPS(X, C)                                     \
  X(C, void, add, (LumoList * self, void *element))             \
  X(C, void, clear, (LumoList * self))                          \
  X(C, void *, first, (LumoList * self))                        \
  X(C, void *, get, (LumoList * self, int position))            \
  X(C, int, getIndex, (LumoList * self))                        \
  X(C, int, hasObj, (LumoList * self, const void *element))     \
  X(C, void, insert, (LumoList * self, int position, void *element)) \
  X(C, LumoList *, inst, (void))                                \
  X(C, void *, next, (LumoList * self))                         \
  X(C, void *, remove, (LumoList * self, int position))         \
  X(C, void *, removeObj, (LumoList * self, const void *element)) \
  X(C, void, replace, (LumoList * self, int position, void *element)) \
  X(C, int, size, (LumoList * self))                            \
  X(C, void, sort, (LumoList * self, LumoListCompare compare))

struct LumoList {
  LUMO_BASE_SLOTS(LumoList)
  LUMO_LIST_OPS(LUMO_SLOT_FIELD, _)
};

LUMO_API extern const LumoList ListOp;

LUMO_EXTERN_C_END

#endif
