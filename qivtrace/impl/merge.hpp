// qivtrace: puts the lines of several trace files into one time order. A stamped record and
// the unstamped lines after it (dump rows, the rest of a dump head, println output, the column
// header) form a group that is ordered by the record's stamp and shown or hidden as a whole.
// Groups are views into the caller's text, which must outlive them.
#ifndef QIVTRACE_MERGE_HPP
#define QIVTRACE_MERGE_HPP

#include <string>
#include <string_view>
#include <vector>

#include "record.hpp"

namespace qivtrace {

// What one file's reading has reached: the record that its next unstamped line belongs to.
struct FileState {
  bool seenRecord = false;
  std::string lastStamp;
  bool lastShown = false;
};

struct Group {
  std::string key;        // the record's stamp; see groupLines for lines without a record
  std::string_view text;  // whole lines, each with its line end except perhaps the last
  bool shown = false;
};

// Splits one file's text into groups and carries state on to the next text of that file.
// Unstamped lines at the start belong to the record state names; in a file that had no record
// yet they come first with the file: they take the stamp of the file's first record (or sort
// before everything when there is none), and are shown only when no filter is set, as they
// belong to no record that a filter could select.
void groupLines(std::string_view text, const Filter &filter, FileState &state,
                std::vector<Group> *groups);

// One order for the groups of several files: by stamp, those stamped alike kept in the order of
// their files (ordered by each file's first stamp) and then in the file's own order. Only the
// shown groups are kept.
std::vector<Group> mergeGroups(std::vector<std::vector<Group>> files);

}  // namespace qivtrace

#endif
