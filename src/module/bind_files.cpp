// Bindings of BLAKE3, the set of distinct digests and the file cache of an index (loaded and
// saved as columns, so that 10^5 files cost Python no object each), for veltrane/dedup.py and
// veltrane/chunk_index.py, which validate and document. The pipeline is bound in
// bind_tree.cpp.
#include "dedup/blake3.hpp"
#include "dedup/digest_set.hpp"
#include "dedup/tree.hpp"
#include "module/native.hpp"
#include "module/pyfiles.hpp"
#include "module/pyinput.hpp"

#include <cstring>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <string>
#include <string_view>
#include <vector>

namespace py = pybind11;
using veltrane::dedup::CachedFile;
using veltrane::dedup::Digest;
using veltrane::dedup::DigestSet;
using veltrane::dedup::FileCache;
using veltrane::dedup::kDigestSize;
using veltrane::pyutil::blob;
using veltrane::pyutil::digest_bytes;
using veltrane::pyutil::into_array;
using veltrane::pyutil::kIdent;

namespace {

// The bytes of a one-dimensional contiguous buffer, valid while `view` lives.
veltrane::ByteSpan contiguous(const py::buffer_info &view) {
    if (view.ndim != 1 || view.strides[0] != view.itemsize) {
        throw py::type_error("data must be a contiguous buffer");
    }
    return {static_cast<const unsigned char *>(view.ptr),
            static_cast<std::size_t>(view.size * view.itemsize)};
}

py::bytes blake3(const py::buffer &data) {
    const py::buffer_info view = data.request();
    const veltrane::ByteSpan bytes = contiguous(view);
    Digest d;
    {
        py::gil_scoped_release release;
        d = veltrane::dedup::blake3(bytes.data, bytes.size);
    }
    return digest_bytes(d);
}

// Digests of consecutive pieces of `data`, of the given lengths, joined: the batched path.
py::bytes blake3_many(const py::buffer &data, const std::vector<std::size_t> &lengths) {
    const py::buffer_info view = data.request();
    const auto [p, size] = contiguous(view);
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

using U64s = py::array_t<uint64_t, py::array::c_style | py::array::forcecast>;
using I64s = py::array_t<int64_t, py::array::c_style | py::array::forcecast>;

// Adds (or replaces, by path) the files of one saved run of the cache: paths joined in `names`
// and ending at `ends`, one row of `ident` per file, `counts` chunks each, whose lengths and
// digests follow one another in `lengths` and `digests`. ValueError when the columns disagree,
// before anything is added.
void add_columns(FileCache &cache,
                 const py::bytes &names_b,
                 const U64s &ends_a,
                 const I64s &ident_a,
                 const U64s &counts_a,
                 const py::bytes &lengths_b,
                 const py::bytes &digests_b) {
    const std::string_view names = names_b, lengths = lengths_b, digests = digests_b;
    const auto n = static_cast<std::size_t>(ends_a.size());
    if (static_cast<std::size_t>(ident_a.size()) != n * kIdent ||
        static_cast<std::size_t>(counts_a.size()) != n || lengths.size() % sizeof(uint64_t)) {
        throw py::value_error("the file columns disagree");
    }
    const uint64_t *ends = ends_a.data(), *counts = counts_a.data();
    const int64_t *ident = ident_a.data();
    const std::size_t chunks = lengths.size() / sizeof(uint64_t);
    uint64_t at = 0, sum = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (ends[i] < at || ends[i] > names.size() || counts[i] > chunks - sum) {
            throw py::value_error("the file columns disagree");
        }
        at = ends[i];
        sum += counts[i];
    }
    if (at != names.size() || sum != chunks || digests.size() != chunks * kDigestSize) {
        throw py::value_error("the file columns disagree");
    }
    py::gil_scoped_release release;
    // Copied out of the bytes (which need not be aligned for uint64_t), then into the cache.
    std::vector<uint64_t> all_lengths(chunks);
    if (chunks != 0) {
        std::memcpy(all_lengths.data(), lengths.data(), chunks * sizeof(uint64_t));
    }
    const auto *all_digests = reinterpret_cast<const Digest *>(digests.data());
    cache.reserve(n, chunks);
    std::size_t from = 0, chunk = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const CachedFile file {static_cast<uint64_t>(ident[i * kIdent]),
                               ident[i * kIdent + 1],
                               ident[i * kIdent + 2],
                               static_cast<uint64_t>(ident[i * kIdent + 3]),
                               0,
                               counts[i]};
        cache.add(names.substr(from, ends[i] - from),
                  file,
                  all_lengths.data() + chunk,
                  all_digests + chunk);
        chunk += counts[i];
        from = ends[i];
    }
}

// Every file of the cache as the columns add_columns takes.
py::dict columns(const FileCache &cache) {
    const std::size_t n = cache.size();
    std::string names;
    std::vector<uint64_t> ends, counts, lengths;
    std::vector<int64_t> ident;
    std::vector<Digest> digests;
    ends.reserve(n);
    counts.reserve(n);
    ident.reserve(n * kIdent);
    cache.for_each([&](std::string_view path, const CachedFile &c) {
        names += path;
        ends.push_back(names.size());
        ident.insert(
            ident.end(),
            {static_cast<int64_t>(c.size), c.mtime_ns, c.ctime_ns, static_cast<int64_t>(c.inode)});
        counts.push_back(c.chunks);
        lengths.insert(lengths.end(), cache.lengths(c), cache.lengths(c) + c.chunks);
        digests.insert(digests.end(), cache.digests(c), cache.digests(c) + c.chunks);
    });
    py::dict out;
    out["names"] = py::bytes(names);
    out["ends"] = into_array(std::move(ends));
    out["ident"] = py::array_t<int64_t>({static_cast<py::ssize_t>(n), kIdent}, ident.data());
    out["counts"] = into_array(std::move(counts));
    out["lengths"] = blob(lengths.data(), lengths.size());
    out["digests"] = blob(digests.data(), digests.size());
    return out;
}

} // namespace

void veltrane::bind_files(py::module_ &m) {
    m.def("blake3", &blake3, py::arg("data"));
    m.def("blake3_many", &blake3_many, py::arg("data"), py::arg("lengths"));
    // A digest fed piece by piece: a pack's name, without joining its tens of MiB.
    py::class_<veltrane::dedup::Blake3>(m, "Blake3")
        .def(py::init<>())
        .def(
            "update",
            [](veltrane::dedup::Blake3 &h, const py::buffer &data) {
                const py::buffer_info view = data.request();
                const veltrane::ByteSpan bytes = contiguous(view);
                py::gil_scoped_release release;
                h.update(bytes.data, bytes.size);
            },
            py::arg("data"))
        .def("digest", [](const veltrane::dedup::Blake3 &h) { return digest_bytes(h.digest()); });
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
    m.def("file_cache_add_columns",
          &add_columns,
          py::arg("cache"),
          py::arg("names"),
          py::arg("ends"),
          py::arg("ident"),
          py::arg("counts"),
          py::arg("lengths"),
          py::arg("digests"));
    m.def("file_cache_columns", &columns, py::arg("cache"));
}
