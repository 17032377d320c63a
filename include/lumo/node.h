/* lumo: the node tree: a name, ordered attributes, ordered children, optional element text and
 * a type. Configuration, commands and events travel as nodes. A node owns its attributes and
 * children: deleting a node deletes its subtree; removeChild hands the child to the caller.
 * Nodes carry no lock: a tree is used by one thread at a time, or callers coordinate with the
 * node's wait/post. The typed accessors, getNode, findNode, findAttr and findNextNode accept a
 * null node (getters give their default, setters do nothing). Texts returned by getters belong
 * to the node; toString/serialize/toEscString return new strings owned by the caller.
 * A node keeps its attributes in compact form: getAttr and findAttr hand out the attribute's
 * object, made on the first request (null when memory is refused) and the same object on every
 * later one; it reads and changes the node's own value and stays valid until the attribute is
 * removed or the node deleted. addAttr hands an attribute object over to the node (one that a
 * node already keeps is not taken again); deleting an object the node keeps lets go of the
 * object only, the node's attribute stays.
 * A setter whose memory is refused leaves the node as it was (no attribute without its value).
 * mergeNode returns target, or null when a node is null or memory was refused; after a refusal
 * both trees are exactly as they were. A recursive merge into a node inside the source's own
 * subtree merges from a copy of the source taken before the merge. */
#ifndef LUMO_NODE_H
#define LUMO_NODE_H

#include <lumo/attr.h>

/* Node types. */
#define LUMO_NODE_ELEMENT 0
#define LUMO_NODE_PROPERTY 2 /* processing instruction, such as the XML declaration */
#define LUMO_NODE_REMARK 3   /* comment */
#define LUMO_NODE_VARIABLE 4 /* declaration, such as a document type */

LUMO_EXTERN_C_BEGIN

typedef struct LumoNode LumoNode;

/* getStr and setStr each fill two adjacent slots (getStr/getStr2, setStr/setStr2) holding the
 * same operation: part of the table's layout, as lumo.h states. */
#define LUMO_NODE_OPS(X, C)                                                               \
  X(C, void, addAttr, (LumoNode * self, LumoAttr * attr))                                 \
  X(C, void, addChild, (LumoNode * self, LumoNode * child))                               \
  X(C, void, clearControlAttributes, (LumoNode * self))                                   \
  X(C, LumoAttr *, findAttr, (LumoNode * self, const char *name))                         \
  X(C, LumoNode *, findNextNode, (LumoNode * self, LumoNode * child))                     \
  X(C, LumoNode *, findNode, (LumoNode * self, const char *name))                         \
  X(C, LumoAttr *, getAttr, (LumoNode * self, int index))                                 \
  X(C, int, getAttrCnt, (LumoNode * self))                                                \
  X(C, int, getBool, (LumoNode * self, const char *name, int def))                        \
  X(C, LumoNode *, getChild, (LumoNode * self, int index))                                \
  X(C, int, getChildCnt, (LumoNode * self))                                               \
  X(C, const char *, getElement, (LumoNode * self))                                       \
  X(C, double, getFloat, (LumoNode * self, const char *name, double def))                 \
  X(C, int, getInt, (LumoNode * self, const char *name, int def))                         \
  X(C, long, getLong, (LumoNode * self, const char *name, long def))                      \
  X(C, const char *, getName, (LumoNode * self))                                          \
  X(C, LumoNode *, getNode, (LumoNode * self, const char *name))                          \
  X(C, LumoNode *, getParent, (LumoNode * self))                                          \
  X(C, const char *, getStr, (LumoNode * self, const char *name, const char *def))        \
  X(C, const char *, getStr2, (LumoNode * self, const char *name, const char *def))       \
  X(C, int, getType, (LumoNode * self))                                                   \
  X(C, LumoNode *, inst, (const char *name, LumoNode *parent, int type))                  \
  X(C, LumoNode *, mergeNode,                                                             \
    (LumoNode * target, LumoNode *source, int overwrite, int recursive, int keepId,       \
     int replaceChilds))                                                                  \
  X(C, int, post, (LumoNode * self))                                                      \
  X(C, void, removeAttr, (LumoNode * self, LumoAttr * attr))                              \
  X(C, void, removeAttrByName, (LumoNode * self, const char *name))                       \
  X(C, LumoNode *, removeChild, (LumoNode * self, LumoNode * child))                      \
  X(C, void, setBool, (LumoNode * self, const char *name, int value))                     \
  X(C, void, setElement, (LumoNode * self, const char *text))                             \
  X(C, void, setFloat, (LumoNode * self, const char *name, double value))                 \
  X(C, void, setForceRecursive, (LumoNode * self))                                        \
  X(C, void, setInt, (LumoNode * self, const char *name, int value))                      \
  X(C, void, setLong, (LumoNode * self, const char *name, long value))                    \
  X(C, void, setName, (LumoNode * self, const char *name))                                \
  X(C, void, setParent, (LumoNode * self, LumoNode * parent))                             \
  X(C, void, setStr, (LumoNode * self, const char *name, const char *text))               \
  X(C, void, setStr2, (LumoNode * self, const char *name, const char *text))              \
  X(C, void, setType, (LumoNode * self, int type))                                        \
  X(C, char *, toEscString, (LumoNode * self))                                            \
  X(C, void, triggerSkipMerge, (LumoNode * self))                                         \
  X(C, int, wait, (LumoNode * self, int timeoutMs))

struct LumoNode {
  LUMO_BASE_SLOTS(LumoNode)
  LUMO_NODE_OPS(LUMO_SLOT_FIELD, _)
};

LUMO_API extern const LumoNode NodeOp;

/* The typed accessors behind the table's slots. */
LUMO_API int lumo_node_getBool(LumoNode *node, const char *name, int def);
LUMO_API double lumo_node_getFloat(LumoNode *node, const char *name, double def);
LUMO_API int lumo_node_getInt(LumoNode *node, const char *name, int def);
LUMO_API long lumo_node_getLong(LumoNode *node, const char *name, long def);
LUMO_API const char *lumo_node_getStr(LumoNode *node, const char *name, const char *def);
LUMO_API void lumo_node_setBool(LumoNode *node, const char *name, int value);
LUMO_API void lumo_node_setFloat(LumoNode *node, const char *name, double value);
LUMO_API void lumo_node_setInt(LumoNode *node, const char *name, int value);
LUMO_API void lumo_node_setLong(LumoNode *node, const char *name, long value);
LUMO_API void lumo_node_setStr(LumoNode *node, const char *name, const char *text);
/* The attribute's getRawVal (its decoded copy once getVal has made one, else the stored text),
 * or def. */
LUMO_API const char *lumo_node_getRawVal(LumoNode *node, const char *name, const char *def);
/* Like setStr, but stores the text unchanged; a null text removes the attribute. */
LUMO_API void lumo_node_setRawVal(LumoNode *node, const char *name, const char *text);

LUMO_EXTERN_C_END

#endif
