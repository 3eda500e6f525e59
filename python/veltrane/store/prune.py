"""``forget`` and ``prune``: snapshots dropped, then the chunks no remaining snapshot needs
removed. A pack whose chunks are all needed stays; one with none needed is deleted; the rest
are rewritten (their needed chunks copied as stored, without recompressing) into new packs.
The order makes a kill at any moment safe: new packs are finished, then the index switched
in one transaction, then the old packs deleted; whatever a killed run leaves is either still
listed (and the next prune handles it) or read back in by the next writer."""

from __future__ import annotations

import os

from .index import Index
from .layout import SNAPSHOTS, StoreError, fsync_dir, pack_path
from .lock import deleting
from .packs import PackWriter
from .snapshot import ids, read


def forget(repo: str, sids: list[str]) -> None:
    """Deletes the snapshots ``sids`` (their chunks stay until prune)."""
    for sid in sids:
        try:
            os.unlink(os.path.join(repo, SNAPSHOTS, sid))
        except FileNotFoundError:
            pass
    fsync_dir(os.path.join(repo, SNAPSHOTS))


def needed(repo: str) -> set[bytes]:
    """Every chunk some snapshot needs. A snapshot that cannot be read stops prune: it may
    need chunks nothing else does."""
    out: set[bytes] = set()
    for sid in ids(repo):
        out |= read(repo, sid).digests()
    return out


def prune(repo: str, index: Index, pack_size: int, progress=None, wait: float = 10.0) -> dict:
    """Removes every chunk no snapshot needs; what it did."""
    keep = needed(repo)
    located: dict[str, list[tuple]] = {}
    for row in index.located():
        located.setdefault(row[1], []).append(row)
    packs = index.packs()
    drop, rewrite = [], []
    for name, (_, count) in packs.items():
        rows = located.get(name, [])
        live = [r for r in rows if r[0] in keep]
        if not live:
            drop.append(name)
        elif len(live) < count:
            rewrite.append((name, live))
    writer = PackWriter(repo, pack_size)
    moved = 0
    try:
        for k, (name, live) in enumerate(rewrite):
            with open(pack_path(repo, name), "rb") as f:
                for digest, _, offset, stored, raw, kind in live:
                    f.seek(offset)
                    data = f.read(stored)
                    if len(data) != stored:
                        raise StoreError(f"pack {name[:16]}: truncated; run verify")
                    writer.add(digest, data, raw, kind)
                    moved += stored
            if progress is not None:
                progress("rewriting", k + 1, len(rewrite))
        writer.close()
    except BaseException:
        _abort(writer, packs)
        raise
    # A killed prune may have left the very packs this one writes again (a pack is named by
    # its bytes), listed by the next writer but holding no chunk of the index: they are in
    # `drop`, and must not be deleted now that they hold the moved chunks.
    written = {name for name, _, _ in writer.finished}
    drop = [name for name in drop if name not in written]
    old = drop + [name for name, _ in rewrite]
    unneeded = [r[0] for name in old for r in located.get(name, []) if r[0] not in keep]
    try:
        index.move(unneeded, writer.finished, old)
    except BaseException:
        _abort(writer, packs)
        raise
    freed = 0
    # Readers may be restoring from an old pack: wait for them before deleting.
    with deleting(repo, wait):
        dirs = set()
        for name in old:
            path = pack_path(repo, name)
            try:
                freed += os.path.getsize(path)
                os.unlink(path)
                dirs.add(os.path.dirname(path))
            except FileNotFoundError:
                pass
        for d in dirs:
            fsync_dir(d)
    new_size = sum(size for name, size, _ in writer.finished if name not in packs)
    return {
        "packs_deleted": len(drop),
        "packs_rewritten": len(rewrite),
        "packs_written": len(writer.finished),
        "chunks_removed": len(unneeded),
        "bytes_freed": freed - new_size,
        "bytes_moved": moved,
    }


def _abort(writer: PackWriter, listed: dict) -> None:
    # A pack written again under the name of one the index lists stays: the index still
    # points at it.
    writer.abort(keep=frozenset(listed))
