// The line kernel: span detection along one line of the grid and the processing of each span
// (sort or fill, stretch, positions, blur, pop, mirror, rotation, feathers).
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <exception>
#include <string>
#include <utility>

#include "sorting/KeyMath.h"
#include "sorting/LineKernel.h"
#include "sorting/Noise.h"
#include "sorting/RadixSort.h"

namespace korvane::utils {

namespace {

// Buffers reused by every span of one line.
struct LineScratch {
    std::vector<PixelRecord> unsorted;  // the span before any step changed it (copy needed)
    std::vector<PixelRecord> copy;      // sort permutation source, stretch source, mirror, rotation
    std::vector<uint64_t> order;        // sortable key in the high half, span index in the low
    std::vector<uint64_t> orderSpare;   // second buffer of the radix sort
    std::vector<float> blur;            // three channels per record
};

// The noise added to each channel of the trigger colours along line y: per octave, what depends
// on y alone once per line (the complexity is clamped to 8 in preparation).
class LineNoise {
public:
    void Start(const Info& info, int32_t y);
    float At(int64_t x);

private:
    static constexpr int32_t kMaxOctaves = 8;
    const DerivedSettings* d_ = nullptr;
    float amount_ = 0.0f;
    NoiseAlongX octaves_[kMaxOctaves];
};

void LineNoise::Start(const Info& info, int32_t y) {
    d_ = &info.derived;
    amount_ = info.settings.noiseAmount;
    const float ny = d_->noiseFrequency * static_cast<float>(y);
    double scale = 1.0;
    for (int32_t o = 0; o < d_->noiseComplexity && o < kMaxOctaves; ++o) {
        octaves_[o] = NoiseAlongX(static_cast<double>(ny) * scale, 0.34567, info.noiseTable);
        scale *= 2.0;
    }
}

float LineNoise::At(int64_t x) {
    const float nx = d_->noiseFrequency * static_cast<float>(x);
    double sum = 0.0;
    double scale = 1.0;
    double weight = 1.0;
    for (int32_t o = 0; o < d_->noiseComplexity && o < kMaxOctaves; ++o) {
        sum += octaves_[o].At(static_cast<double>(nx) * scale) * weight;
        scale *= 2.0;
        weight *= 0.5;
    }
    sum = std::clamp(sum, -1.0, 1.0);
    return static_cast<float>(static_cast<double>(amount_) * sum);
}

class LineKernel {
public:
    // base holds the records from index baseIndex of the grid on: the whole grid, or one line.
    LineKernel(Info& info, int32_t y, const PixelRecord* nextHead, PixelRecord* base, int64_t baseIndex)
        : info_(info),
          s_(info.settings),
          d_(info.derived),
          base_(base),
          baseIndex_(baseIndex),
          width_(info.lineLength),
          lineStart_(static_cast<int64_t>(y) * info.lineLength),
          nextLineStart_(lineStart_ + info.lineLength),
          nextHead_(nextHead),
          y_(y),
          trigger_(TriggerTestOf(info.settings)) {}

    void Run();

private:
    const PixelRecord& Read(int64_t index) const {
        if (nextHead_ != nullptr && index == nextLineStart_) {
            return *nextHead_;
        }
        return base_[index - baseIndex_];
    }

    bool Breaks(const PF_PixelFloat& t, int64_t x);
    void CloseSpan(int64_t h, int64_t cur, int64_t x);
    void ProcessSpan(int64_t start, int64_t count, int64_t x);
    void SortSpan(PixelRecord* span, int64_t n);
    int64_t StretchSpan(PixelRecord* span, int64_t n, int64_t x);
    void FillSpan(PixelRecord* span, int64_t count, int64_t end);
    void BlurSpan(PixelRecord* span, int64_t count);
    void PopSpan(PixelRecord* span, int64_t count) const;
    void MirrorSpan(PixelRecord* span, int64_t count);
    void RotateSpan(PixelRecord* span, int64_t count, int64_t a);
    void FeatherSpan(PixelRecord* span, int64_t count, int64_t copied) const;

