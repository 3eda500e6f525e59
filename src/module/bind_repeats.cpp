// Bindings of the repeats finder (repeats/repeats.hpp). The public API is veltrane/repeats.py,
// which checks arguments; this file converts texts and cuts and releases the GIL.
#include "linefiles/reread.hpp"
#include "module/native.hpp"
#include "module/pyinput.hpp"
#include "repeats/repeats.hpp"
#include "repeats/units.hpp"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <string>
#include <vector>

namespace py = pybind11;
using veltrane::pyutil::collect_texts;
using veltrane::pyutil::into_array;

namespace {

namespace rp = veltrane::repeats;

rp::Finder make_finder(const std::string &unit, bool by_words, std::size_t min_words, int bits) {
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
    o.hash_bits = bits;
    return rp::Finder(o);
}

// Rows of four int64 values, flat, as an (m, 4) array, with the offsets of each text's rows.
py::tuple as_rows(std::vector<int64_t> rows, std::vector<int64_t> offsets) {
    py::array_t<int64_t> flat = into_array(std::move(rows));
    return py::make_tuple(flat.reshape({flat.size() / 4, py::ssize_t {4}}),
                          into_array(std::move(offsets)));
}

using Int64s = py::array_t<int64_t, py::array::c_style | py::array::forcecast>;

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
        finder.add(t.views, threads, cuts, at.empty() ? nullptr : at.data());
        offsets.reserve(cuts.size() + 1);
        offsets.push_back(0);
        for (const auto &of_text : cuts) {
            for (const rp::Cut &c : of_text) {
                rows.insert(rows.end(),
                            {static_cast<int64_t>(c.start),
                             static_cast<int64_t>(c.end),
                             static_cast<int64_t>(c.first_text),
                             static_cast<int64_t>(c.first_at)});
            }
            offsets.push_back(static_cast<int64_t>(rows.size() / 4));
        }
    }
    return as_rows(std::move(rows), std::move(offsets));
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
             py::arg("hash_bits") = 64)
        .def("add", &add, py::arg("texts"), py::arg("threads"), py::arg("located") = py::none())
        .def(
            "read_from",
            [](rp::Finder &f, veltrane::linefiles::Reread &source) { f.read_from(&source); },
            py::arg("source"),
            py::keep_alive<1, 2>())
        .def_property_readonly("texts", [](const rp::Finder &f) { return f.counts().texts; })
        .def_property_readonly("units", [](const rp::Finder &f) { return f.counts().units; })
        .def_property_readonly("repeats", [](const rp::Finder &f) { return f.counts().repeats; })
        .def_property_readonly("unplaced", [](const rp::Finder &f) { return f.counts().unplaced; })
        .def_property_readonly("memory", &rp::Finder::memory);
    m.def("repeat_units", &units, py::arg("texts"), py::arg("unit"));
}
