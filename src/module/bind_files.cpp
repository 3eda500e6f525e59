// Bindings of the many-file dedup pipeline and BLAKE3, for veltrane/files.py, which validates
// and documents.
#include "dedup/blake3.hpp"
#include "dedup/digest_set.hpp"
#include "dedup/tree.hpp"
#include "module/native.hpp"
#include "module/pytree.hpp"

#include <cstring>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <string>
#include <vector>

// A bound class, not a dict converted at every call.
PYBIND11_MAKE_OPAQUE(veltrane::dedup::FileCache)

namespace py = pybind11;
using veltrane::dedup::Digest;
using veltrane::dedup::DigestSet;

namespace {

py::bytes as_bytes(const Digest &d) {
    return py::bytes(reinterpret_cast<const char *>(d.data()), d.size());
}

py::bytes blake3(const py::buffer &data) {
    const py::buffer_info view = data.request();
    if (view.ndim != 1 || view.strides[0] != view.itemsize) {
        throw py::type_error("data must be a contiguous buffer");
    }
    Digest d;
    {
        py::gil_scoped_release release;
        d = veltrane::dedup::blake3(view.ptr, static_cast<std::size_t>(view.size * view.itemsize));
    }
    return as_bytes(d);
}

// Digests of consecutive pieces of `data`, of the given lengths, joined: the batched path.
py::bytes blake3_many(const py::buffer &data, const std::vector<std::size_t> &lengths) {
    const py::buffer_info view = data.request();
    if (view.ndim != 1 || view.strides[0] != view.itemsize) {
        throw py::type_error("data must be a contiguous buffer");
    }
    const auto *p = static_cast<const unsigned char *>(view.ptr);
    const auto size = static_cast<std::size_t>(view.size * view.itemsize);
    std::vector<veltrane::ByteSpan> spans;
    std::size_t at = 0;
    for (const std::size_t n : lengths) {
        if (n > size - at) {
            throw py::value_error("the lengths add up to more than the data");
        }
        spans.push_back({p + at, n});
        at += n;
    }
    std::string out(spans.size() * veltrane::dedup::kDigestSize, '\0');
    {
        py::gil_scoped_release release;
        veltrane::dedup::Blake3Many many;
        many.digest(spans.data(), spans.size(), reinterpret_cast<Digest *>(out.data()));
    }
    return py::bytes(out);
}

Digest digest_of(const py::bytes &b) {
    const std::string s = b;
    if (s.size() != veltrane::dedup::kDigestSize) {
        throw py::value_error("a digest is 32 bytes");
    }
    Digest d;
    std::memcpy(d.data(), s.data(), d.size());
    return d;
}

// The pipeline's report (see pytree.hpp's run_tree) as a row per file.
py::tuple dedup_tree(const std::vector<std::string> &paths,
                     const veltrane::gear::GearCDC *gear,
                     uint64_t cdc_chunk_size,
                     int threads,
                     std::size_t read_size,
                     const py::object &progress,
                     DigestSet &seen,
                     const veltrane::dedup::FileCache *cache,
                     bool record) {
    veltrane::dedup::TreeReport report = veltrane::pyutil::run_tree(
        paths, gear, cdc_chunk_size, threads, read_size, progress, seen, cache, record, false);
    // Rows of fresh tuples, one per file: the collector would walk the heap again and again
    // while they are made, and none of them can be in a cycle.
    struct NoCollector {
        int was = PyGC_Disable();
        ~NoCollector() {
            if (was != 0) {
                PyGC_Enable();
            }
        }
    } no_collector;
    py::list files(report.files.size());
    for (std::size_t i = 0; i < report.files.size(); ++i) {
        const auto &f = report.files[i];
        py::tuple row = py::make_tuple(py::bytes(f.path),
                                       f.bytes,
                                       f.chunks,
                                       f.unique_chunks,
                                       f.unique_bytes,
                                       f.min_chunk,
                                       f.max_chunk,
                                       as_bytes(f.content));
        if (record) {
            // Empty for a file taken from the cache: its chunks are there already.
            row = row + py::make_tuple(f.cached,
                                       f.inode,
                                       f.mtime_ns,
                                       f.ctime_ns,
                                       py::bytes(reinterpret_cast<const char *>(f.lengths.data()),
                                                 f.lengths.size() * sizeof(uint64_t)),
                                       py::bytes(reinterpret_cast<const char *>(f.digests.data()),
                                                 f.digests.size() * sizeof(Digest)));
        }
        files[i] = row;
    }
    py::list skipped;
    for (const auto &s : report.skipped) {
        skipped.append(py::make_tuple(
            py::bytes(s.path),
            s.why == veltrane::dedup::Skipped::Why::same_file ? "same_file" : "special"));
    }
    py::list errors;
    for (const auto &e : report.errors) {
        errors.append(py::make_tuple(py::bytes(e.path), e.error));
    }
    return py::make_tuple(files, skipped, errors);
}

} // namespace

