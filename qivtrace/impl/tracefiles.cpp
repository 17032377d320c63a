// qivtrace: finding and reading the numbered trace files. The trace's rotation truncates its
// oldest file and fills it again under the same name and inode, possibly past the size seen at
// the last look; so besides a shrink or a new inode, a file whose first bytes changed counts
// as reused. Offsets are 64-bit: a trace with a single file is appended to without end.
#include "tracefiles.hpp"

#include <lumo/file.h>

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <map>

namespace qivtrace {
namespace {

constexpr std::size_t kHeadBytes = 64;
constexpr std::size_t kReadBlock = 65536;

bool sameTime(const struct timespec &a, const struct timespec &b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Reads from offset to the end of the stream; false on a read error.
bool readFrom(FILE *stream, off_t offset, std::string *data) {
  if (fseeko(stream, offset, SEEK_SET) != 0) return false;
  char block[kReadBlock];
  std::size_t n;
  while ((n = std::fread(block, 1, sizeof block, stream)) > 0) data->append(block, n);
  return !std::ferror(stream);
}

bool startsWith(FILE *stream, const std::string &head) {
  if (head.empty()) return true;
  std::string now(head.size(), '\0');
  return fseeko(stream, 0, SEEK_SET) == 0 &&
         std::fread(&now[0], 1, now.size(), stream) == now.size() && now == head;
}

}  // namespace

TraceFiles::TraceFiles(std::string directory, std::string base)
    : directory_(std::move(directory)), base_(std::move(base)) {}

bool TraceFiles::isTraceName(const std::string &name, const std::string &base) {
  constexpr std::size_t kMinDigits = 3;
  const std::string suffix = ".trc";
  if (name.size() < base.size() + 1 + kMinDigits + suffix.size()) return false;
  if (name.compare(0, base.size(), base) != 0 || name[base.size()] != '.') return false;
  if (name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) return false;
  for (std::size_t i = base.size() + 1; i < name.size() - suffix.size(); ++i)
    if (name[i] < '0' || name[i] > '9') return false;
  return true;
}

std::vector<std::string> TraceFiles::listNames() const {
  std::vector<std::string> names;
  DIR *dir = opendir(directory_.c_str());
  if (!dir) return names;
  while (const struct dirent *entry = readdir(dir))
    if (isTraceName(entry->d_name, base_)) names.emplace_back(entry->d_name);
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

bool TraceFiles::poll(bool holdPartial, std::vector<Chunk> *chunks) {
  std::map<std::string, std::size_t> known;
  for (std::size_t i = 0; i < files_.size(); ++i) {
    known.emplace(files_[i].name, i);
    files_[i].present = false;
  }
  for (const std::string &name : listNames()) {
    auto it = known.find(name);
    std::size_t index = it != known.end() ? it->second : files_.size();
    if (index == files_.size()) {
      files_.emplace_back();
      files_.back().name = name;
    }
    files_[index].present = true;
  }
  bool any = false;
  for (std::size_t i = 0; i < files_.size(); ++i)
    if (files_[i].present) any = readFile(files_[i], holdPartial, i, chunks) || any;
  return any;
}

bool TraceFiles::readFile(File &file, bool holdPartial, std::size_t index,
                          std::vector<Chunk> *chunks) {
  std::string path = directory_ + "/" + file.name;
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (file.opened && st.st_dev == file.device && st.st_ino == file.inode &&
      st.st_size == file.offset && sameTime(st.st_mtim, file.mtime))
    return true;
  LumoFile *handle = FileOp.inst(path.c_str(), LUMO_FILE_READ);
  if (!handle) return false;
  FILE *stream = FileOp.getStream(handle);
  bool ok = stream && fstat(fileno(stream), &st) == 0;
  if (ok && file.opened &&
      (st.st_dev != file.device || st.st_ino != file.inode || st.st_size < file.offset ||
       !startsWith(stream, file.head))) {
    // What was held back of the old content ends there: it is shown as it stands.
    if (!file.held.empty()) chunks->push_back(Chunk{index, false, file.held + "\n"});
    file.held.clear();
    file.head.clear();
    file.offset = 0;
    chunks->push_back(Chunk{index, true, std::string()});
  }
  std::string data;
  ok = ok && readFrom(stream, file.offset, &data);
  FileOp.del(handle);
  if (!ok) return false;
  file.opened = true;
  file.device = st.st_dev;
  file.inode = st.st_ino;
  file.mtime = st.st_mtim;
  if (file.head.size() < kHeadBytes && static_cast<std::size_t>(file.offset) == file.head.size())
    file.head.append(data, 0, kHeadBytes - file.head.size());
  file.offset += static_cast<off_t>(data.size());
  std::string text = file.held + data;
  file.held.clear();
  if (holdPartial) {
    std::size_t cut = text.rfind('\n');
    cut = cut == std::string::npos ? 0 : cut + 1;
    file.held = text.substr(cut);
    text.resize(cut);
  }
  if (!text.empty()) chunks->push_back(Chunk{index, false, std::move(text)});
  return true;
}

}  // namespace qivtrace
