// Python bindings of the near-duplicate search: veltrane._accel. The public API is the
// Python layer in veltrane/search.py, which validates and documents; this file converts
// arguments, keeps inputs alive while the GIL is released, and builds NumPy results.
#include "cdc/cdc.hpp"
#include "module/pybytes.hpp"
#include "search/search.hpp"
#include "simhash/simhash.hpp"

#include <cstring>
#include <deque>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <string>
#include <string_view>
#include <vector>

namespace py = pybind11;
namespace search = veltrane::search;
using veltrane::SimHash;

namespace {

using Fingerprints = py::array_t<uint64_t, py::array::c_style | py::array::forcecast>;

// Views of the texts' bytes that stay valid while the GIL is released: str and bytes cannot
// change, and we hold a reference to each so that a list mutated meanwhile by another thread
// cannot free them; a bytearray can change, so it is copied.
struct Texts {
    std::vector<py::object> keep;
    std::deque<std::string> copies; // a deque never moves its elements
    std::vector<std::string_view> views;
};

Texts collect_texts(const py::handle &texts) {
    Texts t;
    std::size_t index = 0;
    for (py::handle item : py::iter(texts)) {
        PyObject *o = item.ptr();
        if (PyUnicode_Check(o)) {
            Py_ssize_t size = 0;
            const char *data = PyUnicode_AsUTF8AndSize(o, &size);
            if (data == nullptr) {
                PyErr_Clear();
                throw py::type_error("texts[" + std::to_string(index) +
                                     "] is a str without a UTF-8 encoding (a lone surrogate)");
            }
            t.views.emplace_back(data, static_cast<std::size_t>(size));
        } else if (PyBytes_Check(o)) {
            t.views.emplace_back(PyBytes_AS_STRING(o),
                                 static_cast<std::size_t>(PyBytes_GET_SIZE(o)));
        } else if (PyByteArray_Check(o)) {
            t.copies.emplace_back(PyByteArray_AS_STRING(o),
                                  static_cast<std::size_t>(PyByteArray_GET_SIZE(o)));
            t.views.emplace_back(t.copies.back());
        } else {
            throw py::type_error("texts[" + std::to_string(index) +
                                 "] must be str, bytes or bytearray, not " +
                                 py::detail::get_fully_qualified_tp_name(Py_TYPE(o)));
        }
        t.keep.push_back(py::reinterpret_borrow<py::object>(item));
        ++index;
    }
    return t;
}

// A new one-dimensional array holding a copy of v. An empty vector has no data pointer to
// copy from, and memcpy must not be handed one.
template <typename T> py::array_t<T> to_array(const std::vector<T> &v) {
    py::array_t<T> out(static_cast<py::ssize_t>(v.size()));
    if (!v.empty()) {
        std::memcpy(out.mutable_data(), v.data(), v.size() * sizeof(T));
    }
    return out;
}

std::vector<uint64_t> signatures(const py::handle &texts, int threads) {
    const Texts t = collect_texts(texts);
    std::vector<uint64_t> sigs(t.views.size());
    py::gil_scoped_release release;
    search::signatures(t.views, sigs.data(), threads);
    return sigs;
}

// The native search refuses threads < 1 (ValueError), as it does a bad max_distance.
py::array_t<uint64_t> fingerprints64(const py::handle &texts, int threads) {
    return to_array(signatures(texts, threads));
}

py::list fingerprints(const py::handle &texts, int32_t bits, int threads) {
    // A negative bit count fails as SimHash.compute does, before any work.
    const std::size_t size = SimHash(bits).fingerprint_size();
    const std::vector<uint64_t> sigs = signatures(texts, threads);
    std::vector<py::object> out;
    out.reserve(sigs.size());
    for (const uint64_t sig : sigs) {
        out.push_back(veltrane::pyutil::fingerprint_bytes(sig, size));
    }
    return veltrane::pyutil::list_of(std::move(out));
}

// Fills a NumPy array of `dtype` (fields i: int64, j: int64, distance: uint8, packed in that
// order, as veltrane.search declares it).
py::array pairs(const Fingerprints &fps, int max_distance, int threads, const py::dtype &dtype) {
    // A private copy: the caller's array may be written by another thread meanwhile.
    std::vector<uint64_t> copy(fps.data(), fps.data() + fps.size());
    std::vector<search::Pair> found;
    {
        py::gil_scoped_release release;
        found = search::pairs(copy.data(), copy.size(), max_distance, threads);
    }
    const std::vector<py::ssize_t> shape {static_cast<py::ssize_t>(found.size())};
    py::array out(dtype, shape);
    auto *base = static_cast<unsigned char *>(out.mutable_data());
    const auto stride = static_cast<std::size_t>(dtype.itemsize());
    for (std::size_t k = 0; k < found.size(); ++k) {
        unsigned char *rec = base + k * stride;
        std::memcpy(rec, &found[k].i, 8);
        std::memcpy(rec + 8, &found[k].j, 8);
        rec[16] = found[k].distance;
    }
    return out;
}

py::array_t<int64_t>
clusters(std::size_t n,
         const py::array_t<int64_t, py::array::c_style | py::array::forcecast> &i,
         const py::array_t<int64_t, py::array::c_style | py::array::forcecast> &j) {
    if (i.size() != j.size()) {
        throw py::value_error("i and j must have the same length");
    }
    std::vector<int64_t> reps;
    {
        std::vector<int64_t> ic(i.data(), i.data() + i.size());
        std::vector<int64_t> jc(j.data(), j.data() + j.size());
        py::gil_scoped_release release;
        reps = search::clusters(n, ic.data(), jc.data(), ic.size());
    }
    return to_array(reps);
}

// End offsets of the chunks that CDC(chunk_size).chunk() would cut from the buffer, computed
// in place: any object with the buffer protocol (a bytearray filled by readinto, an mmap),
// so that streaming never copies the input to find its cuts.
py::array_t<int64_t> chunk_ends(const py::buffer &data, uint64_t chunk_size) {
    const veltrane::CDC cdc(chunk_size);
    const py::buffer_info view = data.request();
    if (view.ndim != 1 || view.itemsize != 1 || view.strides[0] != 1) {
        throw py::type_error("data must be a contiguous buffer of bytes");
    }
    std::vector<int64_t> ends;
    {
        // The exported buffer cannot be resized or freed while we hold the view.
        py::gil_scoped_release release;
        cdc.for_each_chunk(static_cast<const unsigned char *>(view.ptr),
                           static_cast<std::size_t>(view.size),
                           [&](std::size_t offset, std::size_t length) {
                               ends.push_back(static_cast<int64_t>(offset + length));
                           });
    }
    return to_array(ends);
}

} // namespace

