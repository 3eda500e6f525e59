// Which instruction set the fast kernels may use. Every machine we run on has AVX2 (the
// modules' import entries refuse the others); AVX-512 kernels live in their own files, built
// with the extra flags, and run only where the processor and the OS support them.
#pragma once

#include <string_view>
#include <vector>

namespace veltrane::cpu {

// Ordered: a wider set includes the narrower ones.
enum class Isa { scalar, avx2, avx512 };

// The widest set this processor and OS support. avx512 means F, BW, VL and VBMI together
// (byte shuffles across a whole register), as on Ice Lake and Zen 4 and later.
Isa best_isa();

// The sets this processor and OS support, the widest first: the order in which the dispatched
// kernels prefer them. Tests and fuzz targets run each kernel from this list.
std::vector<Isa> supported_isas();

// best_isa(), unless the environment variable VELTRANE_ISA names another supported set
// ("scalar", "avx2" or "avx512"), so that tests and benchmarks can pin each kernel. A name
// the processor does not support, or an unknown one, is ignored. Read once per process.
Isa chosen_isa();

const char *isa_name(Isa isa);

// The set called `name`, whether or not this processor supports it; false for an unknown name.
bool isa_from_name(std::string_view name, Isa &isa);

} // namespace veltrane::cpu
