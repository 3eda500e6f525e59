// Binding of the dedup report's native formatting (report/files_json.hpp), for the command
// line's `veltrane dedup --json`.
#include "module/native.hpp"
#include "report/files_json.hpp"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <string>
#include <string_view>

namespace py = pybind11;

namespace {

using U64s = py::array_t<uint64_t, py::array::c_style | py::array::forcecast>;

// Files [first, last) of a report's columns (FileStatsList) as the objects of its JSON "files"
// array (see report/files_json.hpp), as ASCII bytes.
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
        veltrane::report::append_json_files(names, ends, stats_a.data(), first, last, out);
    }
    return py::bytes(out);
}

} // namespace

void veltrane::bind_report(py::module_ &m) {
    m.def("dedup_json_files",
          &json_files,
          py::arg("names"),
          py::arg("ends"),
          py::arg("stats"),
          py::arg("first"),
          py::arg("last"));
}
