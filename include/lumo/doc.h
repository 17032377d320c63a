/* lumo: the document module: the XML parser and serializer of the node tree, and the
 * process-wide switches that steer attribute escaping, look-up, element text and the XML
 * declaration. The switches are read at the moment of use by every thread; set them before
 * documents are processed.
 *
 * A document owns its docNode (every top-level node except the root: declarations, comments,
 * processing instructions, later elements). The root node is not owned: whoever parses takes
 * it over and deletes it; deleting the document leaves it alive, and so does deserialize, which
 * replaces the document's nodes with those of the new text (a text that does not parse changes
 * nothing) and forgets the old root without deleting it. Parsing and serializing share nothing
 * but the switches and may run in several threads on different texts and trees. */
#ifndef LUMO_DOC_H
#define LUMO_DOC_H

#include <lumo/node.h>

LUMO_EXTERN_C_BEGIN

typedef struct LumoDoc LumoDoc;

/* getBool/getInt/getStr(doc, child, attr, def): the attribute of the root's first child of that
 * name (case ignored), or def when there is no root, child or attribute.
 * getEncodingProperty, node2String: new strings owned by the caller (node2String of a null node
 * gives the empty string). setEncoding keeps the given text itself (no copy): the caller keeps
 * it alive.
 * parseErr: a new document, or null when the text is null or empty or does not parse; on a
 * parse error the position in the text is stored through errPos (when given) and every node
 * built so far is freed. Elements nested more than 256 deep are a parse error, and so is a text
 * of INT_MAX bytes or more (position 0) and a refused allocation: a document is never returned
 * without a part of its text. parse is parseErr without the position. */
#define LUMO_DOC_OPS(X, C)                                                              \
  X(C, int, getBool, (LumoDoc * self, const char *child, const char *attr, int def))    \
  X(C, LumoNode *, getDocNode, (LumoDoc * self))                                        \
  X(C, const char *, getEncoding, (void))                                               \
  X(C, char *, getEncodingProperty, (void))                                             \
  X(C, int, getInt, (LumoDoc * self, const char *child, const char *attr, int def))     \
  X(C, LumoNode *, getRootNode, (LumoDoc * self))                                       \
  X(C, const char *, getStr,                                                            \
    (LumoDoc * self, const char *child, const char *attr, const char *def))             \
  X(C, int, isHTMLEscapes, (void))                                                      \
  X(C, int, isIgnoreCase, (void))                                                       \
  X(C, int, isUTF2Latin, (void))                                                        \
  X(C, int, isUTF8Encoded, (LumoDoc * self))                                            \
  X(C, int, isUTF8Encoding, (void))                                                     \
  X(C, int, isUniCodeEscapes, (void))                                                   \
  X(C, char *, node2String, (LumoNode * node, int serialization))                       \
  X(C, LumoDoc *, parse, (const char *text))                                            \
  X(C, LumoDoc *, parseErr, (const char *text, int *errPos))                            \
  X(C, void, setEncoding, (const char *name))                                           \
  X(C, void, setHTMLEscapes, (int flag))                                                \
  X(C, void, setIgnoreCase, (int flag))                                                 \
  X(C, void, setUTF2Latin, (int flag))                                                  \
  X(C, void, setUniCodeEscapes, (int flag))                                             \
  X(C, void, setXMLElementVal, (int flag))                                              \
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
