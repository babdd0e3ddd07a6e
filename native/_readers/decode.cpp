// decode: argument checks, the dispatch on the stored type and the parallel run over rows.
#include "decode.hpp"

#include <pybind11/stl.h>

#include <stdexcept>
#include <string>

#include "wrappers.hpp"

namespace readers {

namespace {

constexpr int kStoredArrayFlags =
    static_cast<int>(py::array::c_style) | py::detail::npy_api::NPY_ARRAY_ALIGNED_;

// Rows handed to a thread at a time: a row of a sweep is a few hundred to a few thousand gates.
constexpr int64_t kRowBlock = 8;

// The array decode writes into: `given` when there is one (checked to be a writable
// C-contiguous float64 array of the result's shape), else a new one.
common::OutArray out_array(const std::optional<py::array>& given, int64_t rows, int64_t gates) {
  if (!given) {
    return common::OutArray({rows, gates});
  }
  const py::array& out = *given;
  if (!fits_out(out, rows, gates)) {
    throw std::invalid_argument(
        "out must be a writable C-contiguous float64 array of the result's shape");
  }
  return py::reinterpret_borrow<common::OutArray>(out);
}

template <class Stored>
common::OutArray decode_as(const py::array& data, const Unpacking& u, const int64_t* rows,
                           int64_t out_rows, int32_t n_threads,
                           const std::optional<py::array>& given) {
  // the same type already: no copy unless the array is strided or misaligned
  const auto stored = py::array_t<Stored, kStoredArrayFlags>::ensure(data);
  if (!stored) {
    throw py::error_already_set();
  }
  const int64_t gates = stored.shape(1);
  common::OutArray out = out_array(given, out_rows, gates);
  if (given && overlapping(stored.data(), stored.nbytes(), out.data(), out.nbytes())) {
    throw std::invalid_argument("out must not share memory with data");
  }
  if (out_rows == 0 || gates == 0) {
    return out;  // nothing to visit, however many empty rows there are
  }
  const Stored* in = stored.data();
  double* outp = out.mutable_data();
  common::parallel_blocks_without_gil(out_rows, kRowBlock, n_threads, [=](int64_t r) {
    decode_moment_row(in, gates, rows != nullptr ? rows[r] : r, u, outp + r * gates);
  });
  return out;
}

template <class Stored>
bool is_stored_as(const py::array& data) {
  return data.dtype().is(py::dtype::of<Stored>());
}

}  // namespace

common::OutArray decode_py(const py::array& data, std::optional<double> scale,
                           std::optional<double> offset, const common::InArray& codes,
                           const std::optional<OrderArray>& rows, int32_t n_threads,
                           const std::optional<py::array>& out) {
  if (data.ndim() != 2) {
    throw std::invalid_argument("data must be 2-D (rays, gates)");
  }
  if (codes.ndim() != 1) {
    throw std::invalid_argument("codes must be 1-D");
  }
  const int64_t stored_rows = data.shape(0);
  int64_t out_rows = stored_rows;
  const int64_t* order = nullptr;
  if (rows) {
    if (rows->ndim() != 1) {
      throw std::invalid_argument("rows must be 1-D");
    }
    out_rows = rows->shape(0);
    order = rows->data();
    if (!rows_within(order, out_rows, stored_rows)) {
      throw std::invalid_argument("rows must hold row numbers of data");
    }
  }
  const Unpacking u = unpacking_of(scale, offset, codes);
  if (is_stored_as<uint8_t>(data)) {
    return decode_as<uint8_t>(data, u, order, out_rows, n_threads, out);
  }
  if (is_stored_as<int8_t>(data)) {
    return decode_as<int8_t>(data, u, order, out_rows, n_threads, out);
  }
  if (is_stored_as<uint16_t>(data)) {
    return decode_as<uint16_t>(data, u, order, out_rows, n_threads, out);
  }
  if (is_stored_as<int16_t>(data)) {
    return decode_as<int16_t>(data, u, order, out_rows, n_threads, out);
  }
  if (is_stored_as<uint32_t>(data)) {
    return decode_as<uint32_t>(data, u, order, out_rows, n_threads, out);
  }
  if (is_stored_as<int32_t>(data)) {
    return decode_as<int32_t>(data, u, order, out_rows, n_threads, out);
  }
  if (is_stored_as<float>(data)) {
    return decode_as<float>(data, u, order, out_rows, n_threads, out);
  }
  if (is_stored_as<double>(data)) {
    return decode_as<double>(data, u, order, out_rows, n_threads, out);
  }
  throw py::type_error(
      "data: expected 8-, 16- or 32-bit integers, float32 or float64 in "
      "native byte order, got dtype " +
      std::string(py::str(data.dtype())));
}

}  // namespace readers
