// Maps pixels by comparing every palette row, a block at a time, as the
// searches must never be much slower than: the reference for their
// results and speed.
#include <Python.h>

#include <algorithm>
#include <cstdint>

#include "mapping/array_views.hpp"
#include "mapping/block_scan.hpp"
#include "module/boundary_guard.hpp"
#include "numpy_bridge/numpy_api.hpp"
#include "test_functions.hpp"

namespace {

using palettra::fail;
using palettra::PendingError;
using palettra::Result;

// Releases a buffer view however the call ends.
class BufferView {
 public:
  BufferView() = default;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() {
    if (view_.obj != nullptr) PyBuffer_Release(&view_);
  }
  bool acquire(PyObject* object, int flags) { return PyObject_GetBuffer(object, &view_, flags) == 0; }
  const Py_buffer& get() const { return view_; }

 private:
  Py_buffer view_{};
};

// plain_scan_convert(pixels, palette, out): pixels a C-contiguous uint64
// array of triples, palette an (n, 3 or more) uint64 array with n >= 1, out
// a writable C-contiguous uint64 array as large as pixels, which receives
// each pixel's colour.
PyObject* plain_scan_convert(PyObject* /*self*/, PyObject* args) noexcept {
  return palettra::guard_entry([&]() -> Result<PyObject*> {
    PyObject* pixels_object = nullptr;
    PyObject* palette_object = nullptr;
    PyObject* out_object = nullptr;
    if (!PyArg_ParseTuple(args, "OOO", &pixels_object, &palette_object, &out_object)) {
      return fail(PendingError::fetch_after_failure());
    }
    BufferView pixels;
    BufferView out;
    if (!pixels.acquire(pixels_object, PyBUF_C_CONTIGUOUS) ||
        !out.acquire(out_object, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE)) {
      return fail(PendingError::fetch_after_failure());
    }
    if (!palettra::numpy::is_array(palette_object) ||
        palettra::numpy::as_array(palette_object)->nd != 2) {
      return fail(PendingError::with_message(PyExc_TypeError, "palette must be a 2-d array"));
    }
    const palettra::PaletteView palette = palettra::palette_view_of(palette_object);
    if (palette.rows == 0 || palette.columns < 3 || pixels.get().len % 24 != 0 || out.get().len != pixels.get().len) {
      return fail(PendingError::with_message(PyExc_ValueError, "bad plain scan arguments"));
    }
    const auto* values = static_cast<const std::uint64_t*>(pixels.get().buf);
    auto* colours = static_cast<std::uint64_t*>(out.get().buf);
    const std::size_t count = static_cast<std::size_t>(pixels.get().len) / 24;
    palettra::BlockScan scan(palette);
    std::uint64_t rows[palettra::BlockScan::kMostPerRun];
    for (std::size_t start = 0; start < count; start += palettra::BlockScan::kMostPerRun) {
      const std::size_t run = std::min(palettra::BlockScan::kMostPerRun, count - start);
      scan.nearest_run(values + 3 * start, run, rows);
      for (std::size_t j = 0; j < run; ++j) {
        for (std::uint64_t c = 0; c < 3; ++c) colours[3 * (start + j) + c] = palette.entry(rows[j], c);
      }
    }
    return Py_NewRef(Py_None);
  });
}

palettra::testing::RegisterTestFunction registered{
    {"plain_scan_convert", plain_scan_convert, METH_VARARGS, nullptr}};

}  // namespace
