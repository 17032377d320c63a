// lumo: EBCDIC conversion through two 256-byte tables per object, built in for code pages 1252
// and 437 or read from a converter file.
#include <lumo/doc.h>
#include <lumo/ebcdic.h>
#include <lumo/node.h>
#include <lumo/trace.h>
#include <unistd.h>

#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "doc.hpp"
#include "file.hpp"
#include "mem.hpp"
#include "node.hpp"
#include "object.hpp"
#include "str.hpp"

namespace {

constexpr int kTid = LUMO_TID_EBCDIC;
constexpr const char *kSource = "impl/ebcdic";
constexpr const char *kObject = "OEbcdic";

lumo::ClassInfo ebcdicClass{"OEbcdic", kTid, kSource};

using Table = unsigned char[256];

// ISO-8859-1 to EBCDIC code page 273, with '@', '~', the section sign, sharp s and the macron at
// their code page 037 positions. Row = high nibble of the PC byte.
constexpr unsigned char kCp1252AsciiToEbcdic[256] = {
    0x00, 0x01, 0x02, 0x03, 0x37, 0x2D, 0x2E, 0x2F, 0x16, 0x05, 0x25, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F,
    0x10, 0x11, 0x12, 0x13, 0x3C, 0x3D, 0x32, 0x26, 0x18, 0x19, 0x3F, 0x27, 0x1C, 0x1D, 0x1E, 0x1F,
    0x40, 0x4F, 0x7F, 0x7B, 0x5B, 0x6C, 0x50, 0x7D, 0x4D, 0x5D, 0x5C, 0x4E, 0x6B, 0x60, 0x4B, 0x61,
    0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0x7A, 0x5E, 0x4C, 0x7E, 0x6E, 0x6F,
    0x7C, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6,
    0xD7, 0xD8, 0xD9, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0x63, 0xEC, 0xFC, 0x5F, 0x6D,
    0x79, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x91, 0x92, 0x93, 0x94, 0x95, 0x96,
    0x97, 0x98, 0x99, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0x43, 0xBB, 0xDC, 0xA1, 0x07,
    0x20, 0x21, 0x22, 0x23, 0x24, 0x15, 0x06, 0x17, 0x28, 0x29, 0x2A, 0x2B, 0x2C, 0x09, 0x0A, 0x1B,
    0x30, 0x31, 0x1A, 0x33, 0x34, 0x35, 0x36, 0x08, 0x38, 0x39, 0x3A, 0x3B, 0x04, 0x14, 0x3E, 0xFF,
    0x41, 0xAA, 0xB0, 0xB1, 0x9F, 0xB2, 0xCC, 0xB5, 0xBD, 0xB4, 0x9A, 0x8A, 0xBA, 0xCA, 0xAF, 0xBC,
    0x90, 0x8F, 0xEA, 0xFA, 0xBE, 0xA0, 0xB6, 0xB3, 0x9D, 0xDA, 0x9B, 0x8B, 0xB7, 0xB8, 0xB9, 0xAB,
    0x64, 0x65, 0x62, 0x66, 0x4A, 0x67, 0x9E, 0x68, 0x74, 0x71, 0x72, 0x73, 0x78, 0x75, 0x76, 0x77,
    0xAC, 0x69, 0xED, 0xEE, 0xEB, 0xEF, 0xE0, 0xBF, 0x80, 0xFD, 0xFE, 0xFB, 0x5A, 0xAD, 0xAE, 0x59,
    0x44, 0x45, 0x42, 0x46, 0xC0, 0x47, 0x9C, 0x48, 0x54, 0x51, 0x52, 0x53, 0x58, 0x55, 0x56, 0x57,
    0x8C, 0x49, 0xCD, 0xCE, 0xCB, 0xCF, 0x6A, 0xE1, 0x70, 0xDD, 0xDE, 0xDB, 0xD0, 0x8D, 0x8E, 0xDF,
};

// Code page 437: the lower half as above; the characters shared with ISO-8859-1 keep their
// EBCDIC bytes (except cent and yen), the box-drawing, Greek and mathematical signs fill the
// EBCDIC bytes left over.
constexpr unsigned char kCp437AsciiToEbcdic[256] = {
    0x00, 0x01, 0x02, 0x03, 0x37, 0x2D, 0x2E, 0x2F, 0x16, 0x05, 0x25, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F,
    0x10, 0x11, 0x12, 0x13, 0x3C, 0x3D, 0x32, 0x26, 0x18, 0x19, 0x3F, 0x27, 0x1C, 0x1D, 0x1E, 0x1F,
    0x40, 0x4F, 0x7F, 0x7B, 0x5B, 0x6C, 0x50, 0x7D, 0x4D, 0x5D, 0x5C, 0x4E, 0x6B, 0x60, 0x4B, 0x61,
    0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0x7A, 0x5E, 0x4C, 0x7E, 0x6E, 0x6F,
    0x7C, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6,
    0xD7, 0xD8, 0xD9, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0x63, 0xEC, 0xFC, 0x5F, 0x6D,
    0x79, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x91, 0x92, 0x93, 0x94, 0x95, 0x96,
    0x97, 0x98, 0x99, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0x43, 0xBB, 0xDC, 0xA1, 0x07,
    0x68, 0xD0, 0x51, 0x42, 0xC0, 0x44, 0x47, 0x48, 0x52, 0x53, 0x54, 0x57, 0x56, 0x58, 0x4A, 0x67,
    0x71, 0x9C, 0x9E, 0xCB, 0x6A, 0xCD, 0xDB, 0xDD, 0xDF, 0xE0, 0x5A, 0x70, 0xB1, 0x80, 0xBF, 0x23,
    0x45, 0x55, 0xCE, 0xDE, 0x49, 0x69, 0x9A, 0x9B, 0xAB, 0xAF, 0xBA, 0xB8, 0xB7, 0xAA, 0x8A, 0x8B,
    0x30, 0x31, 0x1A, 0x33, 0x34, 0x65, 0x62, 0x64, 0xB4, 0x39, 0x3A, 0x3B, 0x04, 0xB0, 0xB2, 0xFF,
    0x14, 0x21, 0x22, 0x24, 0x36, 0x06, 0x46, 0x66, 0x28, 0x29, 0x2A, 0x2B, 0x2C, 0x08, 0x17, 0x9F,
    0x8C, 0xAC, 0x72, 0x73, 0x74, 0x20, 0x75, 0x76, 0x77, 0x09, 0x0A, 0x1B, 0x3E, 0xCC, 0x78, 0x38,
    0xEE, 0x59, 0xEB, 0xED, 0xCF, 0xEF, 0xA0, 0x8E, 0xAE, 0xFE, 0xFB, 0xFD, 0x8D, 0xAD, 0xBC, 0xBE,
    0xCA, 0x8F, 0x15, 0xB9, 0xB6, 0xB5, 0xE1, 0x9D, 0x90, 0xBD, 0xB3, 0xDA, 0xFA, 0xEA, 0x35, 0x41,
};

struct Inverse {
  unsigned char bytes[256];
};

constexpr Inverse inverseOf(const unsigned char (&table)[256]) {
  Inverse inverse{};
  for (int i = 0; i < 256; ++i) inverse.bytes[table[i]] = static_cast<unsigned char>(i);
  return inverse;
}

constexpr bool isPermutation(const unsigned char (&table)[256]) {
  bool seen[256] = {};
  for (int i = 0; i < 256; ++i) {
    if (seen[table[i]]) return false;
    seen[table[i]] = true;
  }
  return true;
}

constexpr bool sameLowerHalf() {
  for (int i = 0; i < 128; ++i)
    if (kCp1252AsciiToEbcdic[i] != kCp437AsciiToEbcdic[i]) return false;
  return true;
}

// Round trips restore every byte only because each table is a permutation.
static_assert(isPermutation(kCp1252AsciiToEbcdic), "the 1252 table maps every byte once");
static_assert(isPermutation(kCp437AsciiToEbcdic), "the 437 table maps every byte once");
static_assert(sameLowerHalf(), "code pages 437 and 1252 share the lower half");

constexpr Inverse kCp1252EbcdicToAscii = inverseOf(kCp1252AsciiToEbcdic);
constexpr Inverse kCp437EbcdicToAscii = inverseOf(kCp437AsciiToEbcdic);

struct EbcdicData {
  int codePage = 0;
  const char *converterFile = nullptr;  // the caller's pointer, valid during inst only
  Table asciiToEbcdic = {};
  Table ebcdicToAscii = {};
};

EbcdicData *dataOf(LumoEbcdic *self) { return lumo::dataOf<EbcdicData>(self); }

void useBuiltIn(EbcdicData *d, const unsigned char (&toEbcdic)[256], const Inverse &toAscii) {
  std::memcpy(d->asciiToEbcdic, toEbcdic, sizeof d->asciiToEbcdic);
  std::memcpy(d->ebcdicToAscii, toAscii.bytes, sizeof d->ebcdicToAscii);
}

// What reading the converter file gave.
enum class Read { Text, Nothing, Refused };

// The whole file as a zero-terminated untyped block in *text. Nothing when the file cannot be
// read or is empty (the quiet fall-back to the built-in tables); Refused when memory was
// refused on the way, which must fail the object rather than give it the wrong tables. A missing
// file is asked about first, so that the fall-back stays quiet.
Read readText(const char *path, char **text) {
  *text = nullptr;
  char *probe = str_dupID(path, kTid);
  if (!probe) return Read::Refused;
  bool exists = file_exist(probe);
  str_freeStrID(probe, kTid);
  if (!exists) return Read::Nothing;
  LumoFile *file = file_inst(path, LUMO_FILE_READ);
  // A file that can be read but was not opened was refused its memory (or a descriptor): a
  // failure of the object, not a reason for the built-in tables.
  if (!file) return ::access(path, R_OK) == 0 ? Read::Refused : Read::Nothing;
  int size = file_size(file);
  // A file that int cannot count could not be parsed either; the room for the terminator must
  // not overflow.
  if (size >= INT_MAX) size = 0;
  char *buffer = size > 0 ? static_cast<char *>(mem_alloc(size + 1, kSource, __LINE__)) : nullptr;
  if (size > 0 && !buffer) {
    file_del(file);
    return Read::Refused;
  }
  if (buffer) {
    std::memset(buffer, 0, static_cast<std::size_t>(size) + 1);
    file_readFile(file, buffer, size);
  }
  file_del(file);
  if (buffer && buffer[0] == '\0') {
    mem_free(buffer, kSource, __LINE__);
    buffer = nullptr;
  }
  *text = buffer;
  return buffer ? Read::Text : Read::Nothing;
}

// An attribute written as a C integer constant; only its low eight bits count.
int byteValue(const char *text) {
  if (!text) return 0;
  return static_cast<int>(std::strtol(text, nullptr, 0) & 0xFF);
}

// The value of an attribute of a conv node in *value (null when it has none); false when its
// decoded value could not be made.
bool valueOf(LumoNode *conv, const char *name, const char **value) {
  *value = nullptr;
  return !node_attrValue(conv, name, value) || *value;
}

// Clears both tables and fills them from the "conv" children of the document's root. The
// parsed document and its root are released here: nothing of them is kept. False when memory
// was refused, so that the tables may lack mappings of the file.
bool mapDocument(EbcdicData *d, const char *path, const char *text) {
  TraceOp.trc(kObject, LUMO_TRC_I, __LINE__, LUMO_TRC_CODE, "Parsing %s...", path);
  bool refused = false;
  LumoDoc *doc = lumo::doc_parseText(text, nullptr, &refused);
  if (refused) return false;
  LumoNode *root = doc ? DocOp.getRootNode(doc) : nullptr;
  LumoNode *conv = root ? NodeOp.findNode(root, "conv") : nullptr;
  if (!doc)
    TraceOp.trc(kObject, LUMO_TRC_W, __LINE__, LUMO_TRC_CODE, "Document == NULL!");
  else if (!root)
    TraceOp.trc(kObject, LUMO_TRC_W, __LINE__, LUMO_TRC_CODE, "Document has no rootnode!");
  else if (!conv)
    TraceOp.trc(kObject, LUMO_TRC_W, __LINE__, LUMO_TRC_CODE,
                "Rootnode(%s) has no \"conv\" childnodes!", NodeOp.getName(root));

  std::memset(d->asciiToEbcdic, 0, sizeof d->asciiToEbcdic);
  std::memset(d->ebcdicToAscii, 0, sizeof d->ebcdicToAscii);
  int mapped = 0;
  // One pass over the root's children in document order: a file of n mappings costs n steps.
  const int children = conv ? NodeOp.getChildCnt(root) : 0;
  for (int i = 0; i < children; ++i) {
    conv = NodeOp.getChild(root, i);
    if (!str_equalsi(NodeOp.getName(conv), "conv")) continue;
    const char *ebcdicText = nullptr, *latin1Text = nullptr;
    if (!valueOf(conv, "ebcdic", &ebcdicText) || !valueOf(conv, "latin1", &latin1Text)) {
      refused = true;
      break;
    }
    if (!ebcdicText || !latin1Text) continue;
    int ebcdic = byteValue(ebcdicText);
    int latin1 = byteValue(latin1Text);
    if (ebcdic == 0 || latin1 == 0) continue;
    TraceOp.trc(kObject, LUMO_TRC_D, __LINE__, LUMO_TRC_CODE, "Mapping 0x%02X to 0x%02X", ebcdic,
                latin1);
    d->asciiToEbcdic[latin1] = static_cast<unsigned char>(ebcdic);
    d->ebcdicToAscii[ebcdic] = static_cast<unsigned char>(latin1);
    ++mapped;
  }
  if (!refused)
    TraceOp.trc(kObject, LUMO_TRC_I, __LINE__, LUMO_TRC_CODE, "%d conv nodes mapped.", mapped);
  NodeOp.del(root);
  DocOp.del(doc);
  return !refused;
}

// False when memory was refused while the converter file was read.
bool fillTables(EbcdicData *d) {
  if (d->converterFile) {
    char *text = nullptr;
    Read read = readText(d->converterFile, &text);
    if (read == Read::Refused) return false;
    if (read == Read::Nothing) {
      useBuiltIn(d, kCp1252AsciiToEbcdic, kCp1252EbcdicToAscii);
      return true;
    }
    bool mapped = mapDocument(d, d->converterFile, text);
    mem_free(text, kSource, __LINE__);
    return mapped;
  }
  if (d->codePage == 1252 || d->codePage == 0)
    useBuiltIn(d, kCp1252AsciiToEbcdic, kCp1252EbcdicToAscii);
  else if (d->codePage == 437)
    useBuiltIn(d, kCp437AsciiToEbcdic, kCp437EbcdicToAscii);
  // Any other code page keeps the zero-filled tables.
  return true;
}

// Each byte through the table; then, when bad is given, every result it rejects becomes '.'.
char *translate(LumoEbcdic *self, const Table EbcdicData::*table, char *buffer, int length,
                bool (*bad)(unsigned char)) {
  EbcdicData *d = dataOf(self);
  if (!d || !buffer || length <= 0) return buffer;
  const unsigned char *map = d->*table;
  unsigned char *bytes = reinterpret_cast<unsigned char *>(buffer);
  for (int i = 0; i < length; ++i) {
    unsigned char b = map[bytes[i]];
    bytes[i] = bad && bad(b) ? static_cast<unsigned char>('.') : b;
  }
  return buffer;
}

bool notTrueAscii(unsigned char b) { return b < 0x20 || b >= 0x80; }
bool notPrintable(unsigned char b) { return b < 0x20 || b > 0x7E; }

struct Impl : lumo::Base<LumoEbcdic, ebcdicClass> {
  static void del(LumoEbcdic *self) noexcept {
    if (!self) return;
    lumo::freeInstance<EbcdicData>(self, ebcdicClass, __LINE__);
  }

