// An accepted palette: a two-dimensional unsigned 64-bit array held with a
// read borrow for as long as this object lives.
#pragma once

#include <Python.h>

#include "module/pending_error.hpp"
#include "module/py_ref.hpp"

namespace palettra {

class ReadonlyArray {
 public:
  // A TypeError "... cannot be converted to 'PyArray<T, D>'" for anything
  // else; a panic when the memory is borrowed for writing elsewhere.
  static Result<ReadonlyArray> from_object(PyObject* object);

  ReadonlyArray(ReadonlyArray&& other) noexcept = default;
  ReadonlyArray& operator=(ReadonlyArray&&) = delete;
  ~ReadonlyArray();

  PyObject* get() const noexcept { return array_.get(); }

 private:
  explicit ReadonlyArray(Ref array) noexcept : array_(std::move(array)) {}
  Ref array_;
};

}  // namespace palettra
