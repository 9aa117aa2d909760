// Span processing, step by step: sort, fills, stretch, positions, blur, pop, mirror, rotation,
// feathers and preserve alpha.
#include <cmath>

#include "SortingTestSupport.h"

namespace korvane::utils::test {
namespace {

// Trigger red `trigger` (inside 0..0.5 or not), colour and sort source (r, g, b, a).
PixelRecord Coloured(float trigger, float r, float g, float b, float a = 1.0f) {
    PixelRecord rec = Rec(r, g, b, a);
    rec.trigger = {1.0f, trigger, 0.0f, 0.0f};
    return rec;
}

// A span of `colours.size()` records closed by one breaking record, then `tail` more breaking ones.
std::vector<PixelRecord> SpanLine(const std::vector<PixelRecord>& colours, size_t tail = 1) {
    std::vector<PixelRecord> line = colours;
    for (size_t i = 0; i < tail; ++i) {
        line.push_back(Coloured(0.9f, 0.5f, 0.5f, 0.5f));
    }
    return line;
}

Info Sorted(const std::vector<PixelRecord>& line, const KRVN_Params& p) {
    Info info = Prepared(line, static_cast<int32_t>(line.size()), p);
    EXPECT_TRUE(SortAllLinesSequentially(info)) << info.Message();
    return info;
}

std::vector<PixelRecord> Greys(std::initializer_list<float> values) {
    std::vector<PixelRecord> records;
    for (const float v : values) {
        records.push_back(Coloured(0.1f, v, v * 0.5f, v * 0.25f, 1.0f));
    }
    return records;
}

TEST(SpanSort, BrightestFirstUnlessReversed) {
    KRVN_Params p = RedParams();
    const auto line = SpanLine(Greys({0.2f, 0.8f, 0.4f, 0.6f}));
    Info info = Sorted(line, p);
    EXPECT_EQ(info.lineRecords[0].color.red, 0.8f);
    EXPECT_EQ(info.lineRecords[1].color.red, 0.6f);
    EXPECT_EQ(info.lineRecords[3].color.red, 0.2f);
    EXPECT_TRUE(SameRecord(info.lineRecords[4], line[4]));
    p.reverse = true;
    Info reversed = Sorted(line, p);
    EXPECT_EQ(reversed.lineRecords[0].color.red, 0.2f);
    EXPECT_EQ(reversed.lineRecords[3].color.red, 0.8f);
    EXPECT_EQ(reversed.lineRecords[0].spanPosition, 1.0f);
    EXPECT_EQ(reversed.lineRecords[2].spanPosition, 0.5f);
}

TEST(SpanSort, PreserveAlphaKeepsTheUnsortedAlphaPattern) {
    KRVN_Params p = RedParams();
    p.preserve_alpha = true;
    const auto line = SpanLine(
        {Coloured(0.1f, 0.1f, 0, 0, 0.1f), Coloured(0.1f, 0.9f, 0, 0, 0.2f), Coloured(0.1f, 0.5f, 0, 0, 0.3f)});
    Info info = Sorted(line, p);
    EXPECT_EQ(info.lineRecords[0].color.red, 0.9f);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(info.lineRecords[i].color.alpha, line[i].color.alpha);
    }
    EXPECT_EQ(info.lineRecords[0].sortSource.alpha, 0.2f);  // everything else moved with the sort
}

TEST(SpanFill, GradientRunsFromFirstTowardsTheClosingPixel) {
    KRVN_Params p = RedParams();
    p.mode = kModeGradient;
    auto line = SpanLine(Greys({0.0f, 0.3f, 0.6f, 0.9f}));
    line[4] = Coloured(0.9f, 1.0f, 0.5f, 0.25f, 0.7f);
    Info info = Sorted(line, p);
    const float expected[] = {0.0f, 0.25f, 0.5f, 0.75f};  // t = 1, 0.75, 0.5, 0.25
    for (size_t j = 0; j < 4; ++j) {
        EXPECT_EQ(info.lineRecords[j].color.red, expected[j]) << j;
        EXPECT_EQ(info.lineRecords[j].color.green, expected[j] * 0.5f) << j;
        EXPECT_EQ(info.lineRecords[j].color.alpha, 1.0f);  // alpha is never filled
    }
    p.reverse = true;
    Info reversed = Sorted(line, p);
    const float back[] = {1.0f, 0.75f, 0.5f, 0.25f};  // t = 0, 0.25, 0.5, 0.75
    for (size_t j = 0; j < 4; ++j) {
        EXPECT_EQ(reversed.lineRecords[j].color.red, back[j]) << j;
    }
}

TEST(SpanFill, StretchFirstAndLastPixel) {
    KRVN_Params p = RedParams();
    auto line = SpanLine(Greys({0.2f, 0.3f, 0.4f}));
    line[3] = Coloured(0.9f, 0.9f, 0.8f, 0.7f);
    p.mode = kModeStretchFirst;
    Info first = Sorted(line, p);
    p.mode = kModeStretchLast;
    Info last = Sorted(line, p);
    for (size_t j = 0; j < 3; ++j) {
        EXPECT_EQ(first.lineRecords[j].color.red, 0.2f);
        EXPECT_EQ(last.lineRecords[j].color.red, 0.9f);
        EXPECT_EQ(last.lineRecords[j].color.blue, 0.7f);
    }
}

TEST(SpanFill, LineEndReadsTheNextLinesFirstRecord) {
    KRVN_Params p = RedParams();
    p.mode = kModeStretchLast;
    p.fill = true;
    std::vector<PixelRecord> grid = Greys({0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f});
    grid[3] = Coloured(0.1f, 0.75f, 0.0f, 0.0f);
    Info info = Prepared(grid, 3, p);
    ASSERT_TRUE(SortAllLinesSequentially(info));
    for (size_t j = 0; j < 3; ++j) {
        EXPECT_EQ(info.lineRecords[j].color.red, 0.75f) << j;
    }
}

TEST(SpanStretch, LimitedByTheLineEnd) {
    KRVN_Params p = RedParams();
    p.mode = kModeMask;
    p.stretch = true;
    p.stretch_factor = 2.0f;
    // A span of 5 closed at x = W − 3 (W = 8).
    const auto line = SpanLine(Greys({0.1f, 0.2f, 0.3f, 0.4f, 0.5f}), 3);
    Info info = Sorted(line, p);
    EXPECT_EQ(info.lineRecords[0].color.red, 0.1f);
    EXPECT_EQ(info.lineRecords[1].color.red, 0.1f);
    EXPECT_EQ(info.lineRecords[2].color.red, 0.2f);
    EXPECT_EQ(info.lineRecords[3].color.red, 0.4f);  // past min(10, 3): untouched
    EXPECT_EQ(info.lineRecords[2].spanWeight, 1.0f);
    EXPECT_EQ(info.lineRecords[3].spanWeight, 0.0f);  // later steps see a count of 3
    EXPECT_EQ(info.lineRecords[2].spanPosition, 2.0f * (1.0f / 5.0f));
}

TEST(SpanStretch, LengthensPastTheSpanAndPrioritiesPickTheSource) {
    KRVN_Params p = RedParams();
    p.stretch = true;
    p.stretch_factor = 2.0f;
    const auto line = SpanLine(Greys({0.2f, 0.6f, 0.4f}), 9);
    p.priority = 2;  // the unsorted span
    Info unsorted = Sorted(line, p);
    const float fromUnsorted[] = {0.2f, 0.2f, 0.6f, 0.6f, 0.4f, 0.4f};
    p.priority = 1;  // the sorted span
    Info sorted = Sorted(line, p);
    const float fromSorted[] = {0.6f, 0.6f, 0.4f, 0.4f, 0.2f, 0.2f};
    for (size_t k = 0; k < 6; ++k) {
        EXPECT_EQ(unsorted.lineRecords[k].color.red, fromUnsorted[k]) << k;
        EXPECT_EQ(sorted.lineRecords[k].color.red, fromSorted[k]) << k;
        EXPECT_EQ(sorted.lineRecords[k].spanPosition, static_cast<float>(k) * (1.0f / 3.0f)) << k;
    }
    // Only colour travels: the records past the span keep their triggers and alpha.
    EXPECT_EQ(sorted.lineRecords[4].trigger.red, 0.9f);
    EXPECT_EQ(sorted.lineRecords[6].color.red, 0.5f);
}

TEST(SpanStretch, FeathersStayWithinTheCopiedRecords) {
    KRVN_Params p = RedParams();
    p.stretch = true;
    p.stretch_factor = 2.0f;
    p.feather_start = 1.0f;
    p.feather_end = 1.0f;
    const auto line = SpanLine(Greys({0.2f, 0.6f, 0.4f}), 9);
    Info info = Sorted(line, p);
    // The stretched records 3..5 have no unsorted value and keep their stretched colour (taken
    // from the unsorted span, priority 2: 0.2, 0.2, 0.6, 0.6, 0.4, 0.4).
    EXPECT_EQ(info.lineRecords[3].color.red, 0.6f);
    EXPECT_EQ(info.lineRecords[5].color.red, 0.4f);
    // Within the copied 3 the first and last are fully unsorted.
    EXPECT_EQ(info.lineRecords[0].color.red, 0.2f);
    EXPECT_EQ(info.lineRecords[2].color.red, 0.4f);
}

TEST(SpanBlur, WindowMeansClampedAndAlphaKept) {
    KRVN_Params p = RedParams();
    p.mode = kModeMask;
    p.blur = 1;
    const auto line = SpanLine(
        {Coloured(0.1f, 0.3f, 0.9f, 0.0f, 0.5f), Coloured(0.1f, 0.6f, 1.5f, 0.0f), Coloured(0.1f, 0.9f, 1.2f, 0.0f)});
    Info info = Sorted(line, p);
    EXPECT_FLOAT_EQ(info.lineRecords[0].color.red, (0.3f + 0.6f) / 2.0f);
    EXPECT_FLOAT_EQ(info.lineRecords[1].color.red, (0.3f + 0.6f + 0.9f) / 3.0f);
    EXPECT_FLOAT_EQ(info.lineRecords[2].color.red, (0.6f + 0.9f) / 2.0f);
    EXPECT_EQ(info.lineRecords[1].color.green, 1.0f);
    EXPECT_EQ(info.lineRecords[0].color.alpha, 0.5f);
    p.blur = 100;  // a radius past both ends averages the whole span
    Info wide = Sorted(line, p);
    EXPECT_FLOAT_EQ(wide.lineRecords[0].color.red, wide.lineRecords[2].color.red);
}

TEST(SpanPop, StrengthensSaturationValueAndContrast) {
    KRVN_Params p = RedParams();
    p.mode = kModeMask;
    const auto line = SpanLine({Coloured(0.1f, 0.5f, 0.5f, 0.5f), Coloured(0.1f, 0.5f, 0.5f, 0.5f)});
    Info off = Sorted(line, p);
    EXPECT_EQ(FirstDifference({off.lineRecords[0]}, {line[0]}), 0);  // only marked as a span
    EXPECT_EQ(off.lineRecords[0].color.red, 0.5f);
    p.pop = 1.0f;
    Info on = Sorted(line, p);
    // Grey 0.5 becomes hue 0, saturation 1, value 0.75: (0.75, 0, 0), then the contrast k.
    const float k = 1.2f * 1.0156863f / 0.8156863f;
    EXPECT_FLOAT_EQ(on.lineRecords[0].color.red, k * (0.75f - 0.50196075f) + 0.50196075f);
    EXPECT_EQ(on.lineRecords[0].color.green, 0.0f);
    EXPECT_EQ(on.lineRecords[1].color.blue, 0.0f);
}

TEST(SpanMirror, FirstHalfThenItsReflection) {
    KRVN_Params p = RedParams();
    p.mode = kModeMask;
    p.mirror = true;
    const auto line = SpanLine(Greys({0.0f, 0.1f, 0.2f, 0.3f, 0.4f}));
    Info info = Sorted(line, p);
    const int source[] = {0, 1, 2, 1, 0};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(info.lineRecords[i].color.red, line[static_cast<size_t>(source[i])].color.red) << i;
    }
    EXPECT_EQ(info.lineRecords[3].spanPosition, info.lineRecords[1].spanPosition);  // whole records
}

