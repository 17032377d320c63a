// qivtrace: one line of a trace file: whether it opens a stamped record, the record's columns,
// and the filters a record is matched against. Lines are views into the caller's buffer.
#ifndef QIVTRACE_RECORD_HPP
#define QIVTRACE_RECORD_HPP

#include <string>
#include <string_view>

namespace qivtrace {

// Width of a record's time stamp, "YYYYMMDD.HHMMSS.mmm".
constexpr std::size_t kStampWidth = 19;
// Width of the thread and object columns.
constexpr std::size_t kColumnWidth = 8;

// The columns of a stamped record. A record written without an object has its message where
// the object column would be; nothing in the line tells the two apart.
struct Record {
  std::string_view stamp;
  char level = '\0';
  std::string_view thread;  // as written: up to 8 columns, shorter only in a cut line
  std::string_view object;
};

// True when line opens a stamped record (a time stamp and a blank); fills record when given.
// Dump rows, the rest of a dump head, println output and the column header are not stamped.
bool parseRecord(std::string_view line, Record *record);

// What a record must match to be shown. Empty members do not filter.
struct Filter {
  std::string levels;   // level letters, case-sensitive
  std::string thread;   // cut or padded to 8 columns, as the trace writes the column
  std::string object;
  std::string since;    // a prefix of the stamp form, inclusive
  std::string until;

  bool active() const;
  bool matches(const Record &record) const;
};

// The column form of a name: cut or padded with blanks to 8 columns.
std::string columnOf(std::string_view name);

// A time bound as a prefix of the stamp form: a prefix of "YYYYMMDD.HHMMSS.mmm" (at least the
// year, not ending in a dot) or an ISO date "YYYY-MM-DD" with an optional time after "T" or a
// blank ("HH", "HH:MM", "HH:MM:SS", "HH:MM:SS.mmm"). False for anything else, and for fields
// out of their range.
bool parseBound(std::string_view text, std::string *stampPrefix);

}  // namespace qivtrace

#endif
