// Automatic thresholds: the band taken from percentiles of the frame's trigger values, counted in
// a histogram of fixed bins.
#pragma once

#include <array>
#include <cstdint>

#include "sorting/Info.h"

namespace korvane::utils {

// Counts of trigger values in kBins equal bins over [0, 1]: bin floor(v · kBins), values below 0 in
// the first bin, values from 1 on in the last; NaN is not counted. Bin edges are exact in float
// (i / kBins), so a value lies in bin i or above exactly when it is not below edge i.
class TriggerHistogram {
public:
    static constexpr int32_t kBins = 4096;

    static int32_t BinOf(float v) {
        if (!(v > 0.0f)) return 0;
        if (v >= 1.0f) return kBins - 1;
        return static_cast<int32_t>(v * static_cast<float>(kBins));
    }
    void Add(float v) {
        if (v == v) ++counts_[static_cast<size_t>(BinOf(v))];
    }
    void Add(const TriggerHistogram& other) {
        for (size_t i = 0; i < counts_.size(); ++i) counts_[i] += other.counts_[i];
    }
    uint64_t Count(int32_t bin) const { return counts_[static_cast<size_t>(bin)]; }
    uint64_t Total() const;

private:
    std::array<uint64_t, kBins> counts_{};
};

// The band [low, high) of the percentiles `autoLow` and `autoHigh` (fractions, clamped to [0, 1]):
// each the bin edge whose count of values below it lies nearest to that share of the counted
// values. An edge at 0 becomes the lowest float and an edge at 1 the highest, so that the end bins
// reach every value clamped into them: autoHigh = 1 puts the highest values inside the band though
// its top is exclusive. A band of no bins (autoHigh at or below autoLow) selects nothing.
struct AutoBand {
    float low = 0.0f;
    float high = 0.0f;
};
AutoBand BandOfPercentiles(const TriggerHistogram& histogram, float autoLow, float autoHigh);

// Puts the band of the histogram into the settings' thresholds.
void ApplyAutoBand(SortSettings& settings, const TriggerHistogram& histogram);

}  // namespace korvane::utils
