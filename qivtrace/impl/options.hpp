// qivtrace: the command line.
#ifndef QIVTRACE_OPTIONS_HPP
#define QIVTRACE_OPTIONS_HPP

#include <string>

#include "record.hpp"

namespace qivtrace {

struct Options {
  std::string directory = ".";
  std::string base = "qivhub";
  Filter filter;
  bool follow = false;
};

enum class Parsed { kRun, kHelp, kError };

// Reads argv into options. kError leaves the reason in error (one line, no line end).
Parsed parseOptions(int argc, char **argv, Options *options, std::string *error);

// The usage text, every option on a line of its own.
const char *usageText();

}  // namespace qivtrace

#endif
