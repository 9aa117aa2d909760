// The span steps: what the line kernel does to each span it cuts — sort or fill, stretch,
// positions, blur, pop, mirror, rotation along the span and feathered ends.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "sorting/LineKernelInternal.h"
#include "sorting/RadixSort.h"

namespace korvane::utils {

void LineKernel::ProcessSpan(int64_t start, int64_t n, int64_t x) {
    PixelRecord* span = base_ + (start - baseIndex_);
    const int64_t end = start + n;
    const int32_t mode = s_.outputMode;
    if (d_.copyNeeded) {
        scratch_.unsorted.assign(span, span + n);
    }
    if (mode == kModeSort) {
        SortSpan(span, n);
        if (s_.preserveAlpha) {
            for (int64_t i = 0; i < n; ++i) {
                span[i].color.alpha = scratch_.unsorted[static_cast<size_t>(i)].color.alpha;
            }
        }
    }
    int64_t count = n;
    if (d_.stretchOn) {
        count = StretchSpan(span, n, x);
    }
    const float step = 1.0f / static_cast<float>(n);
    for (int64_t i = 0; i < count; ++i) {
        float p = static_cast<float>(i) * step;
        if (s_.reverse) {
            p = 1.0f - p;
        }
        span[i].spanPosition = p;
        span[i].spanWeight = 1.0f;
    }
    if ((mode == kModeGradient || mode == kModeStretchFirst || mode == kModeStretchLast) && count >= 2) {
        FillSpan(span, count, end);
    }
    if (d_.blurOn && count > 0) {
        BlurSpan(span, count);
    }
    if (d_.popOn && count >= 2) {
        PopSpan(span, count);
    }
    if (s_.mirror && count > 0) {
        MirrorSpan(span, count);
    }
    const int64_t a = static_cast<int64_t>(static_cast<float>(count) * d_.rotationFraction);
    if (a > 0 && count > 0) {
        RotateSpan(span, count, a);
    }
    if (d_.featherStartOn || d_.featherEndOn) {
        FeatherSpan(span, count, n);
    }
}

void LineKernel::SortSpan(PixelRecord* span, int64_t n) {
    const int32_t key = s_.sortKey;
    const bool descending = !s_.reverse;
    if (d_.comparatorSort) {
        std::sort(span, span + n, SpanComparator{key, descending ? kDescending : kAscending});
        return;
    }
    std::vector<uint64_t>& order = scratch_.order;
    order.resize(static_cast<size_t>(n));
    for (int64_t i = 0; i < n; ++i) {
        const uint64_t bits = SortableBits(SortValueInline(span[i], key), descending);
        order[static_cast<size_t>(i)] = (bits << 32) | static_cast<uint64_t>(i);
    }
    SortByHighHalf(order.data(), order.size(), scratch_.orderSpare);
    const PixelRecord* source;
    if (d_.copyNeeded) {
        source = scratch_.unsorted.data();
    } else {
        scratch_.copy.assign(span, span + n);
        source = scratch_.copy.data();
    }
    for (int64_t i = 0; i < n; ++i) {
        span[i] = source[order[static_cast<size_t>(i)] & 0xffffffffu];
    }
}

int64_t LineKernel::StretchSpan(PixelRecord* span, int64_t n, int64_t x) {
    const float factor = d_.stretchFactor;
    const int64_t limit = width_ - x;
    const int64_t stretched = std::min(static_cast<int64_t>(static_cast<float>(n) * factor), limit);
    const PixelRecord* source;
    if (s_.stretchPriority == 1) {
        scratch_.copy.assign(span, span + n);
        source = scratch_.copy.data();
    } else {
        source = scratch_.unsorted.data();
    }
    const float inverse = 1.0f / factor;
    for (int64_t k = 0; k < stretched; ++k) {
        // The product can round up to n for very long spans; the last record is meant then.
        const int64_t from = std::min(static_cast<int64_t>(static_cast<float>(k) * inverse), n - 1);
        span[k].color.red = source[from].color.red;
        span[k].color.green = source[from].color.green;
        span[k].color.blue = source[from].color.blue;
    }
    return std::max<int64_t>(stretched, 0);
}

void LineKernel::FillSpan(PixelRecord* span, int64_t count, int64_t end) {
    const FloatPixel first = span[0].color;
    const FloatPixel after = Read(end).color;
    const int32_t mode = s_.outputMode;
    if (mode == kModeGradient) {
        const float step = 1.0f / static_cast<float>(count);
        for (int64_t j = 0; j < count; ++j) {
            float t = static_cast<float>(j) * step;
            if (!s_.reverse) {
                t = 1.0f - t;
            }
            FloatPixel& c = span[j].color;
            c.red = (1.0f - t) * after.red + t * first.red;
            c.green = (1.0f - t) * after.green + t * first.green;
            c.blue = (1.0f - t) * after.blue + t * first.blue;
        }
        return;
    }
    const FloatPixel& value = mode == kModeStretchFirst ? first : after;
    for (int64_t j = 0; j < count; ++j) {
        FloatPixel& c = span[j].color;
        c.red = value.red;
        c.green = value.green;
        c.blue = value.blue;
    }
}

void LineKernel::BlurSpan(PixelRecord* span, int64_t count) {
    const int64_t r = s_.blur;
    std::vector<float>& out = scratch_.blur;
    out.resize(static_cast<size_t>(count) * 3);
    float sr = 0.0f;
    float sg = 0.0f;
    float sb = 0.0f;
    for (int64_t i = 0; i <= std::min(count - 1, r); ++i) {
        sr += span[i].color.red;
        sg += span[i].color.green;
        sb += span[i].color.blue;
    }
    for (int64_t i = 0; i < count; ++i) {
        const int64_t lo = std::max<int64_t>(0, i - r);
        const int64_t hi = std::min(count - 1, i + r);
        const float size = static_cast<float>(hi - lo + 1);
        out[static_cast<size_t>(i) * 3 + 0] = Clamp01(sr / size);
        out[static_cast<size_t>(i) * 3 + 1] = Clamp01(sg / size);
        out[static_cast<size_t>(i) * 3 + 2] = Clamp01(sb / size);
        if (i + r + 1 <= count - 1) {
            const FloatPixel& in = span[i + r + 1].color;
            sr += in.red;
            sg += in.green;
            sb += in.blue;
        }
        if (i - r >= 0) {
            const FloatPixel& gone = span[i - r].color;
            sr -= gone.red;
            sg -= gone.green;
            sb -= gone.blue;
        }
    }
    for (int64_t i = 0; i < count; ++i) {
        span[i].color.red = out[static_cast<size_t>(i) * 3 + 0];
        span[i].color.green = out[static_cast<size_t>(i) * 3 + 1];
        span[i].color.blue = out[static_cast<size_t>(i) * 3 + 2];
    }
}

void LineKernel::PopSpan(PixelRecord* span, int64_t count) const {
    const float pop = d_.pop;
    const float k = (1.0f + 0.2f * pop) * 1.0156863f / (1.0156863f - 0.2f * pop);
    for (int64_t i = 0; i < count; ++i) {
        FloatPixel& c = span[i].color;
        const Hsv hsv = RgbToHsvInline(c.red, c.green, c.blue);
        const float s = hsv.s + pop * (1.0f - hsv.s);
        const float v = hsv.v + 0.5f * pop * (1.0f - hsv.v);
        const Rgb rgb = HsvToRgbInline(hsv.h, s, v);
        c.red = Clamp01(k * (rgb.r - 0.50196075f) + 0.50196075f);
        c.green = Clamp01(k * (rgb.g - 0.50196075f) + 0.50196075f);
        c.blue = Clamp01(k * (rgb.b - 0.50196075f) + 0.50196075f);
    }
}

void LineKernel::MirrorSpan(PixelRecord* span, int64_t count) {
    scratch_.copy.assign(span, span + count);
    const PixelRecord* copy = scratch_.copy.data();
    const int64_t half = count / 2;
    for (int64_t i = 0; i < count; ++i) {
        span[i] = i < half ? copy[i] : copy[count - i - 1];
    }
}

void LineKernel::RotateSpan(PixelRecord* span, int64_t count, int64_t a) {
    scratch_.copy.assign(span, span + count);
    const PixelRecord* copy = scratch_.copy.data();
    for (int64_t i = 0; i < count; ++i) {
        span[i] = copy[(a + i) % count];
    }
}

// The feathers blend towards the unsorted records taken before the first step; a lengthening
// stretch leaves records past the copied length without such a value, so the feathers work on
// the first min(count, copied) records.
void LineKernel::FeatherSpan(PixelRecord* span, int64_t count, int64_t copied) const {
    const int64_t length = std::min(count, copied);
    const PixelRecord* unsorted = scratch_.unsorted.data();
    if (d_.featherStartOn) {
        const int64_t m = static_cast<int64_t>(static_cast<float>(length) * d_.featherStart);
        const float step = m > 0 ? 1.0f / static_cast<float>(m) : 0.0f;
        for (int64_t i = 0; i < m; ++i) {
            const float t = static_cast<float>(i) * step;
            FloatPixel& c = span[i].color;
            const FloatPixel& u = unsorted[i].color;
            c.red = (1.0f - t) * u.red + t * c.red;
            c.green = (1.0f - t) * u.green + t * c.green;
            c.blue = (1.0f - t) * u.blue + t * c.blue;
        }
    }
    if (d_.featherEndOn) {
        const int64_t m = static_cast<int64_t>(static_cast<float>(length) * d_.featherEnd);
        const float step = m > 0 ? 1.0f / static_cast<float>(m) : 0.0f;
        for (int64_t i = 0; i + 1 < m; ++i) {
            const float t = static_cast<float>(i) * step;
            const int64_t q = length - 1 - i;
            FloatPixel& c = span[q].color;
            const FloatPixel& u = unsorted[q].color;
            c.red = (1.0f - t) * u.red + t * c.red;
            c.green = (1.0f - t) * u.green + t * c.green;
            c.blue = (1.0f - t) * u.blue + t * c.blue;
        }
    }
}

}  // namespace korvane::utils