void veltrane::bind_files(py::module_ &m) {
    m.def("blake3", &blake3, py::arg("data"));
    m.def("blake3_many", &blake3_many, py::arg("data"), py::arg("lengths"));
    py::class_<veltrane::dedup::FileCache>(m, "FileCache")
        .def(py::init<>())
        .def("__len__", &veltrane::dedup::FileCache::size)
        .def(
            "add",
            [](veltrane::dedup::FileCache &self,
               const py::bytes &path,
               uint64_t size,
               int64_t mtime_ns,
               int64_t ctime_ns,
               uint64_t inode,
               const py::bytes &lengths,
               const py::bytes &digests) {
                const std::string l = lengths, d = digests;
                const std::size_t n = l.size() / sizeof(uint64_t);
                if (l.size() % sizeof(uint64_t) != 0 || d.size() != n * sizeof(Digest)) {
                    throw py::value_error("lengths and digests do not agree");
                }
                // Copied out: the bytes need not be aligned for uint64_t and Digest.
                std::vector<uint64_t> lengths_copy(n);
                std::vector<Digest> digests_copy(n);
                if (n != 0) { // memcpy must not be handed the null data of an empty vector
                    std::memcpy(lengths_copy.data(), l.data(), l.size());
                    std::memcpy(digests_copy.data(), d.data(), d.size());
                }
                self.add(std::string(path),
                         {size, mtime_ns, ctime_ns, inode, 0, n},
                         lengths_copy.data(),
                         digests_copy.data());
            },
            py::arg("path"),
            py::arg("size"),
            py::arg("mtime_ns"),
            py::arg("ctime_ns"),
            py::arg("inode"),
            py::arg("lengths"),
            py::arg("digests"));
    py::class_<DigestSet>(m, "DigestSet")
        .def(py::init<>())
        .def("__len__", &DigestSet::size)
        .def("__contains__",
             [](const DigestSet &self, const py::bytes &d) { return self.contains(digest_of(d)); })
        .def("add", [](DigestSet &self, const py::bytes &d) { return self.insert(digest_of(d)); })
        .def("add_all",
             [](DigestSet &self, const py::bytes &joined) {
                 // Adds every 32-byte digest of `joined`; returns how many were new.
                 const std::string all = joined;
                 if (all.size() % veltrane::dedup::kDigestSize != 0) {
                     throw py::value_error("digests are 32 bytes each");
                 }
                 std::size_t fresh = 0;
                 Digest d;
                 for (std::size_t at = 0; at < all.size(); at += d.size()) {
                     std::memcpy(d.data(), all.data() + at, d.size());
                     fresh += self.insert(d);
                 }
                 return fresh;
             })
        .def(
            "digests",
            [](const DigestSet &self, std::size_t begin) {
                // The digests from number `begin` on, joined, in the order first inserted.
                std::string out;
                for (std::size_t i = begin; i < self.size(); ++i) {
                    out.append(reinterpret_cast<const char *>(self[i].data()),
                               veltrane::dedup::kDigestSize);
                }
                return py::bytes(out);
            },
            py::arg("begin") = 0)
        .def_property_readonly("memory_bytes", &DigestSet::memory_bytes);
    m.def("dedup_tree",
          &dedup_tree,
          py::arg("paths"),
          py::arg("gear"),
          py::arg("cdc_chunk_size"),
          py::arg("threads"),
          py::arg("read_size"),
          py::arg("progress"),
          py::arg("seen"),
          py::arg("cache"),
          py::arg("record"));
}
