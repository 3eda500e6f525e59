"""Snapshots: what a tree held at one moment, each file as a list of chunk digests.

::

    b"VLTSNAP1", header length (u32), header (JSON: name, time, sources, summary),
    zstd frame of: body length (u64), body (JSON: the entries), the distinct digests
    (32 bytes each), every file's chunks as indexes into them (u32 each)

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

MAGIC = b"VLTSNAP1"
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


def encode(snap: Snapshot) -> bytes:
    """The bytes of a snapshot file."""
    table: dict[bytes, int] = {}
    refs: list[int] = []
    rows: list[list] = []
    for n in snap.nodes:
        if n.kind == FILE:
            for d in n.chunks:
                refs.append(table.setdefault(d, len(table)))
            rows.append(
                [
                    n.path,
                    FILE,
                    n.mode,
                    n.mtime_ns,
                    n.uid,
                    n.gid,
                    n.size,
                    n.ctime_ns,
                    n.ino,
                    len(n.chunks),
                ]
            )
        elif n.kind == DIR:
            rows.append([n.path, DIR, n.mode, n.mtime_ns, n.uid, n.gid])
        elif n.kind == LINK:
            rows.append([n.path, LINK, n.mode, n.mtime_ns, n.uid, n.gid, n.target])
        else:
            rows.append([n.path, HARDLINK, n.target])
    body = json.dumps({"entries": rows}, separators=(",", ":")).encode()
    blob = b"".join(
        [_U64.pack(len(body)), body, b"".join(table), np.asarray(refs, "<u4").tobytes()]
    )
    header = json.dumps(snap.header(), separators=(",", ":")).encode()
    return b"".join(
        [MAGIC, _U32.pack(len(header)), header, zstandard.ZstdCompressor(level=3).compress(blob)]
    )


def _split(data: bytes, sid: str) -> tuple[dict, bytes]:
    if data[:8] != MAGIC or len(data) < 12:
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
    if nodes and _native.blake3(data).hex() != sid:
        raise SnapshotError(f"snapshot {sid[:12]}: damaged (its digest does not match its name)")
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
    try:
        blob = zstandard.ZstdDecompressor().decompress(rest)
        (n,) = _U64.unpack_from(blob, 0)
        rows = json.loads(blob[8 : 8 + n])["entries"]
    except (zstandard.ZstdError, ValueError, KeyError, struct.error):
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
    snap.nodes = _nodes(rows, table, refs, sid) if check else _files(rows, table, refs)
    return snap


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


def write(repo: str, snap: Snapshot) -> str:
    """Writes a snapshot atomically; its id."""
    data = encode(snap)
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
    path = os.path.join(repo, SNAPSHOTS, sid)
    try:
        with open(path, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        raise SnapshotError(f"snapshot {sid[:12]}: no such snapshot") from None
    return decode(data, sid, nodes, check)


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
