// An owned strong reference to a Python object.
#pragma once

#include <Python.h>

#include <utility>

namespace palettra {

class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : object_(other.release()) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref(std::move(other)).swap(*this);
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  // Takes over a reference the caller already owns (a "new reference").
  static Ref steal(PyObject* object) noexcept { return Ref(object); }
  // Takes a reference of its own to a borrowed object.
  static Ref borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return Ref(object);
  }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Gives up ownership without releasing the reference.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  // Releases the reference now rather than at the end of the scope.
  void reset() noexcept { Ref().swap(*this); }
  void swap(Ref& other) noexcept { std::swap(object_, other.object_); }

 private:
  explicit Ref(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace palettra
