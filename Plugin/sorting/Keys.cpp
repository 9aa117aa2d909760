// Trigger and sort keys, the HSV conversions, and the span comparator.
#include <limits>

#include "sorting/KeyMath.h"
#include "sorting/PixelRecord.h"

namespace korvane::utils {

Hsv RgbToHsv(float r, float g, float b) { return RgbToHsvInline(r, g, b); }

Rgb HsvToRgb(float h, float s, float v) { return HsvToRgbInline(h, s, v); }

float TriggerValue(float r, float g, float b, float a, int32_t key) { return TriggerValueInline(r, g, b, a, key); }

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
