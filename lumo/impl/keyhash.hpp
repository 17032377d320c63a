// lumo: the keyed hash behind the library's internal look-up tables (a node's attribute index,
// the child look-up of a merge). Its key is drawn once per process, so names that collide cannot
// be chosen from outside: a table filled from a document stays linear whatever the names are.
// The map module keeps its own documented bucket function; this one is for tables nobody sees.
#ifndef LUMO_IMPL_KEYHASH_HPP
#define LUMO_IMPL_KEYHASH_HPP

namespace lumo {

// The hash of a NUL-terminated text; with foldCase, ASCII letters hash as their lower case, so
// names equal ignoring case hash alike.
unsigned keyedHash(const char *text, bool foldCase = false) noexcept;

}  // namespace lumo

#endif
