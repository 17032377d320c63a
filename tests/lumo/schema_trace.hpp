// Test support for the schema runtime and the generated schemas: a default trace whose records
// (every level, echoed to the console) are caught in the order they were written, and a check
// that the code under test gave back every block it took.
#ifndef LUMO_TESTS_SCHEMA_TRACE_HPP
#define LUMO_TESTS_SCHEMA_TRACE_HPP

#include <gtest/gtest.h>
#include <lumo/doc.h>
#include <lumo/mem.h>
#include <lumo/node.h>
#include <lumo/trace.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "support/testutil.hpp"

// Each record as "<letter> <object> <code> <message>"; a println line as "println <text>".
using Records = std::vector<std::string>;

// Standard output unbuffered from the start (as the hub runs), so records echoed to standard
// output and to standard error keep their order when both go to one file.
inline const bool kStdoutUnbuffered = std::setvbuf(stdout, nullptr, _IONBF, 0) == 0;

class SchemaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kStdoutUnbuffered);
    DocOp.setIgnoreCase(0);
    blocks_.note(
        {LUMO_TID_ATTR, LUMO_TID_NODE, LUMO_TID_STRING, LUMO_TID_STRTOK, LUMO_TID_MAP});
  }
  void TearDown() override {
    for (LumoNode *n : made_) NodeOp.del(n);
    blocks_.expectUnchanged();
  }

  // A node owned by the fixture.
  LumoNode *make(const char *name) {
    LumoNode *n = NodeOp.inst(name, nullptr, LUMO_NODE_ELEMENT);
    made_.push_back(n);
    return n;
  }

  // Runs fn and returns what the schema runtime ("param", "wrapper") traced and printed, in
  // order; with everything set, the records of every other module as well (the node module
  // writes one for each read of a missing attribute).
  template <class Fn>
  Records traced(Fn fn, bool everything = false) {
    StreamCapture console{StreamCapture::Both{}};
    TraceOp.setStdErr(nullptr, 1);
    fn();
    TraceOp.setStdErr(nullptr, 0);

    // stamp, application id, code, level letter, thread, object, line, message
    static const std::regex record(R"(^\S+ .(\d{4})([A-Za-z]) .{8} (.{8}) \d{4} ?(.*)$)");
    Records out;
    for (const std::string &line : console.lines()) {
      std::smatch m;
      if (!std::regex_match(line, m, record)) {
        out.push_back("println " + line);
        continue;
      }
      std::string object = m[3].str();
      object.erase(object.find_last_not_of(' ') + 1);
      if (!everything && object != "param" && object != "wrapper") continue;
      out.push_back(m[2].str() + " " + object + " " + m[1].str() + " " + m[4].str());
    }
    return out;
  }

  // The records of the given levels only.
  static Records only(const Records &records, const std::string &letters) {
    Records out;
    for (const auto &r : records)
      if (r.size() > 1 && r[1] == ' ' && letters.find(r[0]) != std::string::npos) out.push_back(r);
    return out;
  }

 private:
  static constexpr int kEveryLevel = 0xFFFFFFF;
  ScopedTrace trace_{kEveryLevel, 0};
  BlockCounts blocks_;
  std::vector<LumoNode *> made_;
};

#endif
