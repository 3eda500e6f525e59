#include "linefiles/first_copies.hpp"

#include <cerrno>
#include <cstring>
#include <exception>

namespace veltrane::linefiles {

FirstCopies::FirstCopies(int out, const uint32_t *apart) : sender_(out) {
    if (apart != nullptr) {
        std::memcpy(apart_.data(), apart, sizeof apart_);
        has_apart_ = true;
    }
}

void FirstCopies::lines(const File &file,
                        const LineOut *lines,
                        std::size_t from,
                        std::size_t to,
                        const uint32_t *rows,
                        std::size_t stride) {
    for (std::size_t line = from; line < to; ++line) {
        const LineOut &o = lines[line];
        if (o.kind == Kind::none) {
            continue; // no record: a blank JSON Lines line is not written
        }
        bool keep = true;
        if (o.kind == Kind::signed_record) {
            const uint32_t *row = rows + line * stride;
            if (!has_apart_ || std::memcmp(row, apart_.data(), sizeof apart_) != 0) {
                // The 16 bytes of the text's digest, the rest of the set's 32 left zero.
                dedup::Digest d {};
                std::memcpy(d.data(), row, sizeof apart_);
                try {
                    keep = seen_.insert(d);
                } catch (const std::exception &) {
                    // Past the set's 2^32 - 1 digests or out of memory, on a thread where
                    // nothing may escape: the copy stops, and the caller writes the output
                    // the other way, which reports it.
                    error_ = error_ != 0 ? error_ : ENOMEM;
                }
            }
        }
        kept_.push_back(keep ? 1 : 0);
        if (!keep) {
            continue;
        }
        if (o.begin != run_end_) {
            flush(file);
            run_begin_ = o.begin;
        }
        run_end_ = o.begin + o.length;
    }
    // Copied a call at a time, so the disk starts on the first stretches while the scan is on.
    flush(file);
}

void FirstCopies::flush(const File &file) {
    if (run_end_ > run_begin_ && error_ == 0) {
        error_ = sender_.send(file.descriptor(), run_begin_, run_end_);
        copied_to_ = run_end_;
    }
    run_begin_ = run_end_;
}

void FirstCopies::end(const File &file) {
    flush(file);
    // The file's last line lacked its ending: the output's line gets one.
    if (error_ == 0 && copied_to_ == static_cast<int64_t>(file.size()) && copied_to_ > 0) {
        char last = 0;
        if (file.read(file.size() - 1, &last, 1) != 1) {
            error_ = kEndedEarly;
        } else if (last != '\n') {
            error_ = sender_.write("\n", 1);
        }
    }
    run_begin_ = run_end_ = 0;
    copied_to_ = -1;
}

} // namespace veltrane::linefiles
