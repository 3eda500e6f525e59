"""``verify``: the store's structure always (config, snapshots, index against the packs on
disk, every chunk a snapshot needs listed in a pack that exists), and with ``read_data``
every chunk read back and checked against its digest. A damaged or missing chunk is reported
with every snapshot and file that needs it."""

from __future__ import annotations

import os
from concurrent.futures import ThreadPoolExecutor

import zstandard

from .. import _native
from .index import Index, Location, pack_names
from .layout import pack_path
from .packs import PackError, read_footer, unpack
from .snapshot import FILE, Snapshot, SnapshotError, ids, read


def verify(repo: str, index: Index, read_data: bool, threads: int, progress=None) -> dict:
    """Problems found (one line each), notes (not faults) and counts."""
    problems: list[str] = []
    notes: list[str] = []
    snaps: list[Snapshot] = []
    for sid in ids(repo):
        try:
            snaps.append(read(repo, sid))
        except SnapshotError as e:
            problems.append(str(e))
    locations = index.locations()
    listed = index.packs()
    on_disk = pack_names(repo)
    bad: dict[bytes, str] = {}
    for name in sorted(set(listed) - on_disk):
        problems.append(f"pack {name[:16]}: missing")
    for name in sorted(on_disk - set(listed)):
        notes.append(
            f"pack {name[:16]}: not in the index (left by an interrupted writer; "
            "the next writer reads it in, prune removes what no snapshot needs)"
        )
    for name in sorted(set(listed) & on_disk):
        size = os.path.getsize(pack_path(repo, name))
        if size != listed[name][0]:
            problems.append(f"pack {name[:16]}: {size} bytes, the index says {listed[name][0]}")
    for d, loc in locations.items():
        if loc[0] not in on_disk:
            bad[d] = f"its pack {loc[0][:16]} is missing"
    needed: set[bytes] = set()
    for s in snaps:
        needed |= s.digests()
    for d in needed:
        if d not in locations:
            bad[d] = "not in any pack"
    checked = 0
    if read_data:
        by_pack: dict[str, list[tuple[bytes, Location]]] = {}
        for d, loc in locations.items():
            if loc[0] in on_disk:
                by_pack.setdefault(loc[0], []).append((d, loc))
        done = [0]

        def check(name: str) -> list[tuple[bytes, str] | str]:
            out: list[tuple[bytes, str] | str] = []
            path = pack_path(repo, name)
            try:
                read_footer(path)
            except (PackError, OSError) as e:
                out.append(f"pack {name[:16]}: {e}")
            dec = zstandard.ZstdDecompressor()
            with open(path, "rb") as f:
                for d, (_, offset, stored, raw, kind) in by_pack[name]:
                    f.seek(offset)
                    data = f.read(stored)
                    try:
                        ok = (
                            len(data) == stored
                            and _native.blake3(unpack(data, raw, kind, dec)) == d
                        )
                    except zstandard.ZstdError:
                        ok = False
                    if not ok:
                        out.append((d, f"damaged in pack {name[:16]} at {offset}"))
                    done[0] += stored
            return out

        total = sum(loc[2] for items in by_pack.values() for _, loc in items)
        with ThreadPoolExecutor(threads) as pool:
            for found in pool.map(check, sorted(by_pack)):
                for item in found:
                    if isinstance(item, str):
                        problems.append(item)
                    else:
                        bad[item[0]] = item[1]
                if progress is not None:
                    progress("verifying", done[0], total)
        checked = len(locations)
    damaged_files = 0
    for d, why in sorted(bad.items()):
        if d not in needed:
            notes.append(f"chunk {d.hex()[:16]}: {why} (no snapshot needs it)")
            continue
        problems.append(f"chunk {d.hex()[:16]}: {why}")
    if bad:
        for s in snaps:
            for n in s.nodes:
                if n.kind == FILE and any(d in bad for d in n.chunks):
                    damaged_files += 1
                    label = f"{s.id[:12]}" + (f" ({s.name})" if s.name else "")
                    problems.append(f"snapshot {label}: {n.path!r} needs a damaged chunk")
    return {
        "problems": problems,
        "notes": notes,
        "snapshots": len(snaps),
        "packs": len(on_disk),
        "chunks": len(locations),
        "chunks_read": checked,
        "damaged_chunks": sum(1 for d in bad if d in needed),
        "damaged_files": damaged_files,
    }
