// What every wrapper of both modules shares: the array types of the arguments and the result,
// the run of a kernel without the GIL, and the scatter of one item's results.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>

#include "common/parallel_blocks.hpp"

namespace common {

namespace py = pybind11;

// Every array argument: NumPy converts anything array-like into a row-major contiguous,
// aligned float64 array, copying only when the argument is not one already. Alignment must
// be asked for: a float64 view one byte off its boundary would otherwise come through
// uncopied, and reading it through a double pointer is undefined behaviour.
constexpr int in_array_flags =
    py::array::c_style | py::array::forcecast | py::detail::npy_api::NPY_ARRAY_ALIGNED_;
using InArray = py::array_t<double, in_array_flags>;
using OutArray = py::array_t<double>;

// Runs body(i) for every i in [0, n) through parallel_blocks with the GIL released, so other
// Python threads run meanwhile.
//
// Safe without the GIL because of what the wrappers hand in: body captures only raw pointers
// into the argument and result arrays and plain values, never a Python object; the arrays
// stay alive through the references held by the caller's frame until this returns; and item i
// writes only its own result cells (it may read other items' inputs). An exception from the
// runner (no thread could start, a per-item allocation failed) leaves here after every thread
// has been joined, with the GIL held again.
template <class Body>
void parallel_blocks_without_gil(int64_t n, int64_t block, int32_t n_threads, const Body& body) {
  const py::gil_scoped_release release;
  parallel_blocks(n, block, n_threads, body);
}

// The same for items with a per-thread state (see parallel_blocks_with_state): make_state runs
// on each thread without the GIL too, so it must not touch Python objects either.
template <class MakeState, class Body>
void parallel_blocks_with_state_without_gil(int64_t n, int64_t block, int32_t n_threads,
                                            const MakeState& make_state, const Body& body) {
  const py::gil_scoped_release release;
  parallel_blocks_with_state(n, block, n_threads, make_state, body);
}

// The same for the row runner of the calibration statistics.
template <class RowBody>
void parallel_rows_without_gil(int64_t n, int32_t n_threads, const RowBody& row_body) {
  const py::gil_scoped_release release;
  parallel_rows(n, n_threads, row_body);
}

// Writes the components of item i into column i of a (components, items) result. A pack, not
// an initializer_list: GCC at -O2 keeps a list in memory and loops over it, which cost thermo
// 5 to 9 % against plain stores; the fold gives plain stores.
template <class... Components>
void write_column(double* out, int64_t items, int64_t i, Components... components) {
  double* cell = out + i;
  ((*cell = components, cell += items), ...);
}

}  // namespace common
