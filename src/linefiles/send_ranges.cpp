#include "linefiles/send_ranges.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <memory>
#include <sys/sendfile.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace veltrane::linefiles {

namespace {

// Write-back is started a step at a time: large enough that each call is worth its cost,
// small enough that the disk starts early and never waits long for the next.
constexpr uint64_t kWriteBackStep = 16 << 20;
constexpr std::size_t kBuffer = 1 << 20;

int write_all(int out, const char *data, std::size_t size) {
    while (size > 0) {
        const ssize_t put = ::write(out, data, size);
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        data += put;
        size -= static_cast<std::size_t>(put);
    }
    return 0;
}

} // namespace

// Starts the write-back of what the copier reports as copied, from another thread. It looks
// every couple of milliseconds instead of waiting on a condition variable: a few hundred
// looks a second cost nothing, and the wait's symbol would need a newer C++ runtime than the
// wheels are built for.
class Sender::WriteBackThread {
public:
    WriteBackThread(int out, off_t base) : out_(out), base_(base), thread_([this] { run(); }) {}
    ~WriteBackThread() {
        finished_.store(true);
        thread_.join();
    }
    void copied(uint64_t bytes) {
        copied_.fetch_add(bytes, std::memory_order_relaxed);
    }

private:
    void run() {
        uint64_t started = 0;
        while (!finished_.load()) {
            const uint64_t to = copied_.load(std::memory_order_relaxed);
            if (to - started < kWriteBackStep) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                continue;
            }
            // A pipe or a file system without it refuses: only a hint, so nothing is lost.
            if (::sync_file_range(out_,
                                  base_ + static_cast<off_t>(started),
                                  static_cast<off_t>(to - started),
                                  SYNC_FILE_RANGE_WRITE) != 0 &&
                errno != EINTR) {
                return; // the caller's fsync writes the rest
            }
            started = to;
        }
    }

    int out_;
    off_t base_;
    std::atomic<uint64_t> copied_ {0};
    std::atomic<bool> finished_ {false};
    std::thread thread_;
};

Sender::Sender(int out) : out_(out) {
    const off_t base = ::lseek(out, 0, SEEK_CUR);
    write_back_ = std::make_unique<WriteBackThread>(out, base < 0 ? 0 : base);
}

Sender::~Sender() = default;

int Sender::send(int in, int64_t begin, int64_t end) {
    auto at = static_cast<off_t>(begin);
    const auto stop = static_cast<off_t>(end);
    while (at < stop) {
        ssize_t sent = 0;
        if (kernel_) {
            sent = ::sendfile(out_, in, &at, static_cast<std::size_t>(stop - at));
            if (sent < 0) {
                if (errno == EINTR) {
                    continue;
                }
                if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) {
                    kernel_ = false; // a file system that cannot send: through a buffer
                    continue;
                }
                return errno;
            }
        } else {
            buffer_.resize(kBuffer);
            const auto want =
                static_cast<std::size_t>(std::min<off_t>(stop - at, static_cast<off_t>(kBuffer)));
            sent = ::pread(in, buffer_.data(), want, at);
            if (sent < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return errno;
            }
            if (sent > 0) {
                if (const int e =
                        write_all(out_, buffer_.data(), static_cast<std::size_t>(sent))) {
                    return e;
                }
                at += sent;
            }
        }
        if (sent == 0) {
            return kEndedEarly;
        }
        write_back_->copied(static_cast<uint64_t>(sent));
    }
    return 0;
}

int Sender::write(const char *data, std::size_t size) {
    const int e = write_all(out_, data, size);
    if (e == 0) {
        write_back_->copied(size);
    }
    return e;
}

int send_ranges(int in, int out, const int64_t *starts, const int64_t *ends, std::size_t n) {
    Sender sender(out);
    for (std::size_t k = 0; k < n; ++k) {
        if (const int e = sender.send(in, starts[k], ends[k])) {
            return e;
        }
    }
    return 0;
}

int send_file_ranges(const std::string &path,
                     int out,
                     const int64_t *starts,
                     const int64_t *ends,
                     std::size_t n,
                     bool &opened) {
    const int in = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    opened = in >= 0;
    if (!opened) {
        return errno;
    }
    const int error = send_ranges(in, out, starts, ends, n);
    ::close(in);
    return error;
}

} // namespace veltrane::linefiles
