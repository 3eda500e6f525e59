// Bindings of the word tokenizer and MinHash signatures (src/text). The public API is
// veltrane/minhash.py, which validates and documents.
#include "module/native.hpp"
#include "module/pyinput.hpp"
#include "search/hamming.hpp"
#include "text/minhash.hpp"
#include "text/words.hpp"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

namespace py = pybind11;
namespace text = veltrane::text;
using veltrane::pyutil::collect_texts;
using veltrane::pyutil::to_array;

namespace {

// The native code refuses num_perm, ngram or threads below 1 with ValueError. `progress`
// (optional) counts the texts signed, for a thread that reports them, and cancels.
py::array_t<uint32_t> minhash_signatures(const py::handle &texts,
                                         std::size_t num_perm,
                                         std::size_t ngram,
                                         uint64_t seed,
                                         int threads,
                                         veltrane::hamming::Progress *progress) {
    const auto t = collect_texts(texts);
    py::array_t<uint32_t> out(
        {static_cast<py::ssize_t>(t.views.size()), static_cast<py::ssize_t>(num_perm)});
    // Nobody else can see the new array yet, so it is written without the GIL.
    uint32_t *data = out.mutable_data();
    {
        py::gil_scoped_release release;
        if (progress != nullptr) {
            progress->total.store(t.views.size());
        }
        text::minhash_signatures(t.views,
                                 num_perm,
                                 ngram,
                                 seed,
                                 threads,
                                 data,
                                 progress != nullptr ? &progress->done : nullptr,
                                 progress != nullptr ? &progress->cancel : nullptr);
        if (progress != nullptr && progress->cancel.load()) {
            throw veltrane::hamming::Cancelled();
        }
    }
    return out;
}

py::tuple shingle_hashes(const py::handle &texts, std::size_t ngram, int threads) {
    const auto t = collect_texts(texts);
    text::ShingleSets sets;
    {
        py::gil_scoped_release release;
        sets = text::shingle_sets(t.views, ngram, threads);
    }
    return py::make_tuple(to_array(sets.values), to_array(sets.offsets));
}

py::list words(const py::handle &item) {
    const auto t = collect_texts(py::make_tuple(item));
    const std::vector<std::string> found = text::words(t.views[0]);
    py::list out(found.size());
    for (std::size_t k = 0; k < found.size(); ++k) {
        out[k] = py::str(found[k]);
    }
    return out;
}

} // namespace

void veltrane::bind_minhash(py::module_ &m) {
    m.def("minhash_signatures",
          &minhash_signatures,
          py::arg("texts"),
          py::arg("num_perm"),
          py::arg("ngram"),
          py::arg("seed"),
          py::arg("threads"),
          py::arg("progress") = py::none());
    m.def(
        "shingle_hashes", &shingle_hashes, py::arg("texts"), py::arg("ngram"), py::arg("threads"));
    m.def("words", &words, py::arg("text"));
    m.def(
        "has_words",
        [](const py::handle &item) {
            const auto t = collect_texts(py::make_tuple(item));
            return text::has_words(t.views[0]);
        },
        py::arg("text"));
}
