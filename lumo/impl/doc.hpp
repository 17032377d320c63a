// lumo: the document module for direct use inside the library (the same functions that fill
// DocOp), the readers of the two switches that the table only sets, the nesting bound that
// every recursive walk over a tree relies on, and the document record shared by its sources.
#ifndef LUMO_IMPL_DOC_HPP
#define LUMO_IMPL_DOC_HPP

#include <lumo/doc.h>

#include "object.hpp"

// The deepest element nesting the parser accepts (the root is level 1). The parser recurses
// once per level and threads run on 256 KiB stacks: a parse at this depth, commentary on, takes
// about a fifth of such a stack under AddressSanitizer (the document tests measure it). Trees
// built through the API may be deeper, so walks over trees must not depend on this bound.
#define LUMO_DOC_MAX_DEPTH 256

LUMO_DOC_OPS(LUMO_SLOT_DECLARE, doc_)

// Whether the serialization form starts with the XML declaration line.
int doc_isXMLProlog(void) noexcept;

// Whether element text is read and written.
int doc_isXMLElementVal(void) noexcept;

namespace lumo {

// A document's data record. docNode is owned; rootNode belongs to whoever parsed.
struct DocData {
  LumoNode *docNode = nullptr;
  LumoNode *rootNode = nullptr;
  int utf8Encoded = 0;
};

// A new document holding a new, empty docNode; null when memory is refused.
LumoDoc *doc_newDocument(int line) noexcept;

// parseErr that also tells, through refused (when given), whether a null result comes from a
// refused allocation rather than from the text: readers that fall back on texts which do not
// parse must not fall back on a refusal.
LumoDoc *doc_parseText(const char *text, int *errPos, bool *refused) noexcept;

}  // namespace lumo

#endif
