#include "dedup/digest_set.hpp"

#include <stdexcept>

namespace veltrane::dedup {

namespace {
constexpr std::size_t kFirstCapacity = 1024;
// Grows at 3/4 full, to twice the size: between 3/8 and 3/4 full, 5 bytes a slot.
bool too_full(std::size_t count, std::size_t capacity) {
    return 4 * count > 3 * capacity;
}
} // namespace

DigestSet::DigestSet() {
    rebuild(kFirstCapacity);
}

void DigestSet::place(uint32_t index) {
    const Digest &d = (*this)[index];
    std::size_t at = position_bits(d) & mask_;
    while (tags_[at] != 0) {
        at = (at + 1) & mask_;
    }
    tags_[at] = tag(d);
    slots_[at] = index;
}

void DigestSet::rebuild(std::size_t capacity) {
    std::vector<uint8_t>().swap(tags_);
    std::vector<uint32_t>().swap(slots_);
    tags_.assign(capacity, 0);
    slots_.resize(capacity);
    mask_ = capacity - 1;
    for (std::size_t i = 0; i < count_; ++i) {
        place(static_cast<uint32_t>(i));
    }
}

bool DigestSet::contains(const Digest &d) const {
    const uint8_t t = tag(d);
    for (std::size_t at = position_bits(d) & mask_; tags_[at] != 0; at = (at + 1) & mask_) {
        if (tags_[at] == t && (*this)[slots_[at]] == d) {
            return true;
        }
    }
    return false;
}

bool DigestSet::insert(const Digest &d) {
    const uint8_t t = tag(d);
    std::size_t at = position_bits(d) & mask_;
    for (; tags_[at] != 0; at = (at + 1) & mask_) {
        if (tags_[at] == t && (*this)[slots_[at]] == d) {
            return false;
        }
    }
    if (count_ == UINT32_MAX) {
        throw std::length_error("more than 2^32 - 1 distinct chunks");
    }
    if ((count_ >> kBlockBits) == blocks_.size()) {
        blocks_.emplace_back(new Digest[kBlockMask + 1]);
    }
    const auto index = static_cast<uint32_t>(count_++);
    blocks_[index >> kBlockBits][index & kBlockMask] = d;
    if (too_full(count_, mask_ + 1)) {
        rebuild(2 * (mask_ + 1));
    } else {
        tags_[at] = t;
        slots_[at] = index;
    }
    return true;
}

void DigestSet::truncate(std::size_t n) {
    if (n >= count_) {
        return;
    }
    count_ = n;
    blocks_.resize((n + kBlockMask) >> kBlockBits);
    rebuild(mask_ + 1);
}

std::size_t DigestSet::memory_bytes() const {
    return blocks_.size() * (kBlockMask + 1) * sizeof(Digest) + tags_.size() + 4 * slots_.size();
}

} // namespace veltrane::dedup
