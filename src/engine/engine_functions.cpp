#include "engine/engine_functions.hpp"

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/buffer_view.hpp"
#include "engine/dither_input.hpp"
#include "engine/error_diffusion.hpp"
#include "engine/linear_lab.hpp"
#include "engine/ordered_dither.hpp"
#include "engine/released_lock.hpp"
#include "mapping/nearest_rows.hpp"
#include "module/boundary_guard.hpp"
#include "module/call_binding.hpp"
#include "module/conversions.hpp"

namespace palettra {
namespace {

constexpr int kReadFlags = PyBUF_RECORDS_RO;
constexpr int kWriteFlags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE;

PendingError value_error(std::string message) {
  return PendingError::with_message(PyExc_ValueError, std::move(message));
}

// Writes each run of chosen rows into the index map.
class IndexWriter final : public RowSink {
 public:
  explicit IndexWriter(const IndexMap& out) : out_(out) {}
  void take(std::uint64_t first_pixel, std::span<const std::uint64_t> rows) override {
    out_.write(first_pixel, rows);
  }

 private:
  const IndexMap& out_;
};

// The three arrays every function takes, held until it returns.
struct Arrays {
  BufferView img_buffer;
  BufferView palette_buffer;
  BufferView out_buffer;
  DirectImage image;
  PaletteView palette;
  IndexMap out;
};

Result<Arrays> take_arrays(PyObject* img, PyObject* palette, PyObject* out) {
  Result<BufferView> img_buffer = BufferView::acquire(img, kReadFlags, "img");
  if (!img_buffer) return fail(std::move(img_buffer.error()));
  Result<BufferView> palette_buffer = BufferView::acquire(palette, kReadFlags, "palette");
  if (!palette_buffer) return fail(std::move(palette_buffer.error()));
  Result<BufferView> out_buffer = BufferView::acquire(out, kWriteFlags, "out");
  if (!out_buffer) return fail(std::move(out_buffer.error()));
  // The map is written while the image and the palette are read: a pixel
  // could otherwise change under the search, past every value it was built
  // for, and a colour could change after it was chosen.
  if (out_buffer->spans_into(*img_buffer)) {
    return fail(value_error("'out' must not share memory with 'img'"));
  }
  if (out_buffer->spans_into(*palette_buffer)) {
    return fail(value_error("'out' must not share memory with 'palette'"));
  }
  Result<DirectImage> image = image_of(*img_buffer);
  if (!image) return fail(std::move(image.error()));
  Result<PaletteView> view = palette_of(*palette_buffer);
  if (!view) return fail(std::move(view.error()));
  Result<IndexMap> map = IndexMap::of(*out_buffer, image->height, image->width, view->rows);
  if (!map) return fail(std::move(map.error()));
  const bool has_pixels = image->height != 0 && image->width != 0;
  if (has_pixels && view->rows == 0) return fail(value_error("the palette has no colours"));
  if (view->rows != 0 && view->columns < 3) {
    return fail(value_error("the palette needs at least 3 columns, it has " +
                            std::to_string(view->columns)));
  }
  return Arrays{std::move(*img_buffer), std::move(*palette_buffer), std::move(*out_buffer),
                *image, *view, *map};
}

// Dithering moves values within [0, top], the channel range, which every
// palette entry must lie in too.
Status check_dither_range(const Arrays& arrays, std::uint64_t top) {
  if (arrays.image.is_signed) {
    return fail(PendingError::with_message(PyExc_TypeError, "'img' must hold unsigned integers"));
  }
  if (top > kLargestTop) return fail(value_error("'top' must be below 2**32"));
  for (std::uint64_t k = 0; k < arrays.palette.rows; ++k) {
    for (std::uint64_t c = 0; c < 3; ++c) {
      if (arrays.palette.entry(k, c) > top) {
        return fail(value_error("palette values must lie in the image's channel range 0 to " +
                                std::to_string(top)));
      }
    }
  }
  return {};
}

// `linear_lab` asks for rows nearest by the Lab coordinates of linear
// values, which exist only up to linear white.
Result<Matching> matching_argument(PyObject* object, std::uint64_t top) {
  const int linear_lab = PyObject_IsTrue(object);
  if (linear_lab < 0) return fail(PendingError::fetch_after_failure());
  if (linear_lab == 0) return Matching::kValues;
  if (top != kLinearWhite) {
    return fail(value_error("'top' must be 2**20, linear white, for 'linear_lab'"));
  }
  return Matching::kLinearLab;
}

// `transfer`, None or a 1-D array of uint32, gives the value of every code
// value of an 8- or 16-bit image: one entry for each, every one at most
// `top`. It is copied, so that nothing written to it during the call reaches
// the kernels.
Result<std::vector<std::uint32_t>> transfer_argument(PyObject* object, const Arrays& arrays,
                                                     std::uint64_t top) {
  if (object == Py_None) return std::vector<std::uint32_t>{};
  Result<BufferView> buffer =
      BufferView::acquire(object, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT, "transfer");
  if (!buffer) return fail(std::move(buffer.error()));
  const Py_buffer& view = buffer->get();
  const std::string_view format = view.format != nullptr ? view.format : "B";
  if (view.ndim != 1 || view.itemsize != 4 || (format != "I" && format != "L")) {
    return fail(PendingError::with_message(PyExc_TypeError,
                                           "'transfer' must be a 1-D array of uint32"));
  }
  const unsigned element_size = arrays.image.element_size;
  if (element_size > 2 || static_cast<std::uint64_t>(view.shape[0]) != (1u << (8 * element_size))) {
    return fail(value_error("'transfer' needs an 8- or 16-bit image and one entry for each of its values"));
  }
  const auto* first = static_cast<const std::uint32_t*>(view.buf);
  std::vector<std::uint32_t> transfer(first, first + view.shape[0]);
  for (const std::uint32_t value : transfer) {
    if (value > top) {
      return fail(value_error("'transfer' values must lie in 0 to " + std::to_string(top)));
    }
  }
  return transfer;
}

// Every parameter of the engine's functions is positional-only and required.
constexpr FunctionDescription positional_only(std::string_view name,
                                              std::span<const std::string_view> names) {
  return {
      .function_name = name,
      .class_name = std::nullopt,
      .positional_names = names,
      .positional_only_count = names.size(),
      .required_positional_count = names.size(),
      .keyword_only = {},
  };
}

// A call's arguments, the first three of them taken as its arrays.
template <std::size_t count>
struct BoundCall {
  std::array<PyObject*, count> slots;
  Arrays arrays;
};

template <std::size_t count>
Result<BoundCall<count>> bind_call(const FunctionDescription& description, PyObject* const* args,
                                   Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, count> slots{};
  if (Status bound = bind_fastcall_arguments(description, args, nargs, kwnames, slots); !bound) {
    return fail(std::move(bound.error()));
  }
  Result<Arrays> arrays = take_arrays(slots[0], slots[1], slots[2]);
  if (!arrays) return fail(std::move(arrays.error()));
  return BoundCall<count>{slots, std::move(*arrays)};
}

Result<std::uint64_t> integer_argument(PyObject* object, const char* name) {
  Result<std::uint64_t> value = extract_u64(object);
  if (!value) return fail(argument_error(name, std::move(value.error())));
  return value;
}

PyObject* none() { return Py_NewRef(Py_None); }

constexpr std::array<std::string_view, 3> kIndicesNames = {"img", "palette", "out"};
constexpr FunctionDescription kIndicesDescription =
    positional_only("nearest_indices", kIndicesNames);

Result<PyObject*> nearest_indices(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Result<BoundCall<3>> call = bind_call<3>(kIndicesDescription, args, nargs, kwnames);
  if (!call) return fail(std::move(call.error()));
  const Arrays& arrays = call->arrays;
  const DirectImage& image = arrays.image;
  if (image.height == 0 || image.width == 0) return none();
  // The search is built for the largest value the image holds, and finds
  // the nearest row of any larger one another thread writes meanwhile, so
  // unsigned images let other threads run. A signed image was checked for
  // negative values, which a later write could bring in: it keeps the lock.
  bool mapped;
  {
    ReleasedLock unlocked(!image.is_signed);
    IndexWriter writer(arrays.out);
    mapped = nearest_rows_of_image(image, arrays.palette, writer);
  }
  if (!mapped) return fail(value_error("'img' holds negative values"));
  return none();
}

constexpr std::array<std::string_view, 11> kDiffuseNames = {
    "img", "palette",    "out",      "method", "serpentine",
    "strength", "top", "linear_lab", "transfer", "margin", "threads"};
constexpr FunctionDescription kDiffuseDescription = positional_only("diffuse", kDiffuseNames);

Result<PyObject*> diffuse_entry(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Result<BoundCall<11>> call = bind_call<11>(kDiffuseDescription, args, nargs, kwnames);
  if (!call) return fail(std::move(call.error()));
  const std::array<PyObject*, 11>& slots = call->slots;
  const Arrays& arrays = call->arrays;
  Py_ssize_t length = 0;
  const char* text =
      PyUnicode_Check(slots[3]) ? PyUnicode_AsUTF8AndSize(slots[3], &length) : nullptr;
  if (text == nullptr) {
    if (PyErr_Occurred() != nullptr) return fail(PendingError::fetch_after_failure());
    return fail(PendingError::with_message(PyExc_TypeError, "'method' must be a str"));
  }
  const std::string_view method(text, static_cast<std::size_t>(length));
  if (!is_diffusion_method(method)) {
    return fail(value_error("unknown error diffusion method '" + std::string(method) + "'"));
  }
  const int serpentine = PyObject_IsTrue(slots[4]);
  if (serpentine < 0) return fail(PendingError::fetch_after_failure());
  Result<std::uint64_t> strength = integer_argument(slots[5], "strength");
  if (!strength) return fail(std::move(strength.error()));
  if (*strength > 4096) return fail(value_error("'strength' must lie in 0 to 4096"));
  Result<std::uint64_t> top = integer_argument(slots[6], "top");
  if (!top) return fail(std::move(top.error()));
  if (Status range = check_dither_range(arrays, *top); !range) {
    return fail(std::move(range.error()));
  }
  Result<Matching> matching = matching_argument(slots[7], *top);
  if (!matching) return fail(std::move(matching.error()));
  Result<std::vector<std::uint32_t>> transfer = transfer_argument(slots[8], arrays, *top);
  if (!transfer) return fail(std::move(transfer.error()));
  Result<std::uint64_t> margin = integer_argument(slots[9], "margin");
  if (!margin) return fail(std::move(margin.error()));
  if (*margin > *top) return fail(value_error("'margin' must lie in 0 to 'top'"));
  Result<std::uint64_t> threads = integer_argument(slots[10], "threads");
  if (!threads) return fail(std::move(threads.error()));
  if (*threads == 0) return fail(value_error("'threads' must be at least 1"));
  const Diffusion how{
      .serpentine = serpentine != 0,
      .strength = static_cast<std::int64_t>(*strength),
      .reader = ValueReader{*transfer, *top},
      .matching = *matching,
      .margin = *margin,
      .threads = *threads,
  };
  {
    ReleasedLock unlocked(true);
    diffuse(arrays.image, arrays.palette, arrays.out, method, how);
  }
  return none();
}

constexpr std::array<std::string_view, 9> kOrderNames = {
    "img",           "palette", "out",        "offsets", "origin_row",
    "origin_column", "top",     "linear_lab", "transfer"};
constexpr FunctionDescription kOrderDescription = positional_only("order", kOrderNames);

// A copy of an (N, N, 3) C-contiguous array of int64 offsets, none too
// large to add to a value.
Result<std::vector<std::int64_t>> offsets_of(const BufferView& buffer) {
  const Py_buffer& view = buffer.get();
  const std::string_view format = view.format != nullptr ? view.format : "B";
  if (view.ndim != 3 || view.shape[0] < 1 || view.shape[0] != view.shape[1] || view.shape[2] != 3 ||
      view.itemsize != 8 || (format != "q" && format != "l")) {
    return fail(PendingError::with_message(PyExc_TypeError,
                                           "'offsets' must be an (N, N, 3) array of int64"));
  }
  const auto* first = static_cast<const std::int64_t*>(view.buf);
  std::vector<std::int64_t> offsets(first, first + view.len / 8);
  for (const std::int64_t offset : offsets) {
    if (offset < -kLargestOffset || offset > kLargestOffset) {
      return fail(value_error("'offsets' must lie within 2**40 of 0"));
    }
  }
  return offsets;
}

Result<PyObject*> order_entry(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Result<BoundCall<9>> call = bind_call<9>(kOrderDescription, args, nargs, kwnames);
  if (!call) return fail(std::move(call.error()));
  const std::array<PyObject*, 9>& slots = call->slots;
  const Arrays& arrays = call->arrays;
  Result<BufferView> offsets_buffer =
      BufferView::acquire(slots[3], PyBUF_C_CONTIGUOUS | PyBUF_FORMAT, "offsets");
  if (!offsets_buffer) return fail(std::move(offsets_buffer.error()));
  Result<std::vector<std::int64_t>> offsets = offsets_of(*offsets_buffer);
  if (!offsets) return fail(std::move(offsets.error()));
  Result<std::uint64_t> origin_row = integer_argument(slots[4], "origin_row");
  if (!origin_row) return fail(std::move(origin_row.error()));
  Result<std::uint64_t> origin_column = integer_argument(slots[5], "origin_column");
  if (!origin_column) return fail(std::move(origin_column.error()));
  Result<std::uint64_t> top = integer_argument(slots[6], "top");
  if (!top) return fail(std::move(top.error()));
  if (Status range = check_dither_range(arrays, *top); !range) {
    return fail(std::move(range.error()));
  }
  Result<Matching> matching = matching_argument(slots[7], *top);
  if (!matching) return fail(std::move(matching.error()));
  Result<std::vector<std::uint32_t>> transfer = transfer_argument(slots[8], arrays, *top);
  if (!transfer) return fail(std::move(transfer.error()));
  const OrderedPattern pattern{
      .offsets = *offsets,
      .size = static_cast<std::uint64_t>(offsets_buffer->get().shape[0]),
      .origin_row = *origin_row,
      .origin_column = *origin_column,
  };
  {
    ReleasedLock unlocked(true);
    order(arrays.image, arrays.palette, arrays.out, pattern, ValueReader{*transfer, *top},
          *matching);
  }
  return none();
}

template <Result<PyObject*> (*body)(PyObject* const*, Py_ssize_t, PyObject*)>
PyObject* entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) noexcept {
  return guard_entry([&] { return body(args, nargs, kwnames); });
}

PyCFunction as_function(PyObject* (*entry)(PyObject*, PyObject* const*, Py_ssize_t,
                                           PyObject*) noexcept) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

}  // namespace

const std::array<MethodDescription, 3> kEngineMethods{{
    {"nearest_indices", as_function(entry<nearest_indices>), METH_FASTCALL | METH_KEYWORDS,
     "nearest_indices(img, palette, out, /)\n--\n\n"},
    {"diffuse", as_function(entry<diffuse_entry>), METH_FASTCALL | METH_KEYWORDS,
     "diffuse(img, palette, out, method, serpentine, strength, top, linear_lab, transfer, margin, threads, /)\n--\n\n"},
    {"order", as_function(entry<order_entry>), METH_FASTCALL | METH_KEYWORDS,
     "order(img, palette, out, offsets, origin_row, origin_column, top, linear_lab, transfer, /)\n--\n\n"},
}};

}  // namespace palettra
