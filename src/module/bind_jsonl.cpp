// Bindings of the JSON Lines field scanner (jsonl/jsonl.hpp). The public API is
// veltrane/corpus.py, which reads the blocks, reads the lines the scanner does not take, and
// names the file and line of bad input. The line-file jobs are bound in bind_linefiles.cpp.
#include "common/batches.hpp"
#include "jsonl/jsonl.hpp"
#include "module/native.hpp"
#include "module/pyinput.hpp"

#include <cstring>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <string_view>
#include <vector>

namespace py = pybind11;
namespace jsonl = veltrane::jsonl;
using veltrane::pyutil::bytes_view;
using veltrane::pyutil::to_array;

namespace {

using Int64s = py::array_t<int64_t, py::array::c_style | py::array::forcecast>;

// A block is read in place: bytes, or a view of the reader's reused buffer. The buffer_info
// holds the export, so the buffer cannot be resized while it is read.
struct Block {
    py::buffer_info info;
    std::string_view data;

    explicit Block(const py::buffer &b) : info(b.request()) {
        if (info.ndim != 1 || info.itemsize != 1 || info.strides[0] != 1) {
            throw py::type_error("a block must be a contiguous buffer of bytes");
        }
        data = {static_cast<const char *>(info.ptr), static_cast<std::size_t>(info.size)};
    }
};

// The start of every line of `block` and, last, its size: n + 1 offsets for n lines (a last line
// without its "\n" counts).
py::array_t<int64_t> line_starts(const py::buffer &buffer) {
    const Block block(buffer);
    const std::string_view data = block.data;
    std::vector<int64_t> starts {0};
    {
        py::gil_scoped_release release;
        const char *p = data.data();
        const char *end = p + data.size();
        while (p != end) {
            const void *nl = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
            p = nl == nullptr ? end : static_cast<const char *>(nl) + 1;
            starts.push_back(p - data.data());
        }
    }
    return to_array(starts);
}

py::bytes token_bytes(const char *data, const jsonl::Token &t) {
    py::bytes out(nullptr, static_cast<py::ssize_t>(t.size));
    jsonl::unescape(data, t, PyBytes_AS_STRING(out.ptr()));
    return out;
}

// (texts, rows, ids, id_is_number, values, first_other): the text of each record, the index of
// its line, its id's bytes and whether the id is a number, its value as a float64;
// first_other is the first line the scanner does not take, -1 when none (else the rest is
// empty).
py::tuple jsonl_fields(const py::buffer &buffer,
                       const Int64s &starts,
                       const py::bytes &field,
                       const py::bytes &id_field,
                       const py::bytes &value_field,
                       int threads) {
    if (threads < 1) {
        throw py::value_error("threads must be at least 1");
    }
    const Block block(buffer);
    const std::string_view data = block.data;
    const auto n = starts.size() > 0 ? static_cast<std::size_t>(starts.size() - 1) : 0;
    const int64_t *s = starts.data();
    for (std::size_t k = 0; k < n; ++k) {
        if (s[k] < 0 || s[k] > s[k + 1] || static_cast<std::size_t>(s[k + 1]) > data.size()) {
            throw py::value_error("line starts must be ascending offsets within the block");
        }
    }
    const jsonl::Fields fields {bytes_view(field), bytes_view(id_field), bytes_view(value_field)};
    const std::string_view id_name = fields.id;
    std::vector<jsonl::Line> lines(n);
    {
        py::gil_scoped_release release;
        jsonl::scan_lines(data.data(), s, n, fields, threads, lines.data());
    }
    std::vector<int64_t> rows;
    rows.reserve(n);
    for (std::size_t k = 0; k < n; ++k) {
        if (lines[k].status == jsonl::Status::other) {
            return py::make_tuple(py::list(),
                                  to_array(std::vector<int64_t>()),
                                  py::none(),
                                  py::none(),
                                  py::none(),
                                  static_cast<int64_t>(k));
        }
        if (lines[k].status == jsonl::Status::record) {
            rows.push_back(static_cast<int64_t>(k));
        }
    }
    // The texts' bytes objects are made here, then filled on every thread without the GIL:
    // nobody else can see them yet.
    py::list texts(rows.size());
    std::vector<char *> into(rows.size());
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const jsonl::Token &t = lines[static_cast<std::size_t>(rows[r])].text;
        PyObject *b = PyBytes_FromStringAndSize(nullptr, static_cast<py::ssize_t>(t.size));
        if (b == nullptr) {
            throw py::error_already_set();
        }
        into[r] = PyBytes_AS_STRING(b);
        PyList_SET_ITEM(texts.ptr(), static_cast<py::ssize_t>(r), b);
    }
    {
        py::gil_scoped_release release;
        veltrane::parallel_batches(
            rows.size(), 256, threads, [&](std::size_t begin, std::size_t end, std::size_t) {
                for (std::size_t r = begin; r < end; ++r) {
                    jsonl::unescape(
                        data.data(), lines[static_cast<std::size_t>(rows[r])].text, into[r]);
                }
            });
    }
    py::list ids(id_name.empty() ? 0 : rows.size());
    py::array_t<bool> numbers(static_cast<py::ssize_t>(id_name.empty() ? 0 : rows.size()));
    py::array_t<double> values(static_cast<py::ssize_t>(fields.value.empty() ? 0 : rows.size()));
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const jsonl::Line &line = lines[static_cast<std::size_t>(rows[r])];
        if (!id_name.empty()) {
            jsonl::Token id = line.id;
            if (id.kind == jsonl::Kind::number) {
                id.size = id.end - id.begin;
            }
            ids[r] = token_bytes(data.data(), id);
            numbers.mutable_data()[r] = id.kind == jsonl::Kind::number;
        }
        if (!fields.value.empty()) {
            values.mutable_data()[r] = jsonl::number_value(data.data(), line.value);
        }
    }
    return py::make_tuple(texts,
                          to_array(rows),
                          id_name.empty() ? py::object(py::none()) : py::object(ids),
                          id_name.empty() ? py::object(py::none()) : py::object(numbers),
                          fields.value.empty() ? py::object(py::none()) : py::object(values),
                          int64_t {-1});
}

} // namespace

namespace veltrane {

void bind_jsonl(py::module_ &m) {
    m.def("line_starts", &line_starts, py::arg("block"));
    // The record `line` (no line ending) with its `field` string replaced by `text`, every
    // other byte as it was; None where the scanner does not take the line.
    m.def(
        "jsonl_replace_text",
        [](const py::bytes &line, const py::bytes &field, const py::bytes &text) -> py::object {
            std::string out;
            bool done = false;
            {
                const std::string_view l = bytes_view(line), f = bytes_view(field),
                                       t = bytes_view(text);
                py::gil_scoped_release release;
                done = jsonl::replace_text(l, f, t, out);
            }
            if (!done) {
                return py::none();
            }
            return py::bytes(out);
        },
        py::arg("line"),
        py::arg("field"),
        py::arg("text"));
    m.def(
        "is_utf8",
        [](const py::buffer &buffer, int threads) {
            if (threads < 1) {
                throw py::value_error("threads must be at least 1");
            }
            const Block block(buffer);
            py::gil_scoped_release release;
            return jsonl::valid_utf8(block.data, threads);
        },
        py::arg("block"),
        py::arg("threads") = 1);
    m.def("jsonl_fields",
          &jsonl_fields,
          py::arg("block"),
          py::arg("starts"),
          py::arg("field"),
          py::arg("id_field"),
          py::arg("value_field"),
          py::arg("threads"));
}

} // namespace veltrane
