// The module definition of veltrane._native. The boundary: dedup_core gets no new names; every
// new native feature is bound in veltrane._native (one bind_<job>.cpp, with its section in
// python/veltrane/_native.pyi) and reaches users through a veltrane/*.py module. Its import
// entry (entry.cpp, built without AVX2) checks the processor first, so no import order matters.
#include "module/native.hpp"

#include "common/cpu.hpp"

#include <pybind11/pybind11.h>

namespace py = pybind11;

// pybind11 names the entry PyInit__native; entry.cpp defines that name and calls this one
// after the processor check.
#define PyInit__native _native_init_after_cpu_check
PYBIND11_MODULE(_native, m) {
    m.doc() = "Native code of veltrane; the public API is in the veltrane package";
    // The instruction set the dispatched kernels use here (VELTRANE_ISA may pin one).
    m.def("isa", [] { return veltrane::cpu::isa_name(veltrane::cpu::chosen_isa()); });
    veltrane::bind_search(m);
    veltrane::bind_chunk(m);
    veltrane::bind_minhash(m);
    veltrane::bind_lsh(m);
    veltrane::bind_gear(m);
    veltrane::bind_files(m);
}
