"""What the commands share: their errors, the progress bar, reading inputs, writing output."""

from __future__ import annotations

import os
import stat
import sys
from collections.abc import Iterator, Sequence
from itertools import islice
from typing import BinaryIO

from ..defaults import WRITE_BATCH  # noqa: F401  (the command's modules take it from here)
from ..progress import ProgressBar

PROG = "veltrane"
STDIN = "-"

# Lines handed to the native fingerprinting per call: enough to keep both cores busy and the
# per-call overhead negligible, few enough that a batch of long lines stays small in memory.
BATCH_LINES = 1 << 16
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


# C0 and C1 control characters and DEL as escapes: a name must not move the cursor or start
# a terminal escape sequence where it is shown.
_CONTROLS = {c: f"\\x{c:02x}" for c in [*range(0x20), *range(0x7F, 0xA0)]}


def shown(path: str) -> str:
    """A path as the file system spells it: bytes that are not UTF-8 and control characters
    appear as escapes."""
    return os.fsencode(path).decode("utf-8", "backslashreplace").translate(_CONTROLS)


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


def open_input(path: str) -> BinaryIO:
    if path == STDIN:
        return sys.stdin.buffer
    try:
        return open(path, "rb")
    except OSError as e:
        raise CommandError(f"{shown(path)}: {e.strerror or e}") from None


def line_batches(path: str, progress: ProgressBar) -> Iterator[tuple[int, list[bytes]]]:
    """(number of the first line, lines without their endings), a batch at a time."""
    stream = open_input(path)
    try:
        first = 1
        while True:
            try:
                lines = list(islice(stream, BATCH_LINES))
            except OSError as e:
                raise CommandError(f"{shown(path)}: {e.strerror or e}") from None
            if not lines:
                return
            data = b"".join(lines)
            progress.update(len(data))
            if b"\r" in data:
                texts = [
                    line[:-2]
                    if line.endswith(b"\r\n")
                    else line[:-1]
                    if line.endswith(b"\n")
                    else line
                    for line in lines
                ]
            else:
                # Without \r only \n ends lines, and one split in C cuts them all; every line
                # but the file's last ends with it, which leaves an empty piece to drop.
                texts = data.split(b"\n")
                if data.endswith(b"\n"):
                    texts.pop()
            yield first, texts
            first += len(lines)
    finally:
        if stream is not sys.stdin.buffer:
            stream.close()


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
