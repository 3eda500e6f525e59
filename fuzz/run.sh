#!/usr/bin/env bash
# Coverage-guided fuzzing of dedup_core with atheris (libFuzzer). Every target checks the module
# against the pure-Python models in tests/, so a wrong answer counts as much as a crash.
#
#   PYTHON=/path/to/python3.12 FUZZ_SECONDS=60 fuzz/run.sh [target...]
#
# Targets are fuzz/fuzz_<target>.py; all run, one after the other, when none is named.
# FUZZ_ARGS adds libFuzzer options (e.g. -print_coverage=1), FUZZ_NICE sets the niceness.
# Sets up everything itself: clang and its runtimes from Debian (as root), a venv .venv-fuzz
# with atheris, and the module built by clang with libFuzzer's coverage instrumentation, ASan
# and UBSan. Inputs the fuzzer keeps go to build/fuzz/corpus/<target>/ (fuzz/corpus/ holds the
# committed seeds only); an input that fails is saved in build/fuzz/artifacts/<target>/, and the
# script then exits non-zero. Reproduce one with
#   fuzz/run.sh --repro <target> <input file>
set -euo pipefail
cd "$(dirname "$0")/.."

FUZZ_SECONDS=${FUZZ_SECONDS:-60}
# Long runs share the machine; a niced fuzzer still takes every idle cycle.
FUZZ_NICE=${FUZZ_NICE:-19}
VENV=.venv-fuzz
WORK=build/fuzz
ALL_TARGETS=(compute hamming_distance chunk deduplicate gear jsonl)
# The models are plain Python loops over every byte (and, for compute, every bit of every
# token), so inputs stay small enough for hundreds of executions a second. chunk needs room for
# several chunks of up to 600 bytes (2 * the largest small chunk_size) and for content cuts,
# which random data meets once in 8192 bytes; compute's cost grows with bits times tokens.
# gear repeats its data up to 24 times, so 1024 bytes reach the AVX-512 kernel's 8 KiB.
declare -A MAX_LEN=([compute]=1024 [hamming_distance]=1024 [chunk]=4096 [deduplicate]=4096
                   [gear]=1024 [jsonl]=4096)
# Slowest input seen takes well under a second even with the models; anything near a minute is
# a hang (chunk must always terminate). Python with ASan's shadow memory runs at ~550 MB.
TIMEOUT_SECONDS=60
RSS_LIMIT_MB=4096
# Pinned so that a new release cannot change how a run behaves unnoticed.
ATHERIS_VERSION=3.1.0

log() { echo "fuzz: $*" >&2; }
die() { log "error: $*"; exit 1; }

