// A function of a module, as the module's initializer makes it.
#pragma once

#include <Python.h>

namespace palettra {

struct MethodDescription {
  const char* name;
  PyCFunction entry;
  int flags;
  const char* doc;
};

}  // namespace palettra
