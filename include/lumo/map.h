/* lumo: string keys to opaque pointer values in 1013 fixed hash buckets. The map copies and
 * owns its keys; it never owns or releases values. Not synchronised: callers that share a map
 * lock around every call, the whole iteration included.
 *
 * The bucket of a key is part of the contract (it decides the iteration order): the unkeyed
 * accumulator acc * 31 + byte, modulo 1013. Keys that share a bucket are easy to make, and a
 * bucket is searched entry by entry, so n keys chosen by an adversary cost n * n steps to
 * insert. Keep keys that come from outside the process (documents, the network) out of a map,
 * or bound their number. A put that cannot get memory leaves the map as it was. */
#ifndef LUMO_MAP_H
#define LUMO_MAP_H

#include <lumo/list.h>

#define LUMO_MAP_BUCKETS 1013

LUMO_EXTERN_C_BEGIN

typedef struct LumoMap LumoMap;

/* first2key/next2key store the map's own copy of the key (valid until the entry goes).
 * getList: a new list of every value in iteration order, owned by the caller. */
#define LUMO_MAP_OPS(X, C)                                       \
  X(C, void, clear, (LumoMap * self))                            \
  X(C, void *, first, (LumoMap * self))                          \
  X(C, void *, first2key, (LumoMap * self, char **key))          \
  X(C, void *, get, (LumoMap * self, const char *key))           \
  X(C, LumoList *, getList, (LumoMap * self))                    \
  X(C, int, haskey, (LumoMap * self, const char *key))           \
  X(C, LumoMap *, inst, (void))                                  \
  X(C, void *, next, (LumoMap * self))                           \
  X(C, void *, next2key, (LumoMap * self, char **key))           \
  X(C, void, put, (LumoMap * self, const char *key, void *value)) \
  X(C, void *, remove, (LumoMap * self, const char *key))        \
  X(C, int, size, (LumoMap * self))

struct LumoMap {
  LUMO_BASE_SLOTS(LumoMap)
  LUMO_MAP_OPS(LUMO_SLOT_FIELD, _)
};

LUMO_API extern const LumoMap MapOp;

LUMO_EXTERN_C_END

#endif
