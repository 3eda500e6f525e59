"""Shift-resistant content-defined chunking: :class:`GearCDC`.

``CDC`` restarts its cut hash at every chunk, so an insertion moves every later cut. A gear
hash depends only on the last 64 bytes, so an edit moves only the cuts near it: content behind
it is cut exactly as before and deduplicates again from the next cut on.
"""

from __future__ import annotations

import hashlib

import numpy as np

from .. import _args, _native
from ..defaults import DEFAULT_AVG_SIZE

# The bounds the native constructor enforces (chunk/gear.hpp says why).
#: The least ``min_size`` (and ``avg_size``).
MIN_MIN_SIZE: int = _native.GEAR_MIN_MIN_SIZE
#: The largest ``max_size``.
MAX_MAX_SIZE: int = _native.GEAR_MAX_MAX_SIZE
#: The largest ``normalization`` level.
MAX_NORMALIZATION: int = _native.GEAR_MAX_NORMALIZATION
# blake2b's personalisation (at most 16 bytes) keeps key-derived seeds apart from other uses
# of the same key.
_KEY_PERSON = b"veltrane.gear"


def _seed(key: object) -> int:
    if key is None:
        return 0
    if not isinstance(key, (bytes, bytearray, memoryview)):
        raise TypeError(f"key must be bytes or None, not {type(key).__name__}")
    digest = hashlib.blake2b(bytes(key), digest_size=8, person=_KEY_PERSON).digest()
    return int.from_bytes(digest, "little")


