// A run with a file cache, with the pipeline only for the files the cache does not hold: the
// tree is walked, its files stat'ed on every thread, the files not in the cache unchanged are
// read by dedup_tree on their own, and then every file's chunks are looked up in the walk's
// order. An unchanged tree is only walked and stat'ed.
#pragma once

#include "dedup/digest_set.hpp"
#include "dedup/tree.hpp"

#include <string>
#include <vector>

namespace veltrane::dedup {

// The report dedup_tree(paths, chunking, options with `cache` and `record`, seen) gives, and
// true; false, with `seen` and `out` as they were, in the rare cases left to the pipeline
// itself (a file that changes kind between the walk and stat or open, a later link to a file
// whose first path could not be read). A cancelled run's report is the pipeline's.
bool report_from_cache(const std::vector<std::string> &paths,
                       const FileCache &cache,
                       const Chunking &chunking,
                       const TreeOptions &options,
                       DigestSet &seen,
                       TreeReport &out);

} // namespace veltrane::dedup
