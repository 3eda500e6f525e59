// The many-file dedup pipeline's report as columns (a few arrays and blobs, whatever the number
// of files), and the file cache of an index loaded and saved the same way: a tree of 10^5 files
// then costs Python no object per file, for veltrane/dedup.py and veltrane/chunk_index.py.
#include "dedup/blake3.hpp"
#include "dedup/digest_set.hpp"
#include "dedup/file_cache.hpp"
#include "dedup/report_json.hpp"
#include "dedup/tree.hpp"
#include "module/native.hpp"
#include "module/pytree.hpp"

#include <cstring>
#include <memory>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <string>
#include <vector>

// The same bound class as in bind_files.cpp, never converted to a dict.
PYBIND11_MAKE_OPAQUE(veltrane::dedup::FileCache)

namespace py = pybind11;
using veltrane::dedup::CachedFile;
using veltrane::dedup::Digest;
using veltrane::dedup::DigestSet;
using veltrane::dedup::FileCache;
using veltrane::dedup::kDigestSize;

namespace {

// Columns of identities: size, mtime_ns, ctime_ns, inode.
constexpr py::ssize_t kIdent = 4;

template <typename T> py::bytes blob(const T *data, std::size_t count) {
    return py::bytes(reinterpret_cast<const char *>(data), count * sizeof(T));
}

py::array_t<uint64_t> u64(std::vector<uint64_t> &&v) {
    auto *held = new std::vector<uint64_t>(std::move(v));
    py::capsule owner(held, [](void *p) { delete static_cast<std::vector<uint64_t> *>(p); });
    return py::array_t<uint64_t>(static_cast<py::ssize_t>(held->size()), held->data(), owner);
}

// The pipeline's report (see pytree.hpp's run_tree) as columns.
py::dict dedup_tree_columns(const std::vector<std::string> &paths,
                            const veltrane::gear::GearCDC *gear,
                            uint64_t cdc_chunk_size,
                            int threads,
                            std::size_t read_size,
                            const py::object &progress,
                            DigestSet &seen,
                            const FileCache *cache,
                            bool record) {
    veltrane::dedup::TreeReport report = veltrane::pyutil::run_tree(
        paths, gear, cdc_chunk_size, threads, read_size, progress, seen, cache, record, true);
    const std::size_t n = report.files.size();
    std::string names;
    std::vector<uint64_t> ends(n), stats(n * 6), counts, lengths;
    std::string content(n * kDigestSize, '\0');
    std::vector<uint8_t> cached;
    std::vector<int64_t> ident;
    std::vector<Digest> digests;
    if (record) {
        cached.resize(n);
        ident.resize(n * kIdent);
        counts.resize(n);
    }
    for (std::size_t i = 0; i < n; ++i) {
        auto &f = report.files[i];
        names += f.path;
        ends[i] = names.size();
        const uint64_t row[6] = {
            f.bytes, f.chunks, f.unique_chunks, f.unique_bytes, f.min_chunk, f.max_chunk};
        std::memcpy(&stats[i * 6], row, sizeof row);
        std::memcpy(&content[i * kDigestSize], f.content.data(), kDigestSize);
        if (record) {
            cached[i] = f.cached;
            const int64_t id[kIdent] = {static_cast<int64_t>(f.bytes),
                                        f.mtime_ns,
                                        f.ctime_ns,
                                        static_cast<int64_t>(f.inode)};
            std::memcpy(&ident[i * kIdent], id, sizeof id);
            // Empty for a file taken from the cache: its chunks are there already.
            counts[i] = f.lengths.size();
            lengths.insert(lengths.end(), f.lengths.begin(), f.lengths.end());
            digests.insert(digests.end(), f.digests.begin(), f.digests.end());
            std::vector<uint64_t>().swap(f.lengths);
            std::vector<Digest>().swap(f.digests);
        }
    }
    py::dict out;
    out["names"] = py::bytes(names);
    out["ends"] = u64(std::move(ends));
    out["stats"] = u64(std::move(stats)).reshape({static_cast<py::ssize_t>(n), py::ssize_t {6}});
    out["content"] = py::bytes(content);
    if (record) {
        out["cached"] = py::array_t<bool>(static_cast<py::ssize_t>(n),
                                          reinterpret_cast<const bool *>(cached.data()));
        out["ident"] = py::array_t<int64_t>({static_cast<py::ssize_t>(n), kIdent}, ident.data());
        out["counts"] = u64(std::move(counts));
        out["lengths"] = blob(lengths.data(), lengths.size());
        out["digests"] = blob(digests.data(), digests.size());
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
    out["skipped"] = skipped;
    out["errors"] = errors;
    return out;
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
    out["ends"] = u64(std::move(ends));
    out["ident"] = py::array_t<int64_t>({static_cast<py::ssize_t>(n), kIdent}, ident.data());
    out["counts"] = u64(std::move(counts));
    out["lengths"] = blob(lengths.data(), lengths.size());
    out["digests"] = blob(digests.data(), digests.size());
    return out;
}

// Files [first, last) of a report's columns (FileStatsList) as the objects of its JSON "files"
// array (see report_json.hpp), as ASCII bytes.
py::bytes json_files(const py::bytes &names_b,
                     const U64s &ends_a,
                     const U64s &stats_a,
                     std::size_t first,
                     std::size_t last) {
    const std::string_view names = names_b;
    const auto n = static_cast<std::size_t>(ends_a.size());
    const uint64_t *ends = ends_a.data();
    if (static_cast<std::size_t>(stats_a.size()) != 6 * n || first > last || last > n) {
        throw py::value_error("the file columns disagree");
    }
    // Only the files asked for: a report is formatted a few of them per call.
    for (std::size_t i = first; i < last; ++i) {
        if (ends[i] < (i == 0 ? 0 : ends[i - 1]) || ends[i] > names.size()) {
            throw py::value_error("the file columns disagree");
        }
    }
    std::string out;
    {
        py::gil_scoped_release release;
        out.reserve((last - first) * 320);
        veltrane::dedup::append_json_files(names, ends, stats_a.data(), first, last, out);
    }
    return py::bytes(out);
}

} // namespace

void veltrane::bind_files_columns(py::module_ &m) {
    m.def("dedup_tree_columns",
          &dedup_tree_columns,
          py::arg("paths"),
          py::arg("gear"),
          py::arg("cdc_chunk_size"),
          py::arg("threads"),
          py::arg("read_size"),
          py::arg("progress"),
          py::arg("seen"),
          py::arg("cache"),
          py::arg("record"));
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
    m.def("dedup_json_files",
          &json_files,
          py::arg("names"),
          py::arg("ends"),
          py::arg("stats"),
          py::arg("first"),
          py::arg("last"));
}
