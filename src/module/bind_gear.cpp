// Bindings of GearCDC for veltrane/gear.py, which validates and documents.
#include "chunk/gear.hpp"
#include "common/batches.hpp"
#include "common/cpu.hpp"
#include "module/native.hpp"
#include "module/pyinput.hpp"

#include <algorithm>
#include <cstring>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <string>
#include <vector>

namespace py = pybind11;
using veltrane::gear::GearCDC;
using veltrane::pyutil::to_array;

namespace {

// A read-only view of any C-contiguous buffer (bytes, bytearray, mmap, memoryview, NumPy) as
// bytes, whatever its item type. While it is held, the exporter cannot resize or free the
// memory, so native code may read it without the GIL.
class ByteView {
public:
    explicit ByteView(const py::handle &obj) {
        if (PyObject_GetBuffer(obj.ptr(), &view_, PyBUF_SIMPLE) != 0) {
            PyErr_Clear();
            throw py::type_error(std::string("data must be a contiguous bytes-like object, not ") +
                                 py::detail::get_fully_qualified_tp_name(Py_TYPE(obj.ptr())));
        }
    }
    ByteView(const ByteView &) = delete;
    ByteView &operator=(const ByteView &) = delete;
    ~ByteView() {
        PyBuffer_Release(&view_);
    }
    const unsigned char *data() const {
        return static_cast<const unsigned char *>(view_.buf);
    }
    std::size_t size() const {
        return static_cast<std::size_t>(view_.len);
    }

private:
    Py_buffer view_ {};
};

veltrane::cpu::Isa isa_named(const std::string &name) {
    veltrane::cpu::Isa isa = veltrane::cpu::Isa::scalar;
    if (!veltrane::cpu::isa_from_name(name, isa)) {
        throw py::value_error("unknown instruction set " + name);
    }
    if (isa > veltrane::cpu::best_isa()) {
        throw py::value_error("this processor does not support " + name);
    }
    return isa;
}

// The kernels kernel_cut_points runs on this processor, the ones the dispatch prefers first:
// the AVX-512 walk in sixteen lanes, the serial walk in parts on threads, each supported
// instruction set's candidate scan, and the one-thread walk.
py::list kernels() {
    py::list out;
    const std::vector<veltrane::cpu::Isa> isas = veltrane::cpu::supported_isas();
    if (isas.front() == veltrane::cpu::Isa::avx512) {
        out.append("lanes");
    }
    out.append("parts");
    for (const veltrane::cpu::Isa isa : isas) {
        out.append(veltrane::cpu::isa_name(isa));
    }
    out.append("serial");
    return out;
}

py::array_t<int64_t> cut_points(const GearCDC &self, const py::handle &data, int threads) {
    const ByteView view(data);
    std::vector<int64_t> ends;
    {
        py::gil_scoped_release release;
        ends = self.cut_points(view.data(), view.size(), threads);
    }
    return to_array(ends);
}

py::list chunk(const GearCDC &self, const py::handle &data, int threads) {
    const ByteView view(data);
    std::vector<int64_t> ends;
    {
        py::gil_scoped_release release;
        ends = self.cut_points(view.data(), view.size(), threads);
    }
    // The bytes objects are made empty under the GIL, then filled on `threads` threads
    // without it: copying the chunks (and faulting in the fresh pages that hold them) is most
    // of the time, and no one else can see the objects until they are returned.
    const std::size_t n = ends.size();
    py::list out(n);
    std::vector<char *> into(n);
    std::size_t start = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const auto end = static_cast<std::size_t>(ends[i]);
        PyObject *piece =
            PyBytes_FromStringAndSize(nullptr, static_cast<py::ssize_t>(end - start));
        if (piece == nullptr) {
            throw py::error_already_set();
        }
        into[i] = PyBytes_AS_STRING(piece);
        PyList_SET_ITEM(out.ptr(), static_cast<py::ssize_t>(i), piece);
        start = end;
    }
    {
        py::gil_scoped_release release;
        // 64 chunks a batch: large enough to make handing out batches cheap.
        veltrane::parallel_batches(
            n, 64, threads, [&](std::size_t begin, std::size_t stop, std::size_t) {
                for (std::size_t i = begin; i < stop; ++i) {
                    const std::size_t from = i == 0 ? 0 : static_cast<std::size_t>(ends[i - 1]);
                    std::memcpy(
                        into[i], view.data() + from, static_cast<std::size_t>(ends[i]) - from);
                }
            });
    }
    return out;
}

