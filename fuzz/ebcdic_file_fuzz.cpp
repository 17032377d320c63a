// Fuzz target for the EBCDIC converter file: the input is written to a file in a temporary
// directory and read by EbcdicOp.inst under several code pages. Whatever the file holds, the
// object converts all 256 bytes both ways and gives back every block it took.
#include <lumo/ebcdic.h>
#include <lumo/trace.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_check.hpp"

namespace {

constexpr const char *kTarget = "ebcdic file";
std::string path;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  char dir[] = "/tmp/lumo_ebcdic_fuzz.XXXXXX";
  if (!mkdtemp(dir)) fuzz::fail(kTarget, "no temporary directory", dir);
  path = std::string(dir) + "/conv.xml";
  TraceOp.inst(-1, nullptr, 0);
  std::atexit([] {
    std::remove(path.c_str());
    rmdir(path.substr(0, path.rfind('/')).c_str());
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FILE *f = std::fopen(path.c_str(), "wb");
  if (!f) fuzz::fail(kTarget, "cannot write the converter file", path);
  if (size) std::fwrite(data, 1, size, f);
  std::fclose(f);

  fuzz::LiveBlocks blocks(kTarget);
  const int pages[] = {1252, 437, 0, 4711};
  for (int page : pages) {
    LumoEbcdic *conv = EbcdicOp.inst(page, path.c_str());
    if (!conv) fuzz::fail(kTarget, "no converter", std::to_string(page));
    char all[256];
    for (int i = 0; i < 256; ++i) all[i] = static_cast<char>(i);
    EbcdicOp.Ascii2Ebcdic(conv, all, 256);
    EbcdicOp.Ebcdic2Ascii(conv, all, 256);
    EbcdicOp.Ebcdic2ExtAscii(conv, all, 256);
    EbcdicOp.Ebcdic2TrueAscii(conv, all, 256);
    for (int i = 0; i < 256; ++i) {
      (void)EbcdicOp.getAscii(conv, i);
      (void)EbcdicOp.getEbcdic(conv, i);
    }
    EbcdicOp.del(conv);
  }
  return 0;
}
