// Module definition of _phase: the docstring and the registration of the kernel.
#include "wrappers.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

PYBIND11_MODULE(_phase, m) {
  m.doc() = "Differential phase: specific differential phase by sliding least squares";

  m.def("kdp_rays", &phase::kdp_rays_py, "phidp"_a, "rhohv"_a, "system_phase"_a, "gate_spacing"_a,
        "half_window"_a, "min_gates"_a, "rhohv_min"_a, "n_threads"_a = 0);
}
