// Bindings of the Jaccard near-duplicate search (search/jaccard.hpp). The public API is
// veltrane/jaccard.py, which validates shapes, types and ranges and strings these steps together;
// this file converts arrays and releases the GIL around the native work.
//
// Signature arrays are read in place, not copied (they run to hundreds of megabytes): the
// array object is held for the call, so a caller that writes to it meanwhile from another
// thread gets wrong pairs, never a crash.
#include "module/native.hpp"
#include "module/pyinput.hpp"
#include "module/pystream.hpp"
#include "search/bands.hpp"
#include "search/jaccard.hpp"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <utility>
#include <vector>

namespace py = pybind11;
namespace jaccard = veltrane::jaccard;
using veltrane::pyutil::collect_texts;
using veltrane::pyutil::to_array;

namespace {

using Int64s = py::array_t<int64_t, py::array::c_style | py::array::forcecast>;
using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;
using Values = py::array_t<uint64_t, py::array::c_style | py::array::forcecast>;

// Calls f(data, n, width) with the signature rows as uint32_t or uint64_t.
template <typename F> auto with_rows(const py::array &sig, F &&f) {
    if (sig.ndim() != 2 || !(sig.flags() & py::array::c_style)) {
        throw py::type_error("signatures must be a C-contiguous two-dimensional array");
    }
    const auto n = static_cast<std::size_t>(sig.shape(0));
    const auto width = static_cast<std::size_t>(sig.shape(1));
    if (sig.dtype().is(py::dtype::of<uint32_t>())) {
        return f(static_cast<const uint32_t *>(sig.data()), n, width);
    }
    if (sig.dtype().is(py::dtype::of<uint64_t>())) {
        return f(static_cast<const uint64_t *>(sig.data()), n, width);
    }
    throw py::type_error("signatures must be uint32 or uint64");
}

std::vector<jaccard::Candidate> candidates_of(const Int64s &i, const Int64s &j) {
    if (i.size() != j.size()) {
        throw py::value_error("i and j must have the same length");
    }
    std::vector<jaccard::Candidate> out(static_cast<std::size_t>(i.size()));
    for (std::size_t k = 0; k < out.size(); ++k) {
        out[k] = {i.data()[k], j.data()[k]};
    }
    return out;
}

py::array_t<int64_t> group_rows(const py::array &sig, int threads) {
    return with_rows(sig, [&](const auto *data, std::size_t n, std::size_t width) {
        std::vector<int64_t> reps;
        {
            py::gil_scoped_release release;
            reps = jaccard::group_rows(data, n, width, threads);
        }
        return to_array(reps);
    });
}

py::array_t<int64_t>
group_sets(const Int64s &ids, const Int64s &classes, const Int64s &offsets, const Values &values) {
    const auto m = static_cast<std::size_t>(ids.size());
    if (static_cast<std::size_t>(classes.size()) != m ||
        static_cast<std::size_t>(offsets.size()) != m + 1) {
        throw py::value_error("ids, classes and offsets do not match");
    }
    std::vector<int64_t> reps;
    {
        py::gil_scoped_release release;
        reps = jaccard::group_sets(ids.data(), classes.data(), m, offsets.data(), values.data());
    }
    return to_array(reps);
}

py::tuple candidates(const py::array &sig, const Int64s &ids, int bands, int rows, int threads) {
    return with_rows(sig, [&](const auto *data, std::size_t, std::size_t width) {
        std::vector<jaccard::Candidate> found;
        {
            py::gil_scoped_release release;
            found = jaccard::band_candidates(data,
                                             width,
                                             ids.data(),
                                             static_cast<std::size_t>(ids.size()),
                                             bands,
                                             rows,
                                             threads);
        }
        py::array_t<int64_t> i(static_cast<py::ssize_t>(found.size()));
        py::array_t<int64_t> j(static_cast<py::ssize_t>(found.size()));
        auto *pi = i.mutable_data();
        auto *pj = j.mutable_data();
        for (std::size_t k = 0; k < found.size(); ++k) {
            pi[k] = found[k].i;
            pj[k] = found[k].j;
        }
        return py::make_tuple(i, j);
    });
}

py::array_t<double> verify_exact(const Int64s &i,
                                 const Int64s &j,
                                 const Int64s &slot,
                                 const Int64s &offsets,
                                 const Values &values,
                                 int threads) {
    const std::vector<jaccard::Candidate> pairs = candidates_of(i, j);
    std::vector<double> sims;
    {
        py::gil_scoped_release release;
        sims = jaccard::verify_exact(pairs, slot.data(), offsets.data(), values.data(), threads);
    }
    return to_array(sims);
}

py::array_t<double>
verify_estimate(const Int64s &i, const Int64s &j, const py::array &sig, int threads) {
    const std::vector<jaccard::Candidate> pairs = candidates_of(i, j);
    return with_rows(sig, [&](const auto *data, std::size_t, std::size_t width) {
        std::vector<double> sims;
        {
            py::gil_scoped_release release;
            sims = jaccard::verify_estimate(pairs, data, width, threads);
        }
        return to_array(sims);
    });
}

// Fills a NumPy array of `dtype` (fields i: int64, j: int64, similarity: float64, packed in
// that order, as veltrane.jaccard declares it).
std::vector<jaccard::Scored> scored_of(const Int64s &i, const Int64s &j, const Doubles &sims) {
    if (sims.size() != i.size()) {
        throw py::value_error("i, j and similarities must have the same length");
    }
    std::vector<jaccard::Scored> pairs;
    pairs.reserve(static_cast<std::size_t>(i.size()));
    for (const auto &c : candidates_of(i, j)) {
        pairs.push_back({c.i, c.j, sims.data()[pairs.size()]});
    }
    return pairs;
}

py::array expand(const Int64s &reps,
                 const Int64s &i,
                 const Int64s &j,
                 const Doubles &sims,
                 const py::dtype &dtype) {
    const std::vector<jaccard::Scored> pairs = scored_of(i, j, sims);
    std::vector<jaccard::Scored> out;
    {
        py::gil_scoped_release release;
        out = jaccard::expand(reps.data(), static_cast<std::size_t>(reps.size()), pairs);
    }
    return veltrane::pyutil::pair_records(out, &jaccard::Scored::similarity, dtype);
}

// The stream with a lock: its batches are written without the GIL, and two Python threads
// must not advance it at once.
struct ExpandStream {
    ExpandStream(const Int64s &reps, const Int64s &i, const Int64s &j, const Doubles &sims)
        : stream([&] {
              const std::vector<jaccard::Scored> pairs = scored_of(i, j, sims);
              std::vector<int64_t> copy(reps.data(), reps.data() + reps.size());
              py::gil_scoped_release release;
              return jaccard::ExpandStream(copy.data(), copy.size(), pairs);
          }()) {}

