#include "sorting/RadixSort.h"

#include <algorithm>
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

}  // namespace

void SortByHighHalf(uint64_t* values, size_t n, std::vector<uint64_t>& spare) {
    if (n < kInsertionLimit) {
        InsertionSortByHighHalf(values, n);
        return;
    }
    uint32_t counts[4][256] = {};
    for (size_t i = 0; i < n; ++i) {
        const uint32_t key = HighHalf(values[i]);
        ++counts[0][key & 0xffu];
        ++counts[1][(key >> 8) & 0xffu];
        ++counts[2][(key >> 16) & 0xffu];
        ++counts[3][key >> 24];
    }
    if (spare.size() < n) spare.resize(n);
    uint64_t* from = values;
    uint64_t* to = spare.data();
    const uint32_t firstKey = HighHalf(values[0]);
    for (int pass = 0; pass < 4; ++pass) {
        const int shift = 32 + pass * 8;
        uint32_t* count = counts[pass];
        if (count[(firstKey >> (pass * 8)) & 0xffu] == n) {
            continue;
        }
        uint32_t offset = 0;
        for (int digit = 0; digit < 256; ++digit) {
            const uint32_t c = count[digit];
            count[digit] = offset;
            offset += c;
        }
        for (size_t i = 0; i < n; ++i) {
            const uint64_t v = from[i];
            to[count[(v >> shift) & 0xffu]++] = v;
        }
        std::swap(from, to);
    }
    if (from != values) {
        std::copy(from, from + n, values);
    }
}

}  // namespace korvane::utils