    Info& info_;
    const SortSettings& s_;
    const DerivedSettings& d_;
    PixelRecord* const base_;
    const int64_t baseIndex_;
    const int64_t width_;
    const int64_t lineStart_;
    const int64_t nextLineStart_;
    const PixelRecord* nextHead_;
    const int32_t y_;
    const TriggerTest trigger_;
    LineRandom random_;
    int64_t spanCounter_ = 0;
    LineScratch scratch_;
    LineNoise noise_;
};

// The bounds [start, end) of the span [h, cur) after the growth animation: above 1 the span
// slides in from its end, below 1 it is cut short.
std::pair<int64_t, int64_t> GrownSpan(int64_t h, int64_t cur, float g) {
    const int64_t len = cur - h;
    if (g > 1.0f) {
        const int64_t start = h + len - static_cast<int64_t>((2.0f - g) * static_cast<float>(len));
        return {start, start + len};
    }
    if (g < 1.0f) return {h, h + static_cast<int64_t>(g * static_cast<float>(len))};
    return {h, cur};
}

bool LineKernel::Breaks(const PF_PixelFloat& t, int64_t x) {
    const float n = d_.noiseOn ? noise_.At(x) : 0.0f;
    return trigger_.Breaks(t.red + n, t.green + n, t.blue + n, t.alpha);
}

void LineKernel::Run() {
    const int64_t lastIndex = info_.lastIndex;
    const int64_t blockLines = info_.blockLines;
    const int64_t blockStart = (static_cast<int64_t>(y_) / blockLines) * blockLines * width_;
    const int64_t lastColumn = info_.lastColumn;
    const int64_t maxSpan = info_.maxSpanLength;
    const bool gating = s_.maskGating;

    random_.Seed(LineSeed(s_.randomSeed, y_));
    if (d_.noiseOn) {
        noise_.Start(info_, y_);
    }
    int64_t h = lineStart_;
    bool inSpan = false;
    bool leftMask = false;

    for (int64_t x = 0; x <= lastColumn; ++x) {
        const int64_t e = lineStart_ + x;
        const int64_t cur = std::min(e, lastIndex);
        const int64_t trig = std::min(blockStart + x, lastIndex);
        const PixelRecord& p = Read(cur);
        if (gating) {
            if (!inSpan) {
                if (p.inMask) {
                    inSpan = true;
                    h = e;
                }
                continue;
            }
            if (!p.inMask) {
                leftMask = true;
            }
        }
        // At x = line length the span closes whatever the trigger, so the trigger there (the
        // head of another line of the block, possibly being sorted right now) is not read.
        const bool close = x >= width_ || cur - h > maxSpan || Breaks(Read(trig).trigger, x);
        if (!close) {
            continue;
        }
        if (gating && p.inMask && leftMask) {
            continue;
        }
        CloseSpan(h, cur, x);
        h = cur;
        inSpan = false;
    }
}

void LineKernel::CloseSpan(int64_t h, int64_t cur, int64_t x) {
    const int64_t len = cur - h;
    const auto [start0, end0] = GrownSpan(h, cur, d_.growth);
    int64_t shift = 0;
    if (len >= 1) {
        if (d_.offset > 0.0f) {
            shift = static_cast<int64_t>(d_.offset * static_cast<float>(len));
        }
        if (d_.randomOffsetOn) {
            const int64_t r = random_.Next();
            shift = shift - static_cast<int64_t>(static_cast<float>(r % len - len) * -0.5f * d_.randomOffset);
        }
    }
    const int64_t start = start0 + shift > 0 ? start0 + shift : 0;
    const int64_t end = std::min(cur, end0 + shift);
    const int64_t count = end - start;
    if (count < 2) {
        return;
    }
    ++spanCounter_;
    if (d_.randomOffsetOn) {
        random_.Seed(static_cast<uint32_t>(s_.randomSeed));
        const int64_t r2 = random_.Next();
        random_.Seed(static_cast<uint32_t>(r2 % spanCounter_));
    }
    ProcessSpan(start, count, x);
}

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
    const PF_PixelFloat first = span[0].color;
    const PF_PixelFloat after = Read(end).color;
    const int32_t mode = s_.outputMode;
    if (mode == kModeGradient) {
        const float step = 1.0f / static_cast<float>(count);
        for (int64_t j = 0; j < count; ++j) {
            float t = static_cast<float>(j) * step;
            if (!s_.reverse) {
                t = 1.0f - t;
            }
            PF_PixelFloat& c = span[j].color;
            c.red = (1.0f - t) * after.red + t * first.red;
            c.green = (1.0f - t) * after.green + t * first.green;
            c.blue = (1.0f - t) * after.blue + t * first.blue;
        }
        return;
    }
    const PF_PixelFloat& value = mode == kModeStretchFirst ? first : after;
    for (int64_t j = 0; j < count; ++j) {
        PF_PixelFloat& c = span[j].color;
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
            const PF_PixelFloat& in = span[i + r + 1].color;
            sr += in.red;
            sg += in.green;
            sb += in.blue;
        }
        if (i - r >= 0) {
            const PF_PixelFloat& gone = span[i - r].color;
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
        PF_PixelFloat& c = span[i].color;
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
            PF_PixelFloat& c = span[i].color;
            const PF_PixelFloat& u = unsorted[i].color;
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
            PF_PixelFloat& c = span[q].color;
            const PF_PixelFloat& u = unsorted[q].color;
            c.red = (1.0f - t) * u.red + t * c.red;
            c.green = (1.0f - t) * u.green + t * c.green;
            c.blue = (1.0f - t) * u.blue + t * c.blue;
        }
    }
}

}  // namespace

