// Library loader: the suffix rule, loading and lookup against a real shared library, and the
// failure records of a missing library and a missing symbol.
#include <lumo/lib.h>
#include <lumo/mem.h>
#include <lumo/str.h>

#include <gtest/gtest.h>

#include <string>

#include "support/testutil.hpp"

namespace {

const std::string kProbeDir = LUMO_PROBE_DIR;

class LibTest : public ::testing::Test {
 protected:
  void SetUp() override { TraceListener::clear(); }
  void TearDown() override { blocks_.expectUnchanged(); }
  TraceListener listener_;
  BlockCounts blocks_{LUMO_TID_LIB};
};

std::string describe(LumoLib *lib) { return take(lib->toString(lib)); }

TEST_F(LibTest, NameWithoutSuffixLoadsWithSoAppendedAndResolvesSymbols) {
  int before = LibOp.count();
  LumoLib *lib = LibOp.inst((kProbeDir + "/probe").c_str());
  ASSERT_NE(lib, nullptr);
  EXPECT_EQ(LibOp.count(), before + 1);
  EXPECT_EQ(describe(lib), "OLib: " + kProbeDir + "/probe.so");
  auto answer = reinterpret_cast<int (*)(void)>(lib->getProc(lib, "lumo_probe_answer"));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);
  EXPECT_EQ(LibOp.getProc, &lumo_lib_getProc) << "the slot holds the exported function";
  EXPECT_TRUE(TraceListener::heard().empty()) << "success is traced at D only";
  LibOp.del(lib);
  EXPECT_EQ(LibOp.count(), before);
}

TEST_F(LibTest, NameWithSuffixIsUsedUnchanged) {
  LumoLib *lib = LibOp.inst((kProbeDir + "/probe.so").c_str());
  EXPECT_EQ(describe(lib), "OLib: " + kProbeDir + "/probe.so");
  EXPECT_NE(LibOp.getProc(lib, "lumo_probe_answer"), nullptr);
  LibOp.del(lib);
}

TEST_F(LibTest, MissingLibraryStillGivesAnInstanceAndTracesTheLoaderError) {
  std::string path = kProbeDir + "/nothing-here";
  LumoLib *lib = LibOp.inst(path.c_str());
  ASSERT_NE(lib, nullptr);
  EXPECT_EQ(LibOp.getProc(lib, "lumoNoSuchSymbol"), nullptr);
  auto heard = TraceListener::heard();
  ASSERT_EQ(heard.size(), 2u);
  EXPECT_EQ(heard[0].level, 0x1);
  EXPECT_EQ(heard[0].object, "OLib");
  EXPECT_EQ(heard[0].code, 9999);
  EXPECT_EQ(heard[0].text.rfind("lumo_lib_load [" + path + ".so] failed. rc=", 0), 0u)
      << heard[0].text;
  EXPECT_NE(heard[0].text.find("nothing-here.so"), std::string::npos) << "dlerror's text";
  EXPECT_EQ(heard[1].text.rfind("lumo_lib_getProc [" + path + ".so.lumoNoSuchSymbol] failed. rc=", 0),
            0u)
      << heard[1].text;
  LibOp.del(lib);  // must not dlclose a null handle
}

TEST_F(LibTest, SuccessRecordsAppearAtDebugLevel) {
  LumoTrace *trace = TraceOp.get();
  TraceOp.setLevel(trace, 0x8);
  TraceOp.setStdErr(trace, 1);
  StreamCapture out;
  LumoLib *lib = LibOp.inst((kProbeDir + "/probe").c_str());
  LibOp.getProc(lib, "lumo_probe_answer");
  std::string text = out.text();
  TraceOp.setStdErr(trace, 0);
  TraceOp.setLevel(trace, 0);
  EXPECT_NE(text.find("lumo_lib_load OK [" + kProbeDir + "/probe.so]"), std::string::npos) << text;
  EXPECT_NE(text.find("lumo_lib_getProc OK [" + kProbeDir + "/probe.so.lumo_probe_answer]"),
            std::string::npos)
      << text;
  LibOp.del(lib);
}

}  // namespace
