// Fuzz target for the command-line parser: the input cut at NUL or line feed is the argument
// vector. Every option is compared with a model of the parsing rule (an argument starting with
// "-" names an option; the next argument is its value unless it is an option itself; an option
// without value reads "key"; the later of two equal options wins).
#include <lumo/cmdln.h>
#include <lumo/str.h>

#include <cstdlib>
#include <cstring>
#include <map>

#include "fuzz_check.hpp"

namespace {

constexpr const char *kTarget = "cmdln";
constexpr int kMaxArgs = 64;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static std::string args[kMaxArgs];
  int argc = 0;
  fuzz::fields(data, size, args, kMaxArgs, &argc);
  char *argv[kMaxArgs + 1];
  for (int i = 0; i < argc; ++i) argv[i] = const_cast<char *>(args[i].c_str());
  argv[argc] = nullptr;

  std::map<std::string, std::string> expected;
  const char *pending = nullptr;
  for (int i = 0; i < argc; ++i) {
    if (argv[i][0] == '-') {
      if (pending) expected[pending] = "key";
      pending = argv[i];
    } else if (pending) {
      expected[pending] = argv[i];
      pending = nullptr;
    }
  }
  if (pending) expected[pending] = "key";

  fuzz::LiveBlocks blocks(kTarget);
  LumoCmdLn *cmd = CmdLnOp.inst(argc, argv);
  if (!cmd) fuzz::fail(kTarget, "no parser", "");
  for (const auto &option : expected) {
    const char *value = CmdLnOp.getStr(cmd, option.first.c_str());
    if (!CmdLnOp.hasKey(cmd, option.first.c_str()) || !value || option.second != value)
      fuzz::fail(kTarget, "option value differs from the rule",
                 fuzz::show(option.first.c_str()) + " expected " +
                     fuzz::show(option.second.c_str()) + " got " + fuzz::show(value));
    if (CmdLnOp.getIntDef(cmd, option.first.c_str(), -7) != std::atoi(value))
      fuzz::fail(kTarget, "getIntDef is not the number of the value", fuzz::show(value));
  }
  for (int i = 0; i < argc; ++i)
    if (argv[i][0] != '-' && expected.count(argv[i]) == 0 && CmdLnOp.hasKey(cmd, argv[i]))
      fuzz::fail(kTarget, "a value became an option", fuzz::show(argv[i]));
  char *description = cmd->toString(cmd);
  if (!description) fuzz::fail(kTarget, "no description", "");
  StrOp.freeStr(description);
  CmdLnOp.del(cmd);
  return 0;
}