uint32_t LineSeed(int32_t randomSeed, int32_t y) {
    uint64_t z = (static_cast<uint64_t>(static_cast<uint32_t>(randomSeed)) << 32) | static_cast<uint32_t>(y);
    z += 0x9e3779b97f4a7c15ull;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    z ^= z >> 31;
    return static_cast<uint32_t>(z);
}

bool SortLineWithHead(Info& info, int32_t y, const PixelRecord* nextHead) {
    if (info.lineRecords.empty()) {
        info.SetMessage("SortLine: the line grid is empty");
        return false;
    }
    if (y < 0 || y >= info.lineCount ||
        static_cast<int64_t>(info.lineRecords.size()) != info.gridCount) {
        info.SetMessage("SortLine: line " + std::to_string(y) + " is not in a grid of " +
                        std::to_string(info.lineCount) + " lines");
        return false;
    }
    try {
        LineKernel kernel(info, y, nextHead, info.lineRecords.data(), 0);
        kernel.Run();
        return true;
    } catch (const std::exception& e) {
        info.SetMessage(e.what());
        return false;
    }
}

bool SortLine(Info& info, int32_t y) { return SortLineWithHead(info, y, nullptr); }

void LineNoiseValues(const Info& info, int32_t y, int64_t count, float* noise) {
    if (!info.derived.noiseOn) {
        std::fill(noise, noise + count, 0.0f);
        return;
    }
    LineNoise line;
    line.Start(info, y);
    for (int64_t x = 0; x < count; ++x) {
        noise[x] = line.At(x);
    }
}

bool CompactRowsApply(const Info& info) {
    const SortSettings& s = info.settings;
    const DerivedSettings& d = info.derived;
    return info.rowsApart && info.blockLines == 1 && s.outputMode == kModeSort && !s.maskGating && !s.mirror &&
           !d.copyNeeded && !d.stretchOn && !d.blurOn && !d.popOn && !d.featherStartOn &&
           !d.featherEndOn && !d.randomOffsetOn && !d.comparatorSort && !(d.rotationFraction > 0.0f);
}

namespace {

// Buffers of one thread's compact rows, kept for its next rows.
struct CompactScratch {
    std::vector<uint64_t> order;
    std::vector<uint64_t> orderSpare;
    std::vector<unsigned char> copy;
};

// The pixels of span [start, start + n) ordered by key as SortSpan orders the records; the span's
// keys are those the row was read with, since no earlier span of the row reaches into it. A 4-byte
// pixel travels in the low half of its sort value, so the sorted values are the sorted span; wider
// pixels are gathered by the sorted indices.
void SortPackedSpan(CompactScratch& scratch, unsigned char* pixels, const uint32_t* keys, int64_t start, int64_t n) {
    std::vector<uint64_t>& order = scratch.order;
    order.resize(static_cast<size_t>(n));
    unsigned char* span = pixels + start * 4;
    const uint32_t* spanKeys = keys + start;
    for (int64_t i = 0; i < n; ++i) {
        uint32_t pixel;
        std::memcpy(&pixel, span + i * 4, 4);
        order[static_cast<size_t>(i)] = (static_cast<uint64_t>(spanKeys[i]) << 32) | pixel;
    }
    SortByHighHalf(order.data(), order.size(), scratch.orderSpare);
    for (int64_t i = 0; i < n; ++i) {
        const auto pixel = static_cast<uint32_t>(order[static_cast<size_t>(i)]);
        std::memcpy(span + i * 4, &pixel, 4);
    }
}

template <size_t Bytes>
void SortGatheredSpan(CompactScratch& scratch, unsigned char* pixels, const uint32_t* keys, int64_t start,
                      int64_t n) {
    std::vector<uint64_t>& order = scratch.order;
    order.resize(static_cast<size_t>(n));
    const uint32_t* spanKeys = keys + start;
    for (int64_t i = 0; i < n; ++i) {
        order[static_cast<size_t>(i)] = (static_cast<uint64_t>(spanKeys[i]) << 32) | static_cast<uint64_t>(i);
    }
    SortByHighHalf(order.data(), order.size(), scratch.orderSpare);
    unsigned char* span = pixels + start * static_cast<int64_t>(Bytes);
    scratch.copy.assign(span, span + n * static_cast<int64_t>(Bytes));
    const unsigned char* source = scratch.copy.data();
    for (int64_t i = 0; i < n; ++i) {
        std::memcpy(span + i * static_cast<int64_t>(Bytes), source + (order[static_cast<size_t>(i)] & 0xffffffffu) * Bytes,
                    Bytes);
    }
}

// The first column in [x, end) whose break flag is set, or end; eight flags at a time.
int64_t NextBreak(const uint8_t* breaks, int64_t x, int64_t end) {
    if constexpr (std::endian::native == std::endian::little) {
        for (; x + 8 <= end; x += 8) {
            uint64_t word;
            std::memcpy(&word, breaks + x, 8);
            if (word != 0) {
                return x + std::countr_zero(word) / 8;
            }
        }
    }
    while (x < end && breaks[x] == 0) {
        ++x;
    }
    return x;
}

}  // namespace

