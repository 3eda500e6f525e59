"""A deduplicating store of snapshots of files and trees: content-defined chunks (GearCDC)
addressed by BLAKE3, compressed with zstd, in packs written once; see docs/store.md."""

from .layout import StoreError
from .repo import DEFAULT_AVG_SIZE, DEFAULT_LEVEL, DEFAULT_PACK_SIZE, Store
from .snapshot import Node, Snapshot, SnapshotError

__all__ = [
    "DEFAULT_AVG_SIZE",
    "DEFAULT_LEVEL",
    "DEFAULT_PACK_SIZE",
    "Node",
    "Snapshot",
    "SnapshotError",
    "Store",
    "StoreError",
]
