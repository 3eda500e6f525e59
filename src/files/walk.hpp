// The files under a list of paths, in a fixed order: each path in turn, a directory walked
// depth first with each directory's entries sorted by their bytes. Symbolic links inside a
// directory are not followed (a named path is). Nothing is opened but directories, so a FIFO
// or a device is never touched.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace veltrane::files {

struct Entry {
    enum class Kind {
        file,    // a regular file (by its directory entry or stat; opening it checks again)
        special, // a FIFO, socket or device: skipped, never opened
        error,   // a path that could not be looked at or listed; `error` is the errno
    };
    std::string path;
    Kind kind;
    int error = 0;
};

class Walker {
public:
    explicit Walker(std::vector<std::string> paths);

    // The next entry, false when there are no more.
    bool next(Entry &out);

private:
    struct Dir {
        std::string path;
        std::vector<std::pair<std::string, unsigned char>> entries; // name, d_type
        std::size_t next = 0;
    };
    // Lists `path` onto the stack; an error entry when it cannot be read.
    bool enter(const std::string &path, Entry &out);

    std::vector<std::string> paths_;
    std::size_t next_path_ = 0;
    std::vector<Dir> stack_;
};

// `dir` + "/" + `name`, as os.path.join writes it.
std::string join(const std::string &dir, const std::string &name);

} // namespace veltrane::files
