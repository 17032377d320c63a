// lumo: the memory manager's functions for direct use inside the library (the same functions
// that fill MemOp).
#ifndef LUMO_IMPL_MEM_HPP
#define LUMO_IMPL_MEM_HPP

#include <lumo/mem.h>

#define LUMO_MEM_DECLARE(prefix, ret, name, params) ret prefix##name params noexcept;
LUMO_MEM_OPS(LUMO_MEM_DECLARE, mem_)
#undef LUMO_MEM_DECLARE

#endif
