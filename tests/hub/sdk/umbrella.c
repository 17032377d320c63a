/* A plug-in author's program that knows only the umbrella header: it builds against the
 * installed SDK, calls through the tables and prints the version the header states. Built with
 * EXPECTED_VERSION_* (the version of the package that was found), it refuses to compile when the
 * installed header states another one. */
#include <lumo/lumo.h>

#include <stdio.h>

#if defined(EXPECTED_VERSION_MAJOR) &&               \
    (LUMO_VERSION_MAJOR != EXPECTED_VERSION_MAJOR || \
     LUMO_VERSION_MINOR != EXPECTED_VERSION_MINOR || LUMO_VERSION_PATCH != EXPECTED_VERSION_PATCH)
#error "the installed version.h does not state the version of its package"
#endif

int main(void) {
  LumoNode *node = NodeOp.inst(wProgram.node_name(), NULL, LUMO_NODE_ELEMENT);
  wProgram.setcmd(node, wProgram.query);
  char *text = StrOp.dup(LUMO_VERSION_STRING);
  int ok = node && text && NodeOp.getInt(node, "cmd", -1) == wProgram.query;
  if (ok) printf("%s\n", text);
  StrOp.freeStr(text);
  NodeOp.del(node);
  return ok ? 0 : 1;
}
