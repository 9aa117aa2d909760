// Trigger and sort keys, the HSV conversions and the span comparator.
#include <cmath>
#include <limits>

#include "SortingTestSupport.h"

namespace korvane::utils::test {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

TEST(Keys, ChannelMinMaxAndLuminance) {
    const PixelRecord rec = Rec(0.2f, 0.6f, 0.4f, 0.9f);
    EXPECT_EQ(SortValue(rec, kSortRed), 0.2f);
    EXPECT_EQ(SortValue(rec, kSortGreen), 0.6f);
    EXPECT_EQ(SortValue(rec, kSortBlue), 0.4f);
    EXPECT_EQ(SortValue(rec, kSortAlpha), 0.9f);
    EXPECT_EQ(SortValue(rec, kSortMin), 0.2f);
    EXPECT_EQ(SortValue(rec, kSortMax), 0.6f);
    const float luminance = 0.6f * 0.7152f + 0.2f * 0.2126f + 0.4f * 0.0722f;
    EXPECT_EQ(SortValue(rec, kSortLuminance), luminance);
    EXPECT_EQ(TriggerValue(0.2f, 0.6f, 0.4f, 0.9f, kTriggerLuminance), luminance);
    // Alpha takes no part in the colour keys.
    EXPECT_EQ(TriggerValue(0.2f, 0.6f, 0.4f, 0.0f, kTriggerMin), 0.2f);
}

TEST(Keys, SortKeyReadsTheSortSourceOnly) {
    PixelRecord rec = Rec(0.1f, 0.1f, 0.1f);
    rec.sortSource = {1.0f, 0.9f, 0.0f, 0.0f};
    EXPECT_EQ(SortValue(rec, kSortRed), 0.9f);
}

TEST(Keys, XorCountsChannelsStrictlyAboveHalf) {
    EXPECT_EQ(SortValue(Rec(0.5f, 0.5f, 0.5f), kSortXor), 0.0f);
    EXPECT_EQ(SortValue(Rec(0.6f, 0.5f, 0.5f), kSortXor), 1.0f);
    EXPECT_EQ(SortValue(Rec(0.6f, 0.7f, 0.5f), kSortXor), 0.0f);
    EXPECT_EQ(SortValue(Rec(0.6f, 0.7f, 0.8f), kSortXor), 1.0f);
}

TEST(Keys, TriggerSevenIsLuminanceSortSevenIsXor) {
    const PixelRecord rec = Rec(0.6f, 0.2f, 0.2f);
    const float luminance = SortValue(rec, kSortLuminance);
    EXPECT_EQ(TriggerValue(0.6f, 0.2f, 0.2f, 1.0f, 7), luminance);
    EXPECT_EQ(SortValue(rec, 7), 1.0f);
    // The lists are shifted by one from 7 on.
    EXPECT_EQ(TriggerValue(0.6f, 0.2f, 0.2f, 1.0f, 8), SortValue(rec, 9));
    EXPECT_EQ(TriggerValue(0.6f, 0.2f, 0.2f, 1.0f, 9), SortValue(rec, 10));
    // Out of the lists: luminance.
    EXPECT_EQ(TriggerValue(0.6f, 0.2f, 0.2f, 1.0f, 10), luminance);
    EXPECT_EQ(TriggerValue(0.6f, 0.2f, 0.2f, 1.0f, 0), luminance);
    EXPECT_EQ(SortValue(rec, 0), luminance);
    EXPECT_EQ(SortValue(rec, 11), luminance);
}

TEST(Hsv, GreyHasNoHueOrSaturation) {
    const Hsv grey = RgbToHsv(0.4f, 0.4f, 0.4f);
    EXPECT_EQ(grey.h, 0.0f);
    EXPECT_EQ(grey.s, 0.0f);
    EXPECT_EQ(grey.v, 0.4f);
    // A range below 0.00001 counts as grey.
    const Hsv nearGrey = RgbToHsv(0.4f, 0.400005f, 0.4f);
    EXPECT_EQ(nearGrey.h, 0.0f);
    EXPECT_EQ(nearGrey.s, 0.0f);
}

TEST(Hsv, HueKeysOfThePrimaries) {
    EXPECT_EQ(SortValue(Rec(1, 0, 0), kSortHue), 0.0f);
    EXPECT_NEAR(SortValue(Rec(0, 1, 0), kSortHue), 1.0f / 3.0f, 1e-6f);
    EXPECT_NEAR(SortValue(Rec(0, 0, 1), kSortHue), 2.0f / 3.0f, 1e-6f);
    const float justBelowRed = SortValue(Rec(1, 0, 0.001f), kSortHue);
    EXPECT_GT(justBelowRed, 0.99f);
    EXPECT_LT(justBelowRed, 1.0f);
    EXPECT_EQ(SortValue(Rec(1, 0, 0.5f), kSortSaturation), 1.0f);
}

TEST(Hsv, NegativeColourHasNaNHue) {
    const Hsv hsv = RgbToHsv(-0.5f, -0.2f, -0.1f);
    EXPECT_TRUE(std::isnan(hsv.h));
    EXPECT_EQ(hsv.s, 0.0f);
    EXPECT_EQ(hsv.v, -0.1f);
}

TEST(Hsv, RoundTripsThroughEverySector) {
    const float colours[][3] = {{0.9f, 0.3f, 0.1f}, {0.5f, 0.8f, 0.2f}, {0.1f, 0.7f, 0.4f},
                                {0.2f, 0.3f, 0.9f}, {0.6f, 0.1f, 0.8f}, {0.9f, 0.1f, 0.5f}};
    for (const auto& c : colours) {
        const Hsv hsv = RgbToHsv(c[0], c[1], c[2]);
        const Rgb rgb = HsvToRgb(hsv.h, hsv.s, hsv.v);
        EXPECT_NEAR(rgb.r, c[0], 1e-5f);
        EXPECT_NEAR(rgb.g, c[1], 1e-5f);
        EXPECT_NEAR(rgb.b, c[2], 1e-5f);
    }
}

TEST(Hsv, DegenerateInputsToHsvToRgb) {
    const Rgb grey = HsvToRgb(123.0f, 0.0f, 0.3f);
    EXPECT_EQ(grey.r, 0.3f);
    EXPECT_EQ(grey.b, 0.3f);
    // 360 is read as 0; NaN and infinite hues land in a defined sector.
    const Rgb red = HsvToRgb(360.0f, 1.0f, 1.0f);
    EXPECT_EQ(red.r, 1.0f);
    EXPECT_EQ(red.g, 0.0f);
    const Rgb fromNaN = HsvToRgb(kNaN, 0.5f, 1.0f);
    EXPECT_EQ(fromNaN.r, 1.0f);
    const Rgb fromInf = HsvToRgb(-std::numeric_limits<float>::infinity(), 0.5f, 1.0f);
    EXPECT_FALSE(std::isnan(fromInf.r));
}

TEST(Comparator, DirectionsAndNaN) {
    const PixelRecord dark = Rec(0.1f, 0.1f, 0.1f);
    const PixelRecord bright = Rec(0.9f, 0.9f, 0.9f);
    const SpanComparator descending{kSortLuminance, kDescending};
    const SpanComparator ascending{kSortLuminance, kAscending};
    EXPECT_TRUE(descending(bright, dark));
    EXPECT_FALSE(descending(dark, bright));
    EXPECT_TRUE(ascending(dark, bright));
    EXPECT_FALSE(ascending(dark, dark));
    const PixelRecord nan = Rec(kNaN, 0.5f, 0.5f);
    const SpanComparator byRed{kSortRed, kAscending};
    EXPECT_FALSE(byRed(nan, dark));
    EXPECT_FALSE(byRed(dark, nan));
}

}  // namespace
}  // namespace korvane::utils::test
