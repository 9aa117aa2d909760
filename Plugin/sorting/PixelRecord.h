// One pixel while a frame is sorted, the key lists that cut lines and order spans, and the
// colour conversions the keys and the appearance steps use.
#pragma once

#include <cstdint>

#include "korvane/sdk/Effect.h"

namespace korvane::utils {

// Channels are floats with full intensity at 1.0 whatever the host depth; 32-bit input may lie
// outside [0, 1]. A value-initialised record is all zero.
struct PixelRecord {
    PF_PixelFloat color{};       // working colour: moved by sorting, rewritten by fills and looks
    PF_PixelFloat trigger{};     // trigger-source pixel: read only by span detection
    PF_PixelFloat sortSource{};  // sort-source pixel: read only by the sort key
    float spanPosition = 0.0f;   // place in its span as a fraction (Map output)
    float spanWeight = 0.0f;     // 1.0 once the record belonged to a processed span (Mask output)
    uint8_t inMask = 0;          // non-zero inside the constraint mask
};
static_assert(sizeof(PixelRecord) == 60, "PixelRecord is moved as a 60-byte value");

// Popup values of the trigger list (no XOR entry, so from 7 on it is shifted against SortKey).
enum TriggerKey : int32_t {
    kTriggerRed = 1,
    kTriggerGreen = 2,
    kTriggerBlue = 3,
    kTriggerAlpha = 4,
    kTriggerMin = 5,
    kTriggerMax = 6,
    kTriggerLuminance = 7,
    kTriggerSaturation = 8,
    kTriggerHue = 9,
};

// Popup values of the sort list.
enum SortKey : int32_t {
    kSortRed = 1,
    kSortGreen = 2,
    kSortBlue = 3,
    kSortAlpha = 4,
    kSortMin = 5,
    kSortMax = 6,
    kSortXor = 7,
    kSortLuminance = 8,
    kSortSaturation = 9,
    kSortHue = 10,
};

// Popup values of the output mode; 5 is the popup's separator entry.
enum OutputMode : int32_t {
    kModeSort = 1,
    kModeGradient = 2,
    kModeStretchFirst = 3,
    kModeStretchLast = 4,
    kModeSeparator = 5,
    kModeMask = 6,
    kModeMap = 7,
};

// Threshold mode (the `effect` popup): 2 selects outside the thresholds, anything else inside.
enum ThresholdMode : int32_t {
    kThresholdInside = 1,
    kThresholdOutside = 2,
};

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
