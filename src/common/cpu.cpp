#include "cpu.hpp"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace veltrane::cpu {

Isa best_isa() {
    __builtin_cpu_init();
    // GCC's probe also asks the OS (XGETBV) whether it saves the wider registers.
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi")) {
        return Isa::avx512;
    }
    return __builtin_cpu_supports("avx2") ? Isa::avx2 : Isa::scalar;
}

namespace {

Isa choose() {
    const Isa best = best_isa();
    const char *forced = std::getenv("VELTRANE_ISA");
    if (forced == nullptr) {
        return best;
    }
    for (Isa isa : {Isa::scalar, Isa::avx2, Isa::avx512}) {
        if (std::strcmp(forced, isa_name(isa)) == 0 && isa <= best) {
            return isa;
        }
    }
    return best;
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
