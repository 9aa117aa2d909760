// Trigger and sort keys, the HSV conversions, and the span comparator.
#include <limits>

#include "params/ParamTable.h"
#include "sorting/KeyMath.h"
#include "sorting/PixelRecord.h"

namespace korvane::utils {

// The core reads popup values as the parameter table registers them; the table's own checks tie its
// choices to the popup items, these tie the core's keys to the table.
namespace {
template <typename Choice>
constexpr int32_t Value(Choice choice) {
    return static_cast<int32_t>(choice);
}
using params::ModeChoice;
using params::SortKeyChoice;
using params::TriggerChoice;
static_assert(kTriggerRed == Value(TriggerChoice::Red) && kTriggerAlpha == Value(TriggerChoice::Alpha) &&
              kTriggerMin == Value(TriggerChoice::Min) && kTriggerLuminance == Value(TriggerChoice::Luminance) &&
              kTriggerHue == Value(TriggerChoice::Hue));
static_assert(kSortRed == Value(SortKeyChoice::Red) && kSortMax == Value(SortKeyChoice::Max) &&
              kSortXor == Value(SortKeyChoice::Xor) && kSortLuminance == Value(SortKeyChoice::Luminance) &&
              kSortHue == Value(SortKeyChoice::Hue));
static_assert(kModeSort == Value(ModeChoice::Sort) && kModeStretchLast == Value(ModeChoice::StretchLast) &&
              kModeSeparator == Value(ModeChoice::Separator) && kModeMask == Value(ModeChoice::Mask) &&
              kModeMap == Value(ModeChoice::Map));
static_assert(kThresholdOutside == Value(params::EffectChoice::Outside));
}  // namespace

Hsv RgbToHsv(float r, float g, float b) { return RgbToHsvInline(r, g, b); }

Rgb HsvToRgb(float h, float s, float v) { return HsvToRgbInline(h, s, v); }

float TriggerValue(float r, float g, float b, float a, int32_t key) {
    return TriggerValueInline(r, g, b, a, key);
}

float SortValue(const PixelRecord& record, int32_t key) { return SortValueInline(record, key); }

bool SpanComparator::operator()(const PixelRecord& x, const PixelRecord& y) const {
    const float kx = SortValueInline(x, key);
    const float ky = SortValueInline(y, key);
    if (direction == kAscending) {
        return ky > kx;
    }
    return kx > ky;
}

}  // namespace korvane::utils
