"""``veltrane fingerprint``: the SimHash fingerprint of each line, in hex."""

from __future__ import annotations

import contextlib
import sys

from ..sketch.simhash import line_fingerprints
from ._common import (
    STDIN,
    CommandError,
    ProgressBar,
    check_inputs,
    progress_wanted,
    shown,
    total_size,
)


def run(args, out) -> None:
    inputs = args.inputs or [STDIN]
    check_inputs(inputs)
    with ProgressBar(progress_wanted(args), total_size(inputs), "fingerprints") as progress:
        for path in inputs:
            try:
                with contextlib.ExitStack() as opened:
                    stream = (
                        sys.stdin.buffer
                        if path == STDIN
                        else opened.enter_context(open(path, "rb"))
                    )
                    for fps in line_fingerprints(stream, args.bits, progress.update):
                        out.write("".join([fp.hex() + "\n" for fp in fps]))
            except BrokenPipeError:
                raise
            except OSError as e:
                raise CommandError(f"{shown(path)}: {e.strerror or e}") from None
