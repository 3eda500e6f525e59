// The module definition of veltrane._native (the README's Layout section draws the boundary to
// dedup_core). Its import entry (entry.cpp, built without AVX2) checks the processor first, so
// no import order matters.
#include "module/native.hpp"

#include "common/cpu.hpp"
#include "common/hash.hpp"
#include "dedup/blake3.hpp"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace {

using Values = py::array_t<uint64_t, py::array::c_style | py::array::forcecast>;

// hash::mix64 of every value, so that Python code mixes exactly as the native code does.
py::array_t<uint64_t> mix64(const Values &values) {
    py::array_t<uint64_t> out(values.size());
    const uint64_t *in = values.data();
    uint64_t *to = out.mutable_data();
    const auto n = static_cast<std::size_t>(values.size());
    {
        py::gil_scoped_release release;
        for (std::size_t k = 0; k < n; ++k) {
            to[k] = veltrane::hash::mix64(in[k]);
        }
    }
    return out;
}

} // namespace

// pybind11 names the entry PyInit__native; entry.cpp defines that name and calls this one
// after the processor check.
#define PyInit__native _native_init_after_cpu_check
PYBIND11_MODULE(_native, m) {
    m.doc() = "Native code of veltrane; the public API is in the veltrane package";
    veltrane::dedup::blake3_follow_isa(veltrane::cpu::chosen_isa());
    // The instruction set the dispatched kernels use here (VELTRANE_ISA may pin one).
    m.def("isa", [] { return veltrane::cpu::isa_name(veltrane::cpu::chosen_isa()); });
    // Every instruction set this processor runs kernels for, the widest (preferred) first:
    // tests and fuzz targets pin each in turn with VELTRANE_ISA.
    m.def("isas", [] {
        py::list out;
        for (const auto isa : veltrane::cpu::supported_isas()) {
            out.append(veltrane::cpu::isa_name(isa));
        }
        return out;
    });
    // The mixers of common/hash.hpp, for Python code that must hash as the native code does.
    m.attr("GOLDEN") = veltrane::hash::kGolden;
    m.def("mix64", &mix64, py::arg("values"));
    veltrane::bind_hamming(m);
    veltrane::bind_chunk(m);
    veltrane::bind_minhash(m);
    veltrane::bind_jaccard(m);
    veltrane::bind_gear(m);
    veltrane::bind_keep(m);
    veltrane::bind_jsonl(m);
    veltrane::bind_linefiles(m);
    veltrane::bind_files(m);
    veltrane::bind_tree(m);
    veltrane::bind_report(m);
    veltrane::bind_repeats(m);
    veltrane::bind_exact(m);
    veltrane::bind_store(m);
}