  static char *toString(LumoEbcdic *self) noexcept {
    EbcdicData *d = dataOf(self);
    return d ? str_fmtID(kTid, "CodePage=%d", d->codePage) : nullptr;
  }

  static char *Ascii2Ebcdic(LumoEbcdic *self, char *buffer, int length) noexcept {
    return translate(self, &EbcdicData::asciiToEbcdic, buffer, length, nullptr);
  }

  static char *Ebcdic2Ascii(LumoEbcdic *self, char *buffer, int length) noexcept {
    return translate(self, &EbcdicData::ebcdicToAscii, buffer, length, nullptr);
  }

  static char *Ebcdic2ExtAscii(LumoEbcdic *self, char *buffer, int length) noexcept {
    return translate(self, &EbcdicData::ebcdicToAscii, buffer, length, notPrintable);
  }

  static char *Ebcdic2TrueAscii(LumoEbcdic *self, char *buffer, int length) noexcept {
    return translate(self, &EbcdicData::ebcdicToAscii, buffer, length, notTrueAscii);
  }

  static unsigned char getAscii(LumoEbcdic *self, int code) noexcept {
    EbcdicData *d = dataOf(self);
    return d ? d->asciiToEbcdic[code & 0xFF] : 0;
  }

  static unsigned char getEbcdic(LumoEbcdic *self, int code) noexcept {
    EbcdicData *d = dataOf(self);
    return d ? d->ebcdicToAscii[code & 0xFF] : 0;
  }

  static LumoEbcdic *inst(int codePage, const char *converterFile) noexcept {
    EbcdicData *d = nullptr;
    LumoEbcdic *self = lumo::newInstance<EbcdicData>(EbcdicOp, ebcdicClass, __LINE__, &d);
    if (!self) return nullptr;
    d->codePage = codePage;
    d->converterFile = converterFile;
    bool filled = fillTables(d);
    // The path is the caller's and is not read again: keeping it would only leave it dangling.
    d->converterFile = nullptr;
    if (!filled) {
      TraceOp.trc(kObject, LUMO_TRC_E, __LINE__, LUMO_TRC_CODE,
                  "Converter file %s could not be loaded!", converterFile);
      lumo::freeInstance<EbcdicData>(self, ebcdicClass, __LINE__, false);
      return nullptr;
    }
    lumo::countInstance(ebcdicClass);
    return self;
  }
};

}  // namespace

const LumoEbcdic EbcdicOp = {LUMO_BASE_INIT(Impl), LUMO_EBCDIC_OPS(LUMO_SLOT_INIT_MEMBER, Impl)};

LUMO_CHECK_TABLE(LumoEbcdic, LUMO_EBCDIC_OPS, lumo::kOwnSlotsAt);
