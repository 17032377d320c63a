// lumo: the node module's functions for direct use inside the library (the same functions that
// fill NodeOp), for the parser and serializer that build and walk trees.
#ifndef LUMO_IMPL_NODE_HPP
#define LUMO_IMPL_NODE_HPP

#include <lumo/node.h>

LumoNode *node_inst(const char *name, LumoNode *parent, int type) noexcept;
// Deletes the node and its whole subtree without recursing, so trees of any depth go.
void node_del(LumoNode *node) noexcept;
// A deep copy without element text and type; the walk does not recurse. Null on failure.
// Each node of the copy is one block with its attributes.
LumoNode *node_clone(LumoNode *node) noexcept;
void node_addAttr(LumoNode *node, LumoAttr *attr) noexcept;
void node_addChild(LumoNode *node, LumoNode *child) noexcept;
// addAttr, addChild and setElement with their outcome, for builders that must not lose a part:
// false when memory was refused, and the node is then as it was (an attribute or child given
// to it has been deleted, as the node had taken it over).
bool node_appendAttr(LumoNode *node, LumoAttr *attr) noexcept;
bool node_appendChild(LumoNode *node, LumoNode *child) noexcept;
bool node_putElement(LumoNode *node, const char *text) noexcept;
LumoAttr *node_findAttr(LumoNode *node, const char *name) noexcept;
void node_removeAttr(LumoNode *node, LumoAttr *attr) noexcept;
void node_removeAttrByName(LumoNode *node, const char *name) noexcept;
LumoAttr *node_getAttr(LumoNode *node, int index) noexcept;
int node_getAttrCnt(LumoNode *node) noexcept;
void node_clearControlAttributes(LumoNode *node) noexcept;
void node_setForceRecursive(LumoNode *node) noexcept;
LumoNode *node_mergeNode(LumoNode *target, LumoNode *source, int overwrite, int recursive,
                         int keepId, int replaceChilds) noexcept;
// For readers inside the library that need no attribute object (which findAttr and getAttr
// make, and which memory may be refused for): whether the node has an attribute of that name
// (traced as findAttr traces when not), with its decoded value in *value (null when memory is
// refused for decoding); the name of the attribute at index, or null.
bool node_attrValue(LumoNode *node, const char *name, const char **value) noexcept;
const char *node_attrName(LumoNode *node, int index) noexcept;
LumoNode *node_getChild(LumoNode *node, int index) noexcept;
int node_getChildCnt(LumoNode *node) noexcept;
const char *node_getElement(LumoNode *node) noexcept;
const char *node_getName(LumoNode *node) noexcept;
int node_getType(LumoNode *node) noexcept;
void node_setElement(LumoNode *node, const char *text) noexcept;
LumoNode *node_findNode(LumoNode *node, const char *name) noexcept;

// The typed accessors' slots hold the exported functions themselves, getStr2 and setStr2 the
// same ones as getStr and setStr.
inline constexpr auto &node_getBool = lumo_node_getBool;
inline constexpr auto &node_getFloat = lumo_node_getFloat;
inline constexpr auto &node_getInt = lumo_node_getInt;
inline constexpr auto &node_getLong = lumo_node_getLong;
inline constexpr auto &node_getStr = lumo_node_getStr;
inline constexpr auto &node_getStr2 = lumo_node_getStr;
inline constexpr auto &node_setBool = lumo_node_setBool;
inline constexpr auto &node_setFloat = lumo_node_setFloat;
inline constexpr auto &node_setInt = lumo_node_setInt;
inline constexpr auto &node_setLong = lumo_node_setLong;
inline constexpr auto &node_setStr = lumo_node_setStr;
inline constexpr auto &node_setStr2 = lumo_node_setStr;

#endif
