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
#include <string_view>
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
// read again, and its chunks are taken from its FileCache (lengths and digests).
struct CachedFile {
    uint64_t size = 0;
    int64_t mtime_ns = 0;
    int64_t ctime_ns = 0;
    uint64_t inode = 0;
    uint64_t first = 0;  // its first chunk in the cache's columns
    uint64_t chunks = 0; // and how many
};

// Files by path, held as columns (a few allocations in all, not several per file: an index of
// 10^5 files loads in a few copies) and found through an open-addressing table of their
// positions. Adding a path already there replaces its file.
class FileCache {
public:
    void reserve(std::size_t files, std::size_t chunks);
    void add(std::string_view path,
             const CachedFile &ident,
             const uint64_t *lengths,
             const Digest *digests);
    // The file cached under `path`, or null; valid until the next add.
    const CachedFile *find(std::string_view path) const;
    const uint64_t *lengths(const CachedFile &c) const {
        return lengths_.data() + c.first;
    }
    const Digest *digests(const CachedFile &c) const {
        return digests_.data() + c.first;
    }
    // Files cached (a replaced one no longer counts).
    std::size_t size() const {
        return live_;
    }
    // f(path, file) for every file cached, in the order added.
    template <typename F> void for_each(F &&f) const {
        for (std::size_t i = 0; i < files_.size(); ++i) {
            if (!replaced_[i]) {
                f(path(i), files_[i]);
            }
        }
    }

private:
    std::string_view path(std::size_t i) const {
        const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
        return std::string_view(names_).substr(begin, ends_[i] - begin);
    }
    // The slot of `path`: where it is, or the empty one where it would go.
    std::size_t slot(std::string_view path) const;
    void grow();

    std::string names_;
    std::vector<uint64_t> ends_;
    std::vector<CachedFile> files_;
    std::vector<bool> replaced_;
    std::vector<uint64_t> lengths_;
    std::vector<Digest> digests_;
    // A file's path's tag (see file_cache.cpp) above its position + 1 (files added, replaced
    // ones included, stay below 2^32); 0 when empty.
    std::vector<uint64_t> slots_;
    std::size_t live_ = 0;
};

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