    // The next pairs, at most max_rows of them, as an array of `dtype`; empty at the end.
    py::array next(std::size_t max_rows, const py::dtype &dtype) {
        return veltrane::pyutil::next_records(
            stream, lock, max_rows, &jaccard::Scored::similarity, dtype);
    }

    jaccard::ExpandStream stream;
    std::mutex lock;
};

py::array_t<uint64_t>
band_keys(const py::array &sig, std::size_t bands, std::size_t rows, int threads) {
    return with_rows(sig, [&](const auto *data, std::size_t n, std::size_t width) {
        if (bands < 1 || rows < 1 || bands * rows > width || threads < 1) {
            throw py::value_error("bands and rows at least 1, bands * rows at most the "
                                  "signature width, threads at least 1");
        }
        py::array_t<uint64_t> out({static_cast<py::ssize_t>(bands), static_cast<py::ssize_t>(n)});
        uint64_t *o = out.mutable_data();
        py::gil_scoped_release release;
        veltrane::bands::band_keys(data, n, width, bands, rows, threads, o);
        return out;
    });
}

// Sorted copies of keys (bands, m) and docs ((m,) for every band, or (bands, m)).
py::tuple sort_bands(const Values &keys, const Int64s &docs, int threads) {
    if (keys.ndim() != 2 || threads < 1) {
        throw py::value_error("keys must be two-dimensional and threads at least 1");
    }
    const auto bands = static_cast<std::size_t>(keys.shape(0));
    const auto m = static_cast<std::size_t>(keys.shape(1));
    const bool shared = docs.ndim() == 1;
    if (shared ? static_cast<std::size_t>(docs.shape(0)) != m
               : docs.ndim() != 2 || docs.shape(0) != keys.shape(0) ||
                     docs.shape(1) != keys.shape(1)) {
        throw py::value_error("docs must be of shape (m,) or that of keys");
    }
    py::array_t<uint64_t> k({keys.shape(0), keys.shape(1)});
    py::array_t<int64_t> d({keys.shape(0), keys.shape(1)});
    uint64_t *ko = k.mutable_data();
    int64_t *dout = d.mutable_data();
    if (bands * m > 0) {
        std::memcpy(ko, keys.data(), bands * m * sizeof(uint64_t));
        for (std::size_t b = 0; b < bands; ++b) {
            std::memcpy(dout + b * m, docs.data() + (shared ? 0 : b * m), m * sizeof(int64_t));
        }
    }
    {
        py::gil_scoped_release release;
        veltrane::bands::sort_bands(ko, dout, bands, m, threads);
    }
    return py::make_tuple(k, d);
}

// Exact Jaccard similarities of the pairs (a[k], b[k]) of `texts`, their sets made as needed.
py::array_t<double> pair_similarities(
    const py::handle &texts, const Int64s &a, const Int64s &b, std::size_t ngram, int threads) {
    const auto t = collect_texts(texts);
    if (a.ndim() != 1 || b.ndim() != 1 || a.size() != b.size()) {
        throw py::value_error("a and b must be one-dimensional and of one length");
    }
    const auto n = static_cast<int64_t>(t.views.size());
    const auto pairs = static_cast<std::size_t>(a.size());
    for (std::size_t k = 0; k < pairs; ++k) {
        if (a.data()[k] < 0 || a.data()[k] >= n || b.data()[k] < 0 || b.data()[k] >= n) {
            throw py::index_error("pair indices must index the texts");
        }
    }
    std::vector<double> sims;
    {
        py::gil_scoped_release release;
        sims = jaccard::pair_similarities(t.views, a.data(), b.data(), pairs, ngram, threads);
    }
    return to_array(sims);
}

} // namespace