repro=
if [ "${1:-}" = --repro ]; then
    [ $# -eq 3 ] || die "usage: fuzz/run.sh --repro <target> <input file>"
    repro=$3
    set -- "$2"
fi
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${ALL_TARGETS[@]}")
for t in "${targets[@]}"; do
    [ -f "fuzz/fuzz_$t.py" ] || die "no target '$t' (known: ${ALL_TARGETS[*]})"
done

# --- System packages ---------------------------------------------------------------------------
apt_updated=
apt_install() {
    [ "$(id -u)" = 0 ] || die "needs the Debian packages $*; run as root or install them"
    if [ -z "$apt_updated" ]; then
        apt-get update -qq
        apt_updated=1
    fi
    log "installing $*"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
}
command -v clang++ >/dev/null || apt_install clang
CLANG_MAJOR=$(clang++ -dumpversion | cut -d. -f1)
# A runtime archive of this clang. Asking for the builtins library finds the runtime directory
# whichever layout this clang uses (…/lib/linux/libclang_rt.X-x86_64.a or
# …/lib/x86_64-…/libclang_rt.X.a); the other runtimes sit beside it under the same pattern.
runtime() {
    local builtins
    builtins=$(clang++ --rtlib=compiler-rt -print-libgcc-file-name)
    echo "${builtins/clang_rt.builtins/clang_rt.$1}"
}
[ -f "$(runtime fuzzer_no_main)" ] && [ -f "$(runtime asan)" ] ||
    apt_install "libclang-rt-$CLANG_MAJOR-dev"
# The module links GNU OpenMP: GCC's libgomp and its omp.h, both from the GCC installation whose
# libstdc++ clang uses.
LIBGOMP=$(realpath -q "$(clang++ -print-file-name=libgomp.so)" || true)
GOMP_HEADER=$(clang++ -print-file-name=include/omp.h)
[ -f "$LIBGOMP" ] && [ -f "$GOMP_HEADER" ] ||
    die "clang finds no libgomp.so or omp.h; install GCC's libgcc-*-dev"

# --- One runtime to preload: libFuzzer, ASan, UBSan ---------------------------------------------
# The interpreter is not instrumented, so the runtimes must be preloaded, and libFuzzer must be in
# the same library: its strong definitions of the coverage callbacks have to win over the
# sanitizers' weak stubs, or the module's counters would feed nothing. atheris ships such a
# library, but built by another clang and without UBSan's C++ part (the vptr check), which this
# build of the module needs; so it is linked here from this clang's own archives.
PRELOAD=$WORK/runtime/libfuzzer_asan_ubsan.so
build_preload() {
    local tmp
    tmp=$(mktemp -d)
    cp "$(runtime asan)" "$tmp/asan.a"
    # The pre-init hook lives in .preinit_array, which a shared library may not have; loading
    # first through LD_PRELOAD initialises the runtime early enough without it.
    ar d "$tmp/asan.a" asan_preinit.cpp.o
    mkdir -p "$(dirname "$PRELOAD")"
    clang++ -shared -o "$PRELOAD.tmp" \
        -Wl,--whole-archive "$(runtime fuzzer_no_main)" "$tmp/asan.a" "$(runtime asan_cxx)" \
        -Wl,--no-whole-archive -lpthread -ldl -lrt -lm
    mv "$PRELOAD.tmp" "$PRELOAD"
    rm -rf "$tmp"
}
if [ ! -f "$PRELOAD" ] || [ "$(runtime asan)" -nt "$PRELOAD" ]; then
    log "linking $PRELOAD"
    build_preload
fi

# --- The venv and the instrumented module --------------------------------------------------------
if [ ! -x "$VENV/bin/python" ]; then
    if [ -z "${PYTHON:-}" ] ||
        ! "$PYTHON" -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then
        die "PYTHON must name a Python 3.12 interpreter (got '${PYTHON:-}')"
    fi
    "$PYTHON" -m venv "$VENV"
    "$VENV/bin/python" -m pip --disable-pip-version-check install --quiet --upgrade pip
fi
PIP=("$VENV/bin/python" -m pip --disable-pip-version-check)
# atheris's wheel carries its own libFuzzer; with the preload above present it uses that one.
"$VENV/bin/python" -c "import atheris" 2>/dev/null ||
    "${PIP[@]}" install --quiet "atheris==$ATHERIS_VERSION"
# The module is installed without its dependencies; the JSON Lines scanner takes and returns
# numpy arrays, so numpy (as pyproject.toml asks for it) is the one the targets need.
"$VENV/bin/python" -c "import numpy" 2>/dev/null || "${PIP[@]}" install --quiet "numpy>=1.26"

SANITIZE=fuzzer-no-link,address,undefined
# clang's -fopenmp means LLVM's runtime; the module is built against GNU OpenMP, so FindOpenMP
# is told the flag and library instead of probing. clang lowers OpenMP pragmas only for LLVM's
# runtime: with -fopenmp=libgomp they are ignored, and a parallel region runs on the calling
# thread as a team of one. GCC's omp.h declares its allocation functions with an attribute
# argument clang rejects; a copy without that argument declares the same functions.
OMP_INCLUDE=$PWD/$WORK/omp-include
mkdir -p "$OMP_INCLUDE"
sed 's/__malloc__ (omp_free)/__malloc__/g' "$GOMP_HEADER" >"$OMP_INCLUDE/omp.h.tmp"
mv "$OMP_INCLUDE/omp.h.tmp" "$OMP_INCLUDE/omp.h"
BUILD_FLAGS=(
    -C "cmake.define.VELTRANE_SANITIZE=$SANITIZE"
    -C "cmake.define.OpenMP_CXX_FLAGS=-fopenmp=libgomp -isystem $OMP_INCLUDE"
    -C cmake.define.OpenMP_CXX_LIB_NAMES=gomp
    -C "cmake.define.OpenMP_gomp_LIBRARY=$LIBGOMP"
    -C build-dir=$WORK/cmake
    # Debug information stays in the installed module, for readable sanitizer reports.
    -C install.strip=false
)
# Rebuilt when a source or the way it is built changes.
stamp=$( (find src python CMakeLists.txt pyproject.toml -type f -not -path '*/__pycache__/*' \
               -print0 | sort -z | xargs -0 sha256sum
          echo "${BUILD_FLAGS[*]} $(clang++ --version | head -1)") | sha256sum | cut -c1-16)
if [ "$(cat "$VENV/.module-stamp" 2>/dev/null)" != "$stamp" ]; then
    log "building the module with clang ($SANITIZE)"
    CC=clang CXX=clang++ "${PIP[@]}" install --quiet --force-reinstall --no-deps \
        "${BUILD_FLAGS[@]}" .
    echo "$stamp" >"$VENV/.module-stamp"
fi

# --- Fuzzing -----------------------------------------------------------------------------------
export LD_PRELOAD=$PWD/$PRELOAD
# Python objects in the system allocator, so that ASan sees the bytes objects the module fills.
export PYTHONMALLOC=malloc
# The interpreter's own allocations at exit are not ours to report.
export ASAN_OPTIONS=detect_leaks=0:strict_string_checks=1:${ASAN_OPTIONS:-}
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}

