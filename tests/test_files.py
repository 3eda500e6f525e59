"""The native many-file pipeline: BLAKE3, the digest set, and the report against the Python
reference path on random trees."""

import io
import os
import random
import resource
import stat
import tempfile

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from model_blake3 import blake3 as model_blake3
from veltrane import GearCDC, _native, dedup_report
from veltrane.files.chunker import as_chunker
from veltrane.files.report import SAME_FILE, SPECIAL
from veltrane.files.tree import _reference_report, blake3


@pytest.mark.parametrize(
    "data, digest",
    [
        (b"", "af1349b9f5f9a1a6a0404dea36dcc9499bcb25c9adc112b7cc9a93cae41f3262"),
        (b"abc", "6437b3ac38465133ffb63b75273a8db548c558465d79db03fd359c6cd5bd9d85"),
    ],
)
def test_blake3_golden(data, digest):
    assert blake3(data).hex() == digest


# Past one block, one chunk, and the 2, 4, 8 and 16 chunks the SIMD paths hash at once.
@pytest.mark.parametrize("size", [1, 64, 65, 1024, 1025, 2048, 4097, 8192, 16 * 1024 + 1, 40_000])
def test_blake3_against_model(size):
    data = random.Random(size).randbytes(size)
    assert blake3(data) == model_blake3(data)


# The batched path against the reference hasher: messages of every shape in one call (one
# block or chunk and either side of it, whole-chunk multiples, past the batched sizes), in an
# order that mixes their chunk counts and last-block positions.
@pytest.mark.parametrize("seed", range(4))
def test_blake3_many_equals_blake3(seed):
    rng = random.Random(seed)
    edges = [0, 1, 63, 64, 65, 1023, 1024, 1025, 256 * 1024, 256 * 1024 + 1]
    edges += [1024 * k + d for k in range(2, 70, 3) for d in (-1, 0, 1)]
    lengths = edges + [rng.randrange(200 * 1024) for _ in range(150)]
    lengths += [rng.randrange(4096) for _ in range(150)]
    rng.shuffle(lengths)
    data = rng.randbytes(sum(lengths))
    joined = _native.blake3_many(data, lengths)
    at = 0
    for i, n in enumerate(lengths):
        assert joined[32 * i : 32 * i + 32] == blake3(data[at : at + n]), n
        at += n


# Digests sharing their first 8 bytes (the probe position) and their ninth (the tag) force
# the full comparison; many of them force the table to grow.
@given(
    st.lists(st.tuples(st.integers(0, 3), st.integers(0, 2), st.binary(min_size=23, max_size=23)))
)
def test_digest_set_is_a_set(keys):
    digests = [bytes([p]) * 8 + bytes([t]) + rest for p, t, rest in keys]
    digests += [d[:9] + bytes([i % 256]) * 23 for i, d in enumerate(digests * 40)]
    found, model = _native.DigestSet(), set()
    for d in digests:
        assert found.add(d) == (d not in model)
        model.add(d)
    assert len(found) == len(model) and all(d in found for d in model)
    assert found.digests() == b"".join(dict.fromkeys(digests))
    assert bytes([9]) * 32 not in found  # no generated digest starts with 9


def _reference(paths, chunker, threads=1):
    """The report read and digested in Python, one file after another."""
    return _reference_report(paths, as_chunker(chunker), 1 << 20, None, None, threads)


contents = st.sampled_from([b"", b"x" * 5000]) | st.binary(max_size=6000)
trees = st.lists(
    st.tuples(
        st.sampled_from(["a", "b", "a/c", "a/c/d", "\u00e9"]),  # directory
        st.integers(0, 5),  # 0-1: a hardlink or a copy of an earlier file; else new content
        contents,
    ),
    max_size=12,
)


@settings(max_examples=60)
@given(
    tree=trees,
    chunker=st.sampled_from([GearCDC(256, min_size=64, max_size=1024), 64, 1000]),
    threads=st.sampled_from([1, 3]),
    read_size=st.sampled_from([100, 4096, 1 << 20]),
    twice=st.booleans(),
)
def test_native_report_equals_reference(tree, chunker, threads, read_size, twice):
    with tempfile.TemporaryDirectory() as top:
        made: list[str] = []
        for i, (folder, kind, data) in enumerate(tree):
            os.makedirs(os.path.join(top, folder), exist_ok=True)
            path = os.path.join(top, folder, f"f{i}")
            if kind == 0 and made:
                os.link(made[i % len(made)], path)
            elif kind == 1 and made:
                with open(made[i % len(made)], "rb") as src, open(path, "wb") as out:
                    out.write(src.read())
            else:
                with open(path, "wb") as out:
                    out.write(data)
            made.append(path)
        again = os.path.join(top, "a")
        paths = [top, again] if twice and os.path.isdir(again) else [top]
        native = dedup_report(paths, chunker=chunker, threads=threads, read_size=read_size)
        reference = _reference(paths, chunker)
        assert (native.digest, reference.digest) == ("blake3", "blake2b")
        native.digest = reference.digest
        assert native == reference
        inodes = [os.stat(f.path).st_ino for f in native.files]
        assert len(set(inodes)) == len(inodes)  # each file counted once, under its first name
        by_content: dict[bytes, list[str]] = {}
        for f in reference.files:
            with open(f.path, "rb") as src:
                data = src.read()
            if data:
                by_content.setdefault(data, []).append(f.path)
        assert native.duplicate_files == [g for g in by_content.values() if len(g) > 1]


