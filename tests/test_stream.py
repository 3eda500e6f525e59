"""Streaming chunking against CDC.chunk, and the exact-duplicate report."""

import array
import io
import json
import mmap
import os
import random
import tracemalloc

import pytest
from dedup_core import CDC
from hypothesis import given
from hypothesis import strategies as st
from veltrane import dedup_report, iter_chunk_spans, iter_chunks

# Byte i is i mod 251: with the default chunk_size, content cuts end the third and fifth of
# its seven chunks, so the carried tail meets both kinds of chunk end.
CUTS_SAMPLE = bytes(i % 251 for i in range(10_000))


class TrickleReader(io.RawIOBase):
    """A raw stream that hands out at most ``step`` bytes per read, the way pipes do."""

    def __init__(self, data: bytes, step: int) -> None:
        self._data, self._pos, self._step = data, 0, step

    def readable(self) -> bool:
        return True

    def readinto(self, b) -> int:
        n = min(len(b), self._step, len(self._data) - self._pos)
        b[:n] = self._data[self._pos : self._pos + n]
        self._pos += n
        return n


class ReadOnly:
    """A file-like object with ``read`` only."""

    def __init__(self, data: bytes) -> None:
        self._stream = io.BytesIO(data)

    def read(self, n: int) -> bytes:
        return self._stream.read(n)


# Zeros cut at every 49th byte, random bytes rarely cut before the limit, and a repeated
# pattern repeats its cuts: pieces of each put cuts anywhere relative to the reads.
segments = st.one_of(
    st.integers(0, 300).map(bytes),
    st.binary(max_size=3000),
    st.tuples(st.binary(min_size=1, max_size=64), st.integers(1, 80)).map(lambda t: t[0] * t[1]),
)
contents = st.lists(segments, max_size=8).map(b"".join)
chunk_sizes = st.one_of(st.integers(1, 1500), st.sampled_from([1024, 2**63, 2**64 - 1]))


@given(
    data=contents,
    chunk_size=chunk_sizes,
    read_size=st.integers(1, 5000),
    step=st.integers(1, 5000),
)
def test_streamed_chunks_equal_whole_chunking(data, chunk_size, read_size, step):
    expected = CDC(chunk_size).chunk(data)
    stream = TrickleReader(data, step)
    assert list(iter_chunks(stream, chunk_size, read_size=read_size)) == expected
    spans = list(iter_chunk_spans(io.BytesIO(data), chunk_size, read_size=read_size))
    assert [data[o : o + n] for o, n in spans] == expected


@pytest.mark.parametrize("read_size", [1, 2, 47, 49, 50, 2047, 2048, 2049, 4224, 9999, 10_000])
@pytest.mark.parametrize("chunk_size", [1, 24, 25, 1024])
def test_content_cuts_survive_every_read_size(chunk_size, read_size):
    expected = CDC(chunk_size).chunk(CUTS_SAMPLE)
    got = list(iter_chunks(io.BytesIO(CUTS_SAMPLE), chunk_size, read_size=read_size))
    assert got == expected


@pytest.fixture
def sample_file(tmp_path):
    path = tmp_path / "sample.bin"
    path.write_bytes(CUTS_SAMPLE)
    return path


@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda p: str(p), id="str path"),
        pytest.param(lambda p: p, id="Path"),
        pytest.param(lambda p: open(p, "rb"), id="buffered file"),
        pytest.param(lambda p: ReadOnly(p.read_bytes()), id="read only"),
        pytest.param(lambda p: p.read_bytes(), id="bytes"),
        pytest.param(lambda p: bytearray(p.read_bytes()), id="bytearray"),
        pytest.param(lambda p: memoryview(p.read_bytes()), id="memoryview"),
        pytest.param(lambda p: array.array("H", p.read_bytes()), id="array of uint16"),
    ],
)
def test_every_kind_of_source(sample_file, make):
    source = make(sample_file)
    assert list(iter_chunks(source, read_size=100)) == CDC(1024).chunk(CUTS_SAMPLE)
    if hasattr(source, "close"):
        source.close()


