/* lumo: the schema runtime: the definition records of nodes and attributes, the conversion of a
 * definition's default text into a typed default, and the checks that validate a node against
 * its definitions. The generated schema modules (wCmdline.h, wConCmd.h, wDigInt.h, wProgram.h)
 * are built on these.
 *
 * Definition records and lists are constant data; the functions keep no state and may be called
 * from any thread (the node they are given belongs to the caller's thread). Texts returned point
 * into the definition records and are never freed. A null definition or node is answered with
 * 0, false or null; nothing here throws or aborts. */
#ifndef LUMO_WRAPPER_H
#define LUMO_WRAPPER_H

#include <lumo/node.h>

LUMO_EXTERN_C_BEGIN

/* One attribute of a schema. Texts are never null in generated records; a default of "NULL"
 * means no value. type is "int", "long", "float", "bool" or "string". */
typedef struct LumoWgenAttr {
  const char *name;
  const char *remark;
  const char *unit; /* appended to the default in messages, such as "ms" */
  const char *type;
  const char *defval; /* the default as text */
  const char *range;  /* "*", "low-high" (high may be "*"), "a,b,c" or empty */
  int required;
} LumoWgenAttr;

/* One node of a schema: the schema's own node or one of its child nodes. */
typedef struct LumoWgenNode {
  const char *name;
  const char *remark;
  int required;
  const char *cardinality; /* "1" or "n" */
} LumoWgenNode;

/* Definition lists are arrays of record pointers ended by a null pointer. */

/* Defaults: xBool is true when the default equals "true" ignoring case; xInt, xLong and xFloat
 * read the default as a decimal or floating-point number (0 when it is absent); xStr gives the
 * default text, or null when it is absent or equals "NULL" ignoring case. */
LUMO_API int xBool(const LumoWgenAttr *def);
LUMO_API int xInt(const LumoWgenAttr *def);
LUMO_API long xLong(const LumoWgenAttr *def);
LUMO_API double xFloat(const LumoWgenAttr *def);
LUMO_API const char *xStr(const LumoWgenAttr *def);

/* True when the node is named as the definition (ignoring case); a mismatch is traced and
 * answered false, and callers go on working on the node regardless. A null node is false. */
LUMO_API int xNode(const LumoWgenNode *def, LumoNode *node);

/* Validates one attribute of the node: a missing required attribute fails; a present value that
 * fails its range check is reset to the default text when the attribute is optional (true), and
 * fails when it is required. The node may be changed. */
LUMO_API int xAttr(const LumoWgenAttr *def, LumoNode *node);

/* False when the node carries an attribute (xAttrTest) or a child (xNodeTest) that the list does
 * not define. An empty list accepts everything; a child named "remark" is always accepted. */
LUMO_API int xAttrTest(const LumoWgenAttr *const *list, LumoNode *node);
LUMO_API int xNodeTest(const LumoWgenNode *const *list, LumoNode *node);

/* wUtils: service table, one slot.
 * checkAttrRange(node name, attribute name, type, range, value text): true when the value fits
 *   the type and the range; a failure is traced with the value and the range. */
#define LUMO_WUTILS_OPS(X, C)                                                         \
  X(C, int, checkAttrRange,                                                           \
    (const char *nodeName, const char *attrName, const char *type, const char *range, \
     const char *value))

typedef struct LumoWUtils {
  LUMO_WUTILS_OPS(LUMO_SLOT_FIELD, _)
} LumoWUtils;

LUMO_API extern const LumoWUtils wUtils;

LUMO_EXTERN_C_END

#endif
