// Span detection: the line kernel's walk along one line, which cuts it into spans where the
// trigger (with the noise along the line) closes one, and the bounds each span gets from the
// growth, offset and random offset before it is processed.
#include <algorithm>
#include <cstdint>

#include "sorting/Intervals.h"
#include "sorting/LineKernelInternal.h"

namespace korvane::utils {

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

void LineNoise::Values(int64_t count, float* noise, NoiseLanes lanes) {
    NoiseLineValues(lanes, octaves_, std::min(d_->noiseComplexity, kMaxOctaves), d_->noiseFrequency, amount_, count,
                    noise);
}

bool LineKernel::Breaks(const FloatPixel& t, int64_t x) const {
    const float n = d_.noiseOn ? scratch_.noise[static_cast<size_t>(x)] : 0.0f;
    return trigger_.Breaks(t.red + n, t.green + n, t.blue + n, t.alpha);
}

void LineKernel::Run() {
    const int64_t lastIndex = lastIndex_;
    const int64_t blockStart = blockStart_;
    const int64_t lastColumn = lastColumn_;
    const int64_t maxSpan = maxSpan_;
    const bool gating = s_.maskGating;

    random_.Seed(LineSeed(s_.randomSeed, y_));
    if (d_.noiseOn) {
        // The whole line's noise at once, where the lanes are widest; the walk reads it only
        // below the line length.
        scratch_.noise.resize(static_cast<size_t>(width_));
        LineNoise noise;
        noise.Start(info_, y_);
        noise.Values(width_, scratch_.noise.data());
    }
    int64_t h = lineStart_;
    bool inSpan = false;
    bool leftMask = false;
    // The interval mode's cuts, ORed with the band's breaks: an edge flag, or the end of the span's
    // length (never, in the band-alone mode).
    const bool edgeCuts = s_.intervalMode == kIntervalEdges;
    LengthCuts lengths(s_, y_);
    int64_t cutAt = gating ? LengthCuts::kNever : lengths.EndOfSpanAt(0);

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
                    cutAt = lengths.EndOfSpanAt(x);
                }
                continue;
            }
            if (!p.inMask) {
                leftMask = true;
            }
        }
        // At x = line length the span closes whatever the trigger, so the trigger there (the
        // head of another line of the block, possibly being sorted right now) is not read.
        const bool close = x >= width_ || cur - h > maxSpan || Breaks(Read(trig).trigger, x) || x >= cutAt ||
                           (edgeCuts && Read(trig).edge != 0);
        if (!close) {
            continue;
        }
        if (gating && p.inMask && leftMask) {
            continue;
        }
        CloseSpan(h, cur, x);
        h = cur;
        inSpan = false;
        if (!gating) cutAt = lengths.EndOfSpanAt(x);
    }
}

void LineKernel::CloseSpan(int64_t h, int64_t cur, int64_t x) {
    const auto [shifted, end] = ClosedSpanBounds(h, cur, d_.growth, d_.offset, d_.randomOffset,
                                                 d_.randomOffsetOn ? &random_ : nullptr);
    const int64_t start = shifted > 0 ? shifted : 0;
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

}  // namespace korvane::utils