def test_mmap_is_chunked_in_place(sample_file):
    with open(sample_file, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
        assert list(iter_chunks(m)) == CDC(1024).chunk(CUTS_SAMPLE)


def test_file_object_is_read_from_its_position_and_left_open(sample_file):
    with open(sample_file, "rb") as f:
        f.seek(1000)
        spans = list(iter_chunk_spans(f, read_size=300))
        assert not f.closed
    assert spans[0][0] == 0
    assert [CUTS_SAMPLE[1000 + o : 1000 + o + n] for o, n in spans] == CDC(1024).chunk(
        CUTS_SAMPLE[1000:]
    )


def test_path_is_closed_when_iteration_stops_early(sample_file):
    fds = len(os.listdir("/proc/self/fd"))
    chunks = iter_chunks(sample_file, read_size=100)
    next(chunks)
    assert len(os.listdir("/proc/self/fd")) == fds + 1
    chunks.close()
    assert len(os.listdir("/proc/self/fd")) == fds


def test_bytearray_is_resizable_again_after_iteration():
    data = bytearray(CUTS_SAMPLE)
    chunks = iter_chunks(data)
    next(chunks)
    chunks.close()
    data.extend(b"more")  # BufferError if a view were left behind


class EndlessPattern(io.RawIOBase):
    """``size`` bytes of a repeating random block, produced on demand."""

    def __init__(self, size: int) -> None:
        self._block = random.Random(5).randbytes(65_521)  # prime: reads never align with it
        self._left = size
        self._pos = 0

    def readable(self) -> bool:
        return True

    def readinto(self, b) -> int:
        n = min(len(b), self._left, len(self._block) - self._pos)
        b[:n] = self._block[self._pos : self._pos + n]
        self._pos = (self._pos + n) % len(self._block)
        self._left -= n
        return n


def test_memory_stays_near_one_read():
    read_size, chunk_size, total = 1 << 20, 4096, 48 << 20
    tracemalloc.start()
    try:
        length = sum(
            len(c) for c in iter_chunks(EndlessPattern(total), chunk_size, read_size=read_size)
        )
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert length == total
    # The buffer, the cut points of one buffer and one chunk; slack for the interpreter.
    assert peak < read_size + 2 * chunk_size + (1 << 20)


@pytest.mark.parametrize(
    "source, kwargs, error, message",
    [
        (b"x", {"chunk_size": 0}, ValueError, "chunk_size must be at least 1"),
        (b"x", {"chunk_size": 2**64}, ValueError, "chunk_size must be at most"),
        (b"x", {"read_size": 0}, ValueError, "read_size must be at least 1"),
        (b"x", {"chunk_size": 1.5}, TypeError, "chunk_size must be an int"),
        (b"x", {"chunk_size": True}, TypeError, "chunk_size must be an int"),
        (None, {}, TypeError, "source must be a path"),
        (12, {}, TypeError, "source must be a path"),
        (memoryview(bytes(8))[::2], {}, TypeError, "contiguous"),
        (io.StringIO("text"), {}, TypeError, "binary mode"),
    ],
)
def test_bad_arguments_fail_at_the_call(source, kwargs, error, message):
    with pytest.raises(error, match=message):
        iter_chunks(source, **kwargs)
    with pytest.raises(error, match=message):
        iter_chunk_spans(source, **kwargs)


def test_a_str_is_a_path_never_data(tmp_path):
    with pytest.raises(FileNotFoundError):
        list(iter_chunks(str(tmp_path / "no such file")))


def test_read_returning_text_is_refused():
    class TextRead:
        def read(self, n):
            return "text"

    with pytest.raises(TypeError, match="binary mode"):
        list(iter_chunks(TextRead()))


def write(tmp_path, name, data):
    path = tmp_path / name
    path.write_bytes(data)
    return path


# Small reads, and reads of many chunks whose digests are split among threads.
@pytest.mark.parametrize("read_size, threads", [(777, 1), (1 << 16, 3)])
def test_report_agrees_with_deduplicate(tmp_path, read_size, threads):
    rng = random.Random(3)
    first = rng.randbytes(100_000) + bytes(3000)
    second = bytearray(first)
    second[40_000:41_000] = rng.randbytes(1000)
    second = bytes(second) + first[:5000]
    paths = [write(tmp_path, "a", first), write(tmp_path, "b", second)]
    cdc = CDC(512)
    chunks = cdc.chunk(first) + cdc.chunk(second)
    unique, percent = cdc.deduplicate(chunks)

    report = dedup_report(paths, 512, read_size=read_size, threads=threads)

    total = report.total
    assert (total.bytes, total.chunks) == (len(first) + len(second), len(chunks))
    assert (total.unique_chunks, total.unique_bytes) == (len(unique), sum(map(len, unique)))
    assert total.chunk_reduction_percent == percent
    assert total.byte_reduction_percent == pytest.approx(
        100 * (1 - sum(map(len, unique)) / (len(first) + len(second)))
    )
    assert (total.min_chunk, total.max_chunk) == (min(map(len, chunks)), max(map(len, chunks)))
    assert total.mean_chunk == pytest.approx(total.bytes / total.chunks)
    a, b = report.files
    # Zeros repeat within the first file; the second holds little that the first lacks.
    assert a.unique_chunks < a.chunks == len(cdc.chunk(first))
    assert b.unique_bytes < 0.1 * b.bytes
    assert a.unique_chunks + b.unique_chunks == total.unique_chunks


def test_report_of_the_same_file_twice_and_of_an_empty_file(tmp_path):
    data = random.Random(4).randbytes(20_000)
    path, empty = write(tmp_path, "data", data), write(tmp_path, "empty", b"")
    # Named twice, a file is read once; opened twice, it is read twice.
    native = dedup_report([path, empty, path], 1024)
    assert [(s.path, s.reason) for s in native.skipped] == [(str(path), "same_file")]
    assert native.total.byte_reduction_percent == 0.0
    with open(path, "rb") as again_file:
        report = dedup_report([path, empty, again_file], 1024)
    first, nothing, again = report.files
    assert first.byte_reduction_percent == 0.0
    assert again.byte_reduction_percent == again.chunk_reduction_percent == 100.0
    assert nothing.chunks == 0 and nothing.mean_chunk is None and nothing.min_chunk is None
    assert nothing.chunk_reduction_percent == 0.0
    assert report.total.byte_reduction_percent == 50.0
    d = json.loads(json.dumps(report.to_dict()))
    assert d["chunk_size"] == 1024 and [f["path"] for f in d["files"]] == [
        str(path),
        str(empty),
        str(path),
    ]
    assert d["files"][1]["mean_chunk"] is None and d["total"]["path"] is None
    assert d["total"]["unique_bytes"] == len(data)


def test_report_refuses_a_missing_file_and_a_lone_path(tmp_path):
    with pytest.raises(FileNotFoundError):
        dedup_report([tmp_path / "missing"])
    with pytest.raises(TypeError, match="not a single path"):
        dedup_report(str(tmp_path / "a"))
