// lumo: the library loader's object layer; loading and lookup live in unx/ulib.cpp.
#include "lib.hpp"

#include "object.hpp"
#include "str.hpp"

namespace {

constexpr int kTid = LUMO_TID_LIB;
lumo::ClassInfo libClass{"OLib", kTid, "impl/lib"};

struct Impl : lumo::Base<LumoLib, libClass> {
  static void del(LumoLib *self) noexcept {
    LumoLibData *d = lumo::dataOf<LumoLibData>(self);
    if (!d) return;
    lumo_lib_free(d);
    str_freeStrID(d->path, kTid);
    lumo::freeInstance<LumoLibData>(self, libClass, __LINE__);
  }

  static char *toString(LumoLib *self) noexcept {
    LumoLibData *d = lumo::dataOf<LumoLibData>(self);
    return str_fmt("OLib: %s", d && d->path ? d->path : "<unnamed>");
  }

  static LumoLib *inst(const char *name) noexcept {
    LumoLibData *d = nullptr;
    LumoLib *self = lumo::newInstance(LibOp, libClass, __LINE__, &d);
    if (!self) return nullptr;
    d->path = str_dupID(name, kTid);
    lumo_lib_load(d);
    lumo::countInstance(libClass);
    return self;
  }

  // The slot holds the operating-system layer's function itself.
  static constexpr auto &getProc = lumo_lib_getProc;
};

}  // namespace

const LumoLib LibOp = {LUMO_BASE_INIT(Impl), LUMO_LIB_OPS(LUMO_SLOT_INIT_MEMBER, Impl)};
LUMO_CHECK_TABLE(LumoLib, LUMO_LIB_OPS, lumo::kOwnSlotsAt);
