/* lumo: the tracked memory manager.
 *
 * Every block carries a hidden 20-byte header (magic "#@liblumo@#", requested size, allocation
 * type) directly before the caller's pointer, so a release can tell a live block of the expected
 * type from anything else. Blocks are zero-filled. Allocation types 0..22 are counted per type;
 * 23 is the untyped id and is never counted; type 14 (strings) is also entered in a registry of
 * up to 400 live strings. Messages go to standard output, never to the trace, because the trace
 * allocates through this module. All operations may be called from any thread. */
#ifndef LUMO_MEM_H
#define LUMO_MEM_H

#include <lumo/object.h>

#define LUMO_MEM_HEADER_SIZE 20
#define LUMO_MEM_TYPE_COUNT 24
#define LUMO_MEM_MAX_STRINGS 400

/* Allocation-type identifiers of the modules. */
enum {
  LUMO_TID_ATTR = 0,
  LUMO_TID_CMDLN = 1,
  LUMO_TID_DOC = 3,
  LUMO_TID_EVENT = 4,
  LUMO_TID_FILE = 5,
  LUMO_TID_LIB = 6,
  LUMO_TID_LIST = 7,
  LUMO_TID_MAP = 8,
  LUMO_TID_MUTEX = 9,
  LUMO_TID_NODE = 10,
  LUMO_TID_QUEUE = 11,
  LUMO_TID_SOCKET = 13,
  LUMO_TID_STRING = 14,
  LUMO_TID_SYSTEM = 16,
  LUMO_TID_THREAD = 17,
  LUMO_TID_TRACE = 18,
  LUMO_TID_EBCDIC = 19,
  LUMO_TID_STRTOK = 21,
  LUMO_TID_UNTYPED = 23
};

LUMO_EXTERN_C_BEGIN

/* MemOp: service table, no base slots.
 * alloc/allocTID/realloc: zeroed block or null (message on stdout); a negative size is refused
 *   and leaves realloc's old block as it was.
 * free/freeTID: a block that is not live or has another type is reported and left alone, and so
 *   is any block freeTID is given with an id outside 0..23.
 * chr/cmp/copy/set: a negative length is reported and touches nothing (cmp answers false).
 * getAllocCount/getAllocSize: counted in 64 bits, answered saturated at INT_MAX.
 * getLastOperation: the text lies in a buffer of the calling thread.
 * freeObj: takes the address of an object handle, calls the object's own del, clears the handle.
 * dumpStrings(1): new string listing the registered strings (null when none); (0): prints them. */
#define LUMO_MEM_OPS(X, C)                                                           \
  X(C, void *, alloc, (int size, const char *source, int line))                      \
  X(C, void *, allocTID, (int size, int tid, const char *source, int line))          \
  X(C, void, basecpy, (void *dst, const void *table, int extLen, int total, void *data)) \
  X(C, void *, chr, (const void *buffer, int c, int length))                         \
  X(C, int, cmp, (const void *a, const void *b, int length))                         \
  X(C, void *, copy, (void *dst, const void *src, int length))                       \
  X(C, int *, dumpAllocCntID, (void))                                                \
  X(C, char *, dumpStrings, (int flag))                                              \
  X(C, void, free, (void *p, const char *source, int line))                          \
  X(C, void, freeObj, (void *handleAddress))                                         \
  X(C, void, freeTID, (void *p, int tid, const char *source, int line))              \
  X(C, int, getAllocCntID, (int tid))                                                \
  X(C, int, getAllocCount, (void))                                                   \
  X(C, int, getAllocSize, (void))                                                    \
  X(C, int, getDumpSize, (void))                                                     \
  X(C, char *, getLastOperation, (void))                                             \
  X(C, void, init, (void))                                                           \
  X(C, int, isValid, (void *p))                                                      \
  X(C, void *, realloc, (void *p, int size, const char *source, int line))           \
  X(C, void, resetDump, (void))                                                      \
  X(C, void *, set, (void *buffer, int c, int length))                               \
  X(C, void, setDebug, (int flag))

typedef struct LumoMem LumoMem;
struct LumoMem {
  LUMO_MEM_OPS(LUMO_SLOT_FIELD, _)
};

LUMO_API extern const LumoMem MemOp;

LUMO_EXTERN_C_END

#endif
