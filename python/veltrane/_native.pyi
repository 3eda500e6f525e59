"""Native code of veltrane; the public API is in the veltrane package"""

# One section per src/module/bind_<job>.cpp, in the order native.cpp binds them: a new binding
# file adds its section here, and the stub test (tests/test_reliability.py) checks every name.

import typing

import numpy as np
import numpy.typing as npt

# ---- native.cpp ---------------------------------------------------------------------------------

def isa() -> str: ...
def isas() -> list[str]: ...

GOLDEN: int

def mix64(values: npt.ArrayLike) -> npt.NDArray[np.uint64]: ...

# ---- bind_hamming.cpp ---------------------------------------------------------------------------

MAX_DISTANCE: int

def fingerprints64(
    texts: typing.Iterable[str | bytes | bytearray], threads: int
) -> npt.NDArray[np.uint64]: ...
def word_fingerprints64(
    texts: typing.Iterable[str | bytes | bytearray], threads: int
) -> npt.NDArray[np.uint64]: ...
def fingerprints(
    texts: typing.Iterable[str | bytes | bytearray], bits: int, threads: int
) -> list[bytes]: ...
def pairs(
    fingerprints: npt.ArrayLike, max_distance: int, threads: int, dtype: np.dtype[typing.Any]
) -> np.ndarray[typing.Any, np.dtype[np.void]]: ...
def clusters(n: int, i: npt.ArrayLike, j: npt.ArrayLike) -> npt.NDArray[np.int64]: ...
def blocks(max_distance: int) -> list[tuple[int, int]]: ...
def cluster_fingerprints(
    fingerprints: npt.ArrayLike,
    max_distance: int,
    threads: int,
    progress: Progress | None = None,
) -> npt.NDArray[np.int64]: ...

class Progress:
    def __init__(self) -> None: ...
    @property
    def done(self) -> int: ...
    @property
    def total(self) -> int: ...
    def cancel(self) -> None: ...

class Cancelled(Exception): ...

class PairStream:
    def __init__(
        self,
        fingerprints: npt.ArrayLike,
        max_distance: int,
        threads: int,
        progress: Progress | None = None,
    ) -> None: ...
    def next(
        self, max_rows: int, dtype: np.dtype[typing.Any]
    ) -> np.ndarray[typing.Any, np.dtype[np.void]]: ...
    @property
    def total(self) -> int: ...
    @property
    def position(self) -> int: ...
    def __len__(self) -> int: ...

class Index:
    def __init__(self, max_distance: int) -> None: ...
    def add(self, arg0: npt.ArrayLike, /) -> int: ...
    def query(self, arg0: int, /) -> npt.NDArray[np.int64]: ...
    def __len__(self) -> int: ...
    @property
    def distinct(self) -> int: ...
    @property
    def max_distance(self) -> int: ...

# ---- bind_chunk.cpp -----------------------------------------------------------------------------

def chunk_ends(data: typing.Any, chunk_size: int) -> npt.NDArray[np.int64]: ...

# ---- bind_minhash.cpp ---------------------------------------------------------------------------

def minhash_signatures(
    texts: typing.Iterable[str | bytes | bytearray],
    num_perm: int,
    ngram: int,
    seed: int,
    threads: int,
    progress: Progress | None = None,
) -> npt.NDArray[np.uint32]: ...
def shingle_hashes(
    texts: typing.Iterable[str | bytes | bytearray], ngram: int, threads: int
) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.int64]]: ...
def words(text: str | bytes | bytearray) -> list[str]: ...
def has_words(text: str | bytes | bytearray) -> bool: ...

# ---- bind_exact.cpp -----------------------------------------------------------------------------

def text_digests(
    texts: typing.Iterable[str | bytes | bytearray], normalize: str, threads: int
) -> npt.NDArray[np.uint64]: ...
def first_equal(digests: npt.NDArray[np.uint64]) -> npt.NDArray[np.int64]: ...

# ---- bind_jaccard.cpp ---------------------------------------------------------------------------