void veltrane::bind_jaccard(py::module_ &m) {
    m.def("jaccard_group_rows", &group_rows, py::arg("signatures"), py::arg("threads"));
    m.def("band_keys",
          &band_keys,
          py::arg("signatures"),
          py::arg("bands"),
          py::arg("rows"),
          py::arg("threads"));
    m.def("sort_bands", &sort_bands, py::arg("keys"), py::arg("docs"), py::arg("threads"));
    m.def("jaccard_group_sets",
          &group_sets,
          py::arg("ids"),
          py::arg("classes"),
          py::arg("offsets"),
          py::arg("values"));
    m.def("jaccard_candidates",
          &candidates,
          py::arg("signatures"),
          py::arg("ids"),
          py::arg("bands"),
          py::arg("rows"),
          py::arg("threads"));
    m.def("pair_similarities",
          &pair_similarities,
          py::arg("texts"),
          py::arg("a"),
          py::arg("b"),
          py::arg("ngram"),
          py::arg("threads"));
    m.def("jaccard_verify_exact",
          &verify_exact,
          py::arg("i"),
          py::arg("j"),
          py::arg("slot"),
          py::arg("offsets"),
          py::arg("values"),
          py::arg("threads"));
    m.def("jaccard_verify_estimate",
          &verify_estimate,
          py::arg("i"),
          py::arg("j"),
          py::arg("signatures"),
          py::arg("threads"));
    m.def("jaccard_expand",
          &expand,
          py::arg("reps"),
          py::arg("i"),
          py::arg("j"),
          py::arg("similarities"),
          py::arg("dtype"));
    py::class_<ExpandStream>(m, "JaccardExpandStream")
        .def(py::init<const Int64s &, const Int64s &, const Int64s &, const Doubles &>(),
             py::arg("reps"),
             py::arg("i"),
             py::arg("j"),
             py::arg("similarities"))
        .def("next", &ExpandStream::next, py::arg("max_rows"), py::arg("dtype"))
        .def_property_readonly("total", [](const ExpandStream &s) { return s.stream.total(); });
}
