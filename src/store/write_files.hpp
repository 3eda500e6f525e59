// A batch of restored files written in one call, side by side with other batches: creating
// files, not moving bytes, is what a restore costs, and here it costs no interpreter time.
// A file comes as the pieces it is made of (its chunks), written with writev: joining them
// first cost a fresh buffer a batch, and faulting its pages in from two threads at once cost
// more system time than creating the files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace veltrane::store {

struct Piece {
    const unsigned char *data;
    std::size_t size;
};

struct FileOut {
    std::string name;   // in the directory, one component
    std::size_t pieces; // its bytes: this many pieces, following those of the files before it
    uint32_t mode;
    int64_t mtime_ns;
    uint32_t uid, gid;
};

// Why a file was not written: an errno, or one of these.
constexpr int kExistsAsDir = -1;
constexpr int kExists = -2; // and replacing was not asked for

// Writes each file in the directory `dir` under a temporary name (`tmp_prefix` and random
// hex), with its mode and time (and owner when `owner`), then renames it over its name. An
// existing entry of that name is refused unless `force`, a directory always. The outcome
// of each file in order: 0, an errno, or kExistsAsDir / kExists; nothing of a failed file
// is left behind.
std::vector<int> write_files(int dir,
                             const std::vector<FileOut> &files,
                             const Piece *pieces,
                             bool owner,
                             bool force,
                             const std::string &tmp_prefix);

} // namespace veltrane::store