PYBIND11_MODULE(_accel, m) {
    m.doc() = "Native near-duplicate search for veltrane";
    m.attr("MAX_DISTANCE") = search::kMaxDistance;

    m.def("fingerprints64", &fingerprints64, py::arg("texts"), py::arg("threads"));
    m.def("fingerprints", &fingerprints, py::arg("texts"), py::arg("bits"), py::arg("threads"));
    m.def("pairs",
          &pairs,
          py::arg("fingerprints"),
          py::arg("max_distance"),
          py::arg("threads"),
          py::arg("dtype"));
    m.def("clusters", &clusters, py::arg("n"), py::arg("i"), py::arg("j"));
    m.def("chunk_ends", &chunk_ends, py::arg("data"), py::arg("chunk_size"));

    // Queries are quick and the index changes under add(), so these keep the GIL: calls
    // from several Python threads are serialised by it.
    py::class_<search::Index>(m, "Index")
        .def(py::init<int>(), py::arg("max_distance"))
        .def("add",
             [](search::Index &self, const Fingerprints &fps) {
                 return self.add(fps.data(), static_cast<std::size_t>(fps.size()));
             })
        .def("query",
             [](const search::Index &self, uint64_t fp) { return to_array(self.query(fp)); })
        .def("__len__", &search::Index::size)
        .def_property_readonly("max_distance", &search::Index::max_distance);
}
