// The presence test shared by the atmospheric kernels.
#pragma once

#include <cmath>
#include <limits>

namespace bluster {

// A value is present when it is finite. Written as a magnitude test, which NaN fails,
// so that it holds without relying on the library's classification functions.
inline bool is_present(double x) { return std::fabs(x) <= std::numeric_limits<double>::max(); }

}  // namespace bluster
