// Fuzz target for the range checks of the schema runtime. The input is four fields cut at NUL
// or line feed: type, range, value and default. checkAttrRange runs on them directly, and xAttr
// on a node carrying the value under an optional and a required definition: the optional one
// always passes (a value that does not fit is reset to the default), the required one passes
// exactly when the value fits. The defaults of the definition are read as every type.
#include <lumo/attr.h>
#include <lumo/node.h>
#include <lumo/trace.h>
#include <lumo/wrapper.h>

#include "fuzz_check.hpp"

namespace {
constexpr const char *kTarget = "schema range";
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // Every check is traced: a trace without file or echo formats the records all the same.
  TraceOp.inst(-1, nullptr, 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string f[4];
  int n = 0;
  fuzz::fields(data, size, f, 4, &n);
  const std::string &type = f[0], &range = f[1], &value = f[2], &defval = f[3];
  fuzz::LiveBlocks blocks(kTarget);

  int fits = wUtils.checkAttrRange("node", "attr", type.c_str(), range.c_str(), value.c_str());
  LumoWgenAttr def = {"attr", "", "ms", type.c_str(), defval.c_str(), range.c_str(), 0};
  (void)xBool(&def);
  (void)xInt(&def);
  (void)xLong(&def);
  (void)xFloat(&def);
  (void)xStr(&def);

  LumoNode *node = NodeOp.inst("node", nullptr, LUMO_NODE_ELEMENT);
  if (!node) fuzz::fail(kTarget, "no node", "");
  // The value is stored raw, so that it reads back as it is whatever its entities.
  LumoAttr *attr = AttrOp.inst("attr", nullptr);
  AttrOp.setRawVal(attr, value.c_str());
  NodeOp.addAttr(node, attr);
  std::string read = AttrOp.getVal(attr);
  int fitsRead = wUtils.checkAttrRange("node", "attr", type.c_str(), range.c_str(), read.c_str());

  def.required = 1;
  if (xAttr(&def, node) != fitsRead)
    fuzz::fail(kTarget, "a required value passes although it does not fit, or the reverse",
               fuzz::show(type.c_str()) + " " + fuzz::show(range.c_str()) + " " +
                   fuzz::show(read.c_str()));
  def.required = 0;
  if (!xAttr(&def, node)) fuzz::fail(kTarget, "an optional value fails", fuzz::show(value.c_str()));
  NodeOp.del(node);

  LumoNode *empty = NodeOp.inst("node", nullptr, LUMO_NODE_ELEMENT);
  if (!xAttr(&def, empty)) fuzz::fail(kTarget, "a missing optional attribute fails", "");
  def.required = 1;
  if (xAttr(&def, empty)) fuzz::fail(kTarget, "a missing required attribute passes", "");
  NodeOp.del(empty);
  (void)fits;
  return 0;
}
