// Chunk-level duplication across many files, on all cores: the files are walked, read, cut,
// digested with BLAKE3 and looked up in a DigestSet. Files are read and cut in parallel, but
// their digests are looked up strictly in order (the files in the order walked, the chunks in
// order), so the report is the same for any thread count.
#pragma once

#include "chunk/gear.hpp"
#include "dedup/blake3.hpp"
#include "dedup/digest_set.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

namespace veltrane::dedup {

// The chunker: a GearCDC, or else CDC(cdc_chunk_size).
struct Chunking {
    const gear::GearCDC *gear = nullptr;
    uint64_t cdc_chunk_size = 0;
};

struct FileStats {
    std::string path;
    uint64_t bytes = 0;
    uint64_t chunks = 0;
    uint64_t unique_chunks = 0;
    uint64_t unique_bytes = 0;
    uint64_t min_chunk = 0; // 0 without chunks
    uint64_t max_chunk = 0;
    // BLAKE3 of the file's chunk digests in order: equal for files of equal content.
    Digest content {};
    // With TreeOptions::record: the file as stat saw it before it was read, and its chunks,
    // for a cache of files; `cached` when they came from TreeOptions::cache instead.
    bool cached = false;
    uint64_t inode = 0;
    int64_t mtime_ns = 0;
    int64_t ctime_ns = 0;
    std::vector<uint64_t> lengths;
    std::vector<Digest> digests;
};

// What an earlier run found in a file: a file whose size, times and inode still agree is not
// read again, and its chunks are taken from here.
struct CachedFile {
    uint64_t size = 0;
    int64_t mtime_ns = 0;
    int64_t ctime_ns = 0;
    uint64_t inode = 0;
    std::vector<uint64_t> lengths;
    std::vector<Digest> digests;
};
using FileCache = std::unordered_map<std::string, CachedFile>;

struct Skipped {
    enum class Why {
        same_file, // a file already counted, reached again by another link or the same path
        special,   // a FIFO, socket or device
    };
    std::string path;
    Why why;
};

struct Failure {
    std::string path;
    int error; // errno
};

struct TreeReport {
    std::vector<FileStats> files;
    std::vector<Skipped> skipped;
    std::vector<Failure> errors; // in the order walked
    bool cancelled = false;
};

struct TreeOptions {
    int threads = 1;
    // Bytes read at a time from a file; a file that fits is read whole, in one read.
    std::size_t read_size = std::size_t {8} << 20;
    // Called on the calling thread every `tick_ms` with the bytes read so far; returning
    // false cancels the run (the report then has cancelled set and is incomplete).
    std::function<bool(uint64_t)> tick;
    unsigned tick_ms = 100;
    // Files by path that need not be read again (see CachedFile); may be null.
    const FileCache *cache = nullptr;
    // Keep each file's identity and chunks in its FileStats.
    bool record = false;
};

// The report of `paths` in order (directories walked, see files/walk.hpp). Digests of new
// chunks are added to `seen`, so that chunks already there count as duplicates.
TreeReport dedup_tree(const std::vector<std::string> &paths,
                      const Chunking &chunking,
                      const TreeOptions &options,
                      DigestSet &seen);

} // namespace veltrane::dedup
