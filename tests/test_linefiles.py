"""Lines read back by their spans (the native gather_lines): against slicing the file, on one
thread and on several, with the endings a file's last line may lack."""

from __future__ import annotations

import errno

import numpy as np
import pytest
from veltrane import _native


def model(data: bytes, spans: list[tuple[int, int]]) -> bytes | None:
    out = b""
    for offset, length in spans:
        line = data[offset : offset + length]
        if len(line) < length:
            return None
        out += line if line.endswith(b"\n") else line + b"\n"
    return out


@pytest.mark.parametrize("threads", [1, 3])
@pytest.mark.parametrize(
    "spans",
    [
        [],
        [(0, 0)],  # an empty line still gets its ending
        [(0, 4), (4, 6)],
        [(10, 5), (0, 4), (10, 5)],  # any order, repeats
        [(14, 3)],  # the last line, without "\n"
        [(14, 4)],  # past the end: the file changed
    ],
)
def test_gather_lines_is_the_spans_sliced_and_ended(tmp_path, spans, threads):
    data = b"one\ntwo a\nthree\nab"
    (tmp_path / "f").write_bytes(data)
    array = np.array(spans, dtype=np.int64).reshape(-1, 2)
    assert _native.gather_lines(str(tmp_path / "f"), array, threads) == model(data, spans)


def test_gather_lines_many_spans_on_threads(tmp_path):
    rng = np.random.default_rng(5)
    lines = [b"x" * int(n) + b"\n" for n in rng.integers(0, 40, 5000)]
    data = b"".join(lines)
    (tmp_path / "f").write_bytes(data)
    starts = np.cumsum([0] + [len(x) for x in lines[:-1]])
    pick = rng.integers(0, len(lines), 3000)
    spans = [(int(starts[k]), len(lines[k])) for k in pick]
    got = _native.gather_lines(str(tmp_path / "f"), np.array(spans, dtype=np.int64), 4)
    assert got == model(data, spans)


def test_gather_lines_faults(tmp_path):
    with pytest.raises(ValueError, match="non-negative"):
        _native.gather_lines(str(tmp_path), np.array([[-1, 2]], dtype=np.int64))
    missing = str(tmp_path / "gone")
    with pytest.raises(OSError) as e:
        _native.gather_lines(missing, np.array([[0, 1]], dtype=np.int64))
    assert e.value.errno == errno.ENOENT and e.value.filename == missing
