// The integer mixers every part of the library hashes with. Stored MinHash signatures, gear
// tables and the tests' golden vectors depend on them: they are fixed for good.
#pragma once

#include <cstddef>
#include <cstdint>

namespace veltrane::hash {

// 2^64 divided by the golden ratio: Knuth's multiplier of Fibonacci hashing (TAOCP vol. 3,
// 6.4) and splitmix64's increment.
constexpr uint64_t kGolden = 0x9E3779B97F4A7C15ULL;

// splitmix64's finaliser (Steele, Lea and Flood, "Fast splittable pseudorandom number
// generators", 2014): a bijection in which every input bit reaches every output bit, so
// values that differ only in their low bits still spread over all 64. Its multipliers are
// named for the kernels that compute it in vector lanes.
constexpr uint64_t kMix1 = 0xBF58476D1CE4E5B9ULL, kMix2 = 0x94D049BB133111EBULL;
constexpr uint64_t mix64(uint64_t z) {
    z = (z ^ (z >> 30)) * kMix1;
    z = (z ^ (z >> 27)) * kMix2;
    return z ^ (z >> 31);
}

// splitmix64: the next output of the generator whose state is `state`.
constexpr uint64_t splitmix64(uint64_t &state) {
    state += kGolden;
    return mix64(state);
}

// Fibonacci hashing: the slot of `key` in a table of 2^bits slots (1 <= bits <= 63). The
// product's high bits depend on all of the key's bits, its high and low ones included.
constexpr std::size_t fibonacci_slot(uint64_t key, int bits) {
    return static_cast<std::size_t>((key * kGolden) >> (64 - bits));
}

} // namespace veltrane::hash
