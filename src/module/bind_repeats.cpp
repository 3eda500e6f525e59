// Bindings of the repeats finder (repeats/repeats.hpp). The public API is veltrane/repeats.py,
// which checks arguments; this file converts texts and cuts and releases the GIL.
#include "linefiles/reread.hpp"
#include "module/native.hpp"
#include "module/pyinput.hpp"
#include "repeats/repeats.hpp"
#include "repeats/units.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <string>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace py = pybind11;
using veltrane::pyutil::collect_texts;
using veltrane::pyutil::into_array;

namespace {

namespace rp = veltrane::repeats;

std::unique_ptr<rp::Finder> make_finder(const std::string &unit,
                                        bool by_words,
                                        std::size_t min_words,
                                        int bits,
                                        uint32_t parts,
                                        uint32_t part,
                                        bool runs_in_words) {
    rp::Options o;
    if (unit == "line") {
        o.unit = rp::Unit::line;
    } else if (unit == "paragraph") {
        o.unit = rp::Unit::paragraph;
    } else if (unit == "span") {
        o.unit = rp::Unit::span;
    } else {
        throw py::value_error("unit must be 'line', 'paragraph' or 'span', not '" + unit + "'");
    }
    if (min_words < 1 || bits < 1 || bits > 64) {
        throw py::value_error("min_words must be at least 1 and hash_bits from 1 to 64");
    }
    o.by_words = by_words;
    o.min_words = min_words;
    if (parts < 1 || part >= parts) {
        throw py::value_error("part must be from 0 to parts - 1");
    }
    o.hash_bits = bits;
    o.parts = parts;
    o.part = part;
    o.runs_in_words = runs_in_words;
    return std::make_unique<rp::Finder>(o);
}

// Rows of four int64 values, flat, as an (m, 4) array, with the offsets of each text's rows.
py::tuple as_rows(std::vector<int64_t> rows, std::vector<int64_t> offsets) {
    py::array_t<int64_t> flat = into_array(std::move(rows));
    return py::make_tuple(flat.reshape({flat.size() / 4, py::ssize_t {4}}),
                          into_array(std::move(offsets)));
}

using Int64s = py::array_t<int64_t, py::array::c_style | py::array::forcecast>;

// Appends the cuts to flat rows of four int64 values each.
void put_cuts(const std::vector<rp::Cut> &cuts, std::vector<int64_t> &rows) {
    for (const rp::Cut &c : cuts) {
        rows.insert(rows.end(),
                    {static_cast<int64_t>(c.start),
                     static_cast<int64_t>(c.end),
                     static_cast<int64_t>(c.first_text),
                     static_cast<int64_t>(c.first_at)});
    }
}

// A failed read or write of the word log as the OSError it is (a full disk says so).
[[noreturn]] void raise_os_error(const std::system_error &e) {
    PyErr_SetObject(PyExc_OSError,
                    py::make_tuple(e.code().value(), std::strerror(e.code().value())).ptr());
    throw py::error_already_set();
}

// The cuts of a batch: an (m, 4) int64 array of (start, end, first_text, first_at) and the
// offsets of each text's rows in it (n + 1 of them). `located`: None, or an (n, 3) array of
// each text's (file, offset, length) for the finder's LineTexts, file -1 for none.
py::tuple
add(rp::Finder &finder, const py::handle &texts, int threads, const py::object &located) {
    const auto t = collect_texts(texts);
    std::vector<rp::Location> at;
    if (!located.is_none()) {
        const auto rows = located.cast<Int64s>();
        if (rows.ndim() != 2 || rows.shape(1) != 3 ||
            static_cast<std::size_t>(rows.shape(0)) != t.views.size()) {
            throw py::value_error("located must be an (n, 3) array, a row a text");
        }
        const int64_t *r = rows.data();
        at.resize(t.views.size());
        for (std::size_t i = 0; i < at.size(); ++i) {
            at[i] = {r[3 * i], r[3 * i + 1], r[3 * i + 2]};
        }
    }
    std::vector<int64_t> rows, offsets;
    {
        py::gil_scoped_release release;
        std::vector<std::vector<rp::Cut>> cuts;
        try {
            finder.add(t.views, threads, cuts, at.empty() ? nullptr : at.data());
        } catch (const std::system_error &e) {
            py::gil_scoped_acquire hold;
            raise_os_error(e);
        }
        offsets.reserve(cuts.size() + 1);
        offsets.push_back(0);
        for (const auto &of_text : cuts) {
            put_cuts(of_text, rows);
            offsets.push_back(static_cast<int64_t>(rows.size() / 4));
        }
    }
    return as_rows(std::move(rows), std::move(offsets));
}

// Cuts in words of a finder made with runs_in_words placed in their texts: the rows of
// (start, end, first_text, first_at) with the offsets of each text's rows, start and end in
// words; the same in bytes back. A text whose words cannot be placed exactly loses its rows.
py::tuple place(const py::handle &texts, const Int64s &rows, const Int64s &offsets) {
    const auto t = collect_texts(texts);
    const std::size_t n = t.views.size();
    if (rows.ndim() != 2 || rows.shape(1) != 4 || offsets.ndim() != 1 ||
        static_cast<std::size_t>(offsets.shape(0)) != n + 1) {
        throw py::value_error("rows must be (m, 4) and offsets n + 1 long");
    }
    const int64_t *r = rows.data(), *o = offsets.data();
    for (std::size_t i = 0; i < n; ++i) {
        if (o[i] < 0 || o[i] > o[i + 1] || o[i + 1] > rows.shape(0)) {
            throw py::value_error("offsets must rise within the rows");
        }
    }
    std::vector<int64_t> out, out_offsets;
    {
        py::gil_scoped_release release;
        rp::WordPlaces places;
        veltrane::text::Scratch scratch;
        std::vector<uint64_t> words, at;
        std::vector<rp::Cut> cuts;
        out_offsets.push_back(0);
        for (std::size_t i = 0; i < n; ++i) {
            cuts.clear();
            for (int64_t k = o[i]; k < o[i + 1]; ++k) {
                const int64_t *c = r + 4 * k;
                if (c[0] < 0 || c[1] < 0) {
                    throw std::invalid_argument("a run of words past the text's words");
                }
                cuts.push_back({static_cast<uint64_t>(c[0]),
                                static_cast<uint64_t>(c[1]),
                                static_cast<uint64_t>(c[2]),
                                static_cast<uint64_t>(c[3])});
            }
            if (!cuts.empty()) {
                veltrane::text::word_hashes(t.views[i], scratch, words);
                if (rp::place_runs(t.views[i], words.size(), cuts, places, at)) {
                    put_cuts(cuts, out);
                }
            }
            out_offsets.push_back(static_cast<int64_t>(out.size() / 4));
        }
    }
    return as_rows(std::move(out), std::move(out_offsets));
}

using Words = py::array_t<uint64_t, py::array::c_style | py::array::forcecast>;

// Primes a finder of spans with the texts of an earlier run: `words` their word hashes end to
// end, `starts` where each text's begin there with the end last; the texts are numbered from
// `first` on.
void prime(rp::Finder &finder, const Words &words, const Int64s &starts, uint64_t first) {
    const int64_t *s = starts.data();
    const std::size_t texts = starts.ndim() == 1 && starts.shape(0) > 0
                                  ? static_cast<std::size_t>(starts.shape(0)) - 1
                                  : 0;
    if (words.ndim() != 1 || starts.ndim() != 1 || starts.shape(0) < 1 || s[0] != 0 ||
        s[texts] != words.shape(0)) {
        throw py::value_error("starts must run from 0 to the number of words");
    }
    for (std::size_t t = 0; t < texts; ++t) {
        if (s[t] > s[t + 1]) {
            throw py::value_error("starts must rise");
        }
    }
    const uint64_t *w = words.data();
    py::gil_scoped_release release;
    try {
        for (std::size_t t = 0; t < texts; ++t) {
            finder.prime(w + s[t], static_cast<std::size_t>(s[t + 1] - s[t]), first + t);
        }
    } catch (const std::system_error &e) {
        py::gil_scoped_acquire hold;
        raise_os_error(e);
    }
}

// Writes the word hashes of the run's texts with a window to a new file at `path`, durably;
// returns their numbers and where each one's words begin there (with the end last).
py::tuple save_words(rp::Finder &finder, const std::string &path) {
    std::vector<uint64_t> texts, starts;
    {
        py::gil_scoped_release release;
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        try {
            if (fd < 0) {
                throw std::system_error(errno, std::generic_category(), "open");
            }
            finder.save_words(fd, texts, starts);
            if (::fsync(fd) != 0) {
                throw std::system_error(errno, std::generic_category(), "fsync");
            }
            if (::close(fd) != 0) {
                throw std::system_error(errno, std::generic_category(), "close");
            }
        } catch (const std::system_error &e) {
            if (fd >= 0) {
                ::close(fd);
            }
            py::gil_scoped_acquire hold;
            raise_os_error(e);
        }
    }
    const auto as_int64 = [](const std::vector<uint64_t> &v) {
        return into_array(std::vector<int64_t>(v.begin(), v.end()));
    };
    return py::make_tuple(as_int64(texts), as_int64(starts));
}

// The lines or paragraphs of each text: an (m, 4) int64 array of (start, end, cut_start,
// cut_end) and the offsets of each text's rows in it (n + 1 of them).
py::tuple units(const py::handle &texts, const std::string &unit) {
    if (unit != "line" && unit != "paragraph") {
        throw py::value_error("unit must be 'line' or 'paragraph', not '" + unit + "'");
    }
    const auto t = collect_texts(texts);
    std::vector<int64_t> rows, offsets;
    {
        py::gil_scoped_release release;
        std::vector<rp::Piece> pieces;
        offsets.reserve(t.views.size() + 1);
        offsets.push_back(0);
        for (const auto &text : t.views) {
            pieces.clear();
            if (unit == "line") {
                rp::lines(text, pieces);
            } else {
                rp::paragraphs(text, pieces);
            }
            for (const rp::Piece &p : pieces) {
                rows.insert(rows.end(),
                            {static_cast<int64_t>(p.start),
                             static_cast<int64_t>(p.end),
                             static_cast<int64_t>(p.cut_start),
                             static_cast<int64_t>(p.cut_end)});
            }
            offsets.push_back(static_cast<int64_t>(rows.size() / 4));
        }
    }
    return as_rows(std::move(rows), std::move(offsets));
}

} // namespace