def jaccard_group_rows(signatures: np.ndarray, threads: int) -> npt.NDArray[np.int64]: ...
def band_keys(
    signatures: np.ndarray, bands: int, rows: int, threads: int
) -> npt.NDArray[np.uint64]: ...
def sort_bands(
    keys: np.ndarray, docs: np.ndarray, threads: int
) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.int64]]: ...
def jaccard_group_sets(
    ids: npt.ArrayLike, classes: npt.ArrayLike, offsets: npt.ArrayLike, values: npt.ArrayLike
) -> npt.NDArray[np.int64]: ...
def jaccard_candidates(
    signatures: np.ndarray, ids: npt.ArrayLike, bands: int, rows: int, threads: int
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]: ...
def pair_similarities(
    texts: typing.Any, a: npt.ArrayLike, b: npt.ArrayLike, ngram: int, threads: int
) -> npt.NDArray[np.float64]: ...
def jaccard_verify_exact(
    i: npt.ArrayLike,
    j: npt.ArrayLike,
    slot: npt.ArrayLike,
    offsets: npt.ArrayLike,
    values: npt.ArrayLike,
    threads: int,
) -> npt.NDArray[np.float64]: ...
def jaccard_verify_estimate(
    i: npt.ArrayLike, j: npt.ArrayLike, signatures: np.ndarray, threads: int
) -> npt.NDArray[np.float64]: ...
def jaccard_expand(
    reps: npt.ArrayLike,
    i: npt.ArrayLike,
    j: npt.ArrayLike,
    similarities: npt.ArrayLike,
    dtype: np.dtype[typing.Any],
) -> np.ndarray[typing.Any, np.dtype[np.void]]: ...

class JaccardExpandStream:
    def __init__(
        self, reps: npt.ArrayLike, i: npt.ArrayLike, j: npt.ArrayLike, similarities: npt.ArrayLike
    ) -> None: ...
    def next(
        self, max_rows: int, dtype: np.dtype[typing.Any]
    ) -> np.ndarray[typing.Any, np.dtype[np.void]]: ...
    @property
    def total(self) -> int: ...

# ---- bind_gear.cpp ------------------------------------------------------------------------------

GEAR_MIN_MIN_SIZE: int
GEAR_MAX_MAX_SIZE: int
GEAR_MAX_NORMALIZATION: int

class Gear:
    def __init__(
        self, min_size: int, avg_size: int, max_size: int, normalization: int, seed: int
    ) -> None: ...
    def cut_points(self, data: typing.Any, threads: int) -> npt.NDArray[np.int64]: ...
    def chunk(self, data: typing.Any, threads: int) -> list[bytes]: ...
    @staticmethod
    def kernels() -> list[str]: ...
    def reference_cut_points(self, data: typing.Any) -> npt.NDArray[np.int64]: ...
    def kernel_cut_points(
        self, data: typing.Any, kernel: str, threads: int
    ) -> npt.NDArray[np.int64]: ...
    @property
    def table(self) -> npt.NDArray[np.uint64]: ...

# ---- bind_keep.cpp ------------------------------------------------------------------------------

def keep_greedy(
    rank: npt.ArrayLike,
    group: npt.ArrayLike,
    i: npt.ArrayLike,
    j: npt.ArrayLike,
    similarity: npt.ArrayLike,
    self_similarity: float,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]: ...

# ---- bind_jsonl.cpp -----------------------------------------------------------------------------

def line_starts(block: typing.Any) -> npt.NDArray[np.int64]: ...
def is_utf8(block: typing.Any, threads: int = 1) -> bool: ...
def jsonl_replace_text(line: bytes, field: bytes, text: bytes) -> bytes | None: ...
def jsonl_fields(
    block: typing.Any,
    starts: npt.ArrayLike,
    field: bytes,
    id_field: bytes,
    value_field: bytes,
    threads: int,
) -> tuple[
    list[bytes],
    npt.NDArray[np.int64],
    list[bytes] | None,
    npt.NDArray[np.bool_] | None,
    npt.NDArray[np.float64] | None,
    int,
]: ...

# ---- bind_linefiles.cpp -------------------------------------------------------------------------

def gather_lines(path: str, spans: npt.ArrayLike, threads: int = 1) -> bytes | None: ...
def send_ranges(out: int, path: str, starts: npt.ArrayLike, ends: npt.ArrayLike) -> bool: ...

class LineSender:
    def __init__(self, out: int) -> None: ...
    def send(self, in_fd: int, starts: npt.ArrayLike, ends: npt.ArrayLike) -> bool: ...
    def write(self, data: bytes) -> None: ...

class FirstCopies:
    def __init__(self, out: int, apart: npt.ArrayLike | None = None) -> None: ...
    @property
    def kept(self) -> npt.NDArray[np.bool_]: ...
    @property
    def error(self) -> int: ...

def sign_plain_file(
    path: str,
    json_lines: bool,
    field: bytes,
    id_field: bytes,
    value_field: bytes,
    num_perm: int,
    ngram: int,
    seed: int,
    bands: int,
    rows: int,
    threads: int,
    progress: Progress | None = None,
    stretch: int = ...,
    exact: str = "",
    follow: FirstCopies | None = None,
) -> (
    tuple[
        npt.NDArray[np.int64],
        npt.NDArray[np.int64],
        npt.NDArray[np.int64],
        npt.NDArray[np.uint32] | npt.NDArray[np.uint64],
        int,
        list[bytes] | None,
        npt.NDArray[np.bool_] | None,
        npt.NDArray[np.float64] | None,
    ]
    | None
): ...

