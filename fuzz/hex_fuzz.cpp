// Fuzz target for strToByte and strToByteBuffer: any text is read two characters a byte into a
// block of half its length (rounded up); a text of hexadecimal digits of even length comes back
// from byteToStr in upper case.
#include <lumo/mem.h>
#include <lumo/str.h>

#include <cctype>
#include <vector>

#include "fuzz_check.hpp"

namespace {
constexpr const char *kTarget = "hex";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string input = fuzz::text(data, size);
  fuzz::LiveBlocks blocks(kTarget);

  unsigned char *bytes = StrOp.strToByte(input.c_str());
  if (!bytes) fuzz::fail(kTarget, "strToByte gave null", fuzz::show(input.c_str()));
  int n = static_cast<int>((input.size() + 1) / 2);
  // The buffer variant writes exactly as many bytes, into the caller's room.
  std::vector<unsigned char> room(static_cast<size_t>(n) + 1, 0xEE);
  StrOp.strToByteBuffer(input.c_str(), room.data());
  for (int i = 0; i < n; ++i)
    if (room[static_cast<size_t>(i)] != bytes[i])
      fuzz::fail(kTarget, "strToByte and strToByteBuffer differ", fuzz::show(input.c_str()));
  if (room[static_cast<size_t>(n)] != 0xEE)
    fuzz::fail(kTarget, "strToByteBuffer wrote past its bytes", fuzz::show(input.c_str()));

  bool hex = input.size() % 2 == 0;
  for (unsigned char c : input) hex = hex && std::isxdigit(c);
  if (hex) {
    char *back = StrOp.byteToStr(bytes, n);
    std::string upper = input;
    for (char &c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (!back || upper != back)
      fuzz::fail(kTarget, "byteToStr of strToByte differs",
                 fuzz::show(input.c_str()) + "\n--- back\n" + fuzz::show(back));
    StrOp.freeStr(back);
  }
  MemOp.free(bytes, "fuzz/hex", __LINE__);
  return 0;
}
