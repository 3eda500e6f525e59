// The batches of a native pair stream as NumPy record arrays, shared by the stream bindings.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <vector>

namespace veltrane {
namespace pyutil __attribute__((visibility("hidden"))) {

    namespace py = pybind11;

    // Writes pairs as packed records of `stride` bytes: i (int64), j (int64), then the pair's
    // `value` field, in that order, as the Python modules declare their pair dtypes.
    template <typename Record, typename Value>
    void write_pairs(const Record *pairs,
                     std::size_t count,
                     Value Record::*value,
                     unsigned char *base,
                     std::size_t stride) {
        for (std::size_t k = 0; k < count; ++k) {
            unsigned char *rec = base + k * stride;
            std::memcpy(rec, &pairs[k].i, 8);
            std::memcpy(rec + 8, &pairs[k].j, 8);
            std::memcpy(rec + 16, &(pairs[k].*value), sizeof(Value));
        }
    }

    // The pairs as an array of `dtype` (see write_pairs).
    template <typename Record, typename Value>
    py::array pair_records(
        const std::vector<Record> &pairs, Value Record::*value, const py::dtype &dtype) {
        py::array out(dtype, std::vector<py::ssize_t> {static_cast<py::ssize_t>(pairs.size())});
        write_pairs(pairs.data(),
                    pairs.size(),
                    value,
                    static_cast<unsigned char *>(out.mutable_data()),
                    static_cast<std::size_t>(dtype.itemsize()));
        return out;
    }

    // The stream's next pairs, at most max_rows of them, as an array of `dtype`; empty at the
    // end (see write_pairs). They are written without the GIL and under `lock`, so that two
    // Python threads do not advance the stream at once.
    template <typename Stream, typename Record, typename Value>
    py::array next_records(Stream & stream,
                           std::mutex & lock,
                           std::size_t max_rows,
                           Value Record::*value,
                           const py::dtype &dtype) {
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
                write_pairs(buffer.data(), got, value, base + done * stride, stride);
                done += got;
            }
        }
        return out;
    }

} // namespace pyutil
} // namespace veltrane
