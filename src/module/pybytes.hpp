// Building and reading bytes and lists, shared by both extension modules. pybind11 raises
// "Could not allocate bytes object!" / "Could not allocate list object!" when allocation fails.
#pragma once

#include "text/simhash.hpp"

#include <cstddef>
#include <cstdint>
#include <pybind11/pybind11.h>
#include <vector>

namespace veltrane::pyutil {

namespace py = pybind11;

inline const unsigned char *bytes_data(py::handle b) {
    return reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(b.ptr()));
}

inline std::size_t bytes_size(py::handle b) {
    return static_cast<std::size_t>(PyBytes_GET_SIZE(b.ptr()));
}

inline py::bytes copy_bytes(const unsigned char *data, std::size_t size) {
    return py::bytes(reinterpret_cast<const char *>(data), size);
}

// The fingerprint of `size` bytes for a 64-bit fingerprint, written straight into a new bytes
// object.
inline py::bytes fingerprint_bytes(uint64_t fp64, std::size_t size) {
    py::bytes out(nullptr, size);
    SimHash::write_fingerprint(
        fp64, reinterpret_cast<unsigned char *>(PyBytes_AS_STRING(out.ptr())), size);
    return out;
}

// A list made at its final size, taking over the objects.
inline py::list list_of(std::vector<py::object> &&items) {
    py::list out(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyList_SET_ITEM(out.ptr(), static_cast<py::ssize_t>(i), items[i].release().ptr());
    }
    return out;
}

} // namespace veltrane::pyutil
