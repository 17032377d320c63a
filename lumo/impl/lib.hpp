// lumo: the library loader's data record, shared by the object layer and the platform layer.
#ifndef LUMO_IMPL_LIB_HPP
#define LUMO_IMPL_LIB_HPP

#include <lumo/lib.h>

struct LumoLibData {
  char *path = nullptr;    // the file name as loaded, suffix included (allocation type 6)
  void *handle = nullptr;  // null when loading failed
};

#endif
