"""Snapshots: what a tree held at one moment, each file as a list of chunk digests.

::

    b"VLTSNAP2", header length (u32), header (JSON: name, time, sources, summary),
    zstd frame of: entries n, distinct digests m, chunk references r, and the byte lengths
    of the two name blocks (u64 each); then as columns: each entry's kind (one byte), eight
    int64 columns of n (mode, mtime_ns, uid, gid, size, ctime_ns, inode, chunk count), the
    paths and the targets (UTF-8 with surrogate escapes, NUL between them), the distinct
    digests (32 bytes each), every file's chunks as indexes into them (u32 each)

Columns cost the writer and the next ``add`` nothing per entry: an unchanged tree of 10^5
files is compared and written again by whole-column operations. Snapshots of the earlier
format (``VLTSNAP1``: the entries as JSON rows) are still read.

The file is named by the BLAKE3 of its bytes, so a damaged snapshot is found on reading it.
Paths are relative to the restore target and checked on reading: a snapshot with an absolute
path, a ``..``, a path under a symbolic link or a file, or a hardlink to no earlier file is
refused, with the path named.
"""

from __future__ import annotations

import json
import os
import struct
from dataclasses import dataclass, field

import numpy as np
import zstandard

from .. import _native
from .layout import SNAPSHOTS, TMP_PREFIX, StoreError, write_atomic

MAGIC = b"VLTSNAP2"
#: The earlier format, entries as JSON rows: read, no longer written.
MAGIC_ROWS = b"VLTSNAP1"
#: The int64 columns: mode, mtime_ns, uid, gid, size, ctime_ns, ino, chunk count.
MODE, MTIME, UID, GID, SIZE, CTIME, INO, COUNT = range(8)
_COUNTS = struct.Struct("<5Q")
DIR, FILE, LINK, HARDLINK = "d", "f", "l", "h"
_U32 = struct.Struct("<I")
_U64 = struct.Struct("<Q")


class SnapshotError(StoreError):
    """A snapshot that is damaged or crafted to write outside its target."""


class Node:
    """One entry of a snapshot. Paths are str (non-UTF-8 bytes as surrogate escapes)."""

    __slots__ = (
        "path",
        "kind",
        "mode",
        "mtime_ns",
        "uid",
        "gid",
        "size",
        "ctime_ns",
        "ino",
        "chunks",
        "target",
    )

    def __init__(
        self,
        path: str,
        kind: str,
        mode: int = 0,
        mtime_ns: int = 0,
        uid: int = 0,
        gid: int = 0,
        size: int = 0,
        ctime_ns: int = 0,
        ino: int = 0,
        chunks: list[bytes] | None = None,
        target: str = "",
    ) -> None:
        #: The path under the restore target, without a leading ``/``.
        self.path = path
        #: ``d`` directory, ``f`` file, ``l`` symbolic link, ``h`` hardlink to an earlier file.
        self.kind = kind
        #: Permission bits (with set-id and sticky bits).
        self.mode = mode
        #: Modification time, in nanoseconds.
        self.mtime_ns = mtime_ns
        #: Owner (restored when run as root).
        self.uid = uid
        #: Group (restored when run as root).
        self.gid = gid
        #: A file's size (as read).
        self.size = size
        #: A file's change time, as stat saw it before it was read.
        self.ctime_ns = ctime_ns
        #: A file's inode, as stat saw it before it was read.
        self.ino = ino
        #: A file's chunk digests in order.
        self.chunks = chunks if chunks is not None else []
        #: A symbolic link's target, or the earlier path a hardlink shares its file with.
        self.target = target

    def same_content(self, other: Node) -> bool:
        """Whether two entries are the same kind with the same content and mode."""
        return (
            self.kind == other.kind
            and self.mode == other.mode
            and self.chunks == other.chunks
            and self.target == other.target
        )


