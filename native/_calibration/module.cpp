// Module definition of _calibration: the docstring and the registration of the statistics.
#include "wrappers.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

PYBIND11_MODULE(_calibration, m) {
  m.doc() = "Calibration statistics: ZDR offset, Z self-consistency, system PhiDP";

  m.def("offset_stats", &calibration::offset_stats_py, "zdr"_a, "dbz"_a, "rhohv"_a, "snr"_a,
        "mask"_a, "elev"_a, "ref_z"_a, "ref_v"_a, "z_min"_a, "z_max"_a, "rhohv_min"_a, "snr_min"_a,
        "n_threads"_a = 0);
  m.def("consistency_stats", &calibration::consistency_stats_py, "z"_a, "zdr"_a, "kdp"_a, "rhohv"_a,
        "snr"_a, "mask"_a, "gz"_a, "glg"_a, "zdr_offset"_a, "z_min"_a, "z_max"_a, "bin_width"_a,
        "rhohv_min"_a, "snr_min"_a, "kdp_min"_a, "min_bin_count"_a, "n_threads"_a = 0);
  m.def("phidp_rays", &calibration::phidp_rays_py, "phidp"_a, "rhohv"_a, "snr"_a, "mask"_a,
        "first_gate"_a, "n_use"_a, "rhohv_min"_a, "snr_min"_a, "min_count"_a, "n_threads"_a = 0);
}
