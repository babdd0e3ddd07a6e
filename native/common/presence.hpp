// The presence test of every kernel: what counts as a value and what as missing.
#pragma once

#include <cmath>
#include <limits>

namespace common {

// A value is present when it is finite. Written as a magnitude test, which NaN fails,
// so that it holds without relying on the library's classification functions.
inline bool is_present(double x) { return std::fabs(x) <= std::numeric_limits<double>::max(); }

}  // namespace common
