// Python bindings of the native deduplication core. Everything that knows about Python lives
// here: argument conversion, reading inputs in place, and building result objects.
//
// Every call keeps the GIL. That is what makes reading `bytes`, `str` and list items in place
// safe: no Python code runs inside a call, so nothing can resize or free what we read.
#include "chunk/cdc.hpp"
#include "dedup/dedup.hpp"
#include "module/pybytes.hpp"
#include "text/simhash.hpp"

#include <cstdint>
#include <cstring>
#include <pybind11/pybind11.h>
#include <string_view>
#include <vector>

namespace py = pybind11;
using veltrane::ByteSpan;
using veltrane::CDC;
using veltrane::SimHash;
using namespace veltrane::pyutil;

namespace {

py::bytes compute(const SimHash &self, std::string_view text) {
    const std::size_t size = self.fingerprint_size();
    return fingerprint_bytes(SimHash::fingerprint64(text), size);
}

// The count is exact beyond 2^31; Python ints have room for it.
uint64_t hamming_distance(const py::bytes &fp1, const py::bytes &fp2) {
    return SimHash::hamming_distance(
        bytes_data(fp1), bytes_size(fp1), bytes_data(fp2), bytes_size(fp2));
}

py::list chunk(const CDC &self, const py::bytes &data) {
    const unsigned char *p = bytes_data(data);
    // Each chunk becomes its bytes object as soon as its end is known: the scan reports ends
    // in batches, so the copy reads from cache rather than from memory. The list is made
    // last, at its final size, as before.
    std::vector<py::object> chunks;
    // A chunk equal to the one before shares its bytes object, which cannot change: runs of
    // zeros cut into 49-byte chunks, and an allocation and copy each cost more than finding
    // the cut. Elsewhere the test stops at the length or the first bytes.
    std::size_t previous = 0;
    std::size_t previous_length = 0;
    self.for_each_chunk(p, bytes_size(data), [&](std::size_t offset, std::size_t length) {
        if (length == previous_length && std::memcmp(p + offset, p + previous, length) == 0) {
            chunks.push_back(chunks.back());
            return;
        }
        chunks.push_back(copy_bytes(p + offset, length));
        previous = offset;
        previous_length = length;
    });
    return list_of(std::move(chunks));
}

py::tuple deduplicate(const CDC & /*self*/, const py::list &chunks) {
    std::vector<ByteSpan> spans;
    spans.reserve(chunks.size());
    for (py::handle item : chunks) {
        // Raises TypeError "Object of type '...' is not an instance of 'bytes'".
        const py::bytes b = py::reinterpret_borrow<py::object>(item);
        spans.push_back({bytes_data(b), bytes_size(b)});
    }
    const std::vector<std::size_t> survivors = veltrane::dedup::first_occurrences(spans);
    std::vector<py::object> unique;
    unique.reserve(survivors.size());
    for (const std::size_t i : survivors) {
        unique.push_back(copy_bytes(spans[i].data, spans[i].size));
    }
    return py::make_tuple(list_of(std::move(unique)),
                          veltrane::dedup::reduction_percent(survivors.size(), spans.size()));
}

} // namespace

// The exported PyInit_dedup_core lives in entry.cpp, built without AVX2, and calls this one
// after checking the processor.
#define PyInit_dedup_core dedup_core_init_after_cpu_check
PYBIND11_MODULE(dedup_core, m) {
    m.doc() = "Veltrane C++ Deduplication Core";

    m.def("_openmp_available", [] { return true; }, "Check if OpenMP is available");

    py::class_<SimHash>(m, "SimHash")
        .def(py::init<int32_t>(), py::arg("bits") = 64)
        .def("compute", &compute, py::arg("text"), "Compute SimHash fingerprint")
        .def_static("hamming_distance",
                    &hamming_distance,
                    py::arg("fp1"),
                    py::arg("fp2"),
                    "Calculate Hamming distance between two fingerprints");

    py::class_<CDC>(m, "CDC")
        .def(py::init<uint64_t>(), py::arg("chunk_size") = 1024)
        .def("chunk", &chunk, py::arg("data"), "Split data into content-defined chunks")
        .def("deduplicate",
             &deduplicate,
             py::arg("chunks"),
             "Deduplicate chunks and return unique chunks with reduction percentage");

    // Build constants, not run-time probes: the build always enables AVX2 and OpenMP.
    m.attr("__version__") = "1.0.0";
    m.attr("has_avx2") = true;
    m.attr("has_openmp") = true;
}
