// Bindings of exact-copy digests (src/text/digest.hpp) and their groups (src/search/exact.hpp).
// The public API is veltrane's exact module, which validates and documents.
#include "module/native.hpp"
#include "module/pyinput.hpp"
#include "search/exact.hpp"
#include "text/digest.hpp"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

namespace py = pybind11;
using veltrane::pyutil::collect_texts;
using veltrane::pyutil::into_array;

namespace {

using Digests = py::array_t<uint64_t, py::array::c_style | py::array::forcecast>;

veltrane::text::Normalize normalize_of(const std::string &name) {
    if (name == "none") {
        return veltrane::text::Normalize::none;
    }
    if (name == "words") {
        return veltrane::text::Normalize::words;
    }
    throw py::value_error("normalize must be 'none' or 'words', got '" + name + "'");
}

// (n, 2) uint64: the two halves of each text's digest.
py::array_t<uint64_t>
text_digests(const py::handle &texts, const std::string &normalize, int threads) {
    const veltrane::text::Normalize how = normalize_of(normalize);
    const auto t = collect_texts(texts);
    py::array_t<uint64_t> out({static_cast<py::ssize_t>(t.views.size()), py::ssize_t {2}});
    uint64_t *data = out.mutable_data();
    {
        py::gil_scoped_release release;
        veltrane::text::digests(t.views, how, threads, data);
    }
    return out;
}

py::array_t<int64_t> first_equal(const Digests &digests) {
    if (digests.ndim() != 2 || digests.shape(1) != 2) {
        throw py::value_error("digests must have shape (n, 2)");
    }
    const uint64_t *values = digests.data();
    const auto n = static_cast<std::size_t>(digests.shape(0));
    std::vector<int64_t> first;
    {
        py::gil_scoped_release release;
        first = veltrane::exact::first_equal(values, n);
    }
    return into_array(std::move(first));
}

} // namespace

void veltrane::bind_exact(py::module_ &m) {
    m.def(
        "text_digests", &text_digests, py::arg("texts"), py::arg("normalize"), py::arg("threads"));
    m.def("first_equal", &first_equal, py::arg("digests"));
}
