// The Python-visible function convert(img, color_palette).
#pragma once

#include <Python.h>

namespace palettra {

struct MethodDescription {
  const char* name;
  PyCFunction entry;
  int flags;
  const char* doc;
};

extern const MethodDescription kConvertMethod;

}  // namespace palettra
