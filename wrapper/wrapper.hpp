// lumo: the schema runtime's inside: the accessor templates that every generated schema table is
// built from, the validation behind node_dump, and the text helpers of the checks.
//
// The templates reach the library through exported functions and tables only, so a schema
// generated outside the library (a test's own schema) is built exactly like the four inside it.
#ifndef LUMO_WRAPPER_WRAPPER_HPP
#define LUMO_WRAPPER_WRAPPER_HPP

#include <lumo/node.h>
#include <lumo/str.h>
#include <lumo/trace.h>
#include <lumo/wrapper.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdlib>

#include "../lumo/impl/str.hpp"

// The range check behind wUtils, for direct calls inside the library.
int wutils_checkAttrRange(const char *nodeName, const char *attrName, const char *type,
                          const char *range, const char *value) noexcept;
// The same, telling through *refused that memory was refused while the range was read: the
// value is then neither in nor out of range, and 0 is returned without a range message.
int wutils_checkRange(const char *nodeName, const char *attrName, const char *type,
                      const char *range, const char *value, bool *refused) noexcept;

namespace lumo {
namespace wgen {

inline bool equalsIgnoreCase(const char *a, const char *b) noexcept {
  return StrOp.equalsi(a, b) != 0;
}

// Decimal readers with atoi's rules (leading blanks, sign, digits up to the first other
// character, 0 when there are none); out-of-range values saturate instead of being undefined.
inline long readLong(const char *text) noexcept {
  if (!text) return 0;
  int saved = errno;
  long value = std::strtol(text, nullptr, 10);
  errno = saved;
  return value;
}

inline int readInt(const char *text) noexcept {
  long value = readLong(text);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

inline double readFloat(const char *text) noexcept {
  if (!text) return 0.0;
  int saved = errno;
  double value = std::strtod(text, nullptr);
  errno = saved;
  return value;
}

constexpr const char *kParamObject = "param";

// node_dump of a generated schema: the node definition, its attribute and child lists (both
// null-terminated, in definition order) and the node to validate.
inline int dump(const LumoWgenNode &def, const LumoWgenAttr *const *attrs,
                const LumoWgenNode *const *childs, LumoNode *node) noexcept {
  if (!node) {
    if (def.required) {
      TraceOp.trc(kParamObject, LUMO_TRC_E, __LINE__, LUMO_TRC_CODE,
                  ">>>>> Required node %s not found!", lumo::orEmpty(def.name));
      return 0;
    }
    TraceOp.trc(kParamObject, LUMO_TRC_Z, __LINE__, LUMO_TRC_CODE, "Node %s not found!",
                lumo::orEmpty(def.name));
    return 1;
  }
  TraceOp.trc(kParamObject, LUMO_TRC_A, __LINE__, LUMO_TRC_CODE, "%s", "");
  // Unknown attributes and children are reported, but a node carrying them is still usable.
  xAttrTest(attrs, node);
  xNodeTest(childs, node);
  int ok = 1;
  for (const LumoWgenAttr *const *a = attrs; *a; ++a)
    if (!xAttr(*a, node)) ok = 0;
  return ok;
}

// The accessors of one schema node N. A getter without a node gives the default silently; with
// a node of another name the mismatch is traced and the access goes on.
template <const LumoWgenNode &N>
struct Schema {
  static const char *nodeName() noexcept { return N.name; }
  static const char *nodeRemark() noexcept { return N.remark; }
  static int nodeRequired() noexcept { return N.required; }
  static const char *nodeCardinality() noexcept { return N.cardinality; }

  template <const LumoWgenAttr &A>
  static int isBool(LumoNode *node) noexcept {
    const int def = xBool(&A);
    if (!node) return def;
    xNode(&N, node);
    return lumo_node_getBool(node, A.name, def);
  }
  template <const LumoWgenAttr &A>
  static void setBool(LumoNode *node, int value) noexcept {
    if (!node) return;
    xNode(&N, node);
    lumo_node_setBool(node, A.name, value);
  }

  template <const LumoWgenAttr &A>
  static int getInt(LumoNode *node) noexcept {
    const int def = xInt(&A);
    if (!node) return def;
    xNode(&N, node);
    return lumo_node_getInt(node, A.name, def);
  }
  template <const LumoWgenAttr &A>
  static void setInt(LumoNode *node, int value) noexcept {
    if (!node) return;
    xNode(&N, node);
    lumo_node_setInt(node, A.name, value);
  }

  template <const LumoWgenAttr &A>
  static long getLong(LumoNode *node) noexcept {
    const long def = xLong(&A);
    if (!node) return def;
    xNode(&N, node);
    return lumo_node_getLong(node, A.name, def);
  }
  template <const LumoWgenAttr &A>
  static void setLong(LumoNode *node, long value) noexcept {
    if (!node) return;
    xNode(&N, node);
    lumo_node_setLong(node, A.name, value);
  }

  template <const LumoWgenAttr &A>
  static double getFloat(LumoNode *node) noexcept {
    const double def = xFloat(&A);
    if (!node) return def;
    xNode(&N, node);
    return lumo_node_getFloat(node, A.name, def);
  }
  template <const LumoWgenAttr &A>
  static void setFloat(LumoNode *node, double value) noexcept {
    if (!node) return;
    xNode(&N, node);
    lumo_node_setFloat(node, A.name, value);
  }

  template <const LumoWgenAttr &A>
  static const char *getStr(LumoNode *node) noexcept {
    const char *def = xStr(&A);
    if (!node) return def;
    xNode(&N, node);
    return lumo_node_getStr(node, A.name, def);
  }
  template <const LumoWgenAttr &A>
  static void setStr(LumoNode *node, const char *value) noexcept {
    if (!node) return;
    xNode(&N, node);
    lumo_node_setStr(node, A.name, value);
  }

  template <const LumoWgenNode &C>
  static LumoNode *getChild(LumoNode *node) noexcept {
    if (!node) return nullptr;
    xNode(&N, node);
    return NodeOp.findNode(node, C.name);
  }
  // The child given names the kind; C only keeps one accessor per child definition.
  template <const LumoWgenNode &C>
  static LumoNode *nextChild(LumoNode *node, LumoNode *child) noexcept {
    if (!node) return nullptr;
    xNode(&N, node);
    return NodeOp.findNextNode(node, child);
  }
  // Attaching children through the schema was never built; plug-ins use addChild.
  template <const LumoWgenNode &C>
  static void setChild(LumoNode *node, LumoNode *) noexcept {
    if (node) xNode(&N, node);
    TraceOp.println("!!!!!TODO!!!!! Wrapper setNode()");
  }
};

// Compile-time layout check of a generated record: every member directly follows the one
// before it (only alignment padding between), in record order.
struct Member {
  std::size_t offset;
  std::size_t size;
  std::size_t align;
};

constexpr std::size_t alignUp(std::size_t n, std::size_t a) { return (n + a - 1) / a * a; }

template <std::size_t N>
constexpr bool membersInOrder(const Member (&members)[N], std::size_t recordSize) {
  if (members[0].offset != 0) return false;
  for (std::size_t i = 1; i < N; ++i)
    if (members[i].offset != alignUp(members[i - 1].offset + members[i - 1].size, members[i].align))
      return false;
  return recordSize == alignUp(members[N - 1].offset + members[N - 1].size, alignof(void *));
}

}  // namespace wgen
}  // namespace lumo

#define LUMO_WGEN_MEMBER(T, m) \
  lumo::wgen::Member { offsetof(T, m), sizeof(T::m), alignof(decltype(T::m)) }

#endif
