// Module definition of _bluster: the docstring and the registration of the kernels.
#include "wrappers.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

PYBIND11_MODULE(_bluster, m) {
  m.doc() = "Cold-pool, wind-profile and baroclinity kernel (multithreaded).";

  m.def("thermo", &bluster::thermo_py, "t"_a, "p"_a, "td"_a, "n_threads"_a = 0);
  m.def("cold_pool", &bluster::cold_pool_py, "z"_a, "b"_a, "bottom"_a, "threshold"_a, "top"_a,
        "n_threads"_a = 0);
  m.def("profile", &bluster::profile_py, "z"_a, "u"_a, "v"_a, "ground"_a, "bottom"_a, "top"_a,
        "cu"_a, "cv"_a, "n_threads"_a = 0);
  m.def("gradient", &bluster::gradient_py, "f"_a, "x"_a, "y"_a, "n_threads"_a = 0);
  m.def("vad", &bluster::vad_py, "vr"_a, "az"_a, "cos_el"_a, "min_gates"_a, "min_spread"_a,
        "n_threads"_a = 0);
}
