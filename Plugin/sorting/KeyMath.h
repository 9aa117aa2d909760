// Inline forms of the key and colour arithmetic, shared by the public functions and the line
// kernel so that the hot loops need no call per pixel. Single precision, in the written order.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

#include "sorting/BitCast.h"
#include "sorting/PixelRecord.h"

namespace korvane::utils {

inline float Max3(float r, float g, float b) {
    float m = r;
    if (g > m) m = g;
    if (b > m) m = b;
    return m;
}

inline float Min3(float r, float g, float b) {
    float m = r;
    if (g < m) m = g;
    if (b < m) m = b;
    return m;
}

inline Hsv RgbToHsvInline(float r, float g, float b) {
    const float v = Max3(r, g, b);
    const float range = v - Min3(r, g, b);
    if (!(range >= 0.00001f)) {
        return {0.0f, 0.0f, v};
    }
    if (!(v > 0.0f)) {
        return {std::numeric_limits<float>::quiet_NaN(), 0.0f, v};
    }
    const float s = range / v;
    const float k = 1.0f / range;
    float h;
    if (r >= v) {
        h = (g - b) * k;
    } else if (g >= v) {
        h = (b - r) * k + 2.0f;
    } else {
        h = (r - g) * k + 4.0f;
    }
    h = h * 60.0f;
    if (!(h >= 0.0f)) {
        h = h + 360.0f;
    }
    return {h, s, v};
}

inline Rgb HsvToRgbInline(float h, float s, float v) {
    if (!(s > 0.0f)) {
        return {v, v, v};
    }
    if (h >= 360.0f) {
        h = 0.0f;
    }
    float hh = h * 0.016666668f;
    // A NaN or enormous hue (from non-finite colours) has no sector; it is read as 0 so that the
    // integer part below stays defined.
    if (!(hh > -1.0e9f && hh < 1.0e9f)) {
        hh = 0.0f;
    }
    const int32_t i = static_cast<int32_t>(hh);
    const float f = hh - static_cast<float>(i);
    const float p = (1.0f - s) * v;
    const float q = (1.0f - f * s) * v;
    const float t = (1.0f - (1.0f - f) * s) * v;
    switch (i) {
        case 0: return {v, t, p};
        case 1: return {q, v, p};
        case 2: return {p, v, t};
        case 3: return {p, q, v};
        case 4: return {t, p, v};
        default: return {v, p, q};
    }
}

inline float Luminance(float r, float g, float b) { return g * 0.7152f + r * 0.2126f + b * 0.0722f; }

inline float TriggerValueInline(float r, float g, float b, float a, int32_t key) {
    switch (key) {
        case kTriggerRed: return r;
        case kTriggerGreen: return g;
        case kTriggerBlue: return b;
        case kTriggerAlpha: return a;
        case kTriggerMin: return Min3(r, g, b);
        case kTriggerMax: return Max3(r, g, b);
        case kTriggerSaturation: return RgbToHsvInline(r, g, b).s;
        case kTriggerHue: return RgbToHsvInline(r, g, b).h * 0.0027777778f;
        default: return Luminance(r, g, b);
    }
}

inline float SortValueOf(const FloatPixel& sortSource, int32_t key) {
    const float r = sortSource.red;
    const float g = sortSource.green;
    const float b = sortSource.blue;
    switch (key) {
        case kSortRed: return r;
        case kSortGreen: return g;
        case kSortBlue: return b;
        case kSortAlpha: return sortSource.alpha;
        case kSortMin: return Min3(r, g, b);
        case kSortMax: return Max3(r, g, b);
        case kSortXor: {
            const int odd = (r > 0.5f ? 1 : 0) ^ (g > 0.5f ? 1 : 0) ^ (b > 0.5f ? 1 : 0);
            return odd ? 1.0f : 0.0f;
        }
        case kSortSaturation: return RgbToHsvInline(r, g, b).s;
        case kSortHue: return RgbToHsvInline(r, g, b).h * 0.0027777778f;
        default: return Luminance(r, g, b);
    }
}

inline float SortValueInline(const PixelRecord& record, int32_t key) { return SortValueOf(record.sortSource, key); }

// Maps a key to an unsigned value whose order is the comparator's order; NaN keys go last, where
// they never come before another record.
inline uint32_t SortableBits(float key, bool descending) {
    if (std::isnan(key)) {
        return 0xffffffffu;
    }
    const uint32_t bits = BitCast<uint32_t>(descending ? -key : key);
    return (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
}

inline float Clamp01(float v) {
    if (v < 0.0f) return 0.0f;
    if (v > 1.0f) return 1.0f;
    return v;  // NaN stays NaN
}

// Whether a key evaluates as luminance (the keys outside the lists do too).
inline bool TriggerKeyIsLuminance(int32_t key) {
    return key < kTriggerRed || key > kTriggerHue || key == kTriggerLuminance;
}
inline bool SortKeyIsLuminance(int32_t key) { return key < kSortRed || key > kSortHue || key == kSortLuminance; }

// Whether a trigger colour (noise already added) closes a span: its trigger value against the
// thresholds, clamped first when the settings say so.
struct TriggerTest {
    int32_t key = kTriggerLuminance;
    int32_t thresholdMode = kThresholdInside;
    float low = 0.0f;
    float high = 0.5f;
    bool clamp = true;

    bool Breaks(float red, float green, float blue, float alpha) const {
        if (clamp) {
            red = Clamp01(red);
            green = Clamp01(green);
            blue = Clamp01(blue);
            alpha = Clamp01(alpha);
        }
        const float value = TriggerValueInline(red, green, blue, alpha, key);
        const bool inRange = low <= value && value < high;
        return thresholdMode == kThresholdOutside ? inRange : !inRange;
    }
};

}  // namespace korvane::utils
