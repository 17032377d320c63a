// Fuzz target for the URL encoding of the string module: whatever encode4URL writes, decode4URL
// reads back into the same text; decoding any text never grows it.
#include <lumo/str.h>

#include <cstring>

#include "fuzz_check.hpp"

namespace {
constexpr const char *kTarget = "url";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string input = fuzz::text(data, size);
  fuzz::LiveBlocks blocks(kTarget);

  char *encoded = StrOp.encode4URL(input.c_str());
  if (!encoded) fuzz::fail(kTarget, "encode4URL gave null", fuzz::show(input.c_str()));
  if (std::strlen(encoded) > 3 * input.size())
    fuzz::fail(kTarget, "encoding longer than three bytes a byte", fuzz::show(encoded));
  char *decoded = StrOp.decode4URL(encoded);
  if (!decoded || input != decoded)
    fuzz::fail(kTarget, "decode4URL of encode4URL differs",
               fuzz::show(input.c_str()) + "\n--- encoded\n" + fuzz::show(encoded) +
                   "\n--- decoded\n" + fuzz::show(decoded));
  StrOp.freeStr(decoded);
  StrOp.freeStr(encoded);

  char *raw = StrOp.decode4URL(input.c_str());
  if (!raw || std::strlen(raw) > input.size())
    fuzz::fail(kTarget, "decode4URL lost or grew the text", fuzz::show(input.c_str()));
  StrOp.freeStr(raw);
  return 0;
}
