// Bindings of the many-file dedup pipeline (dedup/tree.hpp), for veltrane/dedup.py and
// veltrane/chunk_index.py, which validate and document. One run, two shapes of its report: a
// row per file (dedup_tree), or columns (dedup_tree_columns: a few arrays and blobs, whatever
// the number of files, so that a tree of 10^5 files costs Python no object per file).
#include "dedup/digest_set.hpp"
#include "dedup/file_cache.hpp"
#include "dedup/tree.hpp"
#include "module/native.hpp"
#include "module/pyfiles.hpp"
#include "module/pyinput.hpp"

#include <cstring>
#include <memory>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;
using veltrane::dedup::Digest;
using veltrane::dedup::DigestSet;
using veltrane::dedup::FileCache;
using veltrane::dedup::kDigestSize;
using veltrane::dedup::TreeReport;
using veltrane::pyutil::blob;
using veltrane::pyutil::digest_bytes;
using veltrane::pyutil::into_array;
using veltrane::pyutil::kIdent;

namespace {

// What both reports take, in the order Python passes it.
struct TreeCall {
    std::vector<std::string> paths;
    const veltrane::gear::GearCDC *gear;
    uint64_t cdc_chunk_size;
    int threads;
    std::size_t read_size;
    py::object progress;
    DigestSet *seen;
    const FileCache *cache;
    bool record;
};

// Runs the pipeline with the GIL released. The calling thread takes the GIL back every tick
// to report progress (bytes read, as increments) and to see Ctrl-C; an exception there
// cancels the run and is raised. With `from_cache`, a cached run reads only the files the
// cache does not hold. Progress ends at the bytes of the files reported: a file read twice
// (see dedup_tree) counts once.
TreeReport run_tree(const TreeCall &call, bool from_cache) {
    veltrane::dedup::TreeOptions options;
    options.threads = call.threads;
    options.read_size = call.read_size;
    options.cache = call.cache;
    options.record = call.record;
    const py::object &progress = call.progress;
    uint64_t reported = 0;
    std::unique_ptr<py::error_already_set> error;
    options.tick = [&](uint64_t done) {
        py::gil_scoped_acquire acquire;
        try {
            if (PyErr_CheckSignals() != 0) {
                throw py::error_already_set();
            }
            if (!progress.is_none() && done > reported) {
                progress(done - reported);
                reported = done;
            }
            return true;
        } catch (py::error_already_set &e) {
            error = std::make_unique<py::error_already_set>(std::move(e));
            return false;
        }
    };
    TreeReport report;
    {
        py::gil_scoped_release release;
        const veltrane::dedup::Chunking chunking {call.gear, call.cdc_chunk_size};
        if (!from_cache || call.cache == nullptr ||
            !veltrane::dedup::report_from_cache(
                call.paths, *call.cache, chunking, options, *call.seen, report)) {
            report = veltrane::dedup::dedup_tree(call.paths, chunking, options, *call.seen);
        }
    }
    if (error) {
        error->restore();
        throw py::error_already_set();
    }
    if (!progress.is_none() && !report.cancelled) {
        uint64_t total = 0;
        for (const auto &f : report.files) {
            total += f.bytes;
        }
        if (total > reported) {
            progress(total - reported);
        }
    }
    return report;
}

// The paths skipped, with why, and the paths that failed, with their errno: both shapes.
py::tuple skipped_and_errors(const TreeReport &report) {
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
    return py::make_tuple(skipped, errors);
}

// (files, skipped, errors), a row per file.
py::tuple report_rows(TreeReport &report, bool record) {
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
                                       digest_bytes(f.content));
        if (record) {
            // Empty for a file taken from the cache: its chunks are there already.
            row = row + py::make_tuple(f.cached,
                                       f.inode,
                                       f.mtime_ns,
                                       f.ctime_ns,
                                       blob(f.lengths.data(), f.lengths.size()),
                                       blob(f.digests.data(), f.digests.size()));
        }
        files[i] = row;
    }
    const py::tuple rest = skipped_and_errors(report);
    return py::make_tuple(files, rest[0], rest[1]);
}

// The report as columns: names and ends, six stats a file, content digests; with `record`,
// each file's identity and chunks too.
py::dict report_columns(TreeReport &report, bool record) {
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
    out["ends"] = into_array(std::move(ends));
    out["stats"] =
        into_array(std::move(stats)).reshape({static_cast<py::ssize_t>(n), py::ssize_t {6}});
    out["content"] = py::bytes(content);
    if (record) {
        out["cached"] = py::array_t<bool>(static_cast<py::ssize_t>(n),
                                          reinterpret_cast<const bool *>(cached.data()));
        out["ident"] = py::array_t<int64_t>({static_cast<py::ssize_t>(n), kIdent}, ident.data());
        out["counts"] = into_array(std::move(counts));
        out["lengths"] = blob(lengths.data(), lengths.size());
        out["digests"] = blob(digests.data(), digests.size());
    }
    const py::tuple rest = skipped_and_errors(report);
    out["skipped"] = rest[0];
    out["errors"] = rest[1];
    return out;
}

// Binds `name` as the pipeline with the one argument list both shapes take; `shape` makes
// the report's Python form.
template <typename Shape>
void def_tree(py::module_ &m, const char *name, bool from_cache, Shape shape) {
    m.def(
        name,
        [from_cache, shape](std::vector<std::string> paths,
                            const veltrane::gear::GearCDC *gear,
                            uint64_t cdc_chunk_size,
                            int threads,
                            std::size_t read_size,
                            py::object progress,
                            DigestSet &seen,
                            const FileCache *cache,
                            bool record) {
            const TreeCall call {std::move(paths),
                                 gear,
                                 cdc_chunk_size,
                                 threads,
                                 read_size,
                                 std::move(progress),
                                 &seen,
                                 cache,
                                 record};
            TreeReport report = run_tree(call, from_cache);
            return shape(report, record);
        },
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

} // namespace

void veltrane::bind_tree(py::module_ &m) {
    // Rows: a run that reads every file but the ones the cache holds unchanged.
    def_tree(m, "dedup_tree", false, report_rows);
    // Columns: with a cache, a run that walks and stats the tree and reads only what changed
    // (dedup/file_cache.hpp).
    def_tree(m, "dedup_tree_columns", true, report_columns);
}
