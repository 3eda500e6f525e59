#include "repeats/word_log.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>

namespace veltrane::repeats {

namespace {

// 1 Mi words (8 MiB) written a call; 1 Ki words (8 KiB, two pages) read back a call, since the
// windows of a repeated run are found one after another at the next word.
constexpr std::size_t kPending = std::size_t {1} << 20;
constexpr std::size_t kBlock = std::size_t {1} << 10;

[[noreturn]] void fail(const char *what) {
    throw std::system_error(errno, std::generic_category(), what);
}

} // namespace

WordLog::~WordLog() {
    // Nothing reads the words any more: a failure of the last write is for wait() to report.
    if (writer_.joinable()) {
        writer_.join();
    }
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void WordLog::use_file(const std::string &path, bool write) {
    if (size_ != 0 || fd_ >= 0) {
        throw std::logic_error("the word log is already in use");
    }
    fd_ = ::open(
        path.c_str(), write ? O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC : O_RDONLY | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        fail("open");
    }
    write_ = write;
}

void WordLog::append(const uint64_t *words, std::size_t n) {
    if (fd_ < 0) {
        memory_.append(words, n);
        size_ += n;
        return;
    }
    size_ += n;
    if (!write_) {
        pending_from_ = writing_from_ = size_;
        return;
    }
    while (n > 0) {
        const std::size_t take = std::min(n, kPending - pending_.size());
        pending_.insert(pending_.end(), words, words + take);
        words += take;
        n -= take;
        if (pending_.size() == kPending) {
            flush();
        }
    }
}

void WordLog::join() {
    if (writer_.joinable()) {
        writer_.join();
    }
    if (writer_errno_ != 0) {
        errno = writer_errno_;
        writer_errno_ = 0;
        fail("write");
    }
}

void WordLog::flush() {
    join();
    writing_.swap(pending_);
    pending_.clear();
    writing_from_ = pending_from_;
    pending_from_ += writing_.size();
    try {
        writer_ = std::thread([this] { write_out(); });
    } catch (const std::system_error &) {
        write_out(); // no thread to be had: written here, as before
        join();
    }
}

void WordLog::write_out() {
    const char *p = reinterpret_cast<const char *>(writing_.data());
    std::size_t left = writing_.size() * sizeof(uint64_t);
    off_t at = static_cast<off_t>(writing_from_ * sizeof(uint64_t));
    while (left > 0) {
        const ssize_t put = ::pwrite(fd_, p, left, at);
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            writer_errno_ = errno;
            return;
        }
        p += put;
        left -= static_cast<std::size_t>(put);
        at += put;
    }
}

void WordLog::read(uint64_t pos, std::size_t n, uint64_t *into) {
    char *p = reinterpret_cast<char *>(into);
    std::size_t left = n * sizeof(uint64_t);
    off_t at = static_cast<off_t>(pos * sizeof(uint64_t));
    while (left > 0) {
        const ssize_t got = ::pread(fd_, p, left, at);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            if (got == 0) {
                errno = EIO; // the file is shorter than what was written to it
            }
            fail("read");
        }
        p += got;
        left -= static_cast<std::size_t>(got);
        at += got;
    }
}

const uint64_t *WordLog::at(uint64_t pos, std::size_t n) {
    if (fd_ < 0) {
        return memory_.data() + pos;
    }
    if (pos >= pending_from_) {
        return pending_.data() + (pos - pending_from_);
    }
    if (pos >= writing_from_ && pos + n <= pending_from_) {
        return writing_.data() + (pos - writing_from_);
    }
    if (pos >= block_from_ && pos + n <= block_from_ + block_.size()) {
        return block_.data() + (pos - block_from_);
    }
    // A block from `pos` on: what is not yet in the file comes from memory. The file holds
    // every word before writing_from_, as the writers before the current one were joined.
    const uint64_t end = std::min<uint64_t>(size_, pos + std::max(n, kBlock));
    block_.resize(end - pos);
    block_from_ = pos;
    const uint64_t on_disk = std::min(end, writing_from_);
    if (on_disk > pos) {
        read(pos, on_disk - pos, block_.data());
    }
    for (const auto &[from, words] :
         {std::pair<uint64_t, const std::vector<uint64_t> *> {writing_from_, &writing_},
          {pending_from_, &pending_}}) {
        const uint64_t lo = std::max(pos, from),
                       hi = std::min<uint64_t>(end, from + words->size());
        if (lo < hi) {
            std::memcpy(block_.data() + (lo - pos),
                        words->data() + (lo - from),
                        (hi - lo) * sizeof(uint64_t));
        }
    }
    return block_.data();
}

std::size_t WordLog::held() const {
    return fd_ < 0 ? memory_.held() : 0;
}

} // namespace veltrane::repeats