bool SortCompactRow(Info& info, int32_t y, void* pixels, size_t pixelBytes, const uint8_t* breaks,
                    const uint32_t* keys) {
    if (pixels == nullptr || breaks == nullptr || keys == nullptr || y < 0 || y >= info.lineCount ||
        !(pixelBytes == 4 || pixelBytes == 8 || pixelBytes == 16) || !CompactRowsApply(info)) {
        info.SetMessage("SortRow: line " + std::to_string(y) + " cannot be sorted as a compact row");
        return false;
    }
    const auto sortSpan = pixelBytes == 4   ? &SortPackedSpan
                          : pixelBytes == 8 ? &SortGatheredSpan<8>
                                            : &SortGatheredSpan<16>;
    auto* row = static_cast<unsigned char*>(pixels);
    try {
        thread_local CompactScratch scratch;
        // Indices from the start of the line; the line's last index is lastIndex in the grid's
        // terms, so the last line's final span ends one record short, as it does in the grid.
        const int64_t width = info.lineLength;
        const int64_t last = info.lastIndex - static_cast<int64_t>(y) * width;
        const int64_t lastColumn = info.lastColumn;
        const int64_t maxSpan = info.maxSpanLength;
        const float g = info.derived.growth;
        const float offset = info.derived.offset;
        // Up to `plainEnd` a column reads its own flag, so after a column that leaves the span
        // open the next ones are skipped to the next set flag or the span's length limit.
        const int64_t plainEnd = std::min({width, last + 1, lastColumn + 1});
        int64_t h = 0;
        for (int64_t x = 0; x <= lastColumn; ++x) {
            const int64_t cur = std::min(x, last);
            if (x < width && cur - h <= maxSpan && breaks[cur] == 0) {
                if (x < plainEnd) {
                    x = NextBreak(breaks, x + 1, std::min(plainEnd, h + maxSpan + 1)) - 1;
                }
                continue;
            }
            // The span's bounds as CloseSpan gives them without a random offset; growth and offset
            // never lengthen a span, so one shorter than 2 sorts nothing.
            const int64_t len = cur - h;
            if (len < 2) {
                h = cur;
                continue;
            }
            const auto [start0, end0] = GrownSpan(h, cur, g);
            const int64_t shift = len >= 1 && offset > 0.0f ? static_cast<int64_t>(offset * static_cast<float>(len)) : 0;
            const int64_t start = start0 + shift;
            const int64_t end = std::min(cur, end0 + shift);
            if (end - start >= 2) {
                sortSpan(scratch, row, keys, start, end - start);
            }
            h = cur;
        }
        return true;
    } catch (const std::exception& e) {
        info.SetMessage(e.what());
        return false;
    }
}

bool SortRowWithHead(Info& info, int32_t y, PixelRecord* row, const PixelRecord* nextHead) {
    if (row == nullptr || y < 0 || y >= info.lineCount || !info.rowsApart) {
        info.SetMessage("SortRow: line " + std::to_string(y) + " cannot be sorted on its own");
        return false;
    }
    try {
        LineKernel kernel(info, y, nextHead, row, static_cast<int64_t>(y) * info.lineLength);
        kernel.Run();
        return true;
    } catch (const std::exception& e) {
        info.SetMessage(e.what());
        return false;
    }
}

}  // namespace korvane::utils