@dataclass
class Snapshot:
    """A snapshot: its header and, once loaded, its entries."""

    #: The BLAKE3 of the snapshot's file, in hex: its name in the store.
    id: str
    #: The name given to ``add`` (may be empty).
    name: str
    #: When it was taken, in nanoseconds since the epoch.
    time_ns: int
    #: The absolute paths it was taken of.
    sources: list[str]
    #: What ``add`` counted: files, bytes, new and stored bytes, seconds.
    summary: dict = field(default_factory=dict)
    #: Its entries, parents before children (empty when only the header was read).
    nodes: list[Node] = field(default_factory=list)

    def header(self) -> dict:
        """The fields readable without the entries."""
        return {
            "name": self.name,
            "time_ns": self.time_ns,
            "sources": self.sources,
            "summary": self.summary,
        }

    def digests(self) -> set[bytes]:
        """Every chunk the snapshot needs."""
        out: set[bytes] = set()
        for n in self.nodes:
            out.update(n.chunks)
        return out


@dataclass
class Columns:
    """A snapshot's entries as columns, in order (parents before children)."""

    #: Each entry's path under the restore target.
    paths: list[str]
    #: Each entry's kind, one byte (``d``, ``f``, ``l``, ``h``).
    kinds: bytes
    #: int64, shape (8, entries): see MODE .. COUNT (zero where a kind has no such field).
    ints: np.ndarray
    #: A link's target, or the earlier path of a hardlink; empty for the others.
    targets: list[str]
    #: The distinct digests the files need, 32 bytes each.
    table: bytes
    #: uint32: every file's chunks, file after file, as indexes into ``table``.
    refs: np.ndarray
    #: The compressed body these columns were read from, if any: written again as it is for
    #: a snapshot of the same entries (an unchanged tree's 25 MB is not compressed again).
    body: bytes = b""

    def files(self) -> np.ndarray:
        """The positions of the files."""
        return np.flatnonzero(np.frombuffer(self.kinds, np.uint8) == ord(FILE))


def columns_of(nodes: list[Node]) -> Columns:
    """The columns of a list of entries."""
    table: dict[bytes, int] = {}
    refs: list[int] = []
    ints = np.zeros((8, len(nodes)), np.int64)
    rows = []
    for n in nodes:
        if n.kind == FILE:
            refs.extend(table.setdefault(d, len(table)) for d in n.chunks)
            ident = (n.size, n.ctime_ns, n.ino, len(n.chunks))
            rows.append((n.mode, n.mtime_ns, n.uid, n.gid, *ident))
        elif n.kind == HARDLINK:
            rows.append((0,) * 8)
        else:
            rows.append((n.mode, n.mtime_ns, n.uid, n.gid, 0, 0, 0, 0))
    if rows:
        ints[:] = np.array(rows, np.int64).T
    return Columns(
        [n.path for n in nodes],
        "".join(n.kind for n in nodes).encode(),
        ints,
        [n.target for n in nodes],
        b"".join(table),
        np.asarray(refs, np.uint32),
    )


def encode(snap: Snapshot) -> bytes:
    """The bytes of a snapshot file."""
    return encode_columns(snap, columns_of(snap.nodes))


def _names(names: list[str]) -> bytes:
    return "\0".join(names).encode("utf-8", "surrogateescape")


def encode_columns(snap: Snapshot, c: Columns) -> bytes:
    """The bytes of a snapshot file with the header of ``snap`` and the entries ``c``."""
    header = json.dumps(snap.header(), separators=(",", ":")).encode()
    return b"".join([MAGIC, _U32.pack(len(header)), header, c.body or _compressed(c)])


