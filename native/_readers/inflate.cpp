// inflate: the chunks' buffers taken, the output and the decompressor allocated, then the
// inflation without the GIL.
#include "inflate.hpp"

#include <pybind11/stl.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "wrappers.hpp"

namespace readers {

py::array_t<uint8_t> inflate_py(const std::vector<py::buffer>& chunks, int64_t size) {
  if (size < 0) {
    throw std::invalid_argument("size must be at least 0");
  }
  // the buffers stay held by `chunks` (the caller's objects) while the GIL is released
  std::vector<const uint8_t*> in;
  std::vector<size_t> in_sizes;
  in.reserve(chunks.size());
  in_sizes.reserve(chunks.size());
  std::vector<py::buffer_info> views;
  views.reserve(chunks.size());
  for (const auto& chunk : chunks) {
    views.push_back(chunk.request());
    const py::buffer_info& view = views.back();
    if (view.ndim != 1 || view.itemsize != 1 || view.strides[0] != 1) {
      throw std::invalid_argument("chunks must be contiguous bytes");
    }
    in.push_back(static_cast<const uint8_t*>(view.ptr));
    in_sizes.push_back(static_cast<size_t>(view.size));
  }
  const auto n = static_cast<int64_t>(chunks.size());
  py::array_t<uint8_t> out({n, size});
  uint8_t* outp = out.mutable_data();
  const Decompressor decompressor = make_decompressor();  // MemoryError here, with the GIL
  int64_t failed = n;
  {
    py::gil_scoped_release release;
    failed = inflate_chunks(decompressor.get(), in.data(), in_sizes.data(), n,
                            static_cast<size_t>(size), outp);
  }
  if (failed != n) {
    throw std::invalid_argument("chunk " + std::to_string(failed) + " does not inflate to " +
                                std::to_string(size) + " bytes");
  }
  return out;
}

}  // namespace readers
