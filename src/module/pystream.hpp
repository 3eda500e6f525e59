// The batches of a native pair stream as NumPy record arrays, shared by the stream bindings.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <vector>

namespace veltrane {
namespace pyutil __attribute__((visibility("hidden"))) {

    namespace py = pybind11;

    // The stream's next pairs, at most max_rows of them, as an array of `dtype`; empty at the
    // end. They are written without the GIL and under `lock`, so that two Python threads do
    // not advance the stream at once. write(records, count, base, stride) fills the array's
    // records from the stream's.
    template <typename Record, typename Stream, typename Write>
    py::array next_records(Stream & stream,
                           std::mutex & lock,
                           std::size_t max_rows,
                           const py::dtype &dtype,
                           Write &&write) {
        const auto rows =
            static_cast<std::size_t>(std::min<uint64_t>(max_rows, stream.remaining()));
        py::array out(dtype, std::vector<py::ssize_t> {static_cast<py::ssize_t>(rows)});
        auto *base = static_cast<unsigned char *>(out.mutable_data());
        const auto stride = static_cast<std::size_t>(dtype.itemsize());
        {
            py::gil_scoped_release release;
            const std::lock_guard<std::mutex> guard(lock);
            // A small buffer in cache between the stream and the records (4096 records of at
            // most 24 bytes: 96 KiB, within L2).
            std::vector<Record> buffer(std::min<std::size_t>(rows, 4096));
            std::size_t done = 0;
            while (done < rows) {
                const std::size_t got =
                    stream.next(buffer.data(), std::min(buffer.size(), rows - done));
                write(buffer.data(), got, base + done * stride, stride);
                done += got;
            }
        }
        return out;
    }

} // namespace pyutil
} // namespace veltrane
