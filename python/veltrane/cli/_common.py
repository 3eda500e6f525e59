"""What the commands share: their errors, the progress bar, reading inputs, writing output."""

from __future__ import annotations

import argparse
import os
import re
import stat
import sys
from collections.abc import Sequence

from .. import _args
from .._shown import shown  # noqa: F401  (the commands take it from here)
from ..progress import ProgressBar  # noqa: F401  (likewise)

PROG = "veltrane"
STDIN = "-"

#: Exit status: an input could not be read or parsed.
EXIT_INPUT = 1
#: Exit status: a bad command line (argparse's own).
EXIT_USAGE = 2
#: Exit status: interrupted (128 + SIGINT).
EXIT_INTERRUPTED = 130
#: Exit status: the output pipe was closed (128 + SIGPIPE, as if the signal had ended us like
#: other filters).
EXIT_BROKEN_PIPE = 141


class CommandError(Exception):
    """A failure reported as one line on standard error, ``veltrane COMMAND: error: ...``
    (``prog`` None: the command being run)."""

    def __init__(self, message: str, status: int = EXIT_INPUT, prog: str | None = None) -> None:
        super().__init__(message)
        self.status = status
        """The exit status ``main`` returns: ``EXIT_INPUT`` unless given."""
        self.prog = prog
        """The program name the message starts with; None for the command being run."""


class Skipped(Exception):
    """Some inputs could not be read; they were reported and the report written without them."""


def progress_wanted(args) -> bool:
    return not args.quiet and sys.stderr.isatty()


def check_inputs(paths: Sequence[str], stdin_ok: bool = True) -> None:
    """Fails on the first input that cannot be read, before any work or output.

    Inputs are not opened here: opening a named pipe to try it would consume its writer.
    """
    for path in paths:
        if path == STDIN and stdin_ok:
            continue
        try:
            st = os.stat(path)
        except OSError as e:
            raise CommandError(f"{shown(path)}: {e.strerror or e}") from None
        if stat.S_ISDIR(st.st_mode):
            raise CommandError(f"{shown(path)}: Is a directory")
        if not os.access(path, os.R_OK):
            raise CommandError(f"{shown(path)}: Permission denied")


def total_size(paths: Sequence[str]) -> int | None:
    """The bytes the inputs hold, when all are regular files; else None (unknown)."""
    total = 0
    for path in paths:
        try:
            st = os.stat(path) if path != STDIN else None
        except OSError:
            return None
        if st is None or not os.path.isfile(path):
            return None
        total += st.st_size
    return total


class OutputError(CommandError):
    """Standard output cannot be written: a full disk, a closed descriptor."""


class Output:
    """Standard output for the commands: a write that fails (short of a closed pipe, which
    stops the command quietly) becomes one line on standard error, never a traceback."""

    def __init__(self, stream, closed: bool = False) -> None:
        self._stream = stream
        self._closed = closed

    def _failed(self, e: OSError | None) -> OutputError:
        reason = "Bad file descriptor" if e is None else e.strerror or str(e)
        return OutputError(f"standard output: {reason}")

    def write(self, text: str) -> int:
        if self._closed:
            raise self._failed(None)
        try:
            return self._stream.write(text)
        except BrokenPipeError:
            raise
        except OSError as e:
            raise self._failed(e) from None

    def flush(self) -> None:
        if self._closed:
            return
        try:
            self._stream.flush()
        except BrokenPipeError:
            raise
        except OSError as e:
            raise self._failed(e) from None


# -- argparse types: the library's checks, in its words --------------------------------------

# SimHash stores bits as a signed 32-bit integer; the largest multiple of 8 it can hold.
MAX_BITS = (1 << 31) - 8


def threads_option(parser, what: str) -> None:
    parser.add_argument(
        "--threads",
        metavar="N",
        type=int_at_least(1),
        help=f"threads for {what} (default: every core this process may use)",
    )


def int_at_least(low: int, high: int | None = None, what: str = "a whole number"):
    """An argparse type: a whole number from ``low`` to ``high``, in the library's words."""

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected {what}, got {text!r}") from None
        complaint = _args.out_of_range(value, low, high)
        if complaint is not None:
            raise argparse.ArgumentTypeError(complaint)
        return value

    return parse


def similarity(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if not 0.0 < value <= 1.0:
        raise argparse.ArgumentTypeError(f"must be in (0, 1], got {text}")
    return value


_SIZE = re.compile(r"(\d+(?:\.\d*)?)\s*([kmgt]?)(?:i?b)?", re.IGNORECASE)


def size(text: str) -> int:
    """A number of bytes, with K, M, G or T for powers of 1024: 2G, 512M, 1.5G."""
    found = _SIZE.fullmatch(text.strip())
    if found is None:
        raise argparse.ArgumentTypeError(f"expected a size such as 2G or 512M, got {text!r}")
    number, unit = found.groups()
    return int(float(number) * 1024 ** " kmgt".index(unit.lower() or " "))


def bits(text: str) -> int:
    bits = int_at_least(8, MAX_BITS)(text)
    if bits % 8:
        raise argparse.ArgumentTypeError(f"must be a multiple of 8, got {bits}")
    return bits
