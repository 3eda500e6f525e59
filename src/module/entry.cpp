// The import entry point, compiled without AVX2, BMI or POPCNT so that it can run on any
// x86-64 processor: it checks the processor first and only then enters code built for
// those extensions. On a processor without them the import fails with a readable ImportError
// instead of dying on an illegal instruction.
#include <Python.h>
#include <string>

// The module's own entry, renamed from PyInit_dedup_core by the bindings.
extern "C" PyObject *dedup_core_init_after_cpu_check();

namespace {

std::string missing_cpu_features() {
    __builtin_cpu_init();
    std::string missing;
    // GCC's probe also asks the OS (XGETBV) whether it saves the AVX registers.
    if (!__builtin_cpu_supports("avx2")) {
        missing += " AVX2";
    }
    if (!__builtin_cpu_supports("bmi")) {
        missing += " BMI1";
    }
    if (!__builtin_cpu_supports("bmi2")) {
        missing += " BMI2";
    }
    if (!__builtin_cpu_supports("popcnt")) {
        missing += " POPCNT";
    }
    return missing;
}

} // namespace

extern "C" __attribute__((visibility("default"))) PyObject *PyInit_dedup_core() {
    const std::string missing = missing_cpu_features();
    if (!missing.empty()) {
        PyErr_Format(PyExc_ImportError,
                     "dedup_core needs an x86-64 processor with AVX2, BMI1, BMI2 and POPCNT; "
                     "this one lacks:%s",
                     missing.c_str());
        return nullptr;
    }
    return dedup_core_init_after_cpu_check();
}
