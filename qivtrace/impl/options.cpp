// qivtrace: the command line. The library's command-line parser takes the word after any
// option as its value and has no place for a word that is not an option's value, so neither a
// trace base name after -f nor a mistyped option could be told from it: the few options here
// are read directly.
#include "options.hpp"

#include <lumo/trace.h>

#include <cstring>

namespace qivtrace {
namespace {

// Every level letter a record can carry ("?" stands for a level that is not a single bit).
constexpr const char *kLevelLetters = LUMO_TRC_LETTERS "?";

const char *const kUsage =
    "usage: qivtrace [options] [BASE]\n"
    "Prints the records of the trace files BASE.NNN.trc (BASE defaults to qivhub) in time "
    "order.\n"
    "  -d DIR          directory of the trace files (default .)\n"
    "  -l LETTERS      only records of these level letters, e.g. EW\n"
    "  -t THREAD       only records of this thread (first 8 characters)\n"
    "  -o OBJECT       only records of this object (first 8 characters)\n"
    "  --since STAMP   only records stamped at or after STAMP\n"
    "  --until STAMP   only records stamped at or before STAMP\n"
    "                  STAMP: 20261209, 20261209.0703, 2026-12-09 or 2026-12-09T07:03:39\n"
    "  -f              keep printing new records as they are written, until interrupted\n"
    "  -h, --help      this text\n";

}  // namespace

const char *usageText() { return kUsage; }

Parsed parseOptions(int argc, char **argv, Options *options, std::string *error) {
  bool haveBase = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") return Parsed::kHelp;
    if (arg == "-f") {
      options->follow = true;
      continue;
    }
    if (arg.size() > 1 && arg[0] == '-') {
      if (i + 1 >= argc) {
        *error = "option " + arg + " needs a value";
        return Parsed::kError;
      }
      std::string value = argv[++i];
      Filter &filter = options->filter;
      if (arg == "-d") {
        options->directory = value;
      } else if (arg == "-l") {
        if (value.empty() || value.find_first_not_of(kLevelLetters) != std::string::npos) {
          *error = "-l " + value + ": level letters are " + kLevelLetters;
          return Parsed::kError;
        }
        filter.levels = value;
      } else if (arg == "-t" || arg == "-o") {
        if (value.empty()) {
          *error = "option " + arg + " needs a name";
          return Parsed::kError;
        }
        (arg == "-t" ? filter.thread : filter.object) = value;
      } else if (arg == "--since" || arg == "--until") {
        if (!parseBound(value, arg == "--since" ? &filter.since : &filter.until)) {
          *error = arg + " " + value +
                   ": not a time stamp (20261209.070339.123 or a prefix of it, 2026-12-09, "
                   "2026-12-09T07:03:39)";
          return Parsed::kError;
        }
      } else {
        *error = "unknown option " + arg;
        return Parsed::kError;
      }
      continue;
    }
    if (haveBase || arg.empty() || arg.find('/') != std::string::npos) {
      *error = haveBase ? "more than one trace base name: " + arg
                        : "not a trace base name: '" + arg + "' (use -d for the directory)";
      return Parsed::kError;
    }
    options->base = arg;
    haveBase = true;
  }
  return Parsed::kRun;
}

}  // namespace qivtrace
