// Bindings of the keep rule (search/keep.hpp). The public API is veltrane/keep.py, which checks
// ranks, groups and pair indices; this file converts arrays and releases the GIL.
#include "module/native.hpp"
#include "module/pyinput.hpp"
#include "search/keep.hpp"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <utility>
#include <vector>

namespace py = pybind11;
using veltrane::pyutil::to_array;

namespace {

using Int64s = py::array_t<int64_t, py::array::c_style | py::array::forcecast>;
using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;

py::tuple keep_greedy(const Int64s &rank,
                      const Int64s &group,
                      const Int64s &i,
                      const Int64s &j,
                      const Doubles &similarity,
                      double self_similarity) {
    const auto n = static_cast<std::size_t>(rank.size());
    if (static_cast<std::size_t>(group.size()) != n) {
        throw py::value_error("rank and group must have the same length");
    }
    if (i.size() != j.size() || i.size() != similarity.size()) {
        throw py::value_error("i, j and similarity must have the same length");
    }
    std::vector<veltrane::keep::Pair> pairs(static_cast<std::size_t>(i.size()));
    for (std::size_t k = 0; k < pairs.size(); ++k) {
        pairs[k] = {i.data()[k], j.data()[k], similarity.data()[k]};
    }
    veltrane::keep::Kept kept;
    {
        py::gil_scoped_release release;
        kept = veltrane::keep::greedy(n, rank.data(), group.data(), pairs, self_similarity);
    }
    return py::make_tuple(to_array(kept.keeper), to_array(kept.similarity));
}

} // namespace

namespace veltrane {

void bind_keep(py::module_ &m) {
    m.def("keep_greedy",
          &keep_greedy,
          py::arg("rank"),
          py::arg("group"),
          py::arg("i"),
          py::arg("j"),
          py::arg("similarity"),
          py::arg("self_similarity"));
}

} // namespace veltrane
