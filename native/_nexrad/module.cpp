// Module definition of _nexrad: the walk over NEXRAD Level II records and the decode of their
// moment gates, the native half of bluster.radar.readers.nexrad.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "_nexrad/level2.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

// The bytes of every object of `records` (anything with the buffer protocol: bytes,
// bytearray, memoryview, a 1-D uint8 array), with the views that keep them alive and
// unchanged until they are released.
struct Records {
  std::vector<py::buffer_info> views;
  std::vector<nexrad::Span> bytes;

  explicit Records(const py::sequence& records) {
    const auto n = static_cast<size_t>(py::len(records));
    views.reserve(n);
    bytes.reserve(n);
    for (size_t i = 0; i < n; ++i) {
      py::object item = records[i];
      if (!PyObject_CheckBuffer(item.ptr())) {
        throw py::type_error("records[" + std::to_string(i) +
                             "] must support the buffer protocol (bytes, bytearray, memoryview)");
      }
      py::buffer_info view = py::reinterpret_borrow<py::buffer>(item).request();
      const bool contiguous =
          view.ndim == 1 && view.itemsize == 1 && (view.shape[0] <= 1 || view.strides[0] == 1);
      if (!contiguous) {
        throw std::invalid_argument("records[" + std::to_string(i) +
                                    "] must be a contiguous run of bytes");
      }
      bytes.push_back(nexrad::Span{static_cast<const uint8_t*>(view.ptr), view.shape[0]});
      views.push_back(std::move(view));
    }
  }
};

template <class T>
py::array_t<T> to_array(const std::vector<T>& items) {
  py::array_t<T> out(static_cast<py::ssize_t>(items.size()));
  if (!items.empty()) {
    std::memcpy(out.mutable_data(), items.data(), items.size() * sizeof(T));
  }
  return out;
}

py::tuple scan_py(const py::sequence& records, int32_t first_record, int32_t n_threads) {
  const Records in(records);
  const auto n = static_cast<int64_t>(in.bytes.size());
  if (first_record < 0 || n > std::numeric_limits<int32_t>::max() - int64_t{first_record}) {
    throw std::invalid_argument("first_record must be >= 0, with every record number an int32");
  }
  std::vector<nexrad::RecordScan> scans;
  {
    const py::gil_scoped_release release;
    scans = nexrad::scan_records(in.bytes, first_record, n_threads);
  }
  size_t radials = 0;
  size_t others = 0;
  for (const auto& scan : scans) {
    if (!scan.error.empty()) {
      throw std::invalid_argument(scan.error);  // the first damaged record, in file order
    }
    radials += scan.radials.size();
    others += scan.others.size();
  }
  std::vector<nexrad::Radial> all_radials;
  std::vector<nexrad::Message> all_others;
  all_radials.reserve(radials);
  all_others.reserve(others);
  for (const auto& scan : scans) {
    all_radials.insert(all_radials.end(), scan.radials.begin(), scan.radials.end());
    all_others.insert(all_others.end(), scan.others.begin(), scan.others.end());
  }
  return py::make_tuple(to_array(all_radials), to_array(all_others));
}

// Columns of the integer table of decode().
enum Column : int64_t {
  kRecord,
  kPosition,
  kNgates,
  kWord,
  kMask,
  kOutput,
  kStart,
  kWidth,
  kColumns
};

