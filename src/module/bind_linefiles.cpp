// Bindings of the line-file jobs (linefiles/): a plain line or JSON Lines file read and signed
// in one pass, lines read back by their spans, kept lines copied to an output. The public API
// is veltrane/corpus.py, veltrane/signed_read.py and veltrane/writers.py.
#include "jsonl/jsonl.hpp"
#include "linefiles/first_copies.hpp"
#include "linefiles/gather_lines.hpp"
#include "linefiles/send_ranges.hpp"
#include "linefiles/signed_file.hpp"
#include "module/native.hpp"
#include "module/pyinput.hpp"
#include "search/hamming.hpp"
#include "text/digest.hpp"
#include "text/minhash.hpp"

#include <cerrno>
#include <cstring>
#include <memory>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace py = pybind11;
namespace jsonl = veltrane::jsonl;
namespace linefiles = veltrane::linefiles;
using veltrane::pyutil::bytes_view;
using veltrane::pyutil::into_array;

namespace {

using Int64s = py::array_t<int64_t, py::array::c_style | py::array::forcecast>;

// The lines at `spans` ((offset, length) rows) of the file at `path`, one after another, each
// ending in "\n" (a file's last line may lack it). None when the file is shorter than a span
// says (it changed since it was read); OSError naming the path when it cannot be read.
py::object gather_lines(const std::string &path, const Int64s &spans, int threads) {
    if (spans.ndim() != 2 || spans.shape(1) != 2) {
        throw py::value_error("spans must be an (n, 2) array");
    }
    if (threads < 1) {
        throw py::value_error("threads must be at least 1");
    }
    const auto n = static_cast<std::size_t>(spans.shape(0));
    const int64_t *s = spans.data();
    std::vector<std::size_t> at;
    try {
        at = linefiles::span_offsets(s, n);
    } catch (const std::invalid_argument &e) {
        throw py::value_error(e.what());
    }
    // Filled on every thread without the GIL: nobody else can see the new bytes object yet.
    PyObject *raw = PyBytes_FromStringAndSize(nullptr, static_cast<py::ssize_t>(at[n]));
    if (raw == nullptr) {
        throw py::error_already_set();
    }
    py::bytes out = py::reinterpret_steal<py::bytes>(raw);
    char *data = PyBytes_AS_STRING(raw);
    int error = 0;
    std::size_t missing = 0;
    {
        py::gil_scoped_release release;
        error = linefiles::gather_spans(path, s, n, at.data(), data, threads);
        if (error == 0) {
            missing = linefiles::unended_lines(data, at.data(), n);
        }
    }
    if (error == linefiles::kEndedEarly) {
        return py::none();
    }
    if (error != 0) {
        errno = error;
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
        throw py::error_already_set();
    }
    if (missing == 0) {
        return out;
    }
    return py::bytes(linefiles::end_lines(data, at.data(), n));
}

// The number of ranges [starts[k], ends[k]), checked: one-dimensional, of one length,
// non-negative and not reversed.
std::size_t checked_ranges(const Int64s &starts, const Int64s &ends) {
    if (starts.ndim() != 1 || ends.ndim() != 1 || starts.size() != ends.size()) {
        throw py::value_error("starts and ends must be one-dimensional and of one length");
    }
    const auto n = static_cast<std::size_t>(starts.size());
    const int64_t *a = starts.data(), *b = ends.data();
    for (std::size_t k = 0; k < n; ++k) {
        if (a[k] < 0 || a[k] > b[k]) {
            throw py::value_error("ranges must be non-negative and not reversed");
        }
    }
    return n;
}

// Copies the ranges [starts[k], ends[k]) of the file at `path` to the file descriptor `out`
// (linefiles/send_ranges.hpp). False when the file ended before a range did (it changed since it
// was read); OSError for a failed copy, with the file's name when it cannot be opened.
bool send_ranges(int out, const std::string &path, const Int64s &starts, const Int64s &ends) {
    const std::size_t n = checked_ranges(starts, ends);
    const int64_t *a = starts.data(), *b = ends.data();
    int error = 0;
    bool opened = false;
    {
        py::gil_scoped_release release;
        error = linefiles::send_file_ranges(path, out, a, b, n, opened);
    }
    if (error == linefiles::kEndedEarly) {
        return false;
    }
    if (error != 0) {
        // Only a failure to open names the file; the rest is the output's, as the caller
        // reports an OSError.
        errno = error;
        if (opened) {
            PyErr_SetFromErrno(PyExc_OSError);
        } else {
            PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
        }
        throw py::error_already_set();
    }
    return true;
}

// True for 0, False for kEndedEarly; OSError for an errno value.
bool raise_errno(int error) {
    if (error == linefiles::kEndedEarly) {
        return false;
    }
    if (error != 0) {
        errno = error;
        PyErr_SetFromErrno(PyExc_OSError);
        throw py::error_already_set();
    }
    return true;
}

// Bytes a thread takes at a time (`stretch`; tests take a few bytes, to cross every boundary):
// large enough that finding the first line costs nothing, small enough that threads end
// together.
constexpr std::size_t kStretch = 1 << 20;

// (numbers, spans, sizes, rows, signed_rows, ids, id_is_number, values) of a plain line or JSON
// Lines file read and signed in one pass (linefiles/signed_file.hpp). `rows` holds a row a line:
// its signature (uint32, num_perm wide), or with `bands` > 0 its banded row (uint64, bands + 2
// wide: the keys of `bands` bands of `rows_per_band` values, the signature's hash, 1 for a
// text without shingles); the first signed_rows rows are the records signed, the rest spare.
// With `exact` ("none" or "words") a row is instead the text's digest of exact copies
// (text/digest.hpp), uint32 four wide, and num_perm, ngram, seed and bands are not used.
// None where that pass gives up, or where the file cannot be opened: the general reader then
// reads it, and names any fault.
py::object sign_plain_file(const std::string &path,
                           bool json_lines,
                           const py::bytes &field,
                           const py::bytes &id_field,
                           const py::bytes &value_field,
                           std::size_t num_perm,
                           std::size_t ngram,
                           uint64_t seed,
                           std::size_t bands,
                           std::size_t rows_per_band,
                           int threads,
                           veltrane::hamming::Progress *progress,
                           std::size_t stretch,
                           const std::string &exact,
                           linefiles::FirstCopies *follow) {
    namespace text = veltrane::text;
    if (threads < 1) {
        throw py::value_error("threads must be at least 1");
    }
    std::unique_ptr<text::Signer> signer;
    if (exact.empty()) {
        if (bands > 0 && (rows_per_band < 1 || bands * rows_per_band > num_perm)) {
            throw py::value_error("bands * rows must be at most num_perm, with rows at least 1");
        }
        signer = std::make_unique<text::MinHasher>(num_perm, ngram, seed);
        if (follow != nullptr) {
            throw py::value_error("follow takes exact digests");
        }
    } else {
        if (exact != "none" && exact != "words") {
            throw py::value_error("exact must be 'none' or 'words', got '" + exact + "'");
        }
        signer = std::make_unique<text::Digester>(exact == "none" ? text::Normalize::none
                                                                  : text::Normalize::words);
        bands = 0;
    }
    const text::Signer &hasher = *signer;
    const jsonl::Fields fields {bytes_view(field), bytes_view(id_field), bytes_view(value_field)};
    std::unique_ptr<linefiles::File> file;
    linefiles::Plan plan;
    try {
        py::gil_scoped_release release;
        file = std::make_unique<linefiles::File>(path);
        plan = linefiles::plan(*file, stretch, threads);
    } catch (const std::system_error &) {
        return py::none();
    }
    if (!plan.taken) {
        return py::none();
    }
    const auto lines = static_cast<py::ssize_t>(plan.lines());
    py::array table;
    linefiles::Output into;
    if (bands > 0) {
        py::array_t<uint64_t> banded({lines, static_cast<py::ssize_t>(bands + 2)});
        into.banded = banded.mutable_data();
        into.bands = bands;
        into.rows = rows_per_band;
        table = banded;
    } else {
        py::array_t<uint32_t> signatures({lines, static_cast<py::ssize_t>(hasher.width())});
        into.signatures = signatures.mutable_data();
        into.follower = follow;
        table = signatures;
    }
    linefiles::Scan scan;
    {
        py::gil_scoped_release release;
        if (progress != nullptr) {
            progress->total.store(file->size());
        }
        scan = linefiles::scan_and_sign(*file,
                                        plan,
                                        json_lines ? linefiles::Format::jsonl
                                                   : linefiles::Format::lines,
                                        fields,
                                        hasher,
                                        threads,
                                        into,
                                        progress != nullptr ? &progress->done : nullptr,
                                        progress != nullptr ? &progress->cancel : nullptr);
        if (progress != nullptr && progress->cancel.load()) {
            throw veltrane::hamming::Cancelled();
        }
    }
    if (!scan.taken) {
        return py::none();
    }
    const std::size_t n = scan.numbers.size();
    py::object ids = py::none(), numeric = py::none(), values = py::none();
    if (!fields.id.empty()) {
        py::list list(n);
        py::array_t<bool> number(static_cast<py::ssize_t>(n));
        for (std::size_t r = 0; r < n; ++r) {
            list[r] = py::bytes(scan.ids[r]);
            number.mutable_data()[r] = scan.id_is_number[r] != 0;
        }
        ids = std::move(list);
        numeric = std::move(number);
    }
    if (!fields.value.empty()) {
        py::array_t<double> v(static_cast<py::ssize_t>(n));
        for (std::size_t r = 0; r < n; ++r) {
            const std::string &text = scan.values[r];
            jsonl::Token t;
            t.end = text.size();
            v.mutable_data()[r] = jsonl::number_value(text.data(), t);
        }
        values = std::move(v);
    }
    return py::make_tuple(
        into_array(std::move(scan.numbers)),
        into_array(std::move(scan.spans)).reshape({static_cast<py::ssize_t>(n), py::ssize_t {2}}),
        into_array(std::move(scan.sizes)),
        table,
        scan.signed_rows,
        ids,
        numeric,
        values);
}

} // namespace

