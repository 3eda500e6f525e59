// The entries a snapshot records, walked in one pass: every source, and under a directory its
// entries sorted by their bytes, parents before children, each looked at with lstat (a
// symbolic link is recorded, never followed). Nothing but directories is opened.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace veltrane::store {

// Entry kinds, as the snapshot writes them.
constexpr char kDir = 'd';
constexpr char kFile = 'f';
constexpr char kLink = 'l';
constexpr char kHardlink = 'h'; // a file already recorded under another path

struct Scan {
    // Columns, one row an entry, in the order walked. `rel` is the path under the restore
    // target: the absolute path without its leading '/'.
    std::vector<std::string> rel;
    std::string kind;
    std::vector<int64_t> mode, mtime_ns, uid, gid, size, ctime_ns, ino;
    // A link's target, or the first path of a hardlinked file; empty for the others.
    std::vector<std::string> target;
    // Paths that could not be looked at, listed or read as links, with their errno: left out.
    std::vector<std::pair<std::string, int>> errors;
    // FIFOs, sockets and devices: left out.
    uint64_t special = 0;
};

// The entries of `sources` (absolute, normalised paths), each with the directories above it
// first. A path already recorded (sources that overlap) is not recorded again, and the
// directory `exclude_dev`:`exclude_ino` (the store itself) is left out with all it holds.
// With `threads` above 1 and one source, its directories are listed and their entries looked
// at on that many threads first; the result is the same.
Scan scan(const std::vector<std::string> &sources,
          uint64_t exclude_dev,
          uint64_t exclude_ino,
          int threads = 1);

} // namespace veltrane::store
