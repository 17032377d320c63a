// lumo: the document module's process-wide switches. Any thread that escapes, looks up, parses
// or serializes reads them at the moment of use, so each one is an atomic.
#include "doc.hpp"

#include <atomic>

#include "object.hpp"
#include "str.hpp"

namespace {

constexpr const char *kUtf8Name = "UTF-8";
constexpr const char *kLatin15Name = "ISO-8859-15";

lumo::ClassInfo docClass{"ODoc", LUMO_TID_DOC, "impl/doc"};

std::atomic<bool> xmlprolog{true};
std::atomic<const char *> docencoding{kUtf8Name};
std::atomic<bool> utf8encoding{true};
std::atomic<bool> utf2latin{false};
std::atomic<bool> unicodeescapes{false};
std::atomic<bool> htmlescapes{false};
std::atomic<bool> ignorecase{false};
std::atomic<bool> elementval{false};

constexpr auto kRelaxed = std::memory_order_relaxed;

// Documents themselves arrive with the parser; until then there is no instance to release.
struct Impl : lumo::Base<LumoDoc, docClass> {
  static void del(LumoDoc *) noexcept {}
};

}  // namespace

const char *doc_getEncoding(void) noexcept { return docencoding.load(kRelaxed); }

char *doc_getEncodingProperty(void) noexcept {
  const char *name = docencoding.load(kRelaxed);
  return str_fmt("<?xml version=\"1.0\" encoding=\"%s\"?>", name ? name : "");
}

int doc_isHTMLEscapes(void) noexcept { return htmlescapes.load(kRelaxed); }

int doc_isIgnoreCase(void) noexcept { return ignorecase.load(kRelaxed); }

int doc_isUTF2Latin(void) noexcept { return utf2latin.load(kRelaxed); }

int doc_isUTF8Encoding(void) noexcept { return utf8encoding.load(kRelaxed); }

int doc_isUniCodeEscapes(void) noexcept { return unicodeescapes.load(kRelaxed); }

int doc_isXMLElementVal(void) noexcept { return elementval.load(kRelaxed); }

int doc_isXMLProlog(void) noexcept { return xmlprolog.load(kRelaxed); }

// The name is kept, not copied; only the exact upper-case spelling means UTF-8 output.
void doc_setEncoding(const char *name) noexcept {
  docencoding.store(name, kRelaxed);
  utf8encoding.store(str_equals(name, kUtf8Name) != 0, kRelaxed);
}

void doc_setHTMLEscapes(int flag) noexcept { htmlescapes.store(flag != 0, kRelaxed); }

void doc_setIgnoreCase(int flag) noexcept { ignorecase.store(flag != 0, kRelaxed); }

void doc_setUTF2Latin(int flag) noexcept { utf2latin.store(flag != 0, kRelaxed); }

void doc_setUniCodeEscapes(int flag) noexcept { unicodeescapes.store(flag != 0, kRelaxed); }

void doc_setXMLElementVal(int flag) noexcept { elementval.store(flag != 0, kRelaxed); }

void doc_setXMLProlog(int flag) noexcept { xmlprolog.store(flag != 0, kRelaxed); }

const LumoDoc DocOp = {LUMO_BASE_INIT(Impl), kUtf8Name, kLatin15Name,
                       LUMO_DOC_OPS(LUMO_SLOT_INIT_PREFIXED, doc_)};

namespace {
constexpr const char *kDocSlots[] = {LUMO_DOC_OPS(LUMO_SLOT_NAME, _)};
static_assert(lumo::namesAscending(kDocSlots), "DocOp slots are in byte-wise order");
static_assert(lumo::classLayoutOk<LumoDoc, 16>(),
              "DocOp has the base slots, the two names and 14 own slots");
static_assert(offsetof(LumoDoc, utf8Name) == 12 * sizeof(void *) &&
                  offsetof(LumoDoc, latin15Name) == 13 * sizeof(void *) &&
                  offsetof(LumoDoc, getEncoding) == 14 * sizeof(void *),
              "the two names sit between the base slots and the operations");
}  // namespace
