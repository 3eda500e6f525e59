"""A full disk under a lasting index, as a user meets it: the run fails naming the disk as
full (once, with the index's path), says the index is unchanged, and the index is."""

import contextlib
import errno
import os
import random
import subprocess
import sys

import pytest
from veltrane import ExactIndex, GearCDC, JaccardIndex
from veltrane.files.chunk_index import ChunkIndex

pytestmark = pytest.mark.skipif(
    not hasattr(os, "geteuid") or os.geteuid() != 0, reason="mounting a tmpfs needs root"
)


def veltrane(*args):
    return subprocess.run(
        [sys.executable, "-m", "veltrane", *map(str, args)], capture_output=True, timeout=300
    )


@contextlib.contextmanager
def small_disk(path, size="2M"):
    path.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", str(path)])
    if mounted.returncode:
        pytest.skip("tmpfs cannot be mounted here")
    try:
        yield path
    finally:
        subprocess.run(["umount", "-l", str(path)], check=True)


def fill(disk, leave: int) -> None:
    """Fills the disk but for about ``leave`` bytes."""
    # Unbuffered: a buffer would hold what did not fit and fail again at the truncation.
    with open(disk / "filler", "wb", buffering=0) as f:
        try:
            while True:
                f.write(b"\0" * 65536)
        except OSError as e:
            assert e.errno == errno.ENOSPC
        f.truncate(max(0, f.tell() - leave))


def words(rng, n):
    return " ".join(
        rng.choice("abcdefghijklmnopqrstuvwxyz") * rng.randint(1, 8) + str(rng.randrange(10**6))
        for _ in range(n)
    )


def near_dups_setup(tmp_path, rng):
    first = tmp_path / "first.txt"
    first.write_text("".join(words(rng, 30) + "\n" for _ in range(50)))
    big = tmp_path / "big.txt"
    big.write_text("".join(words(rng, 40) + "\n" for _ in range(20000)))
    return first, big


def dedup_setup(tmp_path, rng):
    first, big = tmp_path / "first", tmp_path / "big"
    first.mkdir()
    big.mkdir()
    (first / "a").write_bytes(rng.randbytes(20000))
    for k in range(8):
        (big / f"f{k}").write_bytes(rng.randbytes(1 << 20))
    return first, big


def state(command, index):
    """What the index holds, as its command reads it."""
    if command in ("near-dups", "exact"):
        with (JaccardIndex if command == "near-dups" else ExactIndex)(index) as opened:
            return len(opened)
    opened = ChunkIndex(index, GearCDC(64).description(), "blake3")
    try:
        return opened.load().distinct
    finally:
        opened.close()


@pytest.mark.parametrize("command", ["near-dups", "exact", "dedup"])
def test_a_full_disk_is_named_and_leaves_the_index_unchanged(tmp_path, command):
    rng = random.Random(7)
    first, big = (dedup_setup if command == "dedup" else near_dups_setup)(tmp_path, rng)
    with small_disk(tmp_path / "disk") as disk:
        index = disk / "index"
        extra = (
            ["--avg-size", 64] if command == "dedup" else ["-o", tmp_path / "out.txt", "--force"]
        )
        if command == "exact":
            command, extra = "near-dups", [*extra, "--method", "exact"]
            kind = "exact"
        else:
            kind = command
        ok = veltrane(command, "--index", index, *extra, first)
        assert ok.returncode == 0, ok.stderr
        before = state(kind, index)
        fill(disk, 48 << 10)
        failed = veltrane(command, "--index", index, *extra, big)
        err = failed.stderr.decode()
        assert failed.returncode != 0
        assert err.count("No space left on device") == 1, err
        assert str(index) in err and "unchanged" in err, err
        assert "damaged" not in err and "Traceback" not in err, err
        (disk / "filler").unlink()
        assert state(kind, index) == before


@pytest.mark.parametrize(
    "command", [["near-dups", "--method", "exact"], ["repeats", "--unit", "line"]]
)
def test_an_output_written_as_read_onto_a_full_disk(tmp_path, command):
    # Both copy their kept lines to the output while they read: a full disk fails the run
    # once, by name, and leaves the previous output as it was and no other file.
    _, big = near_dups_setup(tmp_path, random.Random(8))
    with small_disk(tmp_path / "disk", size="4M") as disk:
        out = disk / "out.txt"
        out.write_bytes(b"old")
        fill(disk, 48 << 10)
        failed = veltrane(*command, big, "-o", out, "--force")
        err = failed.stderr.decode()
        assert failed.returncode != 0
        assert err.count("No space left on device") == 1 and str(out) in err, err
        assert "Traceback" not in err, err
        assert sorted(p.name for p in disk.iterdir()) == ["filler", "out.txt"]
        assert out.read_bytes() == b"old"


@pytest.mark.parametrize("memory", [[], ["--memory", "64M"]])
def test_temporary_files_on_a_full_disk(tmp_path, memory):
    # The word hashes of spans and the passes' cuts go to --tmp-dir: a full disk there fails
    # the run once, naming that directory and not the output, and leaves the output alone.
    _, big = near_dups_setup(tmp_path, random.Random(9))
    out = tmp_path / "out.txt"
    out.write_bytes(b"old")
    with small_disk(tmp_path / "disk", size="4M") as disk:
        fill(disk, 16 << 10)
        args = ["repeats", "--unit", "span", "--min-words", "5", *memory]
        failed = veltrane(*args, big, "-o", out, "--force", "--tmp-dir", disk)
        err = failed.stderr.decode()
        assert failed.returncode != 0
        assert err.count("No space left on device") == 1 and f"{disk}: temporary" in err, err
        assert "Traceback" not in err, err
        assert sorted(p.name for p in disk.iterdir()) == ["filler"]
    assert out.read_bytes() == b"old"
