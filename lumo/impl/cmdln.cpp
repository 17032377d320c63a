// lumo: the command-line parser. All parsing happens in inst; afterwards the parser only reads
// its map, whose values point into the caller's argument vector.
#include <lumo/cmdln.h>
#include <lumo/map.h>

#include <cstdlib>

#include "mem.hpp"
#include "object.hpp"
#include "str.hpp"

namespace {

constexpr int kTid = LUMO_TID_CMDLN;
constexpr const char *kSource = "impl/cmdln";

lumo::ClassInfo cmdlnClass{"OCmdLn", kTid, kSource};

// The value of an option given without one. Callers compare against the text, not the address.
char kNoValue[] = "key";

struct CmdLnData {
  int argc = 0;
  char **argv = nullptr;  // borrowed
  LumoMap *map = nullptr;
  char *description = nullptr;  // under the parser's allocation type
};

// Appends the texts to the description; on a refusal of the memory manager the description
// keeps what it had.
void describe(CmdLnData *d, const char *a, const char *b = nullptr, const char *c = nullptr,
              const char *e = nullptr) {
  const char *const texts[] = {a, b, c, e};
  for (const char *text : texts) {
    if (!text) break;
    if (char *joined = str_catID(d->description, text, kTid)) d->description = joined;
  }
}

void storeWithoutValue(CmdLnData *d, const char *name, const char *tail) {
  describe(d, "key=", name, tail);
  MapOp.put(d->map, name, kNoValue);
}

struct Impl : lumo::Base<LumoCmdLn, cmdlnClass> {
  static void del(LumoCmdLn *self) noexcept {
    if (!self) return;
    CmdLnData *d = lumo::dataOf<CmdLnData>(self);
    if (d) {
      MapOp.del(d->map);
      str_freeStrID(d->description, kTid);
    }
    lumo::freeInstance<CmdLnData>(self, cmdlnClass, __LINE__);
  }

  static char *toString(LumoCmdLn *self) noexcept {
    CmdLnData *d = lumo::dataOf<CmdLnData>(self);
    return d ? str_dup(d->description) : nullptr;
  }

  static int getIntDef(LumoCmdLn *self, const char *name, int defaultValue) noexcept {
    const char *value = getStr(self, name);
    return value ? std::atoi(value) : defaultValue;
  }

  static const char *getStr(LumoCmdLn *self, const char *name) noexcept {
    CmdLnData *d = lumo::dataOf<CmdLnData>(self);
    if (!d || !name) return nullptr;
    return static_cast<const char *>(MapOp.get(d->map, name));
  }

  static const char *getStrDef(LumoCmdLn *self, const char *name,
                               const char *defaultValue) noexcept {
    const char *value = getStr(self, name);
    return value ? value : defaultValue;
  }

  static int hasKey(LumoCmdLn *self, const char *name) noexcept {
    CmdLnData *d = lumo::dataOf<CmdLnData>(self);
    if (!d || !name) return 0;
    return MapOp.haskey(d->map, name);
  }

  static LumoCmdLn *inst(int argc, char **argv) noexcept {
    CmdLnData *d = nullptr;
    LumoCmdLn *self = lumo::newInstance<CmdLnData>(CmdLnOp, cmdlnClass, __LINE__, &d);
    if (!self) return nullptr;
    d->map = MapOp.inst();
    d->description = str_dupID("OCmdLn: ", kTid);
    if (!d->map || !d->description) {
      MapOp.del(d->map);
      str_freeStrID(d->description, kTid);
      lumo::freeInstance<CmdLnData>(self, cmdlnClass, __LINE__, false);
      return nullptr;
    }
    d->argc = argv && argc > 0 ? argc : 0;
    d->argv = argv;
    parse(d);
    lumo::countInstance(cmdlnClass);
    return self;
  }

 private:
  static void parse(CmdLnData *d) noexcept {
    const char *pending = nullptr;
    for (int i = 0; i < d->argc; ++i) {
      const char *arg = d->argv[i];
      if (!arg) continue;
      if (arg[0] == '-') {
        // The two blanks are part of the description's established text.
        if (pending) storeWithoutValue(d, pending, ",  ");
        pending = arg;
      } else if (pending) {
        describe(d, "key=", pending, " value=");
        describe(d, arg, ", ");
        MapOp.put(d->map, pending, const_cast<char *>(arg));
        pending = nullptr;
      }
    }
    if (pending) storeWithoutValue(d, pending, ", ");
  }
};

}  // namespace

const LumoCmdLn CmdLnOp = {LUMO_BASE_INIT(Impl), LUMO_CMDLN_OPS(LUMO_SLOT_INIT_MEMBER, Impl)};

namespace {
constexpr const char *kCmdLnSlots[] = {LUMO_CMDLN_OPS(LUMO_SLOT_NAME, _)};
static_assert(lumo::namesAscending(kCmdLnSlots), "CmdLnOp slots are in byte-wise order");
static_assert(lumo::classLayoutOk<LumoCmdLn, 5>(), "CmdLnOp has the base slots and 5 own slots");
}  // namespace
