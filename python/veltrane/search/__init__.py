"""The searches for near duplicates: by Hamming distance of SimHash fingerprints
(:mod:`~veltrane.search.hamming`), by Jaccard similarity in memory
(:mod:`~veltrane.search.jaccard`), within a memory bound (:mod:`~veltrane.search.outofcore`)
and against a lasting index (:mod:`~veltrane.search.index`)."""

from .._moved import names_of

# ``veltrane.search`` was the module of the SimHash search; its names stay for one release.
__getattr__ = names_of(
    (
        "veltrane.search.hamming",
        "veltrane.sketch.simhash",
        "veltrane.texts",
        "veltrane._pairs",
        "veltrane.defaults",
    )
)
