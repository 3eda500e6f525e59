// The import entry points of both extension modules, compiled without AVX2, BMI or POPCNT so
// that they can run on any x86-64 processor: each checks the processor first and only then
// enters code built for those extensions. On a processor without them the import fails with
// a readable ImportError instead of dying on an illegal instruction. Built once per module,
// with VELTRANE_MODULE naming it (dedup_core or _native).
#include <Python.h>
#include <string>

#define VELTRANE_CAT2(a, b) a##b
#define VELTRANE_CAT(a, b) VELTRANE_CAT2(a, b)
#define VELTRANE_STR2(a) #a
#define VELTRANE_STR(a) VELTRANE_STR2(a)

// The module's own entry, renamed from PyInit_<module> by its bindings.
extern "C" PyObject *VELTRANE_CAT(VELTRANE_MODULE, _init_after_cpu_check)();

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

extern "C" __attribute__((visibility("default"))) PyObject *VELTRANE_CAT(PyInit_,
                                                                         VELTRANE_MODULE)() {
    const std::string missing = missing_cpu_features();
    if (!missing.empty()) {
        PyErr_Format(PyExc_ImportError,
                     "%s needs an x86-64 processor with AVX2, BMI1, BMI2 and POPCNT; "
                     "this one lacks:%s",
                     VELTRANE_STR(VELTRANE_MODULE_SHOWN),
                     missing.c_str());
        return nullptr;
    }
    return VELTRANE_CAT(VELTRANE_MODULE, _init_after_cpu_check)();
}
