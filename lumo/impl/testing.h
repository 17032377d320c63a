/* lumo: switches for the library's own tests. They exist only in the tests' build of the library
 * (the lumo_testing target, compiled with LUMO_TEST_HOOKS), never in the library that is
 * installed, and are not part of the public contract. Include this from tests only. */
#ifndef LUMO_IMPL_TESTING_H
#define LUMO_IMPL_TESTING_H

#include <lumo/export.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Allocation-failure injection: the n-th allocation from now (on any thread) fails the way an
 * exhausted heap does (the memory manager's message, a null block); 0 switches it off. Only one
 * allocation fails per setting. Returns how many allocations the previous setting had left
 * before its failure (0 once it has fired or when it was off). */
LUMO_API long lumo_mem_failAfter(long n);

#ifdef __cplusplus
}
#endif

#endif
