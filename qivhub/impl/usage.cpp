// qivhub: the answers to --help and -version, given before the process starts anything.
#include <lumo/cmdln.h>
#include <lumo/version.h>

#include <cstdio>
#include <cstring>

#include "options.hpp"

namespace {

constexpr int kOptionColumn = 18;  // where the effect starts in an option line

void printOption(const char *name, const char *arg, const char *text) {
  char head[64];
  std::snprintf(head, sizeof head, "%s%s%s", name, *arg ? " " : "", arg);
  int pad = kOptionColumn - 2 - static_cast<int>(std::strlen(head));
  std::printf("  %s%*s%s\n", head, pad < 2 ? 2 : pad, "", text);
}

void printKey(char key, const char *text) { std::printf("  %c  %s\n", key, text); }

void printUsage() {
  std::printf("usage: qivhub [OPTION]...\n");
#define QIVHUB_PRINT_OPTION(name, arg, text) printOption(name, arg, text);
  QIVHUB_OPTIONS(QIVHUB_PRINT_OPTION)
#undef QIVHUB_PRINT_OPTION
  std::printf("Console keys (with %s, read one character at a time):\n", wCmdline.console);
#define QIVHUB_PRINT_KEY(key, text) printKey(key, text);
  QIVHUB_CONSOLE_KEYS(QIVHUB_PRINT_KEY)
#undef QIVHUB_PRINT_KEY
}

}  // namespace

namespace qivhub {

bool answerInfoOptions(int argc, char **argv) noexcept {
  LumoCmdLn *cmdLn = CmdLnOp.inst(argc, argv);
  if (!cmdLn) return false;  // without a parser start-up reads no option either
  bool help = CmdLnOp.hasKey(cmdLn, wCmdline.help);
  bool version = CmdLnOp.hasKey(cmdLn, wCmdline.version);
  cmdLn->del(cmdLn);
  if (help)
    printUsage();
  else if (version)
    std::printf("QIVhub %s revision %d\n", LUMO_VERSION_STRING, kRevision);
  return help || version;
}

}  // namespace qivhub
