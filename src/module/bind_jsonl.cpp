// Bindings of the JSON Lines field scanner (jsonl/jsonl.hpp). The public API is
// veltrane/corpus.py, which reads the blocks, reads the lines the scanner does not take, and
// names the file and line of bad input.
#include "common/batches.hpp"
#include "jsonl/jsonl.hpp"
#include "linefiles/send_ranges.hpp"
#include "linefiles/signed_file.hpp"
#include "module/native.hpp"
#include "module/pyinput.hpp"
#include "search/hamming.hpp"
#include "text/digest.hpp"
#include "text/minhash.hpp"

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <string>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace py = pybind11;
namespace jsonl = veltrane::jsonl;
using veltrane::pyutil::into_array;
using veltrane::pyutil::to_array;

namespace {

using Int64s = py::array_t<int64_t, py::array::c_style | py::array::forcecast>;

std::string_view view(const py::bytes &b) {
    return {PyBytes_AS_STRING(b.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(b.ptr()))};
}

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

// A JSON number's value as Python's float() reads it: strtod only where from_chars is out of
// range, as it gives infinity or zero there the way Python does.
double number_value(const char *data, const jsonl::Token &t) {
    double value = 0;
    const char *begin = data + t.begin;
    const char *end = data + t.end;
    if (std::from_chars(begin, end, value).ec == std::errc()) {
        return value;
    }
    return std::strtod(std::string(begin, end).c_str(), nullptr);
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
    const jsonl::Fields fields {view(field), view(id_field), view(value_field)};
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
            values.mutable_data()[r] = number_value(data.data(), line.value);
        }
    }
    return py::make_tuple(texts,
                          to_array(rows),
                          id_name.empty() ? py::object(py::none()) : py::object(ids),
                          id_name.empty() ? py::object(py::none()) : py::object(numbers),
                          fields.value.empty() ? py::object(py::none()) : py::object(values),
                          int64_t {-1});
}

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
    std::vector<std::size_t> at(n + 1, 0);
    for (std::size_t k = 0; k < n; ++k) {
        if (s[2 * k] < 0 || s[2 * k + 1] < 0) {
            throw py::value_error("spans must be non-negative offsets and lengths");
        }
        at[k + 1] = at[k] + static_cast<std::size_t>(s[2 * k + 1]);
    }
    // Filled on every thread without the GIL: nobody else can see the new bytes object yet.
    PyObject *raw = PyBytes_FromStringAndSize(nullptr, static_cast<py::ssize_t>(at[n]));
    if (raw == nullptr) {
        throw py::error_already_set();
    }
    py::bytes out = py::reinterpret_steal<py::bytes>(raw);
    char *data = PyBytes_AS_STRING(raw);
    std::atomic<int> error {0};
    std::atomic<bool> short_read {false};
    std::size_t missing = 0;
    {
        py::gil_scoped_release release;
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            error = errno;
        } else {
            // Many short reads from the page cache: the system calls, not the copies, cost.
            veltrane::parallel_batches(
                n, 1024, threads, [&](std::size_t begin, std::size_t end, std::size_t) {
                    for (std::size_t k = begin; k < end && error == 0 && !short_read; ++k) {
                        auto offset = static_cast<off_t>(s[2 * k]);
                        char *into = data + at[k];
                        std::size_t left = at[k + 1] - at[k];
                        while (left > 0) {
                            const ssize_t got = ::pread(fd, into, left, offset);
                            if (got < 0 && errno == EINTR) {
                                continue;
                            }
                            if (got <= 0) {
                                if (got < 0) {
                                    error = errno;
                                } else {
                                    short_read = true;
                                }
                                break;
                            }
                            into += got;
                            offset += got;
                            left -= static_cast<std::size_t>(got);
                        }
                    }
                });
            ::close(fd);
        }
        for (std::size_t k = 0; k < n && error == 0; ++k) {
            missing += at[k + 1] == at[k] || data[at[k + 1] - 1] != '\n';
        }
    }
    if (error != 0) {
        errno = error;
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
        throw py::error_already_set();
    }
    if (short_read) {
        return py::none();
    }
    if (missing == 0) {
        return out;
    }
    // A line without its ending (a file's last line) gets one.
    std::string ended;
    ended.reserve(at[n] + missing);
    for (std::size_t k = 0; k < n; ++k) {
        ended.append(data + at[k], at[k + 1] - at[k]);
        if (at[k + 1] == at[k] || data[at[k + 1] - 1] != '\n') {
            ended.push_back('\n');
        }
    }
    return py::bytes(ended);
}

// Copies the ranges [starts[k], ends[k]) of the file at `path` to the file descriptor `out`
// (linefiles/send_ranges.hpp). False when the file ended before a range did (it changed since it
// was read); OSError for a failed copy, with the file's name when it cannot be opened.
bool send_ranges(int out, const std::string &path, const Int64s &starts, const Int64s &ends) {
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
    int error = 0;
    bool opened = false;
    {
        py::gil_scoped_release release;
        const int in = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (in < 0) {
            error = errno;
        } else {
            opened = true;
            error = veltrane::linefiles::send_ranges(in, out, a, b, n);
            ::close(in);
        }
    }
    if (error == veltrane::linefiles::kEndedEarly) {
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
                           const std::string &exact) {
    namespace linefiles = veltrane::linefiles;
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
    } else {
        if (exact != "none" && exact != "words") {
            throw py::value_error("exact must be 'none' or 'words', got '" + exact + "'");
        }
        signer = std::make_unique<text::Digester>(exact == "none" ? text::Normalize::none
                                                                  : text::Normalize::words);
        bands = 0;
    }
    const text::Signer &hasher = *signer;
    const jsonl::Fields fields {view(field), view(id_field), view(value_field)};
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
            v.mutable_data()[r] = number_value(text.data(), t);
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

void bind_jsonl(py::module_ &m) {
    m.def("line_starts", &line_starts, py::arg("block"));
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
          py::arg("exact") = "");
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
