// lumo: the document switches for direct use inside the library (the same functions that fill
// DocOp), plus readers of the two switches that the table only sets.
#ifndef LUMO_IMPL_DOC_HPP
#define LUMO_IMPL_DOC_HPP

#include <lumo/doc.h>

#define LUMO_DOC_DECLARE(prefix, ret, name, params) ret prefix##name params noexcept;
LUMO_DOC_OPS(LUMO_DOC_DECLARE, doc_)
#undef LUMO_DOC_DECLARE

// Whether the serialization form starts with the XML declaration line.
int doc_isXMLProlog(void) noexcept;

// Whether element text is read and written.
int doc_isXMLElementVal(void) noexcept;

#endif
