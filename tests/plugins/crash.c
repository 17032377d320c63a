/* A test plug-in whose factory dereferences a null pointer: the hub must go down through its
 * fault path (the SIGSEGV lines, then the default action), not hang. */
#include <lumo/plugin.h>

__attribute__((visibility("default"))) LumoDigInt *lumGetDigInt(LumoNode *config,
                                                                LumoTrace *trace) {
  (void)config;
  (void)trace;
  /* Read through a volatile pointer, so that no compiler turns the store into a trap. */
  int *volatile nowhere = 0;
  *nowhere = 1;
  return 0;
}
