// Fuzz target for the code-page conversions of the system module: utf2latin on any text, and
// latin2utf followed by utf2latin, which must give the Latin text back (every ISO 8859-15 byte
// has its UTF-8 form). The byte-for-byte tables run on the same text.
#include <lumo/mem.h>
#include <lumo/str.h>
#include <lumo/system.h>
#include <lumo/trace.h>

#include <cstring>

#include "fuzz_check.hpp"

namespace {
constexpr const char *kTarget = "codepage";
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // Malformed UTF-8 is traced: a trace without file or echo formats those records all the same.
  TraceOp.inst(-1, nullptr, 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string input = fuzz::text(data, size);
  fuzz::LiveBlocks blocks(kTarget);

  char *latin = SystemOp.utf2latin(input.c_str());
  if (!latin) fuzz::fail(kTarget, "utf2latin gave null", fuzz::show(input.c_str()));
  if (std::strlen(latin) > input.size())
    fuzz::fail(kTarget, "utf2latin grew the text", fuzz::show(input.c_str()));
  StrOp.freeStr(latin);

  char *utf = SystemOp.latin2utf(input.c_str());
  if (!utf) fuzz::fail(kTarget, "latin2utf gave null", fuzz::show(input.c_str()));
  char *back = SystemOp.utf2latin(utf);
  if (!back || input != back)
    fuzz::fail(kTarget, "latin2utf then utf2latin changes the text",
               fuzz::show(input.c_str()) + "\n--- utf\n" + fuzz::show(utf) + "\n--- back\n" +
                   fuzz::show(back));
  StrOp.freeStr(back);
  StrOp.freeStr(utf);

  char *cp850 = SystemOp.latin2cp850(input.c_str());
  if (!cp850 || std::strlen(cp850) > input.size())
    fuzz::fail(kTarget, "latin2cp850 lost or grew the text", fuzz::show(input.c_str()));
  StrOp.freeStr(cp850);
  char *iso = SystemOp.cp1252toISO885915(input.c_str());
  if (!iso || std::strlen(iso) > input.size())
    fuzz::fail(kTarget, "cp1252toISO885915 lost or grew the text", fuzz::show(input.c_str()));
  MemOp.free(iso, "fuzz/codepage", __LINE__);
  return 0;
}
