// The many-file pipeline run for Python, shared by the report as rows (bind_files.cpp) and as
// columns (bind_files_columns.cpp).
#pragma once

#include "dedup/digest_set.hpp"
#include "dedup/file_cache.hpp"
#include "dedup/tree.hpp"

#include <memory>
#include <pybind11/pybind11.h>
#include <string>
#include <vector>

namespace veltrane::pyutil {

// Runs the pipeline with the GIL released. The calling thread takes the GIL back every tick
// to report progress (bytes read, as increments) and to see Ctrl-C; an exception there
// cancels the run and is raised. With `from_cache`, a cached run reads only the files the
// cache does not hold. Progress ends at the bytes of the files reported: a file read twice
// (see dedup_tree) counts once.
inline dedup::TreeReport run_tree(const std::vector<std::string> &paths,
                                  const gear::GearCDC *gear,
                                  uint64_t cdc_chunk_size,
                                  int threads,
                                  std::size_t read_size,
                                  const pybind11::object &progress,
                                  dedup::DigestSet &seen,
                                  const dedup::FileCache *cache,
                                  bool record,
                                  bool from_cache) {
    namespace py = pybind11;
    dedup::TreeOptions options;
    options.threads = threads;
    options.read_size = read_size;
    options.cache = cache;
    options.record = record;
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
    dedup::TreeReport report;
    {
        py::gil_scoped_release release;
        const dedup::Chunking chunking {gear, cdc_chunk_size};
        if (!from_cache || cache == nullptr ||
            !dedup::report_from_cache(paths, *cache, chunking, options, seen, report)) {
            report = dedup::dedup_tree(paths, chunking, options, seen);
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

} // namespace veltrane::pyutil
