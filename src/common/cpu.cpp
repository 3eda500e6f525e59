#include "cpu.hpp"

#include <cstdlib>

namespace veltrane::cpu {

namespace {

// Every set, the widest first.
constexpr Isa kIsas[] = {Isa::avx512, Isa::avx2, Isa::scalar};

} // namespace

Isa best_isa() {
    __builtin_cpu_init();
    // GCC's probe also asks the OS (XGETBV) whether it saves the wider registers.
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi")) {
        return Isa::avx512;
    }
    return __builtin_cpu_supports("avx2") ? Isa::avx2 : Isa::scalar;
}

std::vector<Isa> supported_isas() {
    std::vector<Isa> out;
    const Isa best = best_isa();
    for (Isa isa : kIsas) {
        if (isa <= best) {
            out.push_back(isa);
        }
    }
    return out;
}

bool isa_from_name(std::string_view name, Isa &isa) {
    for (Isa candidate : kIsas) {
        if (name == isa_name(candidate)) {
            isa = candidate;
            return true;
        }
    }
    return false;
}

namespace {

Isa choose() {
    const Isa best = best_isa();
    const char *forced = std::getenv("VELTRANE_ISA");
    Isa isa = best;
    return forced != nullptr && isa_from_name(forced, isa) && isa <= best ? isa : best;
}

} // namespace

Isa chosen_isa() {
    static const Isa chosen = choose();
    return chosen;
}

const char *isa_name(Isa isa) {
    switch (isa) {
    case Isa::scalar:
        return "scalar";
    case Isa::avx2:
        return "avx2";
    case Isa::avx512:
        return "avx512";
    }
    return "unknown";
}

} // namespace veltrane::cpu
