"""Signatures of texts: MinHash rows (:mod:`veltrane.sketch.minhash`) and SimHash
fingerprints (:mod:`veltrane.sketch.simhash`)."""
