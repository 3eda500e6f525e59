"""Deduplication of texts (SimHash near duplicates) and byte data (content-defined chunks)."""

from dedup_core import CDC, SimHash, __version__

__all__ = ["CDC", "SimHash", "__version__"]
