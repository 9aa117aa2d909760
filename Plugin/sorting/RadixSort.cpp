#include "sorting/RadixSort.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

namespace korvane::utils {

namespace {

constexpr size_t kInsertionLimit = 64;

uint32_t HighHalf(uint64_t v) { return static_cast<uint32_t>(v >> 32); }

void InsertionSortByHighHalf(uint64_t* values, size_t n) {
    for (size_t i = 1; i < n; ++i) {
        const uint64_t v = values[i];
        const uint32_t key = HighHalf(v);
        size_t j = i;
        while (j > 0 && HighHalf(values[j - 1]) > key) {
            values[j] = values[j - 1];
            --j;
        }
        values[j] = v;
    }
}

// The least-significant-digit passes over the bytes of key − low, which fit in Passes bytes.
template <int Passes>
void SortByDistance(uint64_t* values, size_t n, uint32_t low, uint64_t* spare) {
    uint32_t counts[Passes][256] = {};
    for (size_t i = 0; i < n; ++i) {
        const uint32_t distance = HighHalf(values[i]) - low;
        for (int pass = 0; pass < Passes; ++pass) {
            ++counts[pass][(distance >> (8 * pass)) & 0xffu];
        }
    }
    uint64_t* from = values;
    uint64_t* to = spare;
    for (int pass = 0; pass < Passes; ++pass) {
        uint32_t* count = counts[pass];
        if (count[(HighHalf(from[0]) - low) >> (8 * pass) & 0xffu] == n) {
            continue;  // every key has this digit
        }
        uint32_t offset = 0;
        for (int digit = 0; digit < 256; ++digit) {
            const uint32_t c = count[digit];
            count[digit] = offset;
            offset += c;
        }
        for (size_t i = 0; i < n; ++i) {
            const uint64_t v = from[i];
            to[count[((HighHalf(v) - low) >> (8 * pass)) & 0xffu]++] = v;
        }
        std::swap(from, to);
    }
    if (from != values) {
        std::memcpy(values, from, n * sizeof(uint64_t));
    }
}

}  // namespace

void SortByHighHalf(uint64_t* values, size_t n, std::vector<uint64_t>& spare) {
    if (n < kInsertionLimit) {
        InsertionSortByHighHalf(values, n);
        return;
    }
    uint32_t low = HighHalf(values[0]);
    uint32_t high = low;
    for (size_t i = 1; i < n; ++i) {
        const uint32_t key = HighHalf(values[i]);
        low = key < low ? key : low;
        high = key > high ? key : high;
    }
    if (low == high) {
        return;  // one key: already in order
    }
    if (spare.size() < n) spare.resize(n);
    // The keys of a span lie closer together than their top bytes suggest (keys of 0.49 and 0.51
    // differ there): sorted by their distance from the smallest, most spans need three passes.
    switch ((std::bit_width(high - low) + 7) / 8) {
        case 1: SortByDistance<1>(values, n, low, spare.data()); break;
        case 2: SortByDistance<2>(values, n, low, spare.data()); break;
        case 3: SortByDistance<3>(values, n, low, spare.data()); break;
        default: SortByDistance<4>(values, n, low, spare.data()); break;
    }
}

}  // namespace korvane::utils
