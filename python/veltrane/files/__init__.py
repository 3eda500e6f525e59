"""The file job: content-defined chunkers (:mod:`~veltrane.files.gear`,
:mod:`~veltrane.files.chunker`), chunk streams of files (:mod:`~veltrane.files.stream`), the
tree report (:mod:`~veltrane.files.tree`) and the chunk index that lasts between its runs
(:mod:`~veltrane.files.chunk_index`)."""
