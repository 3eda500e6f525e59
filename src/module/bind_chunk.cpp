// Bindings of the chunkers' in-place cut points, for veltrane/stream.py.
#include "chunk/cdc.hpp"
#include "module/native.hpp"
#include "module/pyinput.hpp"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <vector>

namespace py = pybind11;
using veltrane::pyutil::to_array;

namespace {

// End offsets of the chunks that CDC(chunk_size).chunk() would cut from the buffer, computed
// in place: any object with the buffer protocol (a bytearray filled by readinto, an mmap),
// so that streaming never copies the input to find its cuts.
py::array_t<int64_t> chunk_ends(const py::buffer &data, uint64_t chunk_size) {
    const veltrane::CDC cdc(chunk_size);
    const py::buffer_info view = data.request();
    if (view.ndim != 1 || view.itemsize != 1 || view.strides[0] != 1) {
        throw py::type_error("data must be a contiguous buffer of bytes");
    }
    std::vector<int64_t> ends;
    {
        // The exported buffer cannot be resized or freed while we hold the view.
        py::gil_scoped_release release;
        cdc.for_each_chunk(static_cast<const unsigned char *>(view.ptr),
                           static_cast<std::size_t>(view.size),
                           [&](std::size_t offset, std::size_t length) {
                               ends.push_back(static_cast<int64_t>(offset + length));
                           });
    }
    return to_array(ends);
}

} // namespace

void veltrane::bind_chunk(py::module_ &m) {
    m.def("chunk_ends", &chunk_ends, py::arg("data"), py::arg("chunk_size"));
}
