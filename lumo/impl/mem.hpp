// lumo: the memory manager's functions for direct use inside the library (the same functions
// that fill MemOp).
#ifndef LUMO_IMPL_MEM_HPP
#define LUMO_IMPL_MEM_HPP

#include <lumo/mem.h>

#include "object.hpp"

LUMO_MEM_OPS(LUMO_SLOT_DECLARE, mem_)

#endif
