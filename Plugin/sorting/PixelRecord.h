// One pixel while a frame is sorted, the key lists that cut lines and order spans, and the
// colour conversions the keys and the appearance steps use.
#pragma once

#include <cstdint>

#include "korvane/sdk/Effect.h"
#include "params/ParamTable.h"

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

// The popups' values as the core reads them: int32_t names for the parameter table's choices, so
// that switches and comparisons over the values the host reports need no casts.
template <typename Choice>
constexpr int32_t PopupValue(Choice choice) {
    return static_cast<int32_t>(choice);
}

// Trigger list (no XOR entry, so from 7 on it is shifted against the sort list).
inline constexpr int32_t kTriggerRed = PopupValue(params::TriggerChoice::Red);
inline constexpr int32_t kTriggerGreen = PopupValue(params::TriggerChoice::Green);
inline constexpr int32_t kTriggerBlue = PopupValue(params::TriggerChoice::Blue);
inline constexpr int32_t kTriggerAlpha = PopupValue(params::TriggerChoice::Alpha);
inline constexpr int32_t kTriggerMin = PopupValue(params::TriggerChoice::Min);
inline constexpr int32_t kTriggerMax = PopupValue(params::TriggerChoice::Max);
inline constexpr int32_t kTriggerLuminance = PopupValue(params::TriggerChoice::Luminance);
inline constexpr int32_t kTriggerSaturation = PopupValue(params::TriggerChoice::Saturation);
inline constexpr int32_t kTriggerHue = PopupValue(params::TriggerChoice::Hue);

// Sort list.
inline constexpr int32_t kSortRed = PopupValue(params::SortKeyChoice::Red);
inline constexpr int32_t kSortGreen = PopupValue(params::SortKeyChoice::Green);
inline constexpr int32_t kSortBlue = PopupValue(params::SortKeyChoice::Blue);
inline constexpr int32_t kSortAlpha = PopupValue(params::SortKeyChoice::Alpha);
inline constexpr int32_t kSortMin = PopupValue(params::SortKeyChoice::Min);
inline constexpr int32_t kSortMax = PopupValue(params::SortKeyChoice::Max);
inline constexpr int32_t kSortXor = PopupValue(params::SortKeyChoice::Xor);
inline constexpr int32_t kSortLuminance = PopupValue(params::SortKeyChoice::Luminance);
inline constexpr int32_t kSortSaturation = PopupValue(params::SortKeyChoice::Saturation);
inline constexpr int32_t kSortHue = PopupValue(params::SortKeyChoice::Hue);

// Output mode; the separator is the popup's disabled divider entry.
inline constexpr int32_t kModeSort = PopupValue(params::ModeChoice::Sort);
inline constexpr int32_t kModeGradient = PopupValue(params::ModeChoice::Gradient);
inline constexpr int32_t kModeStretchFirst = PopupValue(params::ModeChoice::StretchFirst);
inline constexpr int32_t kModeStretchLast = PopupValue(params::ModeChoice::StretchLast);
inline constexpr int32_t kModeSeparator = PopupValue(params::ModeChoice::Separator);
inline constexpr int32_t kModeMask = PopupValue(params::ModeChoice::Mask);
inline constexpr int32_t kModeMap = PopupValue(params::ModeChoice::Map);

// Threshold mode (the `effect` popup): outside selects outside the thresholds, anything else inside.
inline constexpr int32_t kThresholdInside = PopupValue(params::EffectChoice::Inside);
inline constexpr int32_t kThresholdOutside = PopupValue(params::EffectChoice::Outside);

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
