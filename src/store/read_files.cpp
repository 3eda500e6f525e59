#include "store/read_files.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace veltrane::store {

namespace {

// Appends the file's bytes to `data` until it ends; false with errno on failure, and
// kTooLong (as errno) once it passes `limit`. `data` is cut back to where it was on failure.
int read_whole(int fd, std::size_t expect, std::size_t limit, std::vector<unsigned char> &data) {
    const std::size_t base = data.size();
    // One more than stat said, so that the read that finds the end needs no second grow.
    data.resize(base + std::min(expect, limit) + 1);
    std::size_t got = 0;
    for (;;) {
        if (base + got == data.size()) {
            if (got > limit) {
                data.resize(base);
                return kTooLong;
            }
            data.resize(base + got + std::max<std::size_t>(got / 2, 1 << 16));
        }
        const ssize_t n = read(fd, data.data() + base + got, data.size() - base - got);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            const int e = errno;
            data.resize(base);
            return e;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    if (got > limit) {
        data.resize(base);
        return kTooLong;
    }
    data.resize(base + got);
    return 0;
}

} // namespace

ReadBatch
read_files(const std::vector<std::string> &paths, const gear::GearCDC &gear, std::size_t limit) {
    ReadBatch out;
    out.files.resize(paths.size());
    std::vector<std::size_t> starts(paths.size(), 0);
    for (std::size_t i = 0; i < paths.size(); ++i) {
        FileRead &f = out.files[i];
        starts[i] = out.data.size();
        const int fd = open(paths[i].c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) {
            f.error = errno;
            continue;
        }
        struct stat st;
        if (fstat(fd, &st) != 0) {
            f.error = errno;
        } else if (!S_ISREG(st.st_mode)) {
            f.error = EINVAL;
        } else if (static_cast<uint64_t>(st.st_size) > limit) {
            f.error = kTooLong;
        } else {
            f.error = read_whole(fd, static_cast<std::size_t>(st.st_size), limit, out.data);
        }
        close(fd);
        if (f.error == 0) {
            f.size = out.data.size() - starts[i];
        }
    }
    // Every chunk of the batch digested in one call: small files' chunks then share SIMD
    // lanes, where one call per file would digest them one at a time.
    std::vector<ByteSpan> spans;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        FileRead &f = out.files[i];
        if (f.error != 0 || f.size == 0) {
            continue;
        }
        const unsigned char *p = out.data.data() + starts[i];
        int64_t last = 0;
        for (const int64_t end : gear.cut_points(p, f.size, 1)) {
            spans.push_back({p + last, static_cast<std::size_t>(end - last)});
            out.lengths.push_back(end - last);
            last = end;
            ++f.chunks;
        }
    }
    if (!spans.empty()) {
        out.digests.resize(spans.size());
        dedup::Blake3Many().digest(spans.data(), spans.size(), out.digests.data());
    }
    return out;
}

} // namespace veltrane::store
