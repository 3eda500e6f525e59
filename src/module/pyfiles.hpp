// What the bindings of the file job share (bind_files.cpp, bind_tree.cpp): FileCache as one
// bound class that the pipeline takes as it is, never converted to a dict at a call; the
// columns of a file's identity; digests and arrays as bytes.
#pragma once

#include "dedup/blake3.hpp"
#include "dedup/tree.hpp"

#include <cstddef>
#include <pybind11/pybind11.h>

PYBIND11_MAKE_OPAQUE(veltrane::dedup::FileCache)

namespace veltrane::pyutil {

// Columns of a file's identity, in the cache's columns and the report's: size, mtime_ns,
// ctime_ns, inode.
inline constexpr pybind11::ssize_t kIdent = 4;

inline pybind11::bytes digest_bytes(const dedup::Digest &d) {
    return pybind11::bytes(reinterpret_cast<const char *>(d.data()), d.size());
}

template <typename T> pybind11::bytes blob(const T *data, std::size_t count) {
    return pybind11::bytes(reinterpret_cast<const char *>(data), count * sizeof(T));
}

} // namespace veltrane::pyutil
