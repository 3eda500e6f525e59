// The records of plain corpus files that are the first of their exact copies, copied to an
// output while the files are still being scanned: with exact digests, whether a record is
// kept (the first with its digest) is known once the records before it are, so the output is
// written behind the scan instead of after it. On 1 GB of JSON Lines the copy and the scan
// then share the two cores instead of following each other.
#pragma once

#include "dedup/digest_set.hpp"
#include "linefiles/send_ranges.hpp"
#include "linefiles/signed_file.hpp"

#include <array>
#include <cstdint>
#include <vector>

namespace veltrane::linefiles {

class FirstCopies final : public Follower {
public:
    // Writes to `out` at its offset. A record whose digest is `apart` (the digest of a text
    // without words, which is a copy of nothing) is always kept; null: none is.
    FirstCopies(int out, const uint32_t *apart);

    void lines(const File &file,
               const LineOut *lines,
               std::size_t from,
               std::size_t to,
               const uint32_t *rows,
               std::size_t stride) override;
    void end(const File &file) override;

    // Whether each record told of so far was written, in order, across files.
    const std::vector<uint8_t> &kept() const {
        return kept_;
    }
    // 0, the errno value of a failed copy, or kEndedEarly (a file was cut short); after one,
    // nothing more is written.
    int error() const {
        return error_;
    }

private:
    void flush(const File &file);

    Sender sender_;
    dedup::DigestSet seen_;
    std::array<uint32_t, 4> apart_ {};
    bool has_apart_ = false;
    std::vector<uint8_t> kept_;
    // The run of adjacent kept lines not yet copied, and where the last copy ended.
    int64_t run_begin_ = 0, run_end_ = 0, copied_to_ = -1;
    int error_ = 0;
};

} // namespace veltrane::linefiles
