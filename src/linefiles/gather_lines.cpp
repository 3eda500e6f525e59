#include "linefiles/gather_lines.hpp"

#include "common/batches.hpp"
#include "linefiles/send_ranges.hpp"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace veltrane::linefiles {

std::vector<std::size_t> span_offsets(const int64_t *spans, std::size_t n) {
    std::vector<std::size_t> at(n + 1, 0);
    for (std::size_t k = 0; k < n; ++k) {
        if (spans[2 * k] < 0 || spans[2 * k + 1] < 0) {
            throw std::invalid_argument("spans must be non-negative offsets and lengths");
        }
        at[k + 1] = at[k] + static_cast<std::size_t>(spans[2 * k + 1]);
    }
    return at;
}

int gather_spans(const std::string &path,
                 const int64_t *spans,
                 std::size_t n,
                 const std::size_t *at,
                 char *into,
                 int threads) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    std::atomic<int> error {0};
    std::atomic<bool> short_read {false};
    parallel_batches(n, 1024, threads, [&](std::size_t begin, std::size_t end, std::size_t) {
        for (std::size_t k = begin; k < end && error == 0 && !short_read; ++k) {
            auto offset = static_cast<off_t>(spans[2 * k]);
            char *to = into + at[k];
            std::size_t left = at[k + 1] - at[k];
            while (left > 0) {
                const ssize_t got = ::pread(fd, to, left, offset);
                if (got < 0 && errno == EINTR) {
                    continue;
                }
                if (got <= 0) {
                    if (got < 0) {
                        error = errno;
                    } else {
                        short_read = true;
                    }
                    break;
                }
                to += got;
                offset += got;
                left -= static_cast<std::size_t>(got);
            }
        }
    });
    ::close(fd);
    if (error != 0) {
        return error;
    }
    return short_read ? kEndedEarly : 0;
}

std::size_t unended_lines(const char *data, const std::size_t *at, std::size_t n) {
    std::size_t missing = 0;
    for (std::size_t k = 0; k < n; ++k) {
        missing += at[k + 1] == at[k] || data[at[k + 1] - 1] != '\n';
    }
    return missing;
}

std::string end_lines(const char *data, const std::size_t *at, std::size_t n) {
    std::string ended;
    ended.reserve(at[n] + unended_lines(data, at, n));
    for (std::size_t k = 0; k < n; ++k) {
        ended.append(data + at[k], at[k + 1] - at[k]);
        if (at[k + 1] == at[k] || data[at[k + 1] - 1] != '\n') {
            ended.push_back('\n');
        }
    }
    return ended;
}

} // namespace veltrane::linefiles
