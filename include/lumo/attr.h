/* lumo: attributes: one name/value pair of a node. The value is kept in stored form (XML text
 * with markup written as entities); setVal escapes plain text into that form, getVal decodes
 * it back to ISO 8859-15 text. Escaping follows the document switches (see doc.h) at the
 * moment of use. Texts returned by the getters belong to the attribute and stay valid until
 * it is changed or deleted. A null attribute gives null, 0 or false and changes nothing.
 * count gives the number of live attribute objects: those made by inst, instInt and clone, and
 * those a node made for its attributes on request (see node.h). */
#ifndef LUMO_ATTR_H
#define LUMO_ATTR_H

#include <lumo/object.h>

LUMO_EXTERN_C_BEGIN

typedef struct LumoAttr LumoAttr;

/* getEscVal: the stored text. getRawVal: the decoded copy if one exists, else the stored text.
 * getVal: the decoded text (null when the memory manager refuses room for it). setVal returns
 * the stored text. The typed getters read the stored text; the typed setters store the formatted
 * value. */
#define LUMO_ATTR_OPS(X, C)                                  \
  X(C, int, getBoolean, (LumoAttr * self))                   \
  X(C, const char *, getEscVal, (LumoAttr * self))           \
  X(C, double, getFloat, (LumoAttr * self))                  \
  X(C, int, getInt, (LumoAttr * self))                       \
  X(C, long, getLong, (LumoAttr * self))                     \
  X(C, const char *, getName, (LumoAttr * self))             \
  X(C, const char *, getRawVal, (LumoAttr * self))           \
  X(C, const char *, getVal, (LumoAttr * self))              \
  X(C, LumoAttr *, inst, (const char *name, const char *text)) \
  X(C, LumoAttr *, instInt, (const char *name, int value))   \
  X(C, void, setBoolean, (LumoAttr * self, int value))       \
  X(C, void, setFloat, (LumoAttr * self, double value))      \
  X(C, void, setInt, (LumoAttr * self, int value))           \
  X(C, void, setLong, (LumoAttr * self, long value))         \
  X(C, void, setName, (LumoAttr * self, const char *name))   \
  X(C, void, setRawVal, (LumoAttr * self, const char *text)) \
  X(C, const char *, setVal, (LumoAttr * self, const char *text))

struct LumoAttr {
  LUMO_BASE_SLOTS(LumoAttr)
  LUMO_ATTR_OPS(LUMO_SLOT_FIELD, _)
};

LUMO_API extern const LumoAttr AttrOp;

LUMO_EXTERN_C_END

#endif
