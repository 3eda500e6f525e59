// Bindings of the store's native walk and batch reader, for veltrane/store/add.py: columns
// and joined bytes, so that 10^5 entries cost Python a few objects, not several each.
#include "chunk/gear.hpp"
#include "module/native.hpp"
#include "module/pyinput.hpp"
#include "store/read_files.hpp"
#include "store/scan.hpp"
#include "store/write_files.hpp"

#include <cstring>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <string>
#include <string_view>
#include <vector>

namespace py = pybind11;
using veltrane::pyutil::into_array;

namespace {

// A path as Python's os.fsdecode gives it (undecodable bytes as surrogate escapes).
py::object fs_str(const std::string &s) {
    PyObject *o = PyUnicode_DecodeFSDefaultAndSize(s.data(), static_cast<py::ssize_t>(s.size()));
    if (o == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(o);
}

py::list fs_strs(const std::vector<std::string> &v) {
    py::list out(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) {
        out[i] = fs_str(v[i]);
    }
    return out;
}

std::vector<std::string> fs_bytes(const std::vector<py::object> &paths) {
    std::vector<std::string> out;
    out.reserve(paths.size());
    for (const py::object &p : paths) {
        PyObject *b = nullptr;
        if (PyUnicode_FSConverter(p.ptr(), &b) == 0) {
            throw py::error_already_set();
        }
        const auto held = py::reinterpret_steal<py::bytes>(b);
        out.emplace_back(held);
    }
    return out;
}

py::dict
store_scan(const std::vector<py::object> &sources, uint64_t dev, uint64_t ino, int threads) {
    if (threads < 1) {
        throw py::value_error("threads must be at least 1");
    }
    const std::vector<std::string> paths = fs_bytes(sources);
    veltrane::store::Scan s;
    {
        py::gil_scoped_release release;
        s = veltrane::store::scan(paths, dev, ino, threads);
    }
    py::dict out;
    out["rel"] = fs_strs(s.rel);
    out["kind"] = py::str(s.kind);
    out["mode"] = into_array(std::move(s.mode));
    out["mtime_ns"] = into_array(std::move(s.mtime_ns));
    out["uid"] = into_array(std::move(s.uid));
    out["gid"] = into_array(std::move(s.gid));
    out["size"] = into_array(std::move(s.size));
    out["ctime_ns"] = into_array(std::move(s.ctime_ns));
    out["ino"] = into_array(std::move(s.ino));
    out["target"] = fs_strs(s.target);
    py::list errors;
    for (const auto &[path, error] : s.errors) {
        errors.append(py::make_tuple(fs_str(path), error));
    }
    out["errors"] = errors;
    out["special"] = s.special;
    return out;
}

py::tuple store_read(const std::vector<py::object> &paths,
                     const veltrane::gear::GearCDC &gear,
                     std::size_t limit) {
    const std::vector<std::string> names = fs_bytes(paths);
    veltrane::store::ReadBatch b;
    {
        py::gil_scoped_release release;
        b = veltrane::store::read_files(names, gear, limit);
    }
    std::vector<int64_t> files;
    files.reserve(3 * b.files.size());
    for (const auto &f : b.files) {
        files.insert(files.end(),
                     {f.error, static_cast<int64_t>(f.size), static_cast<int64_t>(f.chunks)});
    }
    py::array_t<int64_t> table({static_cast<py::ssize_t>(b.files.size()), py::ssize_t {3}});
    if (!files.empty()) {
        std::memcpy(table.mutable_data(), files.data(), files.size() * sizeof(int64_t));
    }
    return py::make_tuple(py::bytes(reinterpret_cast<const char *>(b.data.data()), b.data.size()),
                          table,
                          into_array(std::move(b.lengths)),
                          py::bytes(reinterpret_cast<const char *>(b.digests.data()),
                                    b.digests.size() * veltrane::dedup::kDigestSize));
}

std::vector<int> store_write_files(int dir,
                                   const std::vector<py::object> &names,
                                   const std::vector<std::size_t> &counts,
                                   const py::list &pieces,
                                   const std::vector<uint32_t> &modes,
                                   const std::vector<int64_t> &mtimes,
                                   const std::vector<uint32_t> &uids,
                                   const std::vector<uint32_t> &gids,
                                   bool owner,
                                   bool force,
                                   const std::string &tmp_prefix) {
    const std::vector<std::string> raw = fs_bytes(names);
    const std::size_t n = raw.size();
    if (counts.size() != n || modes.size() != n || mtimes.size() != n || uids.size() != n ||
        gids.size() != n) {
        throw py::value_error("one count, mode, time and owner a file");
    }
    // The pieces stay alive in `pieces`, which the caller holds through the call.
    std::vector<veltrane::store::Piece> spans;
    spans.reserve(pieces.size());
    for (const py::handle &p : pieces) {
        char *data = nullptr;
        py::ssize_t size = 0;
        if (!PyBytes_Check(p.ptr()) || PyBytes_AsStringAndSize(p.ptr(), &data, &size) != 0) {
            throw py::type_error("the pieces must be bytes");
        }
        spans.push_back(
            {reinterpret_cast<const unsigned char *>(data), static_cast<std::size_t>(size)});
    }
    std::vector<veltrane::store::FileOut> files;
    files.reserve(n);
    std::size_t total = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (raw[i].empty() || raw[i].find('/') != std::string::npos) {
            throw py::value_error("a name is one path component");
        }
        total += counts[i];
        files.push_back({raw[i], counts[i], modes[i], mtimes[i], uids[i], gids[i]});
    }
    if (total != spans.size()) {
        throw py::value_error("the counts do not add up to the pieces");
    }
    py::gil_scoped_release release;
    return veltrane::store::write_files(dir, files, spans.data(), owner, force, tmp_prefix);
}

} // namespace

void veltrane::bind_store(py::module_ &m) {
    m.def("store_scan",
          &store_scan,
          py::arg("sources"),
          py::arg("exclude_dev"),
          py::arg("exclude_ino"),
          py::arg("threads") = 1);
    m.def("store_read", &store_read, py::arg("paths"), py::arg("gear"), py::arg("limit"));
    m.def("store_write_files",
          &store_write_files,
          py::arg("dir"),
          py::arg("names"),
          py::arg("counts"),
          py::arg("pieces"),
          py::arg("modes"),
          py::arg("mtimes"),
          py::arg("uids"),
          py::arg("gids"),
          py::arg("owner"),
          py::arg("force"),
          py::arg("tmp_prefix"));
}