def test_special_and_missing_paths_are_reported_never_opened(tmp_path):
    (tmp_path / "d").mkdir()
    (tmp_path / "d" / "file").write_bytes(b"data" * 100)
    os.mkfifo(tmp_path / "d" / "fifo")  # opening it for reading would wait for a writer
    os.mkfifo(tmp_path / "named")
    missing = str(tmp_path / "missing")
    errors = []
    report = dedup_report(
        [str(tmp_path / "d"), str(tmp_path / "named"), missing, str(tmp_path / "d" / "file")],
        on_error=lambda path, e: errors.append((path, e.errno)),
    )
    assert [f.path for f in report.files] == [str(tmp_path / "d" / "file")]
    assert [(s.path, s.reason) for s in report.skipped] == [
        (str(tmp_path / "d" / "fifo"), SPECIAL),
        (str(tmp_path / "named"), SPECIAL),
        (str(tmp_path / "d" / "file"), SAME_FILE),
    ]
    assert errors == [(missing, 2)]
    with pytest.raises(FileNotFoundError):
        dedup_report([missing])
    with open(tmp_path / "d" / "file") as text, pytest.raises(TypeError, match="binary mode"):
        dedup_report([text])
    assert stat.S_ISFIFO(os.stat(tmp_path / "named").st_mode)


# The pieces of a long file are read, and cut on their own, by whichever worker is idle, joined
# in order, and digested by several workers at once: random data with repeats across pieces
# and across the two names, and runs of one byte, cut only at max_size (1000, no divisor of a
# piece), whose true cuts never meet a piece's own. One file alone leaves a second worker
# nothing else to do.
@pytest.mark.parametrize("threads", [1, 2, 4])
@pytest.mark.parametrize("chunker", [GearCDC(256, min_size=64, max_size=1000), 100])
@pytest.mark.parametrize("content", ["random", "runs"])
@pytest.mark.parametrize("alone", [False, True])
def test_long_file_read_in_pieces_equals_reference(tmp_path, threads, chunker, content, alone):
    rng = random.Random(threads)
    if content == "random":
        block = rng.randbytes(300_000)
        data = block + rng.randbytes(500_000) + block + block[:123_457]
    else:
        data = bytes(300_001) + rng.randbytes(3000) + b"\xff" * 250_000 + bytes(99_999)
    path = tmp_path / "long"
    path.write_bytes(data)
    copy = tmp_path / "copy"
    copy.write_bytes(data[1:])
    paths = [path] if alone else [path, copy]
    native = dedup_report(paths, chunker=chunker, threads=threads, read_size=65_536)
    reference = _reference(paths, chunker, threads)
    assert [f.to_dict() for f in native.files] == [f.to_dict() for f in reference.files]


# Short files are read whole into a worker's batch and digested together, longer ones (from
# 256 KiB) streamed between them, and a batch is settled when the next file no longer fits in
# its 4 MiB: sizes on both sides of each bound, copies within and across batches, a hardlink.
@pytest.mark.parametrize("threads", [1, 2, 3])
def test_batched_short_files_equal_reference(tmp_path, threads):
    rng = random.Random(threads)
    sizes = [rng.choice([0, 1, 1023, 1024, 1025]) for _ in range(40)]
    sizes += [rng.randrange(40_000) for _ in range(200)]
    sizes += [256 * 1024 - 1, 256 * 1024, 256 * 1024 + 1, 4 << 20]
    sizes += [rng.randrange(200_000, 262_000) for _ in range(30)]
    rng.shuffle(sizes)
    made = []
    for i, size in enumerate(sizes):
        path = tmp_path / f"d{i % 7}" / f"f{i:03}"
        path.parent.mkdir(exist_ok=True)
        if made and i % 9 == 0:
            path.write_bytes(made[rng.randrange(len(made))].read_bytes())
        else:
            path.write_bytes(rng.randbytes(size))
        made.append(path)
    os.link(made[5], tmp_path / "link")
    chunker = GearCDC(2048, min_size=512, max_size=16_384)
    native = dedup_report([tmp_path], chunker=chunker, threads=threads)
    reference = _reference([tmp_path], chunker)
    native.digest = reference.digest
    assert native == reference
    assert native.duplicate_files == reference.duplicate_files != []


