// Span detection: thresholds, the line end, blocks, mask gating, length limit, growth and offsets.
// The looks use the Mask output, which marks spans (weight 1, positions 0, 1/N, …) without moving
// records, so the spans can be read back.
#include <cmath>
#include <limits>

#include "SortingTestSupport.h"

namespace korvane::utils::test {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

KRVN_Params MaskLook() {
    KRVN_Params p = RedParams();
    p.mode = kModeMask;
    return p;
}

std::vector<PixelRecord> Reds(std::initializer_list<float> reds) {
    std::vector<PixelRecord> records;
    for (const float r : reds) {
        records.push_back(Red(r));
    }
    return records;
}

Spans SpansOf(const std::vector<PixelRecord>& reds, const KRVN_Params& p) {
    Info info = Prepared(reds, static_cast<int32_t>(reds.size()), p);
    EXPECT_TRUE(SortAllLinesSequentially(info)) << info.Message();
    return ProcessedSpans(info.lineRecords, 0, info.gridCount);
}

TEST(SpanDetection, LowerThresholdInclusiveUpperExclusive) {
    KRVN_Params p = MaskLook();
    p.threshold_low = 0.25f;
    p.threshold_high = 0.75f;
    EXPECT_EQ(SpansOf(Reds({0.25f, 0.5f, 0.75f, 0.3f, 0.4f, 0.9f}), p), (Spans{{0, 2}, {2, 5}}));
    p.effect = kThresholdOutside;
    EXPECT_EQ(SpansOf(Reds({0.1f, 0.9f, 0.5f, 0.95f, 0.99f, 0.6f}), p), (Spans{{0, 2}, {2, 5}}));
}

TEST(SpanDetection, NaNKeysBreakInsideButNotOutside) {
    KRVN_Params p = MaskLook();
    p.fill = true;  // one line: the last span ends before the image's last record
    EXPECT_EQ(SpansOf(Reds({0.1f, 0.2f, kNaN, 0.1f, 0.2f, 0.3f}), p), (Spans{{0, 2}, {2, 5}}));
    p.effect = kThresholdOutside;
    EXPECT_EQ(SpansOf(Reds({0.9f, kNaN, 0.8f, 0.1f, 0.9f, 0.9f}), p), (Spans{{0, 3}, {3, 5}}));
}

TEST(SpanDetection, NoiseSkewsTheTrigger) {
    KRVN_Params p = MaskLook();
    p.fill = true;
    p.noise_amount = 1.0f;
    p.noise_size = 0.05f;
    std::vector<PixelRecord> line(64, Red(0.3f));
    const Spans quiet = SpansOf(line, MaskLook());
    const Spans noisy = SpansOf(line, p);
    EXPECT_TRUE(quiet.empty());
    EXPECT_NE(noisy, quiet);
    p.noise_complexity = 0;  // no octaves: no noise
    EXPECT_EQ(SpansOf(line, p), (Spans{{0, 63}}));
    p.noise_complexity = 9;  // beyond the slider: as many octaves as the slider allows
    KRVN_Params eight = p;
    eight.noise_complexity = 8;
    EXPECT_EQ(SpansOf(line, p), SpansOf(line, eight));
}

TEST(SpanDetection, MaximumSpanLengthZeroSortsNothing) {
    KRVN_Params p = RedParams();
    p.block_width = 0.0f;
    p.fill = true;
    const auto reds = Reds({0.4f, 0.1f, 0.3f, 0.2f, 0.05f});
    Info info = Prepared(reds, 5, p);
    ASSERT_EQ(info.maxSpanLength, 0);
    ASSERT_TRUE(SortAllLinesSequentially(info));
    EXPECT_EQ(FirstDifference(info.lineRecords, reds), -1);
}

TEST(SpanDetection, LengthLimitClosesSpans) {
    KRVN_Params p = MaskLook();
    p.block_width = 0.5f;  // 8 × 0.25 = 2: a span closes once it would pass 2 + 1 records
    p.fill = true;
    EXPECT_EQ(SpansOf(std::vector<PixelRecord>(8, Red(0.1f)), p), (Spans{{0, 3}, {3, 6}}));
}

TEST(SpanDetection, LineEndWithAndWithoutFill) {
    const std::vector<PixelRecord> grid(10, Red(0.1f));  // two lines of 5, all inside
    KRVN_Params p = MaskLook();
    Info off = Prepared(grid, 5, p);
    ASSERT_TRUE(SortAllLinesSequentially(off));
    EXPECT_TRUE(ProcessedSpans(off.lineRecords, 0, 10).empty());
    p.fill = true;
    Info on = Prepared(grid, 5, p);
    ASSERT_TRUE(SortAllLinesSequentially(on));
    // Line 0 closes at x = 5 on the next line's head; the last line closes on the image's last
    // record, which belongs to no span.
    EXPECT_EQ(ProcessedSpans(on.lineRecords, 0, 10), (Spans{{0, 5}, {5, 9}}));
}

TEST(SpanDetection, BlockLinesTakeTheirTriggersFromTheBlocksFirstLine) {
    KRVN_Params p = MaskLook();
    p.block_height = 0.7071068f;  // 8 × 0.5 = 4 lines per block
    std::vector<PixelRecord> grid(64, Red(0.1f));
    grid[3] = Red(0.9f);
    grid[6] = Red(0.9f);
    grid[4 * 8 + 5] = Red(0.9f);
    Info info = Prepared(grid, 8, p);
    ASSERT_EQ(info.blockLines, 4);
    ASSERT_TRUE(SortAllLinesSequentially(info));
    for (int64_t y = 0; y < 8; ++y) {
        const int64_t s = y * 8;
        const Spans expected = y < 4 ? Spans{{s, s + 3}, {s + 3, s + 6}} : Spans{{s, s + 5}};
        EXPECT_EQ(ProcessedSpans(info.lineRecords, s, s + 8), expected) << "line " << y;
    }
}

TEST(SpanDetection, MaskGatingStartsSpansOnMaskedPixelsOnly) {
    KRVN_Params p = MaskLook();
    p.has_masks = true;
    auto line = Reds({0.9f, 0.9f, 0.9f, 0.1f, 0.1f, 0.9f, 0.9f});
    EXPECT_TRUE(SpansOf(line, p).empty());  // nothing inside the mask
    for (const int i : {2, 3, 4}) {
        line[static_cast<size_t>(i)].inMask = 1;
    }
    // The span starts on the first masked pixel whatever its key, and closes on leaving the mask.
    EXPECT_EQ(SpansOf(line, p), (Spans{{2, 5}}));
    // After the span left the mask, a masked pixel that would close it does not.
    auto reentered = Reds({0.1f, 0.1f, 0.1f, 0.1f, 0.9f, 0.1f, 0.1f});
    for (const int i : {0, 1, 4}) {
        reentered[static_cast<size_t>(i)].inMask = 1;
    }
    EXPECT_EQ(SpansOf(reentered, p), Spans{});
    p.fill = true;
    EXPECT_EQ(SpansOf(reentered, p), (Spans{{0, 6}}));
}

TEST(SpanDetection, GrowthAndOffsetMoveTheBounds) {
    const auto line = Reds({0.1f, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f, 0.9f});
    KRVN_Params p = MaskLook();
    p.offset = 0.5f;
    EXPECT_EQ(SpansOf(line, p), (Spans{{5, 10}}));
    p.offset = 0.0f;
    p.animate_growth = 0.5f;
    EXPECT_EQ(SpansOf(line, p), (Spans{{0, 5}}));
    p.animate_growth = 1.5f;
    EXPECT_EQ(SpansOf(line, p), (Spans{{5, 10}}));
    p.animate_growth = 2.0f;
    EXPECT_EQ(SpansOf(line, p), Spans{});  // the span is moved past its closing pixel
}

TEST(SpanDetection, RandomOffsetIsCutAtTheImageStartAndRepeats) {
    const auto line = Reds({0.9f, 0.1f, 0.1f, 0.1f, 0.1f, 0.9f});
    KRVN_Params p = MaskLook();
    p.random_offset = 1.0f;
    for (int32_t seed = 0; seed < 20; ++seed) {
        p.random_seed = seed;
        const Spans spans = SpansOf(line, p);
        ASSERT_EQ(spans.size(), 1u);
        EXPECT_EQ(spans[0].first, 0);
        EXPECT_GE(spans[0].second, 3);
        EXPECT_LE(spans[0].second, 5);
        EXPECT_EQ(SpansOf(line, p), spans);
    }
}

TEST(SpanDetection, RandomOffsetReachesIntoThePreviousLine) {
    std::vector<PixelRecord> grid(12, Red(0.9f));  // line 0 breaks everywhere
    for (int i = 6; i < 12; ++i) {
        grid[static_cast<size_t>(i)] = Red(0.1f);
    }
    KRVN_Params p = MaskLook();
    p.fill = true;
    p.random_offset = 1.0f;
    int reached = 0;
    for (int32_t seed = 0; seed < 20; ++seed) {
        p.random_seed = seed;
        Info info = Prepared(grid, 6, p);
        ASSERT_TRUE(SortAllLinesSequentially(info));
        reached += info.lineRecords[5].spanWeight == 1.0f ? 1 : 0;
    }
    EXPECT_GT(reached, 0);
}

TEST(SortLine, RefusesAnEmptyGridOrAMissingLine) {
    Info empty;
    EXPECT_FALSE(SortLine(empty, 0));
    EXPECT_FALSE(empty.Message().empty());
    Info info = Prepared(Reds({0.1f, 0.2f}), 2, RedParams());
    EXPECT_FALSE(SortLine(info, 1));
    EXPECT_FALSE(SortLine(info, -1));
    EXPECT_TRUE(SortLine(info, 0));
}

}  // namespace
}  // namespace korvane::utils::test
