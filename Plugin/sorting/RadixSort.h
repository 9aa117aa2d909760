// Sorting of 64-bit values by the key in their high 32 bits: the spans of a line carry their sort
// key there and, in the low half, the index or the pixel the key belongs to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvane::utils {

// Orders values[0, n) by their high 32 bits as unsigned integers; values with equal high halves
// keep the order they had (a stable sort), whatever their low halves. A least-significant-digit
// radix sort over the bytes of each key's distance from the smallest key, as many as the largest
// distance needs, skipping bytes every distance shares; short runs are sorted by insertion. `spare`
// is the radix sort's second buffer, grown as needed and kept by the caller.
void SortByHighHalf(uint64_t* values, size_t n, std::vector<uint64_t>& spare);

}  // namespace korvane::utils
