// The groups of equal digests: texts whose 128-bit digests (text/digest.hpp) are equal are
// copies, so an exact search needs no pairs, only each text's group.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace veltrane::exact {

// For each of the n digests (two 64-bit halves each, values[2i], values[2i + 1]), the index
// of the first equal one: i itself when it is the first of its group.
std::vector<int64_t> first_equal(const uint64_t *values, std::size_t n);

} // namespace veltrane::exact
