#include "store/write_files.hpp"

#include <cerrno>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace veltrane::store {

namespace {

// Writes the pieces one after another; 0 or an errno.
int write_all(int fd, const Piece *pieces, std::size_t count) {
    constexpr std::size_t kMost = 1024; // IOV_MAX on Linux
    struct iovec io[kMost];
    std::size_t next = 0; // the first piece not handed to writev yet
    std::size_t skip = 0; // bytes of it already written
    while (next < count) {
        std::size_t n = 0;
        for (std::size_t k = next; k < count && n < kMost; ++k, ++n) {
            const std::size_t off = k == next ? skip : 0;
            io[n].iov_base = const_cast<unsigned char *>(pieces[k].data + off);
            io[n].iov_len = pieces[k].size - off;
        }
        ssize_t w = writev(fd, io, static_cast<int>(n));
        if (w < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        // Past what was written: whole pieces, then part of one.
        auto left = static_cast<std::size_t>(w);
        while (next < count && left >= pieces[next].size - skip) {
            left -= pieces[next].size - skip;
            skip = 0;
            ++next;
        }
        skip += left;
    }
    return 0;
}

int write_one(int dir,
              const FileOut &f,
              const Piece *pieces,
              bool owner,
              bool force,
              const std::string &tmp) {
    struct stat st;
    if (fstatat(dir, f.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISDIR(st.st_mode)) {
            return kExistsAsDir;
        }
        if (!force) {
            return kExists;
        }
    } else if (errno != ENOENT) {
        return errno;
    }
    const int fd =
        openat(dir, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return errno;
    }
    int error = write_all(fd, pieces, f.pieces);
    if (error == 0 && owner && fchown(fd, f.uid, f.gid) != 0) {
        error = errno;
    }
    if (error == 0 && fchmod(fd, f.mode) != 0) {
        error = errno;
    }
    if (error == 0) {
        struct timespec times[2];
        times[0].tv_sec = times[1].tv_sec = f.mtime_ns / 1000000000;
        times[0].tv_nsec = times[1].tv_nsec = f.mtime_ns % 1000000000;
        if (times[0].tv_nsec < 0) { // times before 1970
            times[0].tv_nsec = times[1].tv_nsec += 1000000000;
            --times[0].tv_sec;
            --times[1].tv_sec;
        }
        if (futimens(fd, times) != 0) {
            error = errno;
        }
    }
    // close reports what a delayed write could not do (a full disk on some file systems).
    if (close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error == 0 && renameat(dir, tmp.c_str(), dir, f.name.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        unlinkat(dir, tmp.c_str(), 0);
    }
    return error;
}

} // namespace

std::vector<int> write_files(int dir,
                             const std::vector<FileOut> &files,
                             const Piece *pieces,
                             bool owner,
                             bool force,
                             const std::string &tmp_prefix) {
    std::random_device seed;
    std::mt19937_64 random((static_cast<uint64_t>(seed()) << 32) ^ seed());
    std::vector<int> out;
    out.reserve(files.size());
    std::string tmp;
    for (const FileOut &f : files) {
        static constexpr char kHex[] = "0123456789abcdef";
        tmp = tmp_prefix;
        for (uint64_t r = random(), k = 0; k < 16; ++k, r >>= 4) {
            tmp.push_back(kHex[r & 15]);
        }
        out.push_back(write_one(dir, f, pieces, owner, force, tmp));
        pieces += f.pieces;
    }
    return out;
}

} // namespace veltrane::store
