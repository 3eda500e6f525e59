"""Veltrane C++ Deduplication Core"""

import typing

__version__: str
has_avx2: bool
has_openmp: bool

def _openmp_available() -> bool:
    """Check if OpenMP is available"""

class SimHash:
    def __init__(self, bits: typing.SupportsInt = 64) -> None: ...
    def compute(self, text: str | bytes | bytearray) -> bytes:
        """Compute SimHash fingerprint"""

    @staticmethod
    def hamming_distance(fp1: bytes, fp2: bytes) -> int:
        """Calculate Hamming distance between two fingerprints"""

class CDC:
    def __init__(self, chunk_size: typing.SupportsInt = 1024) -> None: ...
    def chunk(self, data: bytes) -> list[bytes]:
        """Split data into content-defined chunks"""

    def deduplicate(self, chunks: list[bytes]) -> tuple[list[bytes], float]:
        """Deduplicate chunks and return unique chunks with reduction percentage"""