void veltrane::bind_repeats(py::module_ &m) {
    // The texts of plain line and JSON Lines files read again where their lines are
    // (linefiles/reread.hpp): LineTexts(paths, json_lines, field).
    py::class_<veltrane::linefiles::Reread>(m, "LineTexts")
        .def(py::init<std::vector<std::string>, std::vector<bool>, std::string>(),
             py::arg("paths"),
             py::arg("json_lines"),
             py::arg("field"));
    py::class_<rp::Finder>(m, "RepeatFinder")
        .def(py::init(&make_finder),
             py::arg("unit"),
             py::arg("by_words"),
             py::arg("min_words"),
             py::arg("hash_bits") = 64,
             py::arg("parts") = 1,
             py::arg("part") = 0,
             py::arg("runs_in_words") = false)
        .def("add", &add, py::arg("texts"), py::arg("threads"), py::arg("located") = py::none())
        .def(
            "read_from",
            [](rp::Finder &f, veltrane::linefiles::Reread &source) { f.read_from(&source); },
            py::arg("source"),
            py::keep_alive<1, 2>())
        .def("limit_memory", &rp::Finder::limit_memory, py::arg("bytes"))
        .def("expect_bytes", &rp::Finder::expect_bytes, py::arg("bytes"))
        .def(
            "keep_words_in",
            [](rp::Finder &f, const std::string &path, bool write) {
                try {
                    f.keep_words_in(path, write);
                } catch (const std::system_error &e) {
                    raise_os_error(e);
                }
            },
            py::arg("path"),
            py::arg("write"))
        .def("finish_words",
             [](rp::Finder &f) {
                 py::gil_scoped_release unlocked;
                 try {
                     f.finish_words();
                 } catch (const std::system_error &e) {
                     py::gil_scoped_acquire locked;
                     raise_os_error(e);
                 }
             })
        .def("prime", &prime, py::arg("words"), py::arg("starts"), py::arg("first"))
        .def("save_words", &save_words, py::arg("path"))
        .def("reserve_windows", &rp::Finder::reserve_windows, py::arg("windows"))
        .def_readonly_static("EARLIER", &rp::Finder::kEarlier)
        .def_property_readonly("texts", [](const rp::Finder &f) { return f.counts().texts; })
        .def_property_readonly("units", [](const rp::Finder &f) { return f.counts().units; })
        .def_property_readonly("repeats", [](const rp::Finder &f) { return f.counts().repeats; })
        .def_property_readonly("unplaced", [](const rp::Finder &f) { return f.counts().unplaced; })
        .def_property_readonly("memory", &rp::Finder::memory);
    m.def("repeat_units", &units, py::arg("texts"), py::arg("unit"));
    m.def("place_runs", &place, py::arg("texts"), py::arg("rows"), py::arg("offsets"));
}
