#!/usr/bin/env bash
# Installs a built wheel into a fresh virtual environment that has no build tools, imports it
# from outside the source tree, runs a smoke test, and checks that the extension finds the
# OpenMP runtime that travels inside the wheel rather than one of the system's.
# Given an sdist instead, pip builds it (fetching the build requirements) and the module uses
# the system's OpenMP runtime.
set -euo pipefail
python=$1
wheel=$2
env=$(mktemp -d)
trap 'rm -rf "$env"' EXIT
"$python" -m venv "$env"
case "$wheel" in
    # Dependencies come as binary wheels too: the venv must need no compiler.
    *.whl) "$env/bin/python" -m pip --disable-pip-version-check install --quiet --only-binary=:all: "$wheel" ;;
    *) "$env/bin/python" -m pip --disable-pip-version-check install --quiet "$wheel" ;;
esac
cd "$env"
"$env/bin/python" - <<'PY'
import dedup_core, veltrane
from dedup_core import CDC, SimHash
assert SimHash().compute("abc").hex() == "39ba3dedf82bd832"
cdc = CDC()
data = bytes(i % 251 for i in range(10000))
assert [len(c) for c in cdc.chunk(data)] == [2048, 2048, 128, 2048, 85, 2048, 1595]
assert cdc.deduplicate(cdc.chunk(data) * 2)[1] == 50.0
assert veltrane.SimHash is SimHash
fps = veltrane.fingerprints64(["a b c", "A b c", "x y z"])
assert veltrane.near_duplicate_pairs(fps, 3).tolist() == [(0, 1, 0)]
print("smoke test passed:", dedup_core.__file__)
PY
for module in dedup_core veltrane._native; do
    so=$("$env/bin/python" -c "import importlib; print(importlib.import_module('$module').__file__)")
    gomp=$(ldd "$so" | awk '/libgomp/ {print $3}')
    gomp=${gomp:+$(realpath "$gomp")}
    case "$wheel:$gomp" in
        *.tar.gz:/*) echo "$module built from the sdist; libgomp from the system: $gomp" ;;
        *.whl:*/site-packages/veltrane.libs/libgomp*) echo "$module: libgomp from the wheel: $gomp" ;;
        *) echo "error: $module: libgomp resolves to '${gomp:-nothing}', not veltrane.libs" >&2; exit 1 ;;
    esac
done
