/* A test plug-in whose factory never returns, as one waiting for hardware that does not answer:
 * the hub is still in its start-up when it is told to stop. The factory says on standard output
 * that it has been entered, so a test knows when to send its signal. */
#include <lumo/plugin.h>

#include <unistd.h>

__attribute__((visibility("default"))) LumoDigInt *lumGetDigInt(LumoNode *config,
                                                                LumoTrace *trace) {
  (void)config;
  (void)trace;
  static const char entered[] = "hang: factory entered\n";
  if (write(STDOUT_FILENO, entered, sizeof entered - 1) < 0) return 0;
  for (;;) pause();
}
