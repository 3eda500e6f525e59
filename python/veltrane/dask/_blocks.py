"""The blocks of the pigeonhole search and the shuffle key that names a (block, value) group.

The blocks are the native search's own (``veltrane._native.blocks``), so that a pair found
here is the pair the single-machine search finds, reported by the same lowest block.
"""

from __future__ import annotations

import numpy as np

from .. import _native

# A row's key packs, from the lowest bit: the block value (blocks are at most 32 bits wide
# once there are two or more of them, max_distance >= 1), the block number (up to
# MAX_DISTANCE = 16: 5 bits), and for the rows of a split group the tile: slice i, slice j
# (13 bits each) and a flag in the top bit. One uint64 is the whole shuffle key.
KEY_SHIFT = 32
GROUP_MASK = np.uint64((1 << 37) - 1)
FIRST_SLICE_SHIFT = np.uint64(37)
SECOND_SLICE_SHIFT = np.uint64(50)
SLICE_MASK = np.uint64((1 << 13) - 1)
TILED = np.uint64(1 << 63)
# A group is cut into at most 2^13 slices, 33 million tiles; past that tiles grow beyond
# the limit rather than overflow the key.
MAX_SLICES = 1 << 13


def block_layout(max_distance: int) -> list[tuple[int, int]]:
    """(shift, width) of each of the max_distance + 1 blocks, from the native search."""
    return [(int(shift), int(width)) for shift, width in _native.blocks(max_distance)]


def block_masks(blocks) -> list[np.uint64]:
    return [np.uint64(((1 << width) - 1) << shift) for shift, width in blocks]


def block_keys(fps: np.ndarray, blocks) -> np.ndarray:
    """The (block, value) key of every fingerprint for every block, block after block."""
    keys = np.empty(len(fps) * len(blocks), dtype=np.uint64)
    for b, (shift, width) in enumerate(blocks):
        value = (fps >> np.uint64(shift)) & np.uint64((1 << width) - 1)
        keys[b * len(fps) : (b + 1) * len(fps)] = value | np.uint64(b << KEY_SHIFT)
    return keys


def lowest_agreeing_block(diff: np.ndarray, masks) -> np.ndarray:
    """For each XOR of two fingerprints, the lowest block on which they agree (len(masks)
    when none)."""
    lowest = np.full(len(diff), len(masks), dtype=np.int64)
    for b in reversed(range(len(masks))):
        lowest[(diff & masks[b]) == 0] = b
    return lowest