class GearCDC:
    """Content-defined chunks whose cuts depend only on the 64 bytes before each cut.

    ``GearCDC(avg_size=8192, *, min_size=None, max_size=None, normalization=2, key=None)``

    The hash is a gear rolling hash, ``h = (h << 1) + G[byte]`` modulo 2^64, so the hash after
    a byte depends on that byte and the 63 before it. A chunk that starts at ``s`` ends after
    the first byte ``j`` such that the chunk ``data[s : j + 1]`` is at least ``min_size``
    bytes long and the hash after ``j`` has its top ``log2(avg_size) + normalization`` bits
    zero while the chunk is shorter than ``avg_size``, or its top ``log2(avg_size) -
    normalization`` bits zero from ``avg_size`` on (normalised chunking: chunk lengths crowd
    around ``avg_size``); a chunk that finds no such byte ends at ``max_size`` bytes, and the
    last chunk at the end of the data. The cut byte belongs to the chunk it ends.

    The table is ``G[b] = low[b & 15] + high[b >> 4]`` (mod 2^64), where ``low`` and ``high``
    are the first 16 and the next 16 outputs of SplitMix64 from seed 0 (two halves that the
    fast kernels keep in vector registers). ``key`` (bytes) seeds SplitMix64 with 64 bits of
    its BLAKE2b digest instead, so that chunk lengths reveal less about content to someone
    who does not know the key: a weak defence against fingerprinting by chunk lengths, not
    secrecy (the lengths still leak, and the key can be recovered from enough of them). Cuts
    with a key differ from cuts without, and ``key=b""`` differs from ``key=None``.

    Sizes: ``avg_size`` is a power of two; ``min_size`` defaults to ``avg_size // 4`` (at
    least 64) and ``max_size`` to ``8 * avg_size`` (at most 2^30). ValueError, naming the
    argument, unless 64 <= min_size <= avg_size <= max_size <= 2^30 and 0 <= normalization
    <= 3.

    The cuts are the same for every kernel (scalar, AVX2, AVX-512; the environment variable
    ``VELTRANE_ISA`` forces one) and every thread count, and they stay the same across
    releases: an index of chunks stays valid.
    """

    __slots__ = ("_avg", "_gear", "_keyed", "_max", "_min", "_normalization", "_seed")

    def __init__(
        self,
        avg_size: int = DEFAULT_AVG_SIZE,
        *,
        min_size: int | None = None,
        max_size: int | None = None,
        normalization: int = 2,
        key: bytes | None = None,
    ) -> None:
        avg = _args.integer(avg_size, "avg_size")
        if avg < MIN_MIN_SIZE or avg > MAX_MAX_SIZE or avg & (avg - 1):
            raise ValueError(f"avg_size must be a power of two from 64 to 2^30, got {avg}")
        low = max(MIN_MIN_SIZE, avg // 4)
        if min_size is not None:
            low = _args.integer(min_size, "min_size")
        high = min(8 * avg, MAX_MAX_SIZE)
        if max_size is not None:
            high = _args.integer(max_size, "max_size")
        if low < MIN_MIN_SIZE:
            raise ValueError(f"min_size must be at least {MIN_MIN_SIZE}, got {low}")
        if low > avg:
            raise ValueError(f"min_size must be at most avg_size ({avg}), got {low}")
        if high < avg:
            raise ValueError(f"max_size must be at least avg_size ({avg}), got {high}")
        if high > MAX_MAX_SIZE:
            raise ValueError(f"max_size must be at most 2^30 ({MAX_MAX_SIZE}), got {high}")
        level = _args.in_range(normalization, "normalization", 0, MAX_NORMALIZATION)
        self._min, self._avg, self._max, self._normalization = low, avg, high, level
        self._keyed = key is not None
        self._seed = _seed(key)
        self._gear = _native.Gear(low, avg, high, level, self._seed)

    @property
    def min_size(self) -> int:
        """No chunk but the last is shorter."""
        return self._min

    @property
    def avg_size(self) -> int:
        """Where the cut test turns from strict to loose."""
        return self._avg

    @property
    def max_size(self) -> int:
        """No chunk is longer."""
        return self._max

    @property
    def normalization(self) -> int:
        """How many bits stricter (looser) the test is before (after) ``avg_size``."""
        return self._normalization

    @property
    def keyed(self) -> bool:
        """Whether the gear table was made from a key (such a chunker is never sent to another
        process)."""
        return self._keyed

    @property
    def kernel(self) -> _native.Gear:
        """The native chunker that cuts, as the native tree report takes it."""
        return self._gear

    def __repr__(self) -> str:
        key = ", key=..." if self._keyed else ""
        return (
            f"GearCDC({self._avg}, min_size={self._min}, max_size={self._max}, "
            f"normalization={self._normalization}{key})"
        )

    def _value(self) -> tuple[int, int, int, int, bool, int]:
        return (self._min, self._avg, self._max, self._normalization, self._keyed, self._seed)

    def __eq__(self, other: object) -> bool:
        # Equal chunkers cut every input alike: the sizes, the level and the table's seed.
        if not isinstance(other, GearCDC):
            return NotImplemented
        return self._value() == other._value()

    def __hash__(self) -> int:
        return hash(self._value())

    def description(self) -> dict:
        """The chunker as a report names it: ``{"name": "gear", "min_size", "avg_size",
        "max_size", "normalization"}`` (and ``"keyed": True`` with a key)."""
        d = {
            "name": "gear",
            "min_size": self._min,
            "avg_size": self._avg,
            "max_size": self._max,
            "normalization": self._normalization,
        }
        if self._keyed:
            d["keyed"] = True
        return d

    def cut_points(self, data, *, threads: int | None = None) -> np.ndarray:
        """The end offset of every chunk of ``data``, in order, as an ``int64`` array.

        ``data`` is any C-contiguous buffer (``bytes``, ``bytearray``, ``mmap``, a NumPy
        array: its bytes), read in place without the GIL; do not change it meanwhile.
        ``threads`` (default: the cores this process may use) split the data into ranges
        scanned at once; the result does not depend on it. Empty data has no chunks.
        """
        return self._gear.cut_points(data, _args.threads(threads))

    def chunk(self, data, *, threads: int | None = None) -> list[bytes]:
        """The chunks of ``data`` (any contiguous buffer) as ``bytes``, concatenating to it.

        Cut as :meth:`cut_points` cuts, and copied into the ``bytes`` objects, on ``threads``
        threads (default: every core this process may use) without the GIL."""
        return self._gear.chunk(data, _args.threads(threads))
