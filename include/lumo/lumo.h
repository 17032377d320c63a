/* lumo: the runtime library of QIVhub and of its device plug-ins. This header includes every
 * public header. Each module's header states its own contract; these rules hold for all of them:
 *
 * (1) Every module is one global operation table of function pointers (NodeOp, TraceOp, ...).
 *     An operation takes its instance first and may be called through the global table or
 *     through the instance: NodeOp.getName(node) and node->getName(node) are the same call.
 *
 * (2) An instance, made by its table's inst, is a heap copy of the table whose data slot points
 *     to the instance's private record. Class tables open with the twelve base slots of
 *     object.h; the module's own operations follow in byte-wise ascending order of their names
 *     (upper case before lower case, a name before its own extensions). The departures are part
 *     of the layout: constant members ahead of the operations in DocOp, FileOp and SystemOp,
 *     msgCount before get in QueueOp, getip before getMAC and one empty slot in SocketOp, and
 *     getStr and setStr each filling two slots in NodeOp. MemOp and StrOp have no instances and
 *     no base slots.
 *
 * (3) Plug-ins built elsewhere reach operations by position, so every table's layout is part of
 *     the ABI: within one major version (version.h) no table changes it.
 *
 * (4) Whoever receives a new object or string from an operation owns it. An object is released
 *     with its own del (MemOp.freeObj also clears the handle; del ignores null), a string with
 *     StrOp.freeStr, or with StrOp.freeStrID under the allocation type it was made with. Texts a
 *     header says belong to an object are borrowed: never freed, valid until the object changes
 *     or goes. A node handed to another component (addChild, a plug-in's factory, sendCommand)
 *     is that component's from then on. Lists, maps and queues never own their elements; a map
 *     copies its keys.
 *
 * (5) All heap memory comes from the memory manager (MemOp), which counts live blocks per
 *     allocation type and checks every release: free a block through the module that made it,
 *     under the type it was made with.
 *
 * (6) Nothing throws, aborts or exits on bad input. A failure answers null, false (0) or the
 *     documented default, and its reason goes to the trace (level E for arguments out of range
 *     and objects not initialised); the memory manager reports on standard output instead,
 *     because the trace allocates through it. A result is complete or it is a failure: a failed
 *     call leaves its inputs as they were. Platform modules also keep the last error number
 *     (getRc).
 *
 * (7) Each header says which arguments may be null and what null means there; where a trace
 *     may be null, null is the process's default trace.
 *
 * (8) The memory manager, the string functions, the trace, queues, events, mutexes, the thread
 *     registry and the system services may be called from any thread. Nodes, attributes, lists,
 *     maps, files, sockets and tokenizers belong to one thread at a time: callers that share one
 *     lock around it. The document switches are process-wide: set them before documents are
 *     processed. Headers state their exceptions.
 *
 * (9) Sizes, lengths and counts are int; a negative one is refused unless its header gives it a
 *     meaning. Texts are NUL-terminated 8-bit strings (ISO 8859-15 inside documents). Time-outs
 *     and sleeps are in milliseconds.
 *
 * (10) The target is 32-bit ARM hard-float Linux; the library also runs on 64-bit hosts, and a
 *     plug-in should too. Slots are pointer-sized: count positions in sizeof(void *), not bytes.
 *     int is 32 bits; long, pointers, size_t and LumoThreadId have the platform's width (32 bits
 *     on the target). Never keep a pointer or a thread id in an int.
 *
 * (11) Only what is marked LUMO_API is exported. The lumo_ functions are the platform layer
 *     behind some slots and may be called directly. Every header compiles as C11 and as C++. */
#ifndef LUMO_LUMO_H
#define LUMO_LUMO_H

#include <lumo/export.h>
#include <lumo/version.h>

#include <lumo/object.h>

#include <lumo/attr.h>
#include <lumo/cmdln.h>
#include <lumo/doc.h>
#include <lumo/ebcdic.h>
#include <lumo/event.h>
#include <lumo/file.h>
#include <lumo/lib.h>
#include <lumo/list.h>
#include <lumo/map.h>
#include <lumo/mem.h>
#include <lumo/mutex.h>
#include <lumo/node.h>
#include <lumo/queue.h>
#include <lumo/socket.h>
#include <lumo/str.h>
#include <lumo/strtok.h>
#include <lumo/system.h>
#include <lumo/thread.h>
#include <lumo/trace.h>

#include <lumo/wrapper.h>

#include <lumo/wCmdline.h>
#include <lumo/wConCmd.h>
#include <lumo/wDigInt.h>
#include <lumo/wProgram.h>

#include <lumo/plugin.h>

#endif
