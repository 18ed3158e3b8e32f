// Attribute names made once per process as interned strings.
#pragma once

#include <Python.h>

namespace palettra {

PyObject* interned_name_attribute();  // "__name__"
PyObject* interned_all_attribute();   // "__all__"

}  // namespace palettra
