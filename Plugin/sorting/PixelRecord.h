// One pixel while a frame is sorted, the key lists that cut lines and order spans, and the
// colour conversions the keys and the appearance steps use.
#pragma once

#include <cstdint>

namespace korvane::utils {

// One colour as four floats in the order alpha, red, green, blue. The effect's float pixel has the
// same layout (the pixel transfer checks it), so colours pass between them as they are.
struct FloatPixel {
    float alpha;
    float red;
    float green;
    float blue;
};

// Channels are floats with full intensity at 1.0 whatever the host depth; 32-bit input may lie
// outside [0, 1]. A value-initialised record is all zero.
struct PixelRecord {
    FloatPixel color{};         // working colour: moved by sorting, rewritten by fills and looks
    FloatPixel trigger{};       // trigger-source pixel: read only by span detection
    FloatPixel sortSource{};    // sort-source pixel: read only by the sort key
    float spanPosition = 0.0f;  // place in its span as a fraction (Map output)
    float spanWeight = 0.0f;    // 1.0 once the record belonged to a processed span (Mask output)
    uint8_t inMask = 0;         // non-zero inside the constraint mask
    uint8_t edge = 0;           // non-zero on an edge of the trigger image (edges interval mode)
};
static_assert(sizeof(PixelRecord) == 60, "PixelRecord is moved as a 60-byte value");

// The popups' values as the core reads them, numbered as the effect's popups number their entries
// (the effect checks them against its parameter table).

// Trigger list (no XOR entry, so from 7 on it is shifted against the sort list).
inline constexpr int32_t kTriggerRed = 1;
inline constexpr int32_t kTriggerGreen = 2;
inline constexpr int32_t kTriggerBlue = 3;
inline constexpr int32_t kTriggerAlpha = 4;
inline constexpr int32_t kTriggerMin = 5;
inline constexpr int32_t kTriggerMax = 6;
inline constexpr int32_t kTriggerLuminance = 7;
inline constexpr int32_t kTriggerSaturation = 8;
inline constexpr int32_t kTriggerHue = 9;

// Sort list.
inline constexpr int32_t kSortRed = 1;
inline constexpr int32_t kSortGreen = 2;
inline constexpr int32_t kSortBlue = 3;
inline constexpr int32_t kSortAlpha = 4;
inline constexpr int32_t kSortMin = 5;
inline constexpr int32_t kSortMax = 6;
inline constexpr int32_t kSortXor = 7;
inline constexpr int32_t kSortLuminance = 8;
inline constexpr int32_t kSortSaturation = 9;
inline constexpr int32_t kSortHue = 10;

// Output mode; the separator is the popup's disabled divider entry.
inline constexpr int32_t kModeSort = 1;
inline constexpr int32_t kModeGradient = 2;
inline constexpr int32_t kModeStretchFirst = 3;
inline constexpr int32_t kModeStretchLast = 4;
inline constexpr int32_t kModeSeparator = 5;
inline constexpr int32_t kModeMask = 6;
inline constexpr int32_t kModeMap = 7;

// Threshold mode (the `effect` popup): outside selects outside the thresholds, anything else inside.
inline constexpr int32_t kThresholdInside = 1;
inline constexpr int32_t kThresholdOutside = 2;

// How lines are cut into spans besides the band: the band alone, or the band and edges of the
// trigger image, seeded random lengths, or lengths following a wave.
inline constexpr int32_t kIntervalThreshold = 1;
inline constexpr int32_t kIntervalEdges = 2;
inline constexpr int32_t kIntervalRandom = 3;
inline constexpr int32_t kIntervalWaves = 4;

// What the lines are: straight lines at the angle, circles round a centre, rays from it, one spiral
// or one Hilbert curve.
inline constexpr int32_t kPathLines = 1;
inline constexpr int32_t kPathCircles = 2;
inline constexpr int32_t kPathRays = 3;
inline constexpr int32_t kPathSpiral = 4;
inline constexpr int32_t kPathHilbert = 5;

// Direction of a SpanComparator.
enum SortDirection : int32_t {
    kAscending = 1,
    kDescending = 2,
};

struct Hsv {
    float h;  // degrees in [0, 360); NaN for negative colours with no maximum above 0
    float s;
    float v;
};

struct Rgb {
    float r;
    float g;
    float b;
};

Hsv RgbToHsv(float r, float g, float b);
Rgb HsvToRgb(float h, float s, float v);

// Trigger key of one pixel; keys outside 1..9 evaluate as luminance.
float TriggerValue(float r, float g, float b, float a, int32_t key);

// Sort key of one record, from its sortSource; keys outside 1..10 evaluate as luminance.
float SortValue(const PixelRecord& record, int32_t key);

// Orders records by SortValue: kAscending puts smaller keys first, any other direction larger
// keys first. Equal and NaN keys compare false both ways.
struct SpanComparator {
    int32_t key = kSortLuminance;
    int32_t direction = kDescending;

    bool operator()(const PixelRecord& x, const PixelRecord& y) const;
};

}  // namespace korvane::utils
