// The files under a list of paths, in a fixed order: each path in turn, a directory walked
// depth first with each directory's entries sorted by their bytes. Symbolic links inside a
// directory are not followed (a named path is). Nothing is opened but directories, so a FIFO
// or a device is never touched.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

namespace veltrane::files {

// An open directory, closed when the last entry listed in it is gone.
class DirFd {
public:
    explicit DirFd(int fd) : fd_(fd) {}
    DirFd(const DirFd &) = delete;
    DirFd &operator=(const DirFd &) = delete;
    ~DirFd();
    int get() const {
        return fd_;
    }

private:
    int fd_;
};

struct Entry {
    enum class Kind {
        file,    // a regular file (by its directory entry or stat; opening it checks again)
        special, // a FIFO, socket or device: skipped, never opened
        error,   // a path that could not be looked at or listed; `error` is the errno
    };
    std::string path;
    Kind kind;
    int error = 0;
    // The directory an entry was listed in, and where its name starts in `path`: it is opened
    // relative to that directory, without the kernel walking its whole path again. Null for a
    // path named at the top.
    std::shared_ptr<const DirFd> dir;
    std::size_t name_at = 0;

    // Opens the entry with open(2)'s `flags`; -1 with errno on failure.
    int open(int flags) const;
    // stat(2) of the entry (a link followed, as a named path is); relative to its directory,
    // without the kernel walking its whole path again.
    int stat(struct stat &st) const;
};

class Walker {
public:
    explicit Walker(std::vector<std::string> paths);

    // The next entry, false when there are no more.
    bool next(Entry &out);

private:
    struct Dir {
        std::string path;
        std::shared_ptr<const DirFd> fd;
        std::vector<std::pair<std::string, unsigned char>> entries; // name, d_type
        std::size_t next = 0;
    };
    // Lists `path` onto the stack (`name` in the directory on top of the stack, or the whole
    // path at the top); an error entry when it cannot be read.
    bool enter(const std::string &path, const char *name, Entry &out);

    std::vector<std::string> paths_;
    std::size_t next_path_ = 0;
    std::vector<Dir> stack_;
};

// Appends the entries of the open directory `fd` but "." and "..", with their d_type, in
// the order the file system lists them; false with errno on failure.
bool list_entries(int fd, std::vector<std::pair<std::string, unsigned char>> &out);

// `dir` + "/" + `name`, as os.path.join writes it.
std::string join(const std::string &dir, const std::string &name);

} // namespace veltrane::files