# The walk holds open the directory of every file taken ahead, and must never hold so many
# that a file cannot be opened.
def test_few_descriptors_leave_no_file_unopened(tmp_path):
    for i in range(300):
        (tmp_path / f"d{i:03}").mkdir()
        (tmp_path / f"d{i:03}" / "f").write_bytes(b"%d" % i)
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (len(os.listdir("/proc/self/fd")) + 64, hard))
    try:
        report = dedup_report([tmp_path], chunker=64, threads=2)
    finally:
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    assert len(report.files) == 300


def test_digest_set_memory_is_as_stated():
    # At most 45.4 bytes per distinct chunk (32 of digest, 5 per table slot at 3/8 full or
    # more), plus the unused part of the last block of 2^14 digests.
    found = _native.DigestSet()
    rng = random.Random(11)
    for n in (1_000, 50_000, 200_000):
        while len(found) < n:
            found.add(rng.randbytes(32))
        assert found.memory_bytes <= 45.4 * n + 32 * (1 << 14) + 5 * 1024


def test_walk_order_names_and_links(tmp_path):
    """Entries by their bytes, not their text; links inside a directory not followed; a named
    link followed."""
    names = [b"B", b"a", b"\xff", b"\xc3\xa9", b"a b", b"a.b"]
    for name in names:
        (tmp_path / os.fsdecode(name)).write_bytes(name * 100)
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "x").write_bytes(b"x" * 100)
    os.symlink(tmp_path / "a", tmp_path / "link")
    os.symlink(tmp_path / "sub", tmp_path / "dirlink")
    report = dedup_report([tmp_path, tmp_path / "link"], chunker=64)
    walked = [os.fsencode(f.path)[len(os.fsencode(tmp_path)) + 1 :] for f in report.files]
    assert walked == [b"B", b"a", b"a b", b"a.b", b"sub/x", b"\xc3\xa9", b"\xff"]
    assert [(s.path, s.reason) for s in report.skipped] == [(str(tmp_path / "link"), SAME_FILE)]


# A directory listed in several reads (names of 200 bytes fill the listing buffer at about
# 150), walked from scratch and from an index's file cache: every file once, in byte order.
@pytest.mark.parametrize("cached", [False, True])
def test_a_long_directory_is_listed_whole(tmp_path, cached):
    names = sorted(f"{i:04d}".encode() + b"x" * 196 for i in range(600))
    random.Random(0).shuffle(names)
    (tmp_path / "d").mkdir()
    for name in names:
        (tmp_path / "d" / os.fsdecode(name)).write_bytes(name[:4])
    index = tmp_path / "index"
    runs = [dedup_report([tmp_path / "d"], chunker=64, index=index) for _ in range(1 + cached)]
    walked = [os.fsencode(os.path.basename(f.path)) for f in runs[-1].files]
    assert walked == sorted(names)
    assert runs[-1].index["files_from_cache"] == (600 if cached else 0)


def test_progress_counts_every_byte_and_its_exception_stops_the_run(tmp_path):
    for i in range(50):
        (tmp_path / f"f{i}").write_bytes(random.Random(i).randbytes(30_000))
    seen = []
    report = dedup_report([tmp_path], progress=lambda *a: seen.append(a), threads=2)
    assert seen[0] == ("chunking", 0, None) and seen[-1] == ("chunking", report.total.bytes, None)

    class Stop(Exception):
        pass

    def stop(step, done, total):
        if done:
            raise Stop

    big = tmp_path / "big"
    big.write_bytes(bytes(64 << 20))
    with pytest.raises(Stop):
        dedup_report([big, tmp_path], progress=stop, threads=2)


def test_bytes_are_data_as_for_iter_chunks_never_a_path(tmp_path):
    data = random.Random(1).randbytes(50_000)
    (tmp_path / "f").write_bytes(data)
    from_data = dedup_report([data, memoryview(data)[1:]], chunker=1000)
    from_files = dedup_report([tmp_path / "f", io.BytesIO(data[1:])], chunker=1000)
    assert [f.path for f in from_data.files] == ["<data>", "<data>"]
    assert [f.to_dict() | {"path": 0} for f in from_data.files] == [
        f.to_dict() | {"path": 0} for f in from_files.files
    ]
    with pytest.raises(TypeError, match="not a single path or data"):
        dedup_report(data)
