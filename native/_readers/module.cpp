// Module definition of _readers: the docstring and the registration of the decoder.
#include <pybind11/stl.h>

#include "wrappers.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

PYBIND11_MODULE(_readers, m) {
  m.doc() =
      "Decoders of radar volume files: packed moments to float64 (multithreaded), deflated "
      "chunks inflated, or inflated and decoded at once.";

  m.def("decode", &readers::decode_py, "data"_a, "scale"_a, "offset"_a, "codes"_a, "rows"_a,
        "n_threads"_a = 0, "out"_a = py::none());
  m.def("inflate", &readers::inflate_py, "chunks"_a, "size"_a);
  m.def("inflate_decode", &readers::inflate_decode_py, "image"_a, "moments"_a, "n_threads"_a = 0);
}
