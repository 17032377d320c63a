// Test support: a tree from XML text, for tests that build many of them. The caller owns the
// root (null when the text has none or cannot be parsed).
#ifndef LUMO_TESTS_PARSED_ROOT_HPP
#define LUMO_TESTS_PARSED_ROOT_HPP

#include <lumo/doc.h>

inline LumoNode *parsedRoot(const char *xml) {
  LumoDoc *doc = DocOp.parse(xml);
  LumoNode *root = DocOp.getRootNode(doc);
  DocOp.del(doc);
  return root;
}

#endif