void decode_py(const py::sequence& records, const py::sequence& outputs,
               const py::array_t<int64_t, py::array::c_style | py::array::forcecast>& index,
               const py::array_t<double, py::array::c_style | py::array::forcecast>& factors,
               int32_t n_threads) {
  const Records in(records);
  std::vector<py::array> keep;  // the outputs stay alive while the threads write them
  std::vector<double*> out;
  std::vector<int64_t> out_size;
  for (size_t o = 0; o < static_cast<size_t>(py::len(outputs)); ++o) {
    py::object item = outputs[o];
    if (!py::isinstance<py::array>(item)) {
      throw py::type_error("outputs[" + std::to_string(o) + "] must be a NumPy array");
    }
    auto a = py::reinterpret_borrow<py::array>(item);
    if (!a.dtype().is(py::dtype::of<double>()) ||
        (a.flags() & py::array::c_style) != py::array::c_style) {
      throw std::invalid_argument("outputs[" + std::to_string(o) +
                                  "] must be a C-contiguous float64 array");
    }
    out.push_back(static_cast<double*>(a.mutable_data()));  // raises when read-only
    keep.push_back(a);
    out_size.push_back(static_cast<int64_t>(a.size()));
  }
  // Outputs written by different threads must not share memory.
  for (size_t a = 0; a < out.size(); ++a) {
    for (size_t b = a + 1; b < out.size(); ++b) {
      const bool apart = out[a] + out_size[a] <= out[b] || out[b] + out_size[b] <= out[a];
      if (!apart && out_size[a] > 0 && out_size[b] > 0) {
        throw std::invalid_argument("outputs[" + std::to_string(a) + "] and outputs[" +
                                    std::to_string(b) + "] share memory");
      }
    }
  }
  if (index.ndim() != 2 || index.shape(1) != kColumns) {
    throw std::invalid_argument("index must have the shape (rows, 8)");
  }
  const int64_t n = index.shape(0);
  if (factors.ndim() != 2 || factors.shape(0) != n || factors.shape(1) != 2) {
    throw std::invalid_argument("factors must have the shape (rows, 2)");
  }
  const int64_t* ix = index.data();
  const double* fx = factors.data();
  std::vector<nexrad::Row> rows(static_cast<size_t>(n));
  std::vector<int64_t> written(out.size(), 0);  // end of the last row of each output
  for (int64_t i = 0; i < n; ++i) {
    const int64_t* c = ix + i * kColumns;
    const std::string row = "index row " + std::to_string(i) + ": ";
    if (c[kRecord] < 0 || c[kRecord] >= static_cast<int64_t>(in.bytes.size())) {
      throw std::invalid_argument(row + "no such record");
    }
    if (c[kWord] != 8 && c[kWord] != 16) {
      throw std::invalid_argument(row + "the word size must be 8 or 16");
    }
    if (c[kMask] < 0 || c[kMask] > 0xFFFF) {
      throw std::invalid_argument(row + "the mask must be in [0, 65535]");
    }
    const nexrad::Span& src = in.bytes[static_cast<size_t>(c[kRecord])];
    const int64_t width = c[kWord] / 8;
    if (c[kNgates] < 0 || c[kPosition] < 0 || c[kPosition] > src.size ||
        c[kNgates] > (src.size - c[kPosition]) / width) {
      throw std::invalid_argument(row + "the gates lie outside the record");
    }
    if (c[kOutput] < 0 || c[kOutput] >= static_cast<int64_t>(out.size())) {
      throw std::invalid_argument(row + "no such output");
    }
    const auto o = static_cast<size_t>(c[kOutput]);
    if (c[kWidth] < 0 || c[kStart] < written[o] || c[kWidth] > out_size[o] - c[kStart]) {
      throw std::invalid_argument(
          row + "the row must lie inside its output, after the previous row of that output");
    }
    written[o] = c[kStart] + c[kWidth];
    rows[static_cast<size_t>(i)] = nexrad::Row{.src = src.data + c[kPosition],
                                               .out = out[o] + c[kStart],
                                               .ngates = c[kNgates],
                                               .width = c[kWidth],
                                               .scale_factor = fx[2 * i],
                                               .add_offset = fx[2 * i + 1],
                                               .mask = static_cast<uint32_t>(c[kMask]),
                                               .word = static_cast<int32_t>(c[kWord])};
  }
  const py::gil_scoped_release release;
  nexrad::decode_rows(rows, n_threads);
}

}  // namespace

PYBIND11_MODULE(_nexrad, m) {
  m.doc() = "NEXRAD Level II records: the walk over their messages and the decode of moments";
  PYBIND11_NUMPY_DTYPE(nexrad::Radial, message, vol, data, record, collect_ms, collect_date,
                       azimuth_number, azimuth, elevation, azimuth_resolution, radial_status,
                       elevation_number, word, ngates, first_gate, gate_spacing, scale, offset);
  PYBIND11_NUMPY_DTYPE(nexrad::Message, position, record, size, type);
  m.def("scan", &scan_py, "records"_a, "first_record"_a = 0, "n_threads"_a = 0);
  m.def("decode", &decode_py, "records"_a, "outputs"_a, "index"_a, "factors"_a, "n_threads"_a = 0);
}
