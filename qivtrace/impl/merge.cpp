// qivtrace: groups of lines and their time order. A file's own records are nearly but not
// quite in stamp order (threads take their stamps before the writer queue orders them), so the
// order is a stable sort, not a merge of sorted runs.
#include "merge.hpp"

#include <algorithm>

namespace qivtrace {

void groupLines(std::string_view text, const Filter &filter, FileState &state,
                std::vector<Group> *groups) {
  std::size_t start = groups->size();
  std::size_t at = 0;
  bool leading = !state.seenRecord;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    end = end == std::string_view::npos ? text.size() : end + 1;
    std::string_view line = text.substr(at, end - at);
    Record record;
    if (parseRecord(line, &record)) {
      state.seenRecord = true;
      state.lastStamp.assign(record.stamp);
      state.lastShown = filter.matches(record);
      groups->push_back(Group{state.lastStamp, line, state.lastShown});
    } else if (groups->size() > start && groups->back().text.end() == line.begin()) {
      Group &last = groups->back();
      last.text = std::string_view(last.text.data(), last.text.size() + line.size());
    } else {
      groups->push_back(Group{state.lastStamp, line, leading ? !filter.active() : state.lastShown});
    }
    at = end;
  }
  // Lines ahead of a file's first record sort with it.
  if (leading && groups->size() > start + 1 && (*groups)[start].key.empty())
    (*groups)[start].key = (*groups)[start + 1].key;
}

std::vector<Group> mergeGroups(std::vector<std::vector<Group>> files) {
  auto firstKey = [](const std::vector<Group> &groups) -> const std::string & {
    static const std::string none;
    return groups.empty() ? none : groups.front().key;
  };
  std::stable_sort(files.begin(), files.end(),
                   [&](const std::vector<Group> &a, const std::vector<Group> &b) {
                     return firstKey(a) < firstKey(b);
                   });
  std::vector<Group> all;
  for (std::vector<Group> &groups : files)
    for (Group &group : groups)
      if (group.shown) all.push_back(std::move(group));
  std::stable_sort(all.begin(), all.end(),
                   [](const Group &a, const Group &b) { return a.key < b.key; });
  return all;
}

}  // namespace qivtrace
