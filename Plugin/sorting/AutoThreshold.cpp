// Automatic thresholds: the band's edges from the frame's histogram of trigger values.
#include "sorting/AutoThreshold.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace korvane::utils {
namespace {

// The bin edge in [0, kBins] whose count below lies nearest to `target`; ties go to the lower edge
// or, with `upper`, the higher.
int32_t NearestEdge(const TriggerHistogram& h, double target, bool upper) {
    uint64_t below = 0;
    int32_t best = 0;
    double bestDistance = std::abs(target);
    for (int32_t edge = 1; edge <= TriggerHistogram::kBins; ++edge) {
        below += h.Count(edge - 1);
        const double distance = std::abs(static_cast<double>(below) - target);
        if (distance < bestDistance || (upper && distance == bestDistance)) {
            best = edge;
            bestDistance = distance;
        }
    }
    return best;
}

float EdgeValue(int32_t edge) {
    if (edge <= 0) return std::numeric_limits<float>::lowest();
    if (edge >= TriggerHistogram::kBins) return std::numeric_limits<float>::max();
    return static_cast<float>(edge) / static_cast<float>(TriggerHistogram::kBins);
}

double Fraction(float v) { return std::isfinite(v) ? std::clamp(static_cast<double>(v), 0.0, 1.0) : 0.0; }

}  // namespace

uint64_t TriggerHistogram::Total() const {
    uint64_t total = 0;
    for (const uint64_t c : counts_) total += c;
    return total;
}

AutoBand BandOfPercentiles(const TriggerHistogram& histogram, float autoLow, float autoHigh) {
    const double total = static_cast<double>(histogram.Total());
    const double low = Fraction(autoLow);
    const double high = Fraction(autoHigh);
    if (!(high > low) || total == 0.0) return {0.0f, 0.0f};
    const int32_t lowEdge = NearestEdge(histogram, low * total, false);
    const int32_t highEdge = NearestEdge(histogram, high * total, true);
    if (highEdge <= lowEdge) return {0.0f, 0.0f};
    return {EdgeValue(lowEdge), EdgeValue(highEdge)};
}

void ApplyAutoBand(SortSettings& settings, const TriggerHistogram& histogram) {
    const AutoBand band = BandOfPercentiles(histogram, settings.autoLow, settings.autoHigh);
    settings.thresholdLow = band.low;
    settings.thresholdHigh = band.high;
}

}  // namespace korvane::utils
