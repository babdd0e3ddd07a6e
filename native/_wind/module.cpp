// Module definition of _wind: the docstring and the registration of the kernel.
#include "wrappers.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

PYBIND11_MODULE(_wind, m) {
  m.doc() = "Wind of radar sweeps: velocity-azimuth display of every ring of a sweep";

  m.def("vad_sweep", &wind::vad_sweep_py, "velocity"_a, "azimuth"_a, "azimuth_scale"_a,
        "cos_elevation"_a, "min_gates"_a, "min_spread"_a, "n_threads"_a = 0);
}
