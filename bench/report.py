"""Plain-text tables shared by the benchmark scripts."""

import platform
import sys
from pathlib import Path


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
