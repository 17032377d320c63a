/* lumo: the device plug-in contract. This header and the runtime's headers are all a plug-in
 * author needs.
 *
 * A plug-in is a shared library named "qiv" plus the platform's library suffix ("qiv.so"),
 * placed in the hub's library directory (option -l). It exports the factory "lumGetDigInt":
 *
 *   LumoDigInt *lumGetDigInt(LumoNode *config, LumoTrace *trace);
 *
 * The hub calls it once with the `digint` configuration node (see wDigInt.h) and the process's
 * default trace. Ownership and threads:
 * 1. The factory takes over the configuration node; the hub never touches it again.
 * 2. The plug-in traces through the trace it is given (TraceOp.log), so its records land in the
 *    hub's trace files.
 * 3. After registerListener the plug-in calls the listener from any of its threads, with the
 *    owner given at registration and one event node per event. The hub only reads the node's
 *    name: it neither keeps nor frees it, so the plug-in frees it after the call returns.
 * 4. sendCommand takes over the command node (for example a `program` node, see wProgram.h).
 * 5. The hub never deletes the interface object or unloads the library. A factory may return
 *    null: the hub then runs without a plug-in.
 *
 * The interface object follows the object model (object.h): the data slot, the twelve base
 * slots, then the plug-in's own operations. The hub uses two of them by position: sendCommand
 * (the first own slot) and registerListener (the fourth). The second and third own slots are
 * the plug-in's to define; the signatures below are the recommended ones. */
#ifndef LUMO_PLUGIN_H
#define LUMO_PLUGIN_H

#include <lumo/node.h>
#include <lumo/trace.h>

/* The factory's exported name. */
#define LUMO_PLUGIN_FACTORY "lumGetDigInt"

LUMO_EXTERN_C_BEGIN

typedef struct LumoDigInt LumoDigInt;

/* Called by the plug-in for each event: the owner given at registration, the event node (or
 * null) and a level. The hub's listener returns 0. */
typedef int (*LumoListener)(LumoObject *owner, LumoNode *event, int level);

struct LumoDigInt {
  LUMO_BASE_SLOTS(LumoDigInt)
  /* Takes over the command node. */
  int (*sendCommand)(LumoDigInt *self, LumoNode *command);
  /* Stops the device's activity (power off, close the line); the object stays usable. */
  void (*halt)(LumoDigInt *self);
  /* True when the device is connected and working. */
  int (*isConnected)(LumoDigInt *self);
  /* Registers the listener; events before this call are not reported. */
  int (*registerListener)(LumoDigInt *self, LumoObject *owner, LumoListener listener);
};

/* The factory's type. */
typedef LumoDigInt *(*LumoDigIntFactory)(LumoNode *config, LumoTrace *trace);

LUMO_EXTERN_C_END

#endif
