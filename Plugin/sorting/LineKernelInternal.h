// What the line kernel's own files share: the kernel that walks one line of records, cutting it
// into spans (SpanDetection.cpp) and processing each span (SpanSteps.cpp), its buffers and the
// noise along a line. Not for other callers: they go through LineKernel.h.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "sorting/Info.h"
#include "sorting/KeyMath.h"
#include "sorting/LineKernel.h"
#include "sorting/Noise.h"

namespace korvane::utils {

// Buffers reused by every span of one line.
struct LineScratch {
    std::vector<PixelRecord> unsorted;  // the span before any step changed it (copy needed)
    std::vector<PixelRecord> copy;      // sort permutation source, stretch source, mirror, rotation
    std::vector<uint64_t> order;        // sortable key in the high half, span index in the low
    std::vector<uint64_t> orderSpare;   // second buffer of the radix sort
    std::vector<float> blur;            // three channels per record
    std::vector<float> noise;           // the noise of each column of the line
};

// The noise added to each channel of the trigger colours along line y: per octave, what depends
// on y alone once per line (the complexity is clamped to 8 in preparation).
class LineNoise {
public:
    void Start(const Info& info, int32_t y);
    // The values of columns [0, count), by the given lanes.
    void Values(int64_t count, float* noise, NoiseLanes lanes = WidestNoiseLanes());

private:
    static constexpr int32_t kMaxOctaves = 8;
    const DerivedSettings* d_ = nullptr;
    float amount_ = 0.0f;
    NoiseAlongX octaves_[kMaxOctaves];
};

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
          blockStart_((static_cast<int64_t>(y) / info.blockLines) * info.blockLines * info.lineLength),
          lastIndex_(info.lastIndex),
          lastColumn_(info.lastColumn),
          maxSpan_(info.maxSpanLength),
          trigger_(TriggerTestOf(info.settings)) {}

    // One path of `length` records held apart (CurvedPaths.h): its own line with its own length,
    // triggers read from its own records, nextHead the first record of the next path (null: the
    // last path, whose reads stop at its own last record).
    LineKernel(Info& info, int32_t index, PixelRecord* records, int64_t length, const PixelRecord* nextHead)
        : info_(info),
          s_(info.settings),
          d_(info.derived),
          base_(records),
          baseIndex_(0),
          width_(length),
          lineStart_(0),
          nextLineStart_(length),
          nextHead_(nextHead),
          y_(index),
          blockStart_(0),
          lastIndex_(nextHead != nullptr ? length : length - 1),
          lastColumn_(info.settings.fillLineEnd ? length : length - 1),
          maxSpan_(static_cast<int32_t>(static_cast<float>(length) * info.derived.blockWidthSquared)),
          trigger_(TriggerTestOf(info.settings)) {}

    void Run();

private:
    const PixelRecord& Read(int64_t index) const {
        if (nextHead_ != nullptr && index == nextLineStart_) {
            return *nextHead_;
        }
        return base_[index - baseIndex_];
    }

    bool Breaks(const FloatPixel& t, int64_t x) const;
    void CloseSpan(int64_t h, int64_t cur, int64_t x);
    void ProcessSpan(int64_t start, int64_t n, int64_t x);
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
    const int64_t blockStart_;  // first record of the line whose triggers cut this one
    const int64_t lastIndex_;   // reads are clamped here
    const int64_t lastColumn_;
    const int64_t maxSpan_;
    const TriggerTest trigger_;
    LineRandom random_;
    int64_t spanCounter_ = 0;
    LineScratch scratch_;
};

}  // namespace korvane::utils
