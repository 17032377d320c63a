/* lumo: the command-line parser. inst reads the argument vector once into a map of option
 * names to values: an argument starting with "-" is always an option name (so "-5" is an
 * option, not a value), the argument after it is its value unless it is an option itself, and
 * an option without value gets the value "key". A value after a value is ignored; an option
 * given twice keeps its later value. Names compare byte for byte, case-sensitive.
 *
 * The parser borrows the argument vector, which must outlive it: values returned by getStr and
 * getStrDef are the argument strings themselves (or the static "key", or the caller's default)
 * and are never freed. toString returns a new string (StrOp.freeStr). The caller owns what inst
 * returns and releases it with del; inst returns null when memory is refused, never a parser
 * that lacks an option. A parser is read-only after inst and may be queried from any thread. */
#ifndef LUMO_CMDLN_H
#define LUMO_CMDLN_H

#include <lumo/object.h>

LUMO_EXTERN_C_BEGIN

typedef struct LumoCmdLn LumoCmdLn;

/* getIntDef: atoi of the value when the option is present (0 for an option without value or a
 *   non-numeric value; the leading number of a partly numeric one), else the default.
 * getStr: the value, "key" for an option without value, null when absent. */
#define LUMO_CMDLN_OPS(X, C)                                                        \
  X(C, int, getIntDef, (LumoCmdLn * self, const char *name, int defaultValue))      \
  X(C, const char *, getStr, (LumoCmdLn * self, const char *name))                  \
  X(C, const char *, getStrDef,                                                     \
    (LumoCmdLn * self, const char *name, const char *defaultValue))                 \
  X(C, int, hasKey, (LumoCmdLn * self, const char *name))                           \
  X(C, LumoCmdLn *, inst, (int argc, char **argv))

struct LumoCmdLn {
  LUMO_BASE_SLOTS(LumoCmdLn)
  LUMO_CMDLN_OPS(LUMO_SLOT_FIELD, _)
};

LUMO_API extern const LumoCmdLn CmdLnOp;

LUMO_EXTERN_C_END

#endif
