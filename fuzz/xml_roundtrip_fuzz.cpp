// Fuzz target for the XML parser and serializer: whatever parses must serialize into a text that
// parses again and serializes to the very same text, and nothing may be left allocated.
//
// The first input byte picks the document switches (element text, UTF-8 conversion, named and
// numeric escapes) and the switches of a merge of the tree into its own last node (overwrite,
// recursive, keepId, replaceChilds), the rest is the XML text up to its first NUL. Such a merge
// must end, and each source node it visits may add at most one copy of its own subtree: a source
// child without a match is appended as a copy and then merged into that copy, and siblings of
// one name all merge into the first, so a source with repeated names may add more nodes than it
// has, but never more than the sum of its subtrees.
#include <lumo/doc.h>
#include <lumo/str.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

[[noreturn]] void fail(const char *what, const std::string &input, const char *first,
                       const char *second) {
  std::fprintf(stderr, "xml round trip: %s\n--- input\n%s\n--- first\n%s\n--- second\n%s\n", what,
               input.c_str(), first ? first : "(null)", second ? second : "(null)");
  std::abort();
}

// Whether a node below the given one has an empty name. The parser makes such nodes from "<>"
// or a stray "</>" at the top level; written back inside a parent without children they read
// "</>", an end tag, so their trees cannot come back as they were.
bool hasNamelessDescendant(LumoNode *node) {
  int children = NodeOp.getChildCnt(node);
  for (int i = 0; i < children; ++i) {
    LumoNode *child = NodeOp.getChild(node, i);
    if (!*NodeOp.getName(child) || hasNamelessDescendant(child)) return true;
  }
  return false;
}

// Serializes node, parses the text back and serializes the new root: both texts must agree.
void roundTrip(LumoNode *node, int serialization, const std::string &input) {
  if (hasNamelessDescendant(node)) return;
  char *first = DocOp.node2String(node, serialization);
  if (!first) fail("no text", input, nullptr, nullptr);
  // With named escapes a middle dot is written "&middot;", which is not read back as an entity:
  // a known one-way escape, so such texts grow an "&amp;" when read again.
  if (std::strstr(first, "&middot;")) {
    StrOp.freeStr(first);
    return;
  }
  LumoDoc *again = DocOp.parse(first);
  LumoNode *root = DocOp.getRootNode(again);
  if (!root) fail("the written text does not parse", input, first, nullptr);
  char *second = DocOp.node2String(root, serialization);
  if (!second || std::strcmp(first, second) != 0)
    fail("the text changes when read back", input, first, second);
  StrOp.freeStr(second);
  StrOp.freeStr(first);
  NodeOp.del(root);
  DocOp.del(again);
}

int subtreeSize(LumoNode *node) {
  int size = 1;
  for (int i = 0; i < NodeOp.getChildCnt(node); ++i) size += subtreeSize(NodeOp.getChild(node, i));
  return size;
}

// The sum of the subtree sizes of every node below node: the most a merge of node may add.
long copiesBound(LumoNode *node) {
  long bound = 0;
  for (int i = 0; i < NodeOp.getChildCnt(node); ++i) {
    LumoNode *child = NodeOp.getChild(node, i);
    bound += subtreeSize(child) + copiesBound(child);
  }
  return bound;
}

void mergeIntoLastNode(LumoNode *root, unsigned flags, const std::string &input) {
  LumoNode *last = root;
  while (int children = NodeOp.getChildCnt(last)) last = NodeOp.getChild(last, children - 1);
  long before = NodeOp.count(), added = copiesBound(root);
  if (!NodeOp.mergeNode(last, root, flags & 16, flags & 32, flags & 64, flags & 128))
    fail("merge into the last node failed", input, nullptr, nullptr);
  if (NodeOp.count() > before + added)
    fail("merge into the last node grew more than copies of the source's subtrees", input, nullptr,
         nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  unsigned flags = data[0];
  DocOp.setXMLElementVal(flags & 1);
  DocOp.setUTF2Latin(flags & 2);
  DocOp.setHTMLEscapes(flags & 4);
  DocOp.setUniCodeEscapes(flags & 8);
  std::string input(reinterpret_cast<const char *>(data) + 1, size - 1);

  int nodes = NodeOp.count(), attrs = AttrOp.count(), docs = DocOp.count();
  int errPos = -1;
  LumoDoc *doc = DocOp.parseErr(input.c_str(), &errPos);
  if (doc) {
    LumoNode *root = DocOp.getRootNode(doc);
    if (root) {
      roundTrip(root, 1, input);
      roundTrip(root, 0, input);
      mergeIntoLastNode(root, flags, input);
    }
    roundTrip(DocOp.getDocNode(doc), 0, input);
    NodeOp.del(root);
    DocOp.del(doc);
  } else if (int length = static_cast<int>(std::strlen(input.c_str()))) {
    // Null for a text that is not empty is a parse error, whose position lies inside the text.
    if (errPos < 0 || errPos > length)
      fail("error position outside the text", input, nullptr, nullptr);
  }
  if (NodeOp.count() != nodes || AttrOp.count() != attrs || DocOp.count() != docs)
    fail("nodes, attributes or documents left behind", input, nullptr, nullptr);
  return 0;
}
