"""Plain-text tables shared by the benchmark scripts."""

import os
import platform
import subprocess
import sys
from pathlib import Path

# The environment variable that pins veltrane's kernels to one instruction set.
ISA_VARIABLE = "VELTRANE_ISA"


def cpu_model():
    """The processor's model name, for the header of a report."""
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def print_table(title, headers, rows, left_columns=1, notes=()):
    """Plain-text table: the first `left_columns` columns left-aligned, the others right."""
    widths = [len(h) for h in headers]
    for row in rows:
        widths = [max(w, len(cell)) for w, cell in zip(widths, row)]

    def line(cells):
        return "  ".join(
            cell.ljust(w) if i < left_columns else cell.rjust(w)
            for i, (cell, w) in enumerate(zip(cells, widths))
        ).rstrip()

    print()
    print(title)
    print(line(headers))
    print("  ".join("-" * w for w in widths))
    for row in rows:
        print(line(row))
    for note in notes:
        print(f"  {note}")
    sys.stdout.flush()


def kernels():
    """The instruction set of the kernels veltrane runs here, and whether it was pinned."""
    from veltrane import _native

    pinned = os.environ.get(ISA_VARIABLE)
    isa = _native.isa()
    return f"{isa} (pinned by {ISA_VARIABLE})" if pinned else f"{isa} (the widest here)"


def per_isa(main):
    """Runs ``main()`` with the kernels this processor prefers; where those are wider than
    AVX2 and VELTRANE_ISA pins nothing, runs the same script again in a child process with
    VELTRANE_ISA=avx2, so that every figure is reported for both kinds of machine and a change
    that helps one and hurts the other shows. Returns the worse exit status."""
    from veltrane import _native

    if any(arg.startswith("--") and arg.endswith("worker") for arg in sys.argv):
        return main() or 0  # a measurement's own process, started by the run above it
    print(f"{cpu_model()}; veltrane kernels {kernels()}")
    sys.stdout.flush()
    status = main() or 0
    if os.environ.get(ISA_VARIABLE) or _native.isa() == "avx2" or "avx2" not in _native.isas():
        return status
    print(f"\n==== the same with {ISA_VARIABLE}=avx2, as on a processor without AVX-512 ====")
    sys.stdout.flush()
    env = dict(os.environ, **{ISA_VARIABLE: "avx2"})
    child = subprocess.run([sys.executable, *sys.argv], env=env, check=False)
    return max(status, child.returncode)
