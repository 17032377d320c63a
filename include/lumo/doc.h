/* lumo: the document module: process-wide switches that steer attribute escaping, look-up,
 * element text and the XML declaration. They are read at the moment of use by every thread;
 * set them before documents are processed. */
#ifndef LUMO_DOC_H
#define LUMO_DOC_H

#include <lumo/object.h>

LUMO_EXTERN_C_BEGIN

typedef struct LumoDoc LumoDoc;

/* setEncoding keeps the given text itself (no copy): the caller keeps it alive.
 * getEncodingProperty: a new string owned by the caller. */
#define LUMO_DOC_OPS(X, C)                                \
  X(C, const char *, getEncoding, (void))                 \
  X(C, char *, getEncodingProperty, (void))               \
  X(C, int, isHTMLEscapes, (void))                        \
  X(C, int, isIgnoreCase, (void))                         \
  X(C, int, isUTF2Latin, (void))                          \
  X(C, int, isUTF8Encoding, (void))                       \
  X(C, int, isUniCodeEscapes, (void))                     \
  X(C, void, setEncoding, (const char *name))             \
  X(C, void, setHTMLEscapes, (int flag))                  \
  X(C, void, setIgnoreCase, (int flag))                   \
  X(C, void, setUTF2Latin, (int flag))                    \
  X(C, void, setUniCodeEscapes, (int flag))               \
  X(C, void, setXMLElementVal, (int flag))                \
  X(C, void, setXMLProlog, (int flag))

struct LumoDoc {
  LUMO_BASE_SLOTS(LumoDoc)
  const char *utf8Name;
  const char *latin15Name;
  LUMO_DOC_OPS(LUMO_SLOT_FIELD, _)
};

LUMO_API extern const LumoDoc DocOp;

LUMO_EXTERN_C_END

#endif
