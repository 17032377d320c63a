// qivtrace: the columns of a stamped record, the filters, and the time bounds of the command
// line. A record line reads "<stamp> <app><code><level> <thread> <object> ...": the code is
// at least four digits but may be longer or negative, and a dump head carries the whole
// application identifier, so the level letter is found before the first blank after the stamp
// rather than at a fixed column.
#include "record.hpp"

namespace qivtrace {
namespace {

constexpr std::string_view kStampPattern = "DDDDDDDD.DDDDDD.DDD";

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Whether text follows the stamp pattern over its whole length.
bool fitsStampPattern(std::string_view text) {
  if (text.size() > kStampPattern.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    bool digit = kStampPattern[i] == 'D';
    if (digit ? !isDigit(text[i]) : text[i] != kStampPattern[i]) return false;
  }
  return true;
}

int number(std::string_view text, std::size_t at, std::size_t width) {
  int value = 0;
  for (std::size_t i = at; i < at + width; ++i) value = value * 10 + (text[i] - '0');
  return value;
}

// Each field of the stamp form that is present in full lies in its range (a leap second is let
// through); fields cut short by a prefix are not judged.
bool fieldsInRange(std::string_view stamp) {
  struct Field {
    std::size_t at, width;
    int low, high;
  };
  constexpr Field fields[] = {{4, 2, 1, 12}, {6, 2, 1, 31}, {9, 2, 0, 23},
                              {11, 2, 0, 59}, {13, 2, 0, 60}};
  for (const Field &f : fields) {
    if (stamp.size() < f.at + f.width) break;
    int v = number(stamp, f.at, f.width);
    if (v < f.low || v > f.high) return false;
  }
  return true;
}

// "YYYY-MM-DD[(T| )HH[:MM[:SS[.m{1,3}]]]]" into the stamp form.
bool isoToStamp(std::string_view text, std::string *stamp) {
  // Each piece: the separator before it (none for the year), its digit count, and what the
  // stamp form puts before its digits.
  struct Piece {
    const char *separators;
    std::size_t digits;
    const char *stampSeparator;
  };
  constexpr Piece pieces[] = {{"", 4, ""},   {"-", 2, ""},  {"-", 2, ""}, {"T ", 2, "."},
                              {":", 2, ""}, {":", 2, ""}, {".", 0, "."}};
  std::string out;
  std::size_t at = 0;
  std::size_t used = 0;
  for (const Piece &piece : pieces) {
    if (at == text.size()) break;
    std::string_view seps = piece.separators;
    if (!seps.empty()) {
      if (seps.find(text[at]) == std::string_view::npos) return false;
      ++at;
    }
    std::size_t n = 0;
    while (at + n < text.size() && isDigit(text[at + n])) ++n;
    bool fraction = piece.digits == 0;
    if (fraction ? (n < 1 || n > 3) : n != piece.digits) return false;
    out += piece.stampSeparator;
    out.append(text.substr(at, n));
    at += n;
    ++used;
  }
  // A date at least, and nothing left over.
  if (used < 3 || at != text.size()) return false;
  *stamp = out;
  return true;
}

}  // namespace

bool parseRecord(std::string_view line, Record *record) {
  if (line.size() <= kStampWidth || line[kStampWidth] != ' ' ||
      !fitsStampPattern(line.substr(0, kStampWidth)))
    return false;
  if (!record) return true;
  *record = Record();
  record->stamp = line.substr(0, kStampWidth);
  // The application identifier's first character may itself be a blank: the search starts
  // after it.
  constexpr std::size_t kAfterApp = kStampWidth + 2;
  std::size_t blank = line.find(' ', kAfterApp);
  if (blank == std::string_view::npos) blank = line.size();
  if (blank > kAfterApp) record->level = line[blank - 1];
  if (blank + 1 < line.size()) {
    record->thread = line.substr(blank + 1, kColumnWidth);
    std::size_t objectAt = blank + 1 + kColumnWidth + 1;
    if (objectAt < line.size()) record->object = line.substr(objectAt, kColumnWidth);
  }
  return true;
}

std::string columnOf(std::string_view name) {
  std::string column(name.substr(0, kColumnWidth));
  column.resize(kColumnWidth, ' ');
  return column;
}

bool Filter::active() const {
  return !levels.empty() || !thread.empty() || !object.empty() || !since.empty() ||
         !until.empty();
}

bool Filter::matches(const Record &record) const {
  if (!levels.empty() && (record.level == '\0' || levels.find(record.level) == std::string::npos))
    return false;
  if (!thread.empty() && columnOf(record.thread) != columnOf(thread)) return false;
  if (!object.empty() && columnOf(record.object) != columnOf(object)) return false;
  // A bound is a prefix: the record's stamp cut to its length compares within the bound, so
  // "--until 20261209" takes in the whole day.
  if (!since.empty() && record.stamp.substr(0, since.size()) < since) return false;
  if (!until.empty() && record.stamp.substr(0, until.size()) > until) return false;
  return true;
}

bool parseBound(std::string_view text, std::string *stampPrefix) {
  std::string stamp;
  if (text.find('-') != std::string_view::npos) {
    if (!isoToStamp(text, &stamp)) return false;
  } else {
    if (text.size() < 4 || text.back() == '.' || !fitsStampPattern(text)) return false;
    stamp = text;
  }
  if (!fieldsInRange(stamp)) return false;
  *stampPrefix = stamp;
  return true;
}

}  // namespace qivtrace
