// qivtrace: the numbered files "<base>.<number>.trc" of one trace base name in a directory, and
// what each holds that has not been read yet. A file that the trace's rotation truncated and
// reused, or that was replaced, is read again from its start.
#ifndef QIVTRACE_TRACEFILES_HPP
#define QIVTRACE_TRACEFILES_HPP

#include <sys/types.h>

#include <string>
#include <vector>

#include "merge.hpp"

namespace qivtrace {

// Text read from one file in one poll. A chunk with reset set and no text says that the file
// was reused or replaced: the chunks after it are its new content from the start, and its
// reading state starts afresh.
struct Chunk {
  std::size_t file = 0;
  bool reset = false;
  std::string text;
};

class TraceFiles {
 public:
  TraceFiles(std::string directory, std::string base);

  // Whether name is "<base>.<number>.trc" with at least three digits.
  static bool isTraceName(const std::string &name, const std::string &base);

  // Reads what every file of the base holds beyond what was read before. With holdPartial, a
  // last line without its line end is kept back until the line end arrives; without, it is
  // read as it stands. False when the base has no file at all.
  bool poll(bool holdPartial, std::vector<Chunk> *chunks);

  // The reading state of file i of the chunks, for the grouping of its lines.
  FileState &state(std::size_t i) { return files_[i].state; }

 private:
  struct File {
    std::string name;
    dev_t device = 0;
    ino_t inode = 0;
    off_t offset = 0;   // bytes taken, the held last line included
    struct timespec mtime = {};
    std::string head;   // the file's first bytes, to tell a reused file by its content
    std::string held;   // a last line still without its line end
    FileState state;
    bool present = false;
    bool opened = false;  // read at least once
  };

  std::vector<std::string> listNames() const;
  // False when the file could not be read (gone meanwhile, not a regular file).
  bool readFile(File &file, bool holdPartial, std::size_t index, std::vector<Chunk> *chunks);

  std::string directory_;
  std::string base_;
  std::vector<File> files_;
};

}  // namespace qivtrace

#endif
