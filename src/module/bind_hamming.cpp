// Bindings of the Hamming near-duplicate search (search/hamming.hpp). The public API is
// veltrane/simhash.py, which validates and documents; this file converts arguments, keeps inputs
// alive while the GIL is released, and builds NumPy results.
#include "module/native.hpp"
#include "module/pybytes.hpp"
#include "module/pyinput.hpp"
#include "module/pystream.hpp"
#include "search/hamming.hpp"
#include "text/simhash.hpp"

#include <algorithm>
#include <mutex>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <string_view>
#include <vector>

namespace py = pybind11;
namespace hamming = veltrane::hamming;
using veltrane::SimHash;
using veltrane::pyutil::collect_texts;
using veltrane::pyutil::Texts;
using veltrane::pyutil::to_array;

namespace {

using Fingerprints = py::array_t<uint64_t, py::array::c_style | py::array::forcecast>;

std::vector<uint64_t> fingerprints_of(const py::handle &texts, int threads, bool words = false) {
    const Texts t = collect_texts(texts);
    std::vector<uint64_t> fps(t.views.size());
    py::gil_scoped_release release;
    if (words) {
        hamming::word_fingerprints(t.views, fps.data(), threads);
    } else {
        hamming::fingerprints(t.views, fps.data(), threads);
    }
    return fps;
}

// The native search refuses threads < 1 (ValueError), as it does a bad max_distance.
py::array_t<uint64_t> fingerprints64(const py::handle &texts, int threads) {
    return to_array(fingerprints_of(texts, threads));
}

py::array_t<uint64_t> word_fingerprints64(const py::handle &texts, int threads) {
    return to_array(fingerprints_of(texts, threads, true));
}

py::list fingerprints(const py::handle &texts, int32_t bits, int threads) {
    // A negative bit count fails as SimHash.compute does, before any work.
    const std::size_t size = SimHash(bits).fingerprint_size();
    const std::vector<uint64_t> fps = fingerprints_of(texts, threads);
    std::vector<py::object> out;
    out.reserve(fps.size());
    for (const uint64_t fp : fps) {
        out.push_back(veltrane::pyutil::fingerprint_bytes(fp, size));
    }
    return veltrane::pyutil::list_of(std::move(out));
}

py::array pairs(const Fingerprints &fps, int max_distance, int threads, const py::dtype &dtype) {
    // A private copy: the caller's array may be written by another thread meanwhile.
    std::vector<uint64_t> copy(fps.data(), fps.data() + fps.size());
    std::vector<hamming::Pair> found;
    {
        py::gil_scoped_release release;
        found = hamming::pairs(copy.data(), copy.size(), max_distance, threads);
    }
    return veltrane::pyutil::pair_records(found, &hamming::Pair::distance, dtype);
}

py::array_t<int64_t> cluster_fingerprints(const Fingerprints &fps,
                                          int max_distance,
                                          int threads,
                                          hamming::Progress *progress) {
    std::vector<uint64_t> copy(fps.data(), fps.data() + fps.size());
    std::vector<int64_t> reps;
    {
        py::gil_scoped_release release;
        reps = hamming::cluster_fingerprints(
            copy.data(), copy.size(), max_distance, threads, progress);
    }
    return to_array(reps);
}

// The stream with a lock: its batches are written without the GIL, and two Python threads
// must not advance it at once.
struct PairStream {
    PairStream(const Fingerprints &fps, int max_distance, int threads, hamming::Progress *progress)
        : stream([&] {
              std::vector<uint64_t> copy(fps.data(), fps.data() + fps.size());
              py::gil_scoped_release release;
              return hamming::PairStream(
                  copy.data(), copy.size(), max_distance, threads, progress);
          }()) {}

    // The next pairs, at most max_rows of them, as an array of `dtype`; empty at the end.
    py::array next(std::size_t max_rows, const py::dtype &dtype) {
        return veltrane::pyutil::next_records(
            stream, lock, max_rows, &hamming::Pair::distance, dtype);
    }

    hamming::PairStream stream;
    std::mutex lock;
};

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
        reps = hamming::clusters(n, ic.data(), jc.data(), ic.size());
    }
    return to_array(reps);
}

// The search's own block layout, as (shift, width) pairs, so that code outside it (the Dask
// search) cuts fingerprints exactly as it does.
py::list blocks(int max_distance) {
    hamming::check_max_distance(max_distance);
    py::list out;
    for (const hamming::Block &block : hamming::blocks_for(max_distance)) {
        out.append(py::make_tuple(block.shift, block.width));
    }
    return out;
}

} // namespace

void veltrane::bind_hamming(py::module_ &m) {
    m.attr("MAX_DISTANCE") = hamming::kMaxDistance;

    m.def("fingerprints64", &fingerprints64, py::arg("texts"), py::arg("threads"));
    m.def("word_fingerprints64", &word_fingerprints64, py::arg("texts"), py::arg("threads"));
    m.def("fingerprints", &fingerprints, py::arg("texts"), py::arg("bits"), py::arg("threads"));
    m.def("pairs",
          &pairs,
          py::arg("fingerprints"),
          py::arg("max_distance"),
          py::arg("threads"),
          py::arg("dtype"));
    m.def("clusters", &clusters, py::arg("n"), py::arg("i"), py::arg("j"));
    m.def("blocks", &blocks, py::arg("max_distance"));
    m.def("cluster_fingerprints",
          &cluster_fingerprints,
          py::arg("fingerprints"),
          py::arg("max_distance"),
          py::arg("threads"),
          py::arg("progress") = py::none());

    // Read from one thread while a search runs without the GIL in another.
    py::class_<hamming::Progress>(m, "Progress")
        .def(py::init<>())
        .def_property_readonly("done", [](const hamming::Progress &p) { return p.done.load(); })
        .def_property_readonly("total", [](const hamming::Progress &p) { return p.total.load(); })
        .def("cancel", [](hamming::Progress &p) { p.cancel.store(true); });
    py::register_exception<hamming::Cancelled>(m, "Cancelled");

    py::class_<PairStream>(m, "PairStream")
        .def(py::init<const Fingerprints &, int, int, hamming::Progress *>(),
             py::arg("fingerprints"),
             py::arg("max_distance"),
             py::arg("threads"),
             py::arg("progress") = py::none())
        .def("next", &PairStream::next, py::arg("max_rows"), py::arg("dtype"))
        .def_property_readonly("total", [](const PairStream &s) { return s.stream.total(); })
        .def_property_readonly("position",
                               [](PairStream &s) {
                                   const std::lock_guard<std::mutex> guard(s.lock);
                                   return s.stream.position();
                               })
        .def("__len__", [](const PairStream &s) { return s.stream.size(); });

    // Queries are quick and the index changes under add(), so these keep the GIL: calls
    // from several Python threads are serialised by it.
    py::class_<hamming::Index>(m, "Index")
        .def(py::init<int>(), py::arg("max_distance"))
        .def("add",
             [](hamming::Index &self, const Fingerprints &fps) {
                 return self.add(fps.data(), static_cast<std::size_t>(fps.size()));
             })
        .def("query",
             [](const hamming::Index &self, uint64_t fp) { return to_array(self.query(fp)); })
        .def("__len__", &hamming::Index::size)
        .def_property_readonly("distinct", &hamming::Index::distinct)
        .def_property_readonly("max_distance", &hamming::Index::max_distance);
}
