// lumo: the memory manager's functions for direct use inside the library (the same functions
// that fill MemOp), and the allocation macros that tag each block with its source line.
#ifndef LUMO_IMPL_MEM_HPP
#define LUMO_IMPL_MEM_HPP

#include <lumo/mem.h>

#define LUMO_MEM_DECLARE(prefix, ret, name, params) ret prefix##name params noexcept;
LUMO_MEM_OPS(LUMO_MEM_DECLARE, mem_)
#undef LUMO_MEM_DECLARE

namespace lumo {
// Allocation-failure injection for tests: the n-th allocation from now fails (0 switches it
// off). Not part of the public contract.
void mem_failAfter(long n) noexcept;
}  // namespace lumo

#endif
