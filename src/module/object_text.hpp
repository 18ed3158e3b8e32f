// Rendering Python objects inside messages.
#pragma once

#include <Python.h>

#include <string>

namespace palettra {

// Appends the UTF-8 form of a str; lone surrogates become U+FFFD, one per
// byte of their surrogate-pass encoding.
void append_lossy_utf8(std::string& out, PyObject* str);

// Appends str(object). When str() raises, the exception goes to the
// unraisable hook and "<unprintable TYPE object>" is written instead.
void write_object_text(std::string& out, PyObject* object);

// The same with repr() in place of str().
void write_object_repr(std::string& out, PyObject* object);

}  // namespace palettra