TEST(SpanRotation, QuarterOfEightMovesRecordTwoToTheFront) {
    KRVN_Params p = RedParams();
    p.mode = kModeMask;
    p.loop = 0.75f;  // rotation fraction 0.25
    const auto line = SpanLine(Greys({0.0f, 0.05f, 0.1f, 0.15f, 0.2f, 0.25f, 0.3f, 0.35f}));
    Info info = Sorted(line, p);
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(info.lineRecords[i].color.red, line[(i + 2) % 8].color.red) << i;
    }
}

TEST(SpanFeather, StartAndEndBlendTowardsTheUnsortedSpan) {
    const auto line = SpanLine(Greys({0.1f, 0.3f, 0.2f, 0.4f}));
    const float unsorted[] = {0.1f, 0.3f, 0.2f, 0.4f};
    const float sorted[] = {0.4f, 0.3f, 0.2f, 0.1f};
    KRVN_Params p = RedParams();
    p.feather_start = 1.0f;
    Info start = Sorted(line, p);
    for (size_t i = 0; i < 4; ++i) {
        const float t = static_cast<float>(i) * 0.25f;  // weight of the sorted value
        EXPECT_EQ(start.lineRecords[i].color.red, (1.0f - t) * unsorted[i] + t * sorted[i]) << i;
    }
    p.feather_start = 0.0f;
    p.feather_end = 1.0f;
    Info end = Sorted(line, p);
    EXPECT_EQ(end.lineRecords[0].color.red, sorted[0]);  // the first pixel stays sorted
    for (size_t i = 0; i < 3; ++i) {
        const size_t q = 3 - i;
        const float t = static_cast<float>(i) * 0.25f;
        EXPECT_EQ(end.lineRecords[q].color.red, (1.0f - t) * unsorted[q] + t * sorted[q]) << q;
    }
}

TEST(SpanModes, MaskAndMapNeitherSortNorFill) {
    const auto line = SpanLine(Greys({0.2f, 0.8f, 0.4f}));
    for (const int32_t mode : {int32_t{kModeSeparator}, int32_t{kModeMask}, int32_t{kModeMap}, 0, 99}) {
        KRVN_Params p = RedParams();
        p.mode = mode;
        Info info = Sorted(line, p);
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_TRUE(SameBytes(info.lineRecords[i].color, line[i].color)) << mode;
            EXPECT_EQ(info.lineRecords[i].spanWeight, 1.0f);
        }
    }
}

}  // namespace
}  // namespace korvane::utils::test
