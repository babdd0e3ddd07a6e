// Optional per-sample arrays of the calibration statistics and the screens they apply.
// Free of Python types: any array with ndim(), shape(i), size() and data() can be handed in.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace calibration {

// An optional (rows, samples) array: data is null when the caller gave an array with no
// elements, which means "no condition from this array".
struct Optional2D {
  const double* data = nullptr;
  int64_t stride = 0;

  Optional2D() = default;

  // Array is anything with ndim(), shape(i), size() and data(), such as a NumPy array.
  template <class Array>
  Optional2D(const Array& array, int64_t rows, int64_t samples, const char* name) {
    if (array.ndim() >= 1 && array.size() == 0) {
      return;  // absent; a 0-dimensional array is a value and falls through to the test
    }
    if (array.ndim() != 2 || array.shape(0) != rows || array.shape(1) != samples) {
      throw std::invalid_argument(std::string(name) + " must have the shape (rows, samples)");
    }
    data = array.data();
    stride = samples;
  }

  bool present() const { return data != nullptr; }
  double at(int64_t row, int64_t sample) const { return data[row * stride + sample]; }
  // Start of row r, or null when the array is absent.
  const double* row(int64_t r) const { return present() ? data + r * stride : nullptr; }
};

// A quality threshold passes when value >= threshold; NaN on either side fails.
inline bool passes_min(const Optional2D& a, int64_t row, int64_t sample, double minimum) {
  return !a.present() || a.at(row, sample) >= minimum;
}

// A mask value of 0 (or -0) excludes the sample; anything else, NaN included, admits it.
inline bool passes_mask(const Optional2D& mask, int64_t row, int64_t sample) {
  return !mask.present() || mask.at(row, sample) != 0.0;
}

}  // namespace calibration