# ---- bind_files.cpp -----------------------------------------------------------------------------

def blake3(data: typing.Any) -> bytes: ...
def blake3_many(data: typing.Any, lengths: list[int]) -> bytes: ...

class Blake3:
    def __init__(self) -> None: ...
    def update(self, data: typing.Any) -> None: ...
    def digest(self) -> bytes: ...

def store_scan(
    sources: list[str], exclude_dev: int, exclude_ino: int, threads: int = 1
) -> dict[str, typing.Any]: ...
def store_read(
    paths: list[str], gear: Gear, limit: int
) -> tuple[bytes, npt.NDArray[np.int64], npt.NDArray[np.int64], bytes]: ...
def store_write_files(
    dir: int,
    names: list[str],
    counts: list[int],
    pieces: list[bytes],
    modes: list[int],
    mtimes: list[int],
    uids: list[int],
    gids: list[int],
    owner: bool,
    force: bool,
    tmp_prefix: str,
) -> list[int]: ...

class DigestSet:
    def __init__(self) -> None: ...
    def __len__(self) -> int: ...
    def __contains__(self, digest: bytes) -> bool: ...
    def add(self, digest: bytes) -> bool: ...
    def add_all(self, joined: bytes) -> int: ...
    def digests(self, begin: int = 0) -> bytes: ...
    @property
    def memory_bytes(self) -> int: ...

class FileCache:
    def __init__(self) -> None: ...
    def __len__(self) -> int: ...
    def add(
        self,
        path: bytes,
        size: int,
        mtime_ns: int,
        ctime_ns: int,
        inode: int,
        lengths: bytes,
        digests: bytes,
    ) -> None: ...

def file_cache_add_columns(
    cache: FileCache,
    names: bytes,
    ends: npt.ArrayLike,
    ident: npt.ArrayLike,
    counts: npt.ArrayLike,
    lengths: bytes,
    digests: bytes,
) -> None: ...
def file_cache_columns(cache: FileCache) -> dict[str, typing.Any]: ...

# ---- bind_tree.cpp ------------------------------------------------------------------------------

def dedup_tree(
    paths: list[bytes],
    gear: Gear | None,
    cdc_chunk_size: int,
    threads: int,
    read_size: int,
    progress: typing.Callable[[int], object] | None,
    seen: DigestSet,
    cache: FileCache | None,
    record: bool,
) -> tuple[
    list[tuple[typing.Any, ...]],
    list[tuple[bytes, str]],
    list[tuple[bytes, int]],
]: ...
def dedup_tree_columns(
    paths: list[bytes],
    gear: Gear | None,
    cdc_chunk_size: int,
    threads: int,
    read_size: int,
    progress: typing.Callable[[int], object] | None,
    seen: DigestSet,
    cache: FileCache | None,
    record: bool,
) -> dict[str, typing.Any]: ...

# ---- bind_report.cpp ----------------------------------------------------------------------------

def dedup_json_files(
    names: bytes,
    ends: npt.ArrayLike,
    stats: npt.ArrayLike,
    first: int,
    last: int,
) -> bytes: ...

class LineTexts:
    def __init__(self, paths: list[str], json_lines: list[bool], field: str | bytes) -> None: ...

class RepeatFinder:
    def __init__(
        self,
        unit: str,
        by_words: bool,
        min_words: int,
        hash_bits: int = 64,
        parts: int = 1,
        part: int = 0,
        runs_in_words: bool = False,
    ) -> None: ...
    def add(
        self,
        texts: typing.Sequence[str | bytes | bytearray],
        threads: int,
        located: npt.ArrayLike | None = None,
    ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]: ...
    def read_from(self, source: LineTexts) -> None: ...
    def limit_memory(self, bytes: int) -> None: ...
    def expect_bytes(self, bytes: int) -> None: ...
    def keep_words_in(self, path: str, write: bool) -> None: ...
    def finish_words(self) -> None: ...
    def prime(self, words: npt.ArrayLike, starts: npt.ArrayLike, first: int) -> None: ...
    def reserve_windows(self, windows: int) -> None: ...
    def save_words(self, path: str) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]: ...
    EARLIER: typing.ClassVar[int]
    @property
    def texts(self) -> int: ...
    @property
    def units(self) -> int: ...
    @property
    def repeats(self) -> int: ...
    @property
    def unplaced(self) -> int: ...
    @property
    def memory(self) -> int: ...

def repeat_units(
    texts: typing.Sequence[str | bytes | bytearray], unit: str
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]: ...
def place_runs(
    texts: typing.Sequence[str | bytes | bytearray],
    rows: npt.ArrayLike,
    offsets: npt.ArrayLike,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]: ...
