// Fuzz target for replaceAllSub and replaceAllSubstitutions. The input is three fields (text,
// pattern, replacement) cut at NUL or line feed. replaceAllSub is compared with a plain model of
// its rule (left to right, the replacement never searched again, an occurrence that is exactly
// the rest after an empty replacement stays, the whole cut to 4094 characters);
// replaceAllSubstitutions runs with two variables set and one unset.
#include <lumo/str.h>

#include <cstdlib>

#include "fuzz_check.hpp"

namespace {

constexpr const char *kTarget = "replace";
constexpr size_t kFmtMax = LUMO_STR_FMT_MAX;

std::string model(std::string text, const std::string &sub, const std::string &rep) {
  if (sub.empty() || text.empty()) return text;
  size_t pos = text.find(sub);
  while (pos != std::string::npos) {
    text = (text.substr(0, pos) + rep + text.substr(pos + sub.size())).substr(0, kFmtMax);
    size_t after = pos + rep.size();
    if (after >= text.size() || text.size() - pos <= sub.size()) break;
    pos = text.find(sub, after);
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  setenv("FUZZ_A", "alpha", 1);
  setenv("FUZZ_EMPTY", "", 1);
  unsetenv("FUZZ_UNSET");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string f[3];
  int n = 0;
  fuzz::fields(data, size, f, 3, &n);
  fuzz::LiveBlocks blocks(kTarget);

  char *replaced = StrOp.replaceAllSub(f[0].c_str(), f[1].c_str(), f[2].c_str());
  std::string expected = model(f[0], f[1], f[2]);
  if (!replaced || expected != replaced)
    fuzz::fail(kTarget, "replaceAllSub differs from its rule",
               fuzz::show(f[0].c_str()) + "\n--- sub\n" + fuzz::show(f[1].c_str()) +
                   "\n--- rep\n" + fuzz::show(f[2].c_str()) + "\n--- got\n" +
                   fuzz::show(replaced) + "\n--- expected\n" + fuzz::show(expected.c_str()));
  StrOp.freeStr(replaced);

  char *substituted = StrOp.replaceAllSubstitutions(f[0].c_str());
  if (!substituted)
    fuzz::fail(kTarget, "replaceAllSubstitutions gave null", fuzz::show(f[0].c_str()));
  if (f[0].find('%') == std::string::npos && f[0] != substituted)
    fuzz::fail(kTarget, "a text without % is not copied", fuzz::show(f[0].c_str()));
  StrOp.freeStr(substituted);
  return 0;
}
