// lumo: the command-line parser. All parsing happens in inst; afterwards the parser only reads
// its map, whose values point into the caller's argument vector.
#include <lumo/cmdln.h>
#include <lumo/map.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "buffer.hpp"
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
  // Under the parser's allocation type; it grows by doubling, so describing n arguments costs
  // time in proportion to the text, not to n times the text.
  char *description = nullptr;
  int length = 0;
  int capacity = 0;
  bool failed = false;  // an option or a piece of the description could not be kept
};

void describe(CmdLnData *d, const char *a, const char *b = nullptr, const char *c = nullptr,
              const char *e = nullptr) {
  const char *const texts[] = {a, b, c, e};
  for (const char *text : texts) {
    if (!text || d->failed) break;
    std::size_t n = std::strlen(text);
    if (n >= static_cast<std::size_t>(INT_MAX / 2 - d->length)) {
      d->failed = true;
      break;
    }
    if (d->length + static_cast<int>(n) >= d->capacity) {
      int capacity = d->capacity ? d->capacity : 64;
      while (capacity <= d->length + static_cast<int>(n)) capacity *= 2;
      void *fresh = lumo::growBlock(d->description, capacity, kTid, kSource, __LINE__);
      if (!fresh) {
        d->failed = true;
        break;
      }
      d->description = static_cast<char *>(fresh);
      d->capacity = capacity;
    }
    std::memcpy(d->description + d->length, text, n + 1);
    d->length += static_cast<int>(n);
  }
}

// The map keeps an old entry when it cannot take a new one: reading the value back tells.
void store(CmdLnData *d, const char *name, char *value) {
  MapOp.put(d->map, name, value);
  if (MapOp.get(d->map, name) != value) d->failed = true;
}

void storeWithoutValue(CmdLnData *d, const char *name, const char *tail) {
  describe(d, "key=", name, tail);
  store(d, name, kNoValue);
}

void release(CmdLnData *d) {
  MapOp.del(d->map);
  if (d->description) mem_freeTID(d->description, kTid, kSource, __LINE__);
}

struct Impl : lumo::Base<LumoCmdLn, cmdlnClass> {
  static void del(LumoCmdLn *self) noexcept {
    if (!self) return;
    CmdLnData *d = lumo::dataOf<CmdLnData>(self);
    if (d) release(d);
    lumo::freeInstance<CmdLnData>(self, cmdlnClass, __LINE__);
  }

  static char *toString(LumoCmdLn *self) noexcept {
    CmdLnData *d = lumo::dataOf<CmdLnData>(self);
    return d ? str_dup(lumo::orEmpty(d->description)) : nullptr;
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
    d->failed = !d->map;
    describe(d, "OCmdLn: ");
    d->argc = argv && argc > 0 ? argc : 0;
    d->argv = argv;
    if (!d->failed) parse(d);
    // A parser that lost an option would answer as if it had not been given.
    if (d->failed) {
      release(d);
      lumo::freeInstance<CmdLnData>(self, cmdlnClass, __LINE__, false);
      return nullptr;
    }
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
        store(d, pending, const_cast<char *>(arg));
        pending = nullptr;
      }
    }
    if (pending) storeWithoutValue(d, pending, ", ");
  }
};

}  // namespace

const LumoCmdLn CmdLnOp = {LUMO_BASE_INIT(Impl), LUMO_CMDLN_OPS(LUMO_SLOT_INIT_MEMBER, Impl)};

LUMO_CHECK_TABLE(LumoCmdLn, LUMO_CMDLN_OPS, lumo::kOwnSlotsAt);
