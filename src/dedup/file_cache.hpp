// A run over a tree that has not changed since the file cache was saved, without the
// pipeline: the tree is walked, its files stat'ed on `threads` threads, and each one's chunks
// are looked up from the cache in the walk's order. Nothing is opened but directories.
#pragma once

#include "dedup/digest_set.hpp"
#include "dedup/tree.hpp"

#include <string>
#include <vector>

namespace veltrane::dedup {

// The report dedup_tree(paths, ..., options with `cache` and `record`) gives when every
// regular file walked is in `cache` with the same size, times and inode, or is a file already
// counted under another path. False, with `seen` and `out` as they were, as soon as a file is
// not: the run then needs the pipeline.
bool report_from_cache(const std::vector<std::string> &paths,
                       const FileCache &cache,
                       int threads,
                       DigestSet &seen,
                       TreeReport &out);

} // namespace veltrane::dedup
