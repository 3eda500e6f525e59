#include "search/exact.hpp"

#include "common/hash.hpp"

namespace veltrane::exact {

std::vector<int64_t> first_equal(const uint64_t *values, std::size_t n) {
    // Open addressing in input order, twice as many slots as digests, each slot the first
    // index of its group plus one (0: empty). The halves are uniform hashes already; the
    // Fibonacci slot spreads them anyway, should a caller pass something less random.
    int bits = 4;
    while ((std::size_t {1} << bits) < 2 * n) {
        ++bits;
    }
    const std::size_t mask = (std::size_t {1} << bits) - 1;
    std::vector<uint64_t> slots(mask + 1, 0);
    std::vector<int64_t> first(n);
    for (std::size_t i = 0; i < n; ++i) {
        const uint64_t lo = values[2 * i], hi = values[2 * i + 1];
        std::size_t at = hash::fibonacci_slot(lo, bits);
        for (;; at = (at + 1) & mask) {
            const uint64_t slot = slots[at];
            if (slot == 0) {
                slots[at] = i + 1;
                first[i] = static_cast<int64_t>(i);
                break;
            }
            const std::size_t j = slot - 1;
            if (values[2 * j] == lo && values[2 * j + 1] == hi) {
                first[i] = static_cast<int64_t>(j);
                break;
            }
        }
    }
    return first;
}

} // namespace veltrane::exact