if [ -n "$repro" ]; then
    exec "$VENV/bin/python" "fuzz/fuzz_${targets[0]}.py" "$repro"
fi

# Each fuzzer runs in a process group of its own: the symbolizer that ASan starts for a report
# can outlive the fuzzer, and is ended with the group, also when this script is interrupted.
group=
end_group() {
    if [ -n "$group" ]; then
        kill -TERM -- "-$group" 2>/dev/null || true
        group=
    fi
}
trap 'end_group; exit 130' INT TERM
trap end_group EXIT

failed=()
summary=()
for t in "${targets[@]}"; do
    corpus=$WORK/corpus/$t
    artifacts=$WORK/artifacts/$t
    logfile=$WORK/logs/$t.log
    mkdir -p "$corpus" "$artifacts" "$(dirname "$logfile")"
    # The working corpus starts from the committed seeds and keeps what earlier runs found.
    cp -n fuzz/corpus/"$t"/* "$corpus"/
    log "$t: ${FUZZ_SECONDS}s, log in $logfile"
    status=0
    setsid nice -n "$FUZZ_NICE" "$VENV/bin/python" "fuzz/fuzz_$t.py" "$corpus" \
        -max_total_time="$FUZZ_SECONDS" -max_len="${MAX_LEN[$t]:-4096}" \
        -timeout="$TIMEOUT_SECONDS" -rss_limit_mb="$RSS_LIMIT_MB" \
        -artifact_prefix="$artifacts/" -print_final_stats=1 \
        ${FUZZ_ARGS:-} >"$logfile" 2>&1 &
    group=$!
    wait "$group" || status=$?
    end_group
    # The run's last status line: "#<execs> DONE cov: <edges> ft: <features> corp: <n>/<size>".
    last=$(grep -E '^#[0-9]+' "$logfile" | tail -1 || true)
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$logfile" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$logfile" | tail -1)
    summary+=("$t: ${execs:-?} executions, ${rate:-?}/s; ${last:-no status line}")
    if [ $status -ne 0 ]; then
        failed+=("$t")
        log "$t FAILED (exit $status); the report from $logfile:"
        # From the first line of a sanitizer, libFuzzer or Python report.
        awk '/ERROR: |runtime error:|Uncaught Python exception/ { on = 1 } on && n++ < 40' \
            "$logfile" >&2
        ls "$artifacts" >&2
    fi
done

printf 'fuzz: %s\n' "${summary[@]}" >&2
if [ ${#failed[@]} -gt 0 ]; then
    die "failing targets: ${failed[*]}; inputs in $WORK/artifacts/<target>/;" \
        "reproduce one with fuzz/run.sh --repro <target> <file>"
fi
log "no crash, sanitizer report or model mismatch"
