// qivhub: the options the hub acts on and its console keys, each listed once. The hub prints its
// usage from these lists, and tools/gen_manpage.py reads this file to write the OPTIONS and
// CONSOLE KEYS of qivhub.8, so --help and the manual page cannot disagree.
#ifndef QIVHUB_OPTIONS_HPP
#define QIVHUB_OPTIONS_HPP

#include <lumo/wCmdline.h>
#include <lumo/wConCmd.h>

namespace qivhub {

// The hub's own options, outside the shared command-line vocabulary of wCmdline.
constexpr const char *kServerOption = "-server";
constexpr const char *kIdOption = "-id";
constexpr const char *kRs485Option = "-rs485";

constexpr int kRevision = 6534;  // shown in the banner and by -version

}  // namespace qivhub

// X(option name, argument name or "", effect), in the order of the usage. The generator of the
// manual page reads each X(...) as written: one name (a wCmdline member or a constant above),
// then plain string literals.
#define QIVHUB_OPTIONS(X)                                                                 \
  X(wCmdline.l, "DIR", "load the device plug-in DIR/qiv.so (default: .)")                 \
  X(qivhub::kIdOption, "N", "node id, handed to the plug-in as uid (default: 256)")       \
  X(qivhub::kServerOption, "HOST", "server host handed to the plug-in (default: none)")   \
  X(qivhub::kRs485Option, "DEVICE", "RS485 device handed to the plug-in (default: none)") \
  X(wCmdline.console, "", "console mode: read the console keys from standard input")      \
  X(wCmdline.debug, "", "add the debug trace (level D)")                                  \
  X(wCmdline.byte, "", "add the byte trace (level B): memory growth per loop pass")       \
  X(wCmdline.parse, "", "add the parser trace (level S)")                                 \
  X(wCmdline.monitor, "", "add the monitor trace (level c)")                              \
  X(wCmdline.help, "", "print a short usage and exit")                                    \
  X(wCmdline.version, "", "print name, version and revision and exit")

// X(key, effect): the keys console mode acts on.
#define QIVHUB_CONSOLE_KEYS(X)    \
  X(wConCmd.quit, "stop the hub") \
  X(wConCmd.query, "send a query command (cmd 25) to the plug-in")

namespace qivhub {

// Answers --help (the usage) or -version on standard output, reading the command line as
// start-up does; --help wins when both are given. True when it answered: the caller then ends
// the process with status 0 before anything has started.
bool answerInfoOptions(int argc, char **argv) noexcept;

}  // namespace qivhub

#endif
