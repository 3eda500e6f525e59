// The word hashes of every text with a window, in corpus order: what a window found again by
// its hash is compared with. In memory, or in a file when a corpus's words would not fit:
// 8 bytes a word is as much as the corpus itself for short words.
#pragma once

#include "common/huge_pages.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace veltrane::repeats {

class WordLog {
public:
    WordLog() = default;
    WordLog(const WordLog &) = delete;
    WordLog &operator=(const WordLog &) = delete;
    ~WordLog();

    // Keeps the words in the file `path` from now on (the log must still be empty): written
    // there when `write`, else the file already holds them, as a pass before wrote it.
    // Throws std::system_error.
    void use_file(const std::string &path, bool write);

    // Appends n words; throws std::system_error when the file could not take them (an
    // earlier write's failure shows here, or in sync() or wait()).
    void append(const uint64_t *words, std::size_t n);
    // Starts writing out what is pending, on a thread of its own: the words written before
    // are in the file by then. Throws std::system_error as append().
    void sync() {
        if (fd_ >= 0 && write_ && !pending_.empty()) {
            flush();
        }
    }
    // Writes out what is pending and waits: the file then holds every word appended. Throws
    // std::system_error as append().
    void wait() {
        sync();
        join();
    }
    std::size_t size() const {
        return size_;
    }
    // Words [pos, pos + n), all appended: valid until the next call.
    const uint64_t *at(uint64_t pos, std::size_t n);
    // Bytes of memory held for the words: none with a file, but for its buffers of a few MiB.
    std::size_t held() const;

private:
    // Hands what is pending to the writer, once the one before is done.
    void flush();
    // Waits for the writer; throws what it met.
    void join();
    // Writes `writing_` at its place; a failure is left in writer_errno_.
    void write_out();
    void read(uint64_t pos, std::size_t n, uint64_t *into);

    memory::Grown<uint64_t> memory_;
    int fd_ = -1;
    bool write_ = false;
    std::size_t size_ = 0;
    // File: words not yet written, from `pending_from_` on; those being written, from
    // `writing_from_` on (read only, by the writer and by at(), until it is joined); and a
    // block read back. Writing on a thread of its own: the log takes 8 bytes a word, as much
    // as the corpus, and writing it took a fifth of the thread that decides in corpus order.
    std::vector<uint64_t> pending_;
    uint64_t pending_from_ = 0;
    std::vector<uint64_t> writing_;
    uint64_t writing_from_ = 0;
    std::thread writer_;
    int writer_errno_ = 0;
    std::vector<uint64_t> block_;
    uint64_t block_from_ = 0;
};

} // namespace veltrane::repeats
