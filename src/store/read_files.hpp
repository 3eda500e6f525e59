// A batch of files read, cut and digested in one call: the bytes of all of them in one
// buffer, every chunk's length and BLAKE3 digest, so that a caller deciding per chunk what to
// keep pays nothing per file.
#pragma once

#include "chunk/gear.hpp"
#include "dedup/blake3.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace veltrane::store {

struct FileRead {
    // 0 when read; an errno when it could not be; kTooLong when it holds more than the limit
    // (nothing of it is kept: the caller reads it piece by piece).
    int error = 0;
    uint64_t size = 0;   // bytes read
    uint64_t chunks = 0; // its chunks, following those of the files before it
};
constexpr int kTooLong = -1;

struct ReadBatch {
    std::vector<unsigned char> data; // the files read, one after another
    std::vector<FileRead> files;
    std::vector<int64_t> lengths; // each chunk's length, file after file
    std::vector<dedup::Digest> digests;
};

// Reads every path whole (opened without following a symbolic link or blocking on a FIFO),
// cuts each file by `gear` and digests every chunk. A file over `limit` bytes is left out as
// kTooLong; one that is not a regular file any more fails with EINVAL.
ReadBatch
read_files(const std::vector<std::string> &paths, const gear::GearCDC &gear, std::size_t limit);

} // namespace veltrane::store
