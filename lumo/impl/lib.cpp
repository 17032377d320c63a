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
};

constexpr const char *kSlots[] = {LUMO_LIB_OPS(LUMO_SLOT_NAME, _)};
static_assert(lumo::namesAscending(kSlots), "LibOp slots are in byte-wise order");

}  // namespace

const LumoLib LibOp = {LUMO_BASE_INIT(Impl), &lumo_lib_getProc, &Impl::inst};
static_assert(lumo::classLayoutOk<LumoLib, 2>(), "LibOp layout");
