"""``veltrane fingerprint``: the SimHash fingerprint of each line, in hex."""

from __future__ import annotations

from ..sketch.simhash import fingerprints
from ._common import STDIN, ProgressBar, check_inputs, line_batches, progress_wanted, total_size


def run(args, out) -> None:
    inputs = args.inputs or [STDIN]
    check_inputs(inputs)
    with ProgressBar(progress_wanted(args), total_size(inputs), "fingerprints") as progress:
        for path in inputs:
            for _, lines in line_batches(path, progress):
                fps = fingerprints(lines, args.bits)
                out.write("".join([fp.hex() + "\n" for fp in fps]))
