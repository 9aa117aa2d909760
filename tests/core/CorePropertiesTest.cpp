// Properties of the sorting core on its own, from its own settings: what a sort does to a span,
// the keyed sort against the comparator, the radix sort's stability.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "CoreSupport.h"
#include "sorting/RadixSort.h"

namespace korvane::utils::test {
namespace {

// A sort-only look: spans are found from positions and weights (reverse off).
TEST(SortProperties, SpansArePermutationsInKeyOrderAndTheRestIsUntouched) {
    std::mt19937 g(20261208);
    for (int round = 0; round < 300; ++round) {
        SortSettings s;
        s.triggerKey = Pick(g, 1, 9);
        s.sortKey = Pick(g, 1, 10);
        s.thresholdMode = Pick(g, 1, 2);
        s.thresholdLow = Uniform(g, 0.0f, 0.5f);
        s.thresholdHigh = Uniform(g, 0.4f, 1.0f);
        s.blockWidth = Chance(g, 0.5) ? 1.0f : Uniform(g, 0.0f, 1.0f);
        s.fillLineEnd = Chance(g, 0.5);
        const int32_t width = Chance(g, 0.8) ? Pick(g, 1, 40) : Pick(g, 128, 400);  // both sorts
        const int32_t height = Pick(g, 1, 4);
        const auto input = RandomRecords(g, static_cast<size_t>(width) * height, false);
        Info info = Prepared(input, width, s);
        ASSERT_TRUE(SortAllLinesSequentially(info));
        const auto& out = info.lineRecords;
        std::vector<bool> inSpan(out.size(), false);
        for (const auto& [start, end] : ProcessedSpans(out, 0, info.gridCount)) {
            ASSERT_GE(end - start, 2);
            std::vector<PixelRecord> before(input.begin() + start, input.begin() + end);
            std::vector<PixelRecord> after(out.begin() + start, out.begin() + end);
            for (auto& rec : after) {
                rec.spanPosition = 0.0f;
                rec.spanWeight = 0.0f;
            }
            ASSERT_EQ(FirstDifference(SortedByBytes(before), SortedByBytes(after)), -1) << "round " << round;
            float previous = std::numeric_limits<float>::infinity();
            bool sawNaN = false;
            for (int64_t i = start; i < end; ++i) {
                inSpan[static_cast<size_t>(i)] = true;
                const float key = SortValue(out[static_cast<size_t>(i)], s.sortKey);
                if (std::isnan(key)) {
                    sawNaN = true;
                    continue;
                }
                ASSERT_FALSE(sawNaN) << "a NaN key came before a number, round " << round;
                ASSERT_LE(key, previous) << "round " << round;
                previous = key;
            }
        }
        for (size_t i = 0; i < out.size(); ++i) {
            if (!inSpan[i]) {
                ASSERT_TRUE(SameRecord(out[i], input[i])) << "round " << round << " index " << i;
            }
        }
    }
}

TEST(SortProperties, KeyedSortOrdersLikeTheComparator) {
    std::mt19937 g(7);
    for (int round = 0; round < 200; ++round) {
        SortSettings s;
        s.sortKey = Pick(g, 0, 11);
        s.reverse = Chance(g, 0.5);
        s.thresholdHigh = 2.0f;
        s.fillLineEnd = true;
        auto input = RandomRecords(g, static_cast<size_t>(Chance(g, 0.5) ? Pick(g, 2, 127) : Pick(g, 128, 700)), false);
        for (auto& rec : input) {  // NaN keys have no comparator order; NaN triggers cut spans short
            for (FloatPixel* px : {&rec.sortSource, &rec.trigger}) {
                for (float* c : {&px->alpha, &px->red, &px->green, &px->blue}) {
                    if (std::isnan(*c)) *c = 0.5f;
                }
            }
        }
        const int32_t width = static_cast<int32_t>(input.size());
        Info keyed = Prepared(input, width, s);
        Info compared = Prepared(input, width, s);
        compared.derived.comparatorSort = true;
        ASSERT_TRUE(SortAllLinesSequentially(keyed));
        ASSERT_TRUE(SortAllLinesSequentially(compared));
        for (size_t i = 0; i < input.size(); ++i) {
            ASSERT_EQ(SortValue(keyed.lineRecords[i], s.sortKey), SortValue(compared.lineRecords[i], s.sortKey))
                << "round " << round << " index " << i;
        }
    }
}

TEST(SortProperties, RadixSortIsStableByTheHighHalf) {
    std::mt19937 g(11);
    std::vector<uint64_t> spare;
    for (int round = 0; round < 600; ++round) {
        const size_t n = static_cast<size_t>(Chance(g, 0.3) ? Pick(g, 0, 70) : Pick(g, 64, 3000));
        // Few distinct keys give long runs of ties; some rounds share all but one key byte; some
        // lie close together across byte boundaries (0x3fffff.. next to 0x400000..), at the ends
        // of the key range, or all equal.
        const uint32_t keyMask = Chance(g, 0.5) ? 0x7u : Chance(g, 0.5) ? 0x00ff0000u : 0xffffffffu;
        const int spread = Pick(g, 0, 5);
        const uint32_t centre = Chance(g, 0.5) ? 0x40000000u : g();
        std::vector<uint64_t> values(n);
        for (uint64_t& v : values) {
            uint32_t key = g() & keyMask;
            if (spread == 1) key = centre + (g() % 513u) - 256u;  // wraps round 0 too
            if (spread == 2) key = centre + (g() % (1u << Pick(g, 8, 24))) - (1u << 7);
            if (spread == 3) key = Chance(g, 0.5) ? 0u : Chance(g, 0.5) ? 0xffffffffu : g();
            if (spread == 4) key = centre;
            v = (static_cast<uint64_t>(key) << 32) | g();
        }
        std::vector<uint64_t> expected = values;
        std::stable_sort(expected.begin(), expected.end(),
                         [](uint64_t a, uint64_t b) { return (a >> 32) < (b >> 32); });
        SortByHighHalf(values.data(), values.size(), spare);
        ASSERT_EQ(values, expected) << "round " << round << ", " << n << " values";
    }
}

}  // namespace
}  // namespace korvane::utils::test
