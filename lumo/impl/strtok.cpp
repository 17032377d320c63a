// lumo: the string tokenizer. The count is taken once at creation; nextToken cuts the private
// copy in place, so tokens cost no allocation.
#include <lumo/strtok.h>

#include <climits>
#include <cstring>

#include "mem.hpp"
#include "object.hpp"
#include "str.hpp"

namespace {

constexpr int kTid = LUMO_TID_STRTOK;
constexpr const char *kSource = "impl/strtok";

lumo::ClassInfo strtokClass{"OStrTok", kTid, kSource};

struct StrTokData {
  char *text = nullptr;  // private copy under the tokenizer's allocation type
  char separator = 0;
  int tokenCount = 0;
  char *cursor = nullptr;  // start of the next token; null when none is left
};

// The next separator at or after p, or null. A zero separator is never found, so it cannot
// match the terminator and run the search past the end of the text.
char *findSeparator(char *p, char separator) {
  if (!separator) return nullptr;
  const unsigned char sep = static_cast<unsigned char>(separator);
  for (; *p; ++p)
    if (static_cast<unsigned char>(*p) == sep) return p;
  return nullptr;
}

struct Impl : lumo::Base<LumoStrTok, strtokClass> {
  static void del(LumoStrTok *self) noexcept {
    if (!self) return;
    StrTokData *d = lumo::dataOf<StrTokData>(self);
    if (d) str_freeStrID(d->text, kTid);
    lumo::freeInstance<StrTokData>(self, strtokClass, __LINE__, count() > 0);
  }

  static char *toString(LumoStrTok *self) noexcept {
    StrTokData *d = lumo::dataOf<StrTokData>(self);
    if (!d) return nullptr;
    char sep[2] = {d->separator, '\0'};
    return str_fmt("%s sep=%s", lumo::orEmpty(d->text), sep);
  }

  static int countTokens(LumoStrTok *self) noexcept {
    StrTokData *d = lumo::dataOf<StrTokData>(self);
    return d ? d->tokenCount : 0;
  }

  static int hasMoreTokens(LumoStrTok *self) noexcept {
    StrTokData *d = lumo::dataOf<StrTokData>(self);
    return d && d->cursor != nullptr;
  }

  static LumoStrTok *inst(const char *text, char separator) noexcept {
    StrTokData *d = nullptr;
    LumoStrTok *self = lumo::newInstance<StrTokData>(StrTokOp, strtokClass, __LINE__, &d);
    if (!self) return nullptr;
    d->separator = separator;
    if (text && *text) {
      d->text = str_dupID(text, kTid);
      if (!d->text) {
        lumo::freeInstance<StrTokData>(self, strtokClass, __LINE__, false);
        return nullptr;
      }
      d->cursor = d->text;
      d->tokenCount = 1;
      for (char *p = findSeparator(d->text, separator); p; p = findSeparator(p + 1, separator))
        ++d->tokenCount;
    }
    lumo::countInstance(strtokClass);
    return self;
  }

  static char *nextToken(LumoStrTok *self) noexcept {
    StrTokData *d = lumo::dataOf<StrTokData>(self);
    if (!d || !d->cursor) return nullptr;
    char *token = d->cursor;
    char *sep = findSeparator(token, d->separator);
    if (sep) {
      *sep = '\0';
      d->cursor = sep + 1;
    } else {
      d->cursor = nullptr;
    }
    return token;
  }

  // The result is measured over the cut tokens first and then written once: appending piece by
  // piece would copy the growing result for every token.
  static char *replaceAll(const char *text, char separator, const char *find,
                          const char *replacement) noexcept {
    if (!find || !replacement) return nullptr;
    LumoStrTok *tok = inst(text, separator);
    if (!tok) return nullptr;
    StrTokData *d = lumo::dataOf<StrTokData>(tok);
    const std::size_t replacementLength = std::strlen(replacement);
    std::size_t total = 0;
    bool matched = false;
    for (const char *token = nextToken(tok); token; token = nextToken(tok)) {
      bool hit = str_equals(token, find) != 0;
      matched = matched || hit;
      total += (hit ? replacementLength : std::strlen(token)) + 1;  // and its comma
    }
    char *result = nullptr;
    if (matched && total < static_cast<std::size_t>(INT_MAX))
      result = static_cast<char *>(
          mem_allocTID(static_cast<int>(total), LUMO_TID_STRING, kSource, __LINE__));
    if (result) {
      // The cut copy holds the tokens one after the other, each ended by its NUL.
      char *out = result;
      const char *token = d->text;
      for (int i = 0; i < d->tokenCount; ++i) {
        std::size_t length = std::strlen(token);
        bool hit = str_equals(token, find) != 0;
        if (i > 0) *out++ = ',';
        std::memcpy(out, hit ? replacement : token, hit ? replacementLength : length);
        out += hit ? replacementLength : length;
        token += length + 1;
      }
      *out = '\0';
    }
    del(tok);
    return result;
  }
};

}  // namespace

const LumoStrTok StrTokOp = {LUMO_BASE_INIT(Impl), LUMO_STRTOK_OPS(LUMO_SLOT_INIT_MEMBER, Impl)};

LUMO_CHECK_TABLE(LumoStrTok, LUMO_STRTOK_OPS, lumo::kOwnSlotsAt);