namespace veltrane {

void bind_linefiles(py::module_ &m) {
    m.def("send_ranges",
          &send_ranges,
          py::arg("out"),
          py::arg("path"),
          py::arg("starts"),
          py::arg("ends"));
    m.def(
        "gather_lines", &gather_lines, py::arg("path"), py::arg("spans"), py::arg("threads") = 1);
    m.def("sign_plain_file",
          &sign_plain_file,
          py::arg("path"),
          py::arg("json_lines"),
          py::arg("field"),
          py::arg("id_field"),
          py::arg("value_field"),
          py::arg("num_perm"),
          py::arg("ngram"),
          py::arg("seed"),
          py::arg("bands"),
          py::arg("rows"),
          py::arg("threads"),
          py::arg("progress") = py::none(),
          py::arg("stretch") = kStretch,
          py::arg("exact") = "",
          py::arg("follow") = nullptr);
    // Ranges of files and bytes written to one output in order (linefiles/send_ranges.hpp),
    // one write-back for the whole output: LineSender(out); send(in, starts, ends) is False
    // when `in` ended before a range did; both raise OSError for a failed write.
    py::class_<linefiles::Sender>(m, "LineSender")
        .def(py::init<int>(), py::arg("out"))
        .def(
            "send",
            [](linefiles::Sender &sender, int in, const Int64s &starts, const Int64s &ends) {
                const std::size_t n = checked_ranges(starts, ends);
                const int64_t *a = starts.data(), *b = ends.data();
                int error = 0;
                {
                    py::gil_scoped_release release;
                    for (std::size_t k = 0; k < n && error == 0; ++k) {
                        error = sender.send(in, a[k], b[k]);
                    }
                }
                return raise_errno(error);
            },
            py::arg("in_fd"),
            py::arg("starts"),
            py::arg("ends"))
        .def(
            "write",
            [](linefiles::Sender &sender, const py::bytes &data) {
                const std::string_view bytes = bytes_view(data);
                int error = 0;
                {
                    py::gil_scoped_release release;
                    error = sender.write(bytes.data(), bytes.size());
                }
                raise_errno(error);
            },
            py::arg("data"));
    // Kept records copied to an output as the files are scanned (linefiles/first_copies.hpp):
    // FirstCopies(out, apart) with `apart` None or the four uint32 of a digest never dropped.
    py::class_<linefiles::FirstCopies>(m, "FirstCopies")
        .def(
            py::init([](int out, const py::object &apart) {
                if (apart.is_none()) {
                    return std::make_unique<linefiles::FirstCopies>(out, nullptr);
                }
                const auto digest =
                    apart.cast<py::array_t<uint32_t, py::array::c_style | py::array::forcecast>>();
                if (digest.size() != 4) {
                    throw py::value_error("apart must be a digest of four uint32");
                }
                return std::make_unique<linefiles::FirstCopies>(out, digest.data());
            }),
            py::arg("out"),
            py::arg("apart") = py::none())
        .def_property_readonly(
            "kept",
            [](const linefiles::FirstCopies &f) {
                py::array_t<bool> kept(static_cast<py::ssize_t>(f.kept().size()));
                if (!f.kept().empty()) { // an empty vector's data may be null
                    std::memcpy(kept.mutable_data(), f.kept().data(), f.kept().size());
                }
                return kept;
            })
        .def_property_readonly("error", &linefiles::FirstCopies::error);
}

} // namespace veltrane
