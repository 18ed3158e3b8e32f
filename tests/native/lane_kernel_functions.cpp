// Each kernel that compares many byte pixels with a list of byte colours at
// once, whichever the module would pick on this processor.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string_view>
#include <vector>

#include "mapping/byte_lanes.hpp"
#include "module/boundary_guard.hpp"
#include "module/py_ref.hpp"
#include "test_functions.hpp"

namespace {

using palettra::fail;
using palettra::LaneKernel;
using palettra::PendingError;
using palettra::Result;

const char* kernel_name(LaneKernel kernel) {
  switch (kernel) {
    case LaneKernel::kAvx512:
      return "avx512";
    case LaneKernel::kAvx2:
      return "avx2";
    default:
      return "portable";
  }
}

// lane_kernels() -> a tuple of the names of the kernels this processor runs.
PyObject* lane_kernels(PyObject* /*self*/, PyObject* /*args*/) noexcept {
  return palettra::guard_entry([&]() -> Result<PyObject*> {
    const auto kernels = palettra::lane_kernels();
    palettra::Ref names = palettra::Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(kernels.size())));
    if (!names) return fail(PendingError::fetch_after_failure());
    for (std::size_t i = 0; i < kernels.size(); ++i) {
      PyObject* name = PyUnicode_FromString(kernel_name(kernels[i]));
      if (name == nullptr) return fail(PendingError::fetch_after_failure());
      PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), name);
    }
    return names.release();
  });
}

// lane_nearest(kernel, pixels, colours) -> bytes of uint16 places: pixels
// and colours as bytes of (r, g, b) triples, the pixels unpacked by the
// kernel's own unpacking.
PyObject* lane_nearest(PyObject* /*self*/, PyObject* args) noexcept {
  return palettra::guard_entry([&]() -> Result<PyObject*> {
    const char* name = nullptr;
    const char* pixels = nullptr;
    Py_ssize_t pixel_bytes = 0;
    const char* colours = nullptr;
    Py_ssize_t colour_bytes = 0;
    if (!PyArg_ParseTuple(args, "sy#y#", &name, &pixels, &pixel_bytes, &colours, &colour_bytes)) {
      return fail(PendingError::fetch_after_failure());
    }
    const std::size_t count = static_cast<std::size_t>(pixel_bytes) / 3;
    const std::size_t rows = static_cast<std::size_t>(colour_bytes) / 3;
    if (rows == 0 || rows > palettra::kMostLaneColours) {
      return fail(PendingError::with_message(PyExc_ValueError, "bad number of colours"));
    }
    const LaneKernel* chosen = nullptr;
    for (const LaneKernel& kernel : palettra::lane_kernels()) {
      if (std::string_view(kernel_name(kernel)) == name) chosen = &kernel;
    }
    if (chosen == nullptr) {
      return fail(PendingError::with_message(PyExc_ValueError, "kernel not run here"));
    }
    const auto byte = [](const char* at, std::size_t i) {
      return static_cast<std::uint32_t>(static_cast<unsigned char>(at[i]));
    };
    std::vector<palettra::LaneColour> list;
    for (std::size_t k = 0; k < rows; ++k) {
      list.emplace_back(byte(colours, 3 * k), byte(colours, 3 * k + 1), byte(colours, 3 * k + 2), k);
    }
    std::vector<std::int32_t> red_green(count);
    std::vector<std::int32_t> blue(count);
    // Copied to a buffer that ends at the last pixel, as an image may.
    const std::vector<std::uint8_t> packed(pixels, pixels + 3 * count);
    palettra::unpack_byte_pixels(*chosen, packed.data(), count, red_green.data(), blue.data());
    std::vector<std::uint16_t> places(count);
    palettra::nearest_in_lanes(*chosen, list, red_green.data(), blue.data(), count, places.data());
    PyObject* result = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(places.data()),
                                                 static_cast<Py_ssize_t>(2 * count));
    if (result == nullptr) return fail(PendingError::fetch_after_failure());
    return result;
  });
}

palettra::testing::RegisterTestFunction registered_kernels{
    {"lane_kernels", lane_kernels, METH_NOARGS, nullptr}};
palettra::testing::RegisterTestFunction registered_nearest{
    {"lane_nearest", lane_nearest, METH_VARARGS, nullptr}};

}  // namespace
