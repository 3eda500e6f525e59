"""The store's directory layout, its config file, and the crash-safe way every file in it is
written: under a temporary name in its own directory, fsync'ed, renamed, the directory fsync'ed.

::

    REPO/config               JSON: format, version, chunker, compression, pack size
    REPO/packs/XY/<digest>    packs of chunks, named by the BLAKE3 of their bytes
    REPO/snapshots/<digest>   snapshots, named by the BLAKE3 of their bytes
    REPO/index.sqlite         where each chunk is (a cache: rebuilt from the packs)
    REPO/lock                 held by the one writer (flock)
    REPO/readers              held shared by readers, exclusive by prune while it deletes

Every file but the index and the locks is written once, whole, and never changed: the layout
can live on object storage (a put per file, a list per directory).
"""

from __future__ import annotations

import errno
import json
import os
import secrets

#: What the config records as its format: a directory with another format is refused.
FORMAT = "veltrane-store"
#: The layout version this code reads and writes.
VERSION = 1
#: Prefix of temporary names: a file with it was never finished, and is removed by the writer.
TMP_PREFIX = ".tmp-"

CONFIG = "config"
PACKS = "packs"
SNAPSHOTS = "snapshots"
INDEX = "index.sqlite"
LOCK = "lock"
READERS = "readers"


class StoreError(Exception):
    """A store operation that cannot go on: the message is one line naming the cause, and
    the store is left as it was."""


def disk_error(what: str, e: OSError) -> StoreError:
    """A StoreError for an OSError while writing, naming a full disk as a full disk."""
    if e.errno == errno.ENOSPC:
        return StoreError(f"{what}: No space left on device")
    if e.errno in (errno.EROFS, errno.EACCES, errno.EPERM):
        return StoreError(f"{what}: the store is read-only ({e.strerror})")
    return StoreError(f"{what}: {e.strerror or e}")


def fsync_dir(path: str) -> None:
    """Makes a rename or unlink in ``path`` durable."""
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def tmp_name(directory: str) -> str:
    """A fresh temporary name in ``directory``."""
    return os.path.join(directory, TMP_PREFIX + secrets.token_hex(8))


def write_atomic(path: str, data: bytes) -> None:
    """Writes ``path`` whole or not at all: a temporary name, fsync, rename, fsync of the
    directory. The temporary file is removed when writing fails."""
    directory = os.path.dirname(path)
    tmp = tmp_name(directory)
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
    try:
        try:
            view = memoryview(data)
            while view:
                view = view[os.write(fd, view) :]
            os.fsync(fd)
        finally:
            os.close(fd)
        os.rename(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    fsync_dir(directory)


def remove_tmp_files(directory: str) -> int:
    """Removes what killed writers left under temporary names in ``directory``; their count.
    Only a writer holding the lock may call this (another writer's files would go too)."""
    removed = 0
    try:
        names = os.listdir(directory)
    except FileNotFoundError:
        return 0
    for name in names:
        if name.startswith(TMP_PREFIX):
            try:
                os.unlink(os.path.join(directory, name))
                removed += 1
            except FileNotFoundError:
                pass
    return removed


def pack_path(repo: str, name: str) -> str:
    """Where the pack ``name`` (64 hex digits) lives: fanned out by its first two digits so
    that no directory grows past a few thousand entries."""
    return os.path.join(repo, PACKS, name[:2], name)


def default_config(chunker: dict, level: int, pack_size: int) -> dict:
    """The config of a new store."""
    return {
        "format": FORMAT,
        "version": VERSION,
        "id": secrets.token_hex(16),
        "chunker": chunker,
        "digest": "blake3-256",
        "compression": {"name": "zstd", "level": level},
        "pack_size": pack_size,
    }


def read_config(repo: str) -> dict:
    """The config of the store at ``repo``, checked: StoreError for a directory that is not a
    store, or a store of another format or version."""
    path = os.path.join(repo, CONFIG)
    if not os.path.isdir(repo):
        raise StoreError(f"{repo}: no such store (not a directory)")
    try:
        with open(path, "rb") as f:
            raw = f.read()
    except FileNotFoundError:
        raise StoreError(f"{repo}: not a store (no {CONFIG} file)") from None
    except OSError as e:
        raise StoreError(f"{path}: cannot read: {e.strerror}") from e
    try:
        config = json.loads(raw)
    except ValueError:
        raise StoreError(f"{path}: not a store config (not JSON)") from None
    if not isinstance(config, dict) or config.get("format") != FORMAT:
        raise StoreError(f"{repo}: not a veltrane store (format {config.get('format')!r})")
    if config.get("version") != VERSION:
        raise StoreError(
            f"{repo}: a store of layout version {config.get('version')!r}; "
            f"this veltrane reads version {VERSION}"
        )
    return config


def init_layout(repo: str, config: dict) -> None:
    """Creates the directories and files of a new store at ``repo`` (empty or missing)."""
    if os.path.exists(repo):
        if not os.path.isdir(repo):
            raise StoreError(f"{repo}: exists and is not a directory")
        if os.listdir(repo):
            raise StoreError(f"{repo}: exists and is not empty")
    try:
        os.makedirs(repo, exist_ok=True)
        for sub in (PACKS, SNAPSHOTS):
            os.mkdir(os.path.join(repo, sub))
        for name in (LOCK, READERS):
            with open(os.path.join(repo, name), "wb"):
                pass
        # The config last: a directory without it is not (yet) a store.
        write_atomic(os.path.join(repo, CONFIG), json.dumps(config, indent=1).encode() + b"\n")
    except OSError as e:
        raise disk_error(f"{repo}: cannot create the store", e) from e
