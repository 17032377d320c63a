// lumo: the schema runtime: typed defaults of attribute definitions and the checks of a node
// against its definitions (its name, one attribute, unknown attributes and unknown children).
#include "wrapper.hpp"

#include <lumo/attr.h>
#include <lumo/node.h>
#include <lumo/trace.h>
#include <lumo/wrapper.h>

#include "../lumo/impl/node.hpp"

using lumo::orEmpty;
using lumo::wgen::equalsIgnoreCase;

namespace {

constexpr const char *kObject = lumo::wgen::kParamObject;
constexpr const char *kNodeCheckObject = "wrapper";

}  // namespace

int xBool(const LumoWgenAttr *def) { return def && equalsIgnoreCase(def->defval, "true") ? 1 : 0; }

int xInt(const LumoWgenAttr *def) { return def ? lumo::wgen::readInt(def->defval) : 0; }

long xLong(const LumoWgenAttr *def) { return def ? lumo::wgen::readLong(def->defval) : 0L; }

double xFloat(const LumoWgenAttr *def) { return def ? lumo::wgen::readFloat(def->defval) : 0.0; }

const char *xStr(const LumoWgenAttr *def) {
  if (!def || !def->defval || equalsIgnoreCase(def->defval, "NULL")) return nullptr;
  return def->defval;
}

int xNode(const LumoWgenNode *def, LumoNode *node) {
  if (!def || !node) return 0;
  const char *name = NodeOp.getName(node);
  if (equalsIgnoreCase(name, def->name)) return 1;
  TraceOp.trc(kNodeCheckObject, LUMO_TRC_Z, __LINE__, LUMO_TRC_CODE,
              "Wrong wrapper? NodeName %s expected instead of %s", orEmpty(def->name),
              orEmpty(name));
  return 0;
}

int xAttr(const LumoWgenAttr *def, LumoNode *node) {
  if (!def) return 0;
  const char *nodeName = NodeOp.getName(node);
  const char *attrName = orEmpty(def->name);
  const char *value = nullptr;
  if (!node_attrValue(node, attrName, &value)) {
    if (!def->required) return 1;
    TraceOp.trc(kObject, LUMO_TRC_E, __LINE__, LUMO_TRC_CODE,
                ">>>>> Required attribute %s.%s not found!", nodeName, attrName);
    return 0;
  }
  // Without room for its decoded form the value cannot be checked: it stays, and fails.
  if (!value) return 0;
  bool refused = false;
  if (wutils_checkRange(nodeName, attrName, def->type, def->range, value, &refused)) return 1;
  // A value that could not be checked is not known to be out of range: it stays.
  if (def->required || refused) return 0;
  // An optional value that does not fit is replaced, so readers of the node see the default.
  NodeOp.setStr(node, attrName, def->defval);
  TraceOp.trc(kObject, LUMO_TRC_W, __LINE__, LUMO_TRC_CODE, "Using default [%s%s] for %s.%s.",
              orEmpty(def->defval), orEmpty(def->unit), nodeName, attrName);
  return 1;
}

int xAttrTest(const LumoWgenAttr *const *list, LumoNode *node) {
  const char *nodeName = NodeOp.getName(node);
  const int count = NodeOp.getAttrCnt(node);
  const bool acceptAll = !list || !list[0];
  TraceOp.trc(kObject, LUMO_TRC_Z, __LINE__, LUMO_TRC_CODE, "Testing %d attributes in node [%s]",
              count, nodeName);
  int ok = 1;
  for (int i = 0; i < count; ++i) {
    const char *name = orEmpty(node_attrName(node, i));
    TraceOp.trc(kObject, LUMO_TRC_Z, __LINE__, LUMO_TRC_CODE,
                "Checking attribute [%s] in node [%s]", name, nodeName);
    if (acceptAll) continue;
    bool known = false;
    for (const LumoWgenAttr *const *d = list; *d && !known; ++d)
      known = equalsIgnoreCase((*d)->name, name);
    if (!known) {
      TraceOp.trc(kObject, LUMO_TRC_W, __LINE__, LUMO_TRC_CODE,
                  "Unknown attribute [%s] found in node [%s]", name, nodeName);
      ok = 0;
    }
  }
  return ok;
}

int xNodeTest(const LumoWgenNode *const *list, LumoNode *node) {
  const char *nodeName = NodeOp.getName(node);
  const int count = NodeOp.getChildCnt(node);
  const bool acceptAll = !list || !list[0];
  TraceOp.trc(kObject, LUMO_TRC_Z, __LINE__, LUMO_TRC_CODE, "Testing %d childnodes in node [%s]",
              count, nodeName);
  int ok = 1;
  for (int i = 0; i < count; ++i) {
    const char *name = NodeOp.getName(NodeOp.getChild(node, i));
    TraceOp.trc(kObject, LUMO_TRC_Z, __LINE__, LUMO_TRC_CODE,
                "Checking childnode [%s] in node [%s]", name, nodeName);
    if (acceptAll || equalsIgnoreCase(name, "remark")) continue;
    bool known = false;
    for (const LumoWgenNode *const *d = list; *d && !known; ++d)
      known = equalsIgnoreCase((*d)->name, name);
    if (!known) {
      TraceOp.trc(kObject, LUMO_TRC_W, __LINE__, LUMO_TRC_CODE,
                  "Unknown childnode [%s] found in node [%s]", name, nodeName);
      ok = 0;
    }
  }
  return ok;
}