def _compressed(c: Columns) -> bytes:
    paths, targets = _names(c.paths), _names(c.targets)
    blob = b"".join(
        [
            _COUNTS.pack(len(c.paths), len(c.table) // 32, len(c.refs), len(paths), len(targets)),
            c.kinds,
            np.ascontiguousarray(c.ints, "<i8").tobytes(),
            paths,
            targets,
            c.table,
            np.ascontiguousarray(c.refs, "<u4").tobytes(),
        ]
    )
    return zstandard.ZstdCompressor(level=3).compress(blob)


def _columns(blob: bytes, sid: str) -> Columns:
    """The entries of a body of the current format, their shape checked."""
    damaged = SnapshotError(f"snapshot {sid[:12]}: damaged body")
    try:
        n, m, r, lp, lt = _COUNTS.unpack_from(blob, 0)
    except struct.error:
        raise damaged from None
    at = _COUNTS.size
    if len(blob) != at + 65 * n + lp + lt + 32 * m + 4 * r:
        raise damaged
    kinds = blob[at : at + n]
    at += n
    ints = np.frombuffer(blob, "<i8", 8 * n, at).reshape(8, n).astype(np.int64)
    at += 64 * n
    try:
        paths = blob[at : at + lp].decode("utf-8", "surrogateescape").split("\0") if n else []
        targets = blob[at + lp : at + lp + lt].decode("utf-8", "surrogateescape").split("\0")
    except UnicodeDecodeError:
        raise damaged from None
    targets = targets if n else []
    at += lp + lt
    table = blob[at : at + 32 * m]
    refs = np.frombuffer(blob, "<u4", r, at + 32 * m)
    c = Columns(paths, kinds, ints, targets, table, refs)
    counts = ints[COUNT][c.files()]
    if (
        len(paths) != n
        or len(targets) != n
        or (counts < 0).any()
        or int(counts.sum()) != r
        or (r and int(refs.max()) >= m)
    ):
        raise SnapshotError(f"snapshot {sid[:12]}: damaged chunk list")
    return c


def _rows_of(c: Columns) -> tuple[list, list[bytes], list[int]]:
    """The entries as the rows of the earlier format, for the checks every reader makes."""
    rows: list[list] = []
    ints = c.ints.T.tolist()
    for path, kind, v, target in zip(c.paths, c.kinds.decode("latin-1"), ints, c.targets):
        if kind == FILE:
            rows.append([path, FILE, *v])
        elif kind == DIR:
            rows.append([path, DIR, *v[:4]])
        elif kind == LINK:
            rows.append([path, LINK, *v[:4], target])
        else:
            rows.append([path, kind, target])
    table = [c.table[k : k + 32] for k in range(0, len(c.table), 32)]
    return rows, table, c.refs.tolist()


def _split(data: bytes, sid: str) -> tuple[dict, bytes]:
    if data[:8] not in (MAGIC, MAGIC_ROWS) or len(data) < 12:
        raise SnapshotError(f"snapshot {sid[:12]}: not a snapshot")
    (n,) = _U32.unpack_from(data, 8)
    try:
        header = json.loads(data[12 : 12 + n])
    except ValueError:
        raise SnapshotError(f"snapshot {sid[:12]}: damaged header") from None
    return header, data[12 + n :]


def decode(data: bytes, sid: str, nodes: bool = True, check: bool = True) -> Snapshot:
    """A snapshot from its file's bytes, checked (SnapshotError names what is wrong);
    without ``check``, only its files, their paths unchecked."""
    if nodes:
        _check_digest(data, sid)
    header, rest = _split(data, sid)
    snap = Snapshot(
        sid,
        header.get("name", ""),
        int(header.get("time_ns", 0)),
        list(header.get("sources", [])),
        dict(header.get("summary", {})),
    )
    if not nodes:
        return snap
    rows, table, refs = _body(data, rest, sid)
    snap.nodes = _nodes(rows, table, refs, sid) if check else _files(rows, table, refs)
    return snap


def _decompress(rest: bytes, sid: str) -> bytes:
    try:
        return zstandard.ZstdDecompressor().decompress(rest)
    except zstandard.ZstdError:
        raise SnapshotError(f"snapshot {sid[:12]}: damaged body") from None


def _body(data: bytes, rest: bytes, sid: str) -> tuple[list, list[bytes], list[int]]:
    """The entries as rows, the digest table and the chunk references."""
    blob = _decompress(rest, sid)
    if data[:8] == MAGIC:
        return _rows_of(_columns(blob, sid))
    try:
        (n,) = _U64.unpack_from(blob, 0)
        rows = json.loads(blob[8 : 8 + n])["entries"]
    except (ValueError, KeyError, struct.error):
        raise SnapshotError(f"snapshot {sid[:12]}: damaged body") from None
    tail = blob[8 + n :]
    try:
        counts = [r[9] for r in rows if len(r) == 10 and r[1] == FILE]
        if not all(type(c) is int and c >= 0 for c in counts):
            raise TypeError
        refs_total = sum(counts)
    except (TypeError, IndexError):
        raise SnapshotError(f"snapshot {sid[:12]}: damaged chunk list") from None
    table_bytes = len(tail) - 4 * refs_total
    if table_bytes < 0 or table_bytes % 32:
        raise SnapshotError(f"snapshot {sid[:12]}: damaged chunk list")
    table = [tail[k : k + 32] for k in range(0, table_bytes, 32)]
    refs = np.frombuffer(tail, "<u4", offset=table_bytes).tolist()
    if refs and max(refs) >= len(table):
        raise SnapshotError(f"snapshot {sid[:12]}: damaged chunk list")
    return rows, table, refs


def read_columns(repo: str, sid: str) -> Columns:
    """The entries of snapshot ``sid`` as columns, for the file cache of the next add: its
    digest checked, its paths not (they are only compared, never written to)."""
    data = _load(repo, sid)
    _check_digest(data, sid)
    _, rest = _split(data, sid)
    if data[:8] == MAGIC:
        c = _columns(_decompress(rest, sid), sid)
        c.body = rest
        return c
    rows, table, refs = _body(data, rest, sid)
    return columns_of(_files(rows, table, refs))


def _files(rows: list, table: list[bytes], refs: list[int]) -> list[Node]:
    """The files alone, unchecked: for the file cache of the next add, from a snapshot whose
    digest was checked (paths from it are only compared, never written to)."""
    out: list[Node] = []
    at = 0
    for row in rows:
        if row[1] == FILE:
            count = row[9]
            out.append(
                Node(
                    row[0],
                    FILE,
                    row[2],
                    row[3],
                    row[4],
                    row[5],
                    row[6],
                    row[7],
                    row[8],
                    [table[r] for r in refs[at : at + count]],
                )
            )
            at += count
    return out


def _nodes(rows: list, table: list[bytes], refs: list[int], sid: str) -> list[Node]:
    out: list[Node] = []
    kinds: dict[str, str] = {}
    at = 0
    for row in rows:
        path = row[0] if row else None
        if not isinstance(path, str):
            raise SnapshotError(f"snapshot {sid[:12]}: damaged entry {row!r}")
        check_path(path, sid)
        if path in kinds:
            raise SnapshotError(f"snapshot {sid[:12]}: refused: {path!r} appears twice")
        parent = path.rpartition("/")[0]
        if parent and kinds.get(parent) != DIR:
            what = "a symbolic link or file" if parent in kinds else "no directory before it"
            raise SnapshotError(
                f"snapshot {sid[:12]}: refused: {path!r} lies under {what} ({parent!r})"
            )
        kind = row[1] if len(row) > 1 else None
        try:
            if kind == FILE and len(row) == 10:
                count = row[9]
                chunks = [table[r] for r in refs[at : at + count]]
                at += count
                node = Node(
                    path,
                    FILE,
                    int(row[2]),
                    int(row[3]),
                    int(row[4]),
                    int(row[5]),
                    int(row[6]),
                    int(row[7]),
                    int(row[8]),
                    chunks,
                )
            elif kind == DIR and len(row) == 6:
                node = Node(path, DIR, int(row[2]), int(row[3]), int(row[4]), int(row[5]))
            elif kind == LINK and len(row) == 7 and isinstance(row[6], str) and "\0" not in row[6]:
                node = Node(
                    path, LINK, int(row[2]), int(row[3]), int(row[4]), int(row[5]), target=row[6]
                )
            elif kind == HARDLINK and len(row) == 3 and isinstance(row[2], str):
                if kinds.get(row[2]) != FILE:
                    raise SnapshotError(
                        f"snapshot {sid[:12]}: refused: hardlink {path!r} to {row[2]!r}, "
                        "which is no earlier file"
                    )
                node = Node(path, HARDLINK, target=row[2])
            else:
                raise SnapshotError(f"snapshot {sid[:12]}: damaged entry for {path!r}")
        except (TypeError, ValueError):
            raise SnapshotError(f"snapshot {sid[:12]}: damaged entry for {path!r}") from None
        kinds[path] = kind
        out.append(node)
    return out


def check_path(path: str, sid: str) -> None:
    """Refuses a path that could leave the restore target."""
    bad = None
    if not path or path.startswith("/"):
        bad = "is absolute or empty"
    elif "\0" in path:
        bad = "holds a NUL"
    elif "//" in (p := f"/{path}/") or "/./" in p or "/../" in p:
        bad = "holds '..', '.' or an empty component"
    if bad:
        raise SnapshotError(f"snapshot {sid[:12]}: refused: {path!r} {bad}")


def write(repo: str, snap: Snapshot, columns: Columns | None = None) -> str:
    """Writes a snapshot atomically (its entries, or ``columns`` when given); its id."""
    data = encode_columns(snap, columns if columns is not None else columns_of(snap.nodes))
    sid = _native.blake3(data).hex()
    write_atomic(os.path.join(repo, SNAPSHOTS, sid), data)
    snap.id = sid
    return sid


def ids(repo: str) -> list[str]:
    """The ids of every snapshot."""
    return sorted(
        n for n in os.listdir(os.path.join(repo, SNAPSHOTS)) if not n.startswith(TMP_PREFIX)
    )


def read(repo: str, sid: str, nodes: bool = True, check: bool = True) -> Snapshot:
    """The snapshot ``sid``, with its entries unless ``nodes`` is false (only its files,
    unchecked, without ``check``)."""
    return decode(_load(repo, sid, whole=nodes), sid, nodes, check)


def _load(repo: str, sid: str, whole: bool = True) -> bytes:
    """The bytes of snapshot ``sid``: all of them, or its header alone (a listing of many
    snapshots then reads kilobytes, not every body)."""
    try:
        with open(os.path.join(repo, SNAPSHOTS, sid), "rb") as f:
            if whole:
                return f.read()
            data = f.read(12)
            if len(data) == 12:
                data += f.read(_U32.unpack_from(data, 8)[0])
            return data
    except FileNotFoundError:
        raise SnapshotError(f"snapshot {sid[:12]}: no such snapshot") from None


def _check_digest(data: bytes, sid: str) -> None:
    if _native.blake3(data).hex() != sid:
        raise SnapshotError(f"snapshot {sid[:12]}: damaged (its digest does not match its name)")


def headers(repo: str) -> list[Snapshot]:
    """Every snapshot's header, oldest first."""
    out = [read(repo, s, nodes=False) for s in ids(repo)]
    out.sort(key=lambda s: (s.time_ns, s.id))
    return out


def resolve(repo: str, ref: str) -> str:
    """The id of the snapshot ``ref`` names: ``latest``, a name, or a prefix of an id."""
    snaps = headers(repo)
    if ref == "latest":
        if not snaps:
            raise StoreError(f"{repo}: no snapshots")
        return snaps[-1].id
    by_name = [s for s in snaps if s.name == ref]
    if by_name:
        return by_name[-1].id
    found = [s.id for s in snaps if s.id.startswith(ref.lower())] if len(ref) >= 4 else []
    if len(found) == 1:
        return found[0]
    if found:
        raise StoreError(f"snapshot {ref!r}: ambiguous ({len(found)} ids start with it)")
    raise StoreError(f"snapshot {ref!r}: no such snapshot")
