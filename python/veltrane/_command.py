"""Set-up for the ``veltrane`` command's own process, before numpy is imported.

veltrane calls no BLAS routine, but the OpenBLAS in numpy's wheels starts a thread per core
when numpy is imported, and that thread spins for a while: on a small machine it takes a core
from the command (measured: importing the command 0.05 s slower, and a few per cent of a run
lost to the spinning). Run as the command (``python -m veltrane``, or the ``veltrane``
script), one BLAS thread is asked for unless the user chose a number. Imported as a library,
the process is left as it is.
"""

import os
import sys


def _is_the_command() -> bool:
    if sys.argv[:1] == ["-m"]:
        # Some package's __main__ is being found: the command only when it is veltrane's.
        args = sys.orig_argv
        at = args.index("-m") + 1 if "-m" in args else len(args)
        return at < len(args) and args[at].partition(".")[0] == "veltrane"
    return bool(sys.argv) and os.path.basename(sys.argv[0]) == "veltrane"


if _is_the_command():
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
