"""The store: exact restores, crafted snapshots refused, damage found and named, prune
keeping what snapshots need, and bad stores refused with one line."""

import os
import random
import re
import shutil
import sqlite3

import pytest
import veltrane
from store_trees import make_tree, tree
from veltrane import _native
from veltrane.store import Store, StoreError
from veltrane.store import add as add_module
from veltrane.store import restore as restore_module
from veltrane.store.snapshot import DIR, FILE, HARDLINK, LINK, Node, Snapshot
from veltrane.store.snapshot import write as write_snapshot


def _read(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def _restored(dest: str, src: str) -> str:
    return os.path.join(dest, os.path.abspath(src).lstrip("/"))


@pytest.mark.parametrize(("seed", "avg", "pack_size"), [(1, 1 << 16, 32 << 20), (2, 256, 4096)])
def test_random_tree_restores_exactly(tmp_path, seed, avg, pack_size):
    src, repo, dest = str(tmp_path / "src"), str(tmp_path / "repo"), str(tmp_path / "out")
    make_tree(src, random.Random(seed), files=60)
    store = Store.init(repo, avg_size=avg, pack_size=pack_size)
    first = store.add([src], name="one")
    assert first["errors"] == [] and first["files_unchanged"] == 0
    again = store.add([src])
    # Nothing changed: nothing read, nothing stored.
    assert again["bytes_read"] == 0 and again["new_bytes"] == 0
    assert again["files_unchanged"] == again["files"]
    r = store.restore("one", dest)
    assert r["errors"] == []
    assert tree(_restored(dest, src)) == tree(src)
    assert store.verify(read_data=True)["problems"] == []


@pytest.mark.parametrize("change", ["none", "dir_mode", "dir_mtime", "new_link"])
def test_an_add_reading_no_file_still_records_every_other_change(tmp_path, change):
    # With no file read, the last snapshot's entries (and its compressed body) are taken as
    # they are only if every entry matches; a directory or link change must still land.
    src, repo = tmp_path / "src", str(tmp_path / "repo")
    make_tree(str(src), random.Random(5), files=30)
    (src / "d").mkdir()
    store = Store.init(repo)
    store.add([src])
    if change == "dir_mode":
        os.chmod(src / "d", 0o711)
    elif change == "dir_mtime":
        os.utime(src / "d", ns=(1, 123_456_789))
    elif change == "new_link":
        os.symlink("nowhere", src / "d" / "link")
    again = store.add([src])
    assert again["bytes_read"] == 0 and again["files_unchanged"] == again["files"]
    store.restore("latest", tmp_path / "out")
    assert tree(_restored(str(tmp_path / "out"), str(src))) == tree(str(src))
    assert store.verify(read_data=True)["problems"] == []


@pytest.mark.parametrize("threads", [1, 3])
def test_large_file_read_in_pieces_cuts_as_a_whole(tmp_path, monkeypatch, threads):
    # A file read piece by piece must be cut exactly as if read whole, and every chunk stored
    # whether its reader packed it or handed it to another worker.
    monkeypatch.setattr(add_module, "READ_BYTES", 10_000)
    monkeypatch.setattr(restore_module, "WRITE_BYTES", 10_000)
    monkeypatch.setattr(restore_module, "SPAN_BYTES", 10_000)
    data = random.Random(3).randbytes(400_000)
    (tmp_path / "f").write_bytes(data)
    store = Store.init(tmp_path / "repo", avg_size=1024)
    store.add([tmp_path / "f"], threads=threads)
    store.restore("latest", tmp_path / "out", threads=threads)
    assert _read(_restored(str(tmp_path / "out"), str(tmp_path)) + "/f") == data
    (node,) = [n for n in store.ls("latest") if n.kind == FILE]
    ends = veltrane.GearCDC(1024).cut_points(data)
    starts = [0, *ends[:-1].tolist()]
    assert node.chunks == [_native.blake3(data[s:e]) for s, e in zip(starts, ends.tolist())]


def test_restore_refuses_to_replace_without_force(tmp_path):
    (tmp_path / "src").mkdir()
    (tmp_path / "src" / "a").write_bytes(b"new")
    store = Store.init(tmp_path / "repo")
    store.add([tmp_path / "src"])
    target = _restored(str(tmp_path / "out"), str(tmp_path / "src"))
    os.makedirs(target)
    with open(os.path.join(target, "a"), "wb") as f:
        f.write(b"old")

    r = store.restore("latest", tmp_path / "out")
    assert [p for p, _ in r["errors"]][-1].endswith("/a")
    assert _read(os.path.join(target, "a")) == b"old"
    assert store.restore("latest", tmp_path / "out", force=True)["errors"] == []
    assert _read(os.path.join(target, "a")) == b"new"
    assert not [n for n in os.listdir(target) if n.startswith(".tmp-")]


@pytest.mark.parametrize("mtime_ns", [-1_500_000_001, 0, 1_700_000_000_123_456_789])
def test_restored_times_and_modes_exact_before_and_after_1970(tmp_path, mtime_ns):
    (tmp_path / "src").mkdir()
    f = tmp_path / "src" / "a"
    f.write_bytes(b"x" * 100)
    os.chmod(f, 0o4751)
    os.utime(f, ns=(mtime_ns, mtime_ns))
    store = Store.init(tmp_path / "repo")
    store.add([tmp_path / "src"])
    store.restore("latest", tmp_path / "out")
    st = os.lstat(os.path.join(_restored(str(tmp_path / "out"), str(tmp_path / "src")), "a"))
    assert (st.st_mode & 0o7777, st.st_mtime_ns) == (0o4751, mtime_ns)


def _crafted(repo: str, nodes: list[Node]) -> None:
    write_snapshot(repo, Snapshot("", "crafted", 1, ["/x"], nodes=nodes))


F = dict(mode=0o644, chunks=[])


@pytest.mark.parametrize(
    ("nodes", "named"),
    [
        ([Node("../evil", FILE, **F)], "../evil"),
        ([Node("a", DIR, 0o755), Node("a/../../evil", FILE, **F)], "a/../../evil"),
        ([Node("/etc/evil", FILE, **F)], "/etc/evil"),
        ([Node("a", LINK, 0o777, target="/tmp"), Node("a/evil", FILE, **F)], "a/evil"),
        ([Node("a", FILE, **F), Node("a/evil", FILE, **F)], "a/evil"),
        ([Node("b/evil", FILE, **F)], "b/evil"),
        ([Node("h", HARDLINK, target="/etc/passwd")], "h"),
        ([Node("a", FILE, **F), Node("a", FILE, **F)], "a"),
    ],
)
def test_crafted_snapshot_refused_naming_the_path(tmp_path, nodes, named):
    repo = str(tmp_path / "repo")
    store = Store.init(repo)
    _crafted(repo, nodes)
    with pytest.raises(StoreError, match="refused: (hardlink )?" + re.escape(repr(named))):
        store.restore("crafted", tmp_path / "out")
    assert not (tmp_path / "evil").exists() and not (tmp_path / "out").exists()


def test_restore_never_follows_a_symlink_already_in_dest(tmp_path):
    (tmp_path / "src" / "d").mkdir(parents=True)
    (tmp_path / "src" / "d" / "f").write_bytes(b"x")
    store = Store.init(tmp_path / "repo")
    store.add([tmp_path / "src" / "d"])
    # DEST's copy of d is a symlink elsewhere: nothing may be written through it.
    target = _restored(str(tmp_path / "out"), str(tmp_path / "src" / "d"))
    os.makedirs(os.path.dirname(target))
    (tmp_path / "elsewhere").mkdir()
    os.symlink(tmp_path / "elsewhere", target)
    r = store.restore("latest", tmp_path / "out", force=True)
    assert r["errors"] and not os.listdir(tmp_path / "elsewhere")


def _pack_files(repo: str) -> list[str]:
    root = os.path.join(repo, "packs")
    return sorted(
        os.path.join(root, d, n)
        for d in os.listdir(root)
        for n in os.listdir(os.path.join(root, d))
    )


@pytest.mark.parametrize("streamed", [False, True])
def test_flipped_byte_found_and_named_and_the_rest_restores(tmp_path, monkeypatch, streamed):
    if streamed:  # files of many chunks, restored in spans written side by side
        monkeypatch.setattr(restore_module, "WRITE_BYTES", 1000)
        monkeypatch.setattr(restore_module, "SPAN_BYTES", 4096)
    src = tmp_path / "src"
    src.mkdir()
    rng = random.Random(5)
    (src / "hit").write_bytes(rng.randbytes(50_000))
    (src / "copy").write_bytes((src / "hit").read_bytes())
    (src / "fine").write_bytes(rng.randbytes(50_000))
    # One chunk a file, or many.
    store = Store.init(tmp_path / "repo", avg_size=1024 if streamed else 1 << 20)
    store.add([src], name="s1", threads=3)
    # Flip a byte of the chunk stored first (the file "copy", read first in sorted order).
    (pack,) = _pack_files(str(tmp_path / "repo"))
    with open(pack, "r+b") as f:
        f.seek(100)
        b = f.read(1)
        f.seek(100)
        f.write(bytes([b[0] ^ 1]))
    assert store.verify()["problems"] == []  # the structure is intact
    problems = store.verify(read_data=True)["problems"]
    named = [p for p in problems if p.startswith("snapshot")]
    assert len(named) == 2 and all("(s1)" in p for p in named)
    assert {p.rsplit("/", 1)[1].split("'")[0] for p in named} == {"hit", "copy"}
    r = store.restore("s1", tmp_path / "out", threads=3)
    assert sorted(os.path.basename(p) for p, _ in r["errors"]) == ["copy", "hit"]
    out = _restored(str(tmp_path / "out"), str(src))
    assert _read(os.path.join(out, "fine")) == (src / "fine").read_bytes()
    assert sorted(os.listdir(out)) == ["fine"]


def test_prune_after_forget_keeps_every_other_snapshot(tmp_path):
    rng = random.Random(7)
    src = str(tmp_path / "src")
    store = Store.init(tmp_path / "repo", avg_size=1024, pack_size=20_000)
    versions = []
    for k in range(4):
        if k:
            shutil.rmtree(src)
        make_tree(src, random.Random(k), files=25)
        with open(os.path.join(src, "grow"), "wb") as f:
            f.write(rng.randbytes(30_000) * (k + 1))
        versions.append((store.add([src], name=f"v{k}")["id"], tree(src)))
    before = store.stats()
    store.forget(["v0", "v2"])
    r = store.prune()
    after = store.stats()
    assert r["chunks_removed"] > 0 and after["chunk_bytes"] < before["chunk_bytes"]
    v = store.verify(read_data=True)
    assert v["problems"] == [] and v["notes"] == []
    for k in (1, 3):
        dest = str(tmp_path / f"out{k}")
        assert store.restore(f"v{k}", dest)["errors"] == []
        assert tree(_restored(dest, src)) == versions[k][1]
    # Nothing left to remove.
    assert store.prune()["chunks_removed"] == 0


def test_diff(tmp_path):
    src = tmp_path / "src"
    src.mkdir()
    (src / "same").write_bytes(b"s" * 1000)
    (src / "gone").write_bytes(b"g")
    (src / "edit").write_bytes(b"a" * 5000)
    store = Store.init(tmp_path / "repo")
    store.add([src], name="a")
    (src / "gone").unlink()
    (src / "edit").write_bytes(b"b" * 7000)
    (src / "new").write_bytes(b"n" * 3)
    store.add([src], name="b")
    d = store.diff("a", "b")
    name = lambda ps: [os.path.basename(p) for p in ps]  # noqa: E731
    assert name(d["added"]) == ["new"] and name(d["removed"]) == ["gone"]
    assert name(d["changed"]) == ["edit"]
    assert d["new_bytes"] == 7003  # the edited file's chunk and the new file's


def test_a_store_inside_the_tree_is_left_out(tmp_path):
    (tmp_path / "f").write_bytes(b"data")
    store = Store.init(tmp_path / "repo")
    store.add([tmp_path])
    paths = [n.path for n in store.ls("latest")]
    assert any(p.endswith("/f") for p in paths) and not any("/repo" in p for p in paths)


def test_command_line(tmp_path, capsys):
    from veltrane.cli import main

    src, repo = tmp_path / "src", str(tmp_path / "repo")
    make_tree(str(src), random.Random(9), files=15)
    assert main(["store", "init", repo]) == 0
    assert main(["store", "add", repo, str(src), "--name", "n1"]) == 0
    assert "0 unchanged" in capsys.readouterr().out
    assert main(["store", "verify", repo, "--read-data"]) == 0
    assert "no problems" in capsys.readouterr().out
    assert main(["store", "restore", repo, "n1", str(tmp_path / "out")]) == 0
    assert tree(_restored(str(tmp_path / "out"), str(src))) == tree(str(src))
    capsys.readouterr()
    # Failures are one line each, with the verb named.
    assert main(["store", "ls", str(tmp_path / "src")]) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith("veltrane store ls: error: ")
    assert main(["store", "restore", repo, "nosuch", str(tmp_path / "o2")]) == 1
    assert "no such snapshot" in capsys.readouterr().err


def test_batch_read_cuts_and_digests_each_file_as_alone(tmp_path):
    # Files of a batch share one buffer and one digest call: each must come out as if read,
    # cut and digested alone; a file over the limit, a missing one and a FIFO come out as such.
    gear, limit = veltrane.GearCDC(256), 5000
    rng = random.Random(4)
    sizes = [0, 1, 300, limit, limit + 1, 4000]
    paths = []
    for k, n in enumerate(sizes):
        (tmp_path / str(k)).write_bytes(rng.randbytes(n))
        paths.append(str(tmp_path / str(k)))
    os.mkfifo(tmp_path / "fifo")
    paths += [str(tmp_path / "missing"), str(tmp_path / "fifo")]
    data, table, lengths, digests = _native.store_read(paths, gear._gear, limit)
    at = k = 0
    for path, (error, size, count) in zip(paths, table.tolist()):
        if not os.path.isfile(path):
            assert error > 0 and size == count == 0
            continue
        whole = _read(path)
        if len(whole) > limit:
            assert (error, size, count) == (-1, 0, 0)
            continue
        ends = gear.cut_points(whole).tolist() if whole else []
        starts = [0, *ends[:-1]]
        assert (error, size, count) == (0, len(whole), len(ends))
        assert data[at : at + size] == whole
        assert lengths[k : k + count].tolist() == [e - s for s, e in zip(starts, ends)]
        assert [digests[32 * j : 32 * j + 32] for j in range(k, k + count)] == [
            _native.blake3(whole[s:e]) for s, e in zip(starts, ends)
        ]
        at, k = at + size, k + count
    assert at == len(data) and k == len(lengths)


@pytest.mark.parametrize("order", [("a", "a/b"), ("a/b", "a")])
def test_overlapping_sources_record_each_path_once_parents_first(tmp_path, order):
    (tmp_path / "a" / "b").mkdir(parents=True)
    (tmp_path / "a" / "b" / "f").write_bytes(b"x")
    (tmp_path / "a" / "g").write_bytes(b"y")
    store = Store.init(tmp_path / "repo")
    store.add([tmp_path / p for p in order])
    paths = [n.path for n in store.ls("latest")]
    assert len(paths) == len(set(paths))
    base = str(tmp_path).lstrip("/")
    assert {p for p in paths if p.startswith(base + "/a")} == {
        f"{base}/a",
        f"{base}/a/b",
        f"{base}/a/b/f",
        f"{base}/a/g",
    }
    for p in paths:
        parent = p.rpartition("/")[0]
        assert not parent or paths.index(parent) < paths.index(p)


def _rows_format(snap: Snapshot) -> bytes:
    # The earlier snapshot format, written literally: JSON rows, the digest table, u32 refs.
    import json
    import struct

    import numpy as np
    import zstandard

    table: dict[bytes, int] = {}
    refs, rows = [], []
    for n in snap.nodes:
        if n.kind == FILE:
            refs += [table.setdefault(d, len(table)) for d in n.chunks]
            rows.append([n.path, FILE, n.mode, n.mtime_ns, n.uid, n.gid, n.size, n.ctime_ns])
            rows[-1] += [n.ino, len(n.chunks)]
        elif n.kind == HARDLINK:
            rows.append([n.path, HARDLINK, n.target])
        else:
            rows.append([n.path, n.kind, n.mode, n.mtime_ns, n.uid, n.gid])
            rows[-1] += [n.target] if n.kind == LINK else []
    body = json.dumps({"entries": rows}).encode()
    blob = struct.pack("<Q", len(body)) + body + b"".join(table)
    blob += np.asarray(refs, "<u4").tobytes()
    header = json.dumps(snap.header()).encode()
    return b"VLTSNAP1" + struct.pack("<I", len(header)) + header + zstandard.compress(blob)


def test_snapshots_of_the_earlier_format_still_read_restore_and_spare_rereads(tmp_path):
    src, repo = str(tmp_path / "src"), str(tmp_path / "repo")
    make_tree(src, random.Random(6), files=30)
    store = Store.init(repo, avg_size=512)
    store.add([src])
    snap = store.snapshot("latest")
    old = _rows_format(snap)
    os.unlink(os.path.join(repo, "snapshots", snap.id))
    sid = _native.blake3(old).hex()
    with open(os.path.join(repo, "snapshots", sid), "wb") as f:
        f.write(old)
    listed = store.ls(sid)
    assert [(n.path, n.kind, n.chunks, n.target) for n in listed] == [
        (n.path, n.kind, n.chunks, n.target) for n in snap.nodes
    ]
    assert store.restore(sid, tmp_path / "out")["errors"] == []
    assert tree(_restored(str(tmp_path / "out"), src)) == tree(src)
    again = store.add([src])
    assert again["bytes_read"] == 0 and again["files_unchanged"] == again["files"]
    assert [n.chunks for n in store.ls("latest")] == [n.chunks for n in listed]


def test_an_add_mixing_reused_and_read_files_restores_exactly(tmp_path):
    # Reused files take their chunks from the parent's columns, read ones from new digests:
    # interleaved, removed and added files must all land on their own chunks.
    src, repo = str(tmp_path / "src"), str(tmp_path / "repo")
    rng = random.Random(7)
    make_tree(src, rng, files=50)
    store = Store.init(repo, avg_size=256)
    store.add([src])
    files = sorted(
        os.path.join(top, n)
        for top, _, names in os.walk(src)
        for n in names
        if os.path.isfile(os.path.join(top, n)) and not os.path.islink(os.path.join(top, n))
    )
    for k, path in enumerate(files):
        if k % 3 == 0:
            with open(path, "ab") as f:
                f.write(rng.randbytes(700))
        elif k % 7 == 0:
            os.unlink(path)
    (tmp_path / "src" / "brand-new").write_bytes(rng.randbytes(3000))
    second = store.add([src])
    assert 0 < second["files_unchanged"] < second["files"]
    store.restore("latest", tmp_path / "out")
    assert tree(_restored(str(tmp_path / "out"), src)) == tree(src)


def test_a_file_of_more_chunks_than_one_writev_takes_restores_exactly(tmp_path):
    # 600 kB in chunks of about 256 bytes: over 2,000 pieces, past the 1,024 of one writev.
    data = random.Random(8).randbytes(600_000)
    (tmp_path / "src").mkdir()
    (tmp_path / "src" / "f").write_bytes(data)
    store = Store.init(tmp_path / "repo", avg_size=256)
    store.add([tmp_path / "src"])
    (node,) = [n for n in store.ls("latest") if n.kind == FILE]
    assert len(node.chunks) > 2048
    store.restore("latest", tmp_path / "out")
    assert (
        _read(os.path.join(_restored(str(tmp_path / "out"), str(tmp_path / "src")), "f")) == data
    )


def test_a_mutated_snapshot_body_is_read_or_refused_never_crashes(tmp_path):
    # Bodies of the column format with random bytes changed (then compressed and named
    # again, so only the body's own checks stand between them and the reader).
    import struct

    import zstandard
    from veltrane.store.snapshot import SnapshotError, decode, encode

    src = str(tmp_path / "src")
    make_tree(src, random.Random(9), files=12)
    store = Store.init(tmp_path / "repo", avg_size=256)
    store.add([src])
    good = encode(store.snapshot("latest"))
    (n,) = struct.unpack_from("<I", good, 8)
    head, body = good[: 12 + n], zstandard.decompress(good[12 + n :])
    rng = random.Random(10)
    for _ in range(400):
        bad = bytearray(body)
        for _ in range(rng.randint(1, 4)):
            # Half in the counts, kinds and int columns at the front, half anywhere.
            bad[rng.randrange(min(len(bad), 600) if rng.random() < 0.5 else len(bad))] = (
                rng.randrange(256)
            )
        data = head + zstandard.compress(bytes(bad))
        try:
            decode(data, _native.blake3(data).hex())
        except SnapshotError:
            pass


def test_a_walk_on_several_threads_records_what_one_thread_records(tmp_path):
    # Directories are listed on threads in any order; the rows, their order, the first path
    # of each hardlinked file, the store left out and the specials counted must not change.
    src = tmp_path / "src"
    make_tree(str(src), random.Random(5), files=200)
    for k in range(30):
        (src / f"deep{k % 3}" / f"d{k}").mkdir(parents=True)
    (src / "deep2" / "first").write_bytes(b"x")
    os.link(src / "deep2" / "first", src / "deep0" / "later")  # walked before, in byte order
    os.symlink("nowhere", src / "deep1" / "dangling")
    os.mkfifo(src / "deep1" / "fifo")
    (src / "deep0" / "repo").mkdir()
    st = os.stat(src / "deep0" / "repo")
    scans = [_native.store_scan([str(src)], st.st_dev, st.st_ino, t) for t in (1, 2, 5)]
    for other in scans[1:]:
        assert other.keys() == scans[0].keys()
        for key, value in scans[0].items():
            assert (value == other[key]).all() if hasattr(value, "all") else value == other[key]
    assert scans[0]["special"] == 1 and not any("repo" in r for r in scans[0]["rel"])
    kinds = dict(zip(scans[0]["rel"], scans[0]["kind"]))
    assert kinds[str(src / "deep0" / "later").lstrip("/")] == "f"
    assert kinds[str(src / "deep2" / "first").lstrip("/")] == "h"


def test_a_wrong_length_in_the_index_fails_the_file_and_leaves_no_hole(tmp_path, monkeypatch):
    # A long file is written chunk by chunk at the offsets the index's lengths give; a raw
    # chunk's length is not checked by decompressing it, so the bytes read must be.
    monkeypatch.setattr(restore_module, "WRITE_BYTES", 1000)
    src = tmp_path / "src"
    src.mkdir()
    (src / "f").write_bytes(random.Random(9).randbytes(50_000))  # stored raw
    store = Store.init(tmp_path / "repo", avg_size=1024)
    store.add([src])
    db = sqlite3.connect(tmp_path / "repo" / "index.sqlite")
    with db:
        db.execute("UPDATE chunks SET raw = raw + 1 WHERE kind = 0 AND offset = 8")
    db.close()
    r = store.restore("latest", tmp_path / "out")
    assert [os.path.basename(p) for p, _ in r["errors"]] == ["f"]
    assert os.listdir(_restored(str(tmp_path / "out"), str(src))) == []