// For the tests: the literal loop, and each kernel by name.
py::array_t<int64_t> reference_cut_points(const GearCDC &self, const py::handle &data) {
    const ByteView view(data);
    return to_array(self.reference_cut_points(view.data(), view.size()));
}

// A kernel by name, one of kernels(): "serial" (the one-thread walk), "lanes" (the AVX-512
// walk in sixteen lanes), "parts" (a serial walk on each thread's part, stitched), or an
// instruction set's candidate scan.
py::array_t<int64_t> kernel_cut_points(const GearCDC &self,
                                       const py::handle &data,
                                       const std::string &kernel,
                                       int threads) {
    const bool serial = kernel == "serial";
    const bool lanes = kernel == "lanes";
    const bool parts = kernel == "parts";
    const veltrane::cpu::Isa isa =
        serial || parts ? veltrane::cpu::Isa::avx2 : isa_named(lanes ? "avx512" : kernel);
    const ByteView view(data);
    std::vector<int64_t> ends;
    {
        py::gil_scoped_release release;
        if (serial) {
            ends = veltrane::gear::cut_serial(self, view.data(), view.size());
        } else if (lanes) {
            ends = self.cut_lanes(view.data(), view.size(), threads);
        } else if (parts) {
            // `threads` parts however small, walked here one after another, so that tests
            // reach the stitch at every size.
            std::vector<veltrane::gear::LaneRun> runs;
            const auto n = static_cast<std::size_t>(std::max(threads, 1));
            const std::size_t size = view.size();
            for (std::size_t p = 0; p < n; ++p) {
                veltrane::gear::walk_part(self,
                                          view.data(),
                                          size,
                                          size / n * p,
                                          p + 1 == n ? size : size / n * (p + 1),
                                          runs);
            }
            ends = self.stitch(runs, view.data(), size);
        } else {
            ends = self.cut_points(view.data(), view.size(), threads, isa, true);
        }
    }
    return to_array(ends);
}

} // namespace

void veltrane::bind_gear(py::module_ &m) {
    // The bounds the constructor enforces, for the checks in Python to quote.
    m.attr("GEAR_MIN_MIN_SIZE") = veltrane::gear::kMinMinSize;
    m.attr("GEAR_MAX_MAX_SIZE") = veltrane::gear::kMaxMaxSize;
    m.attr("GEAR_MAX_NORMALIZATION") = veltrane::gear::kMaxNormalization;

    py::class_<GearCDC>(m, "Gear")
        .def(py::init<uint64_t, uint64_t, uint64_t, int, uint64_t>(),
             py::arg("min_size"),
             py::arg("avg_size"),
             py::arg("max_size"),
             py::arg("normalization"),
             py::arg("seed"))
        .def("cut_points", &cut_points, py::arg("data"), py::arg("threads"))
        .def("chunk", &chunk, py::arg("data"), py::arg("threads"))
        .def("reference_cut_points", &reference_cut_points, py::arg("data"))
        .def_static("kernels", &kernels)
        .def("kernel_cut_points",
             &kernel_cut_points,
             py::arg("data"),
             py::arg("kernel"),
             py::arg("threads"))
        .def_property_readonly("table", [](const GearCDC &self) {
            return to_array(std::vector<uint64_t>(self.table().g, self.table().g + 256));
        });
}
