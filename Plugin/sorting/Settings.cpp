// The settings of the sort context: the values derived from the parameter values, and the grid
// scale and noise table they give.
#include <algorithm>
#include <cmath>
#include <random>
#include <utility>

#include "sorting/Info.h"

namespace korvane::utils {

namespace {

float ClampFloat(float value, float low, float high) { return std::min(std::max(value, low), high); }

}  // namespace

const char* FirstNonFiniteSetting(const SortSettings& s) {
    const std::pair<const char*, float> values[] = {
        {"angle", s.angle},
        {"threshold low", s.thresholdLow},
        {"threshold high", s.thresholdHigh},
        {"feather start", s.featherStart},
        {"feather end", s.featherEnd},
        {"resolution", s.resolution},
        {"animate growth", s.growth},
        {"offset", s.offset},
        {"random offset", s.randomOffset},
        {"loop", s.loop},
        {"pop", s.pop},
        {"block height", s.blockHeight},
        {"block width", s.blockWidth},
        {"stretch factor", s.stretchFactor},
        {"noise size", s.noiseSize},
        {"noise amount", s.noiseAmount},
    };
    for (const auto& [name, value] : values) {
        if (!std::isfinite(value)) {
            return name;
        }
    }
    return nullptr;
}

void DeriveSettings(Info& info) {
    const SortSettings& s = info.settings;
    DerivedSettings& d = info.derived;
    const float noiseSize = s.noiseSize;
    d.noiseFrequency = 1.0f / std::max(noiseSize * noiseSize * 1000.0f, 1.0f);
    // A downsampled frame has the same noise features in fewer pixels.
    if (s.pixelScale > 0.0f && s.pixelScale < 1.0f) d.noiseFrequency /= s.pixelScale;
    const float blockWidth = ClampFloat(s.blockWidth, 0.0f, 1.0f);
    const float blockHeight = ClampFloat(s.blockHeight, 0.0f, 1.0f);
    d.blockWidthSquared = blockWidth * blockWidth;
    d.blockHeightSquared = blockHeight * blockHeight;
    const float loop = ClampFloat(s.loop, -1.0f, 1.0f);
    d.rotationFraction = loop != 0.0f ? 1.0f - loop : 0.0f;
    d.featherStart = ClampFloat(s.featherStart, 0.0f, 1.0f);
    d.featherEnd = ClampFloat(s.featherEnd, 0.0f, 1.0f);
    d.growth = ClampFloat(s.growth, 0.0f, 2.0f);
    d.offset = ClampFloat(s.offset, 0.0f, 1.0f);
    d.randomOffset = ClampFloat(s.randomOffset, 0.0f, 1.0f);
    d.pop = ClampFloat(s.pop, 0.0f, 1.0f);
    d.stretchFactor = ClampFloat(s.stretchFactor, 0.0f, 10.0f);
    d.noiseComplexity = std::clamp(s.noiseComplexity, 0, 8);

    d.stretchOn = s.stretch && d.stretchFactor > 0.0f;
    d.blurOn = s.blur > 0;
    d.popOn = d.pop > 0.0f;
    d.featherStartOn = d.featherStart > 0.0f;
    d.featherEndOn = d.featherEnd > 0.0f;
    d.copyNeeded = d.featherStartOn || d.featherEndOn || d.stretchOn || s.preserveAlpha;
    d.noiseOn = s.noiseAmount != 0.0f && d.noiseComplexity >= 1;
    d.randomOffsetOn = d.randomOffset > 0.0f;
}

float GridScale(int32_t width, int32_t height, float resolution) {
    const float c = 10.0f / static_cast<float>(std::max(std::min(width, height), 1));
    const float r = ClampFloat(resolution, 0.0f, 1.0f);
    return (1.0f - c) * (r * r * r) + c;
}

std::array<uint8_t, 256> ShuffleNoiseTable(int32_t seed) {
    std::array<uint8_t, 256> table{};
    for (int i = 0; i < 256; ++i) {
        table[i] = static_cast<uint8_t>(i);
    }
    std::mt19937 generator(static_cast<uint32_t>(seed));
    for (uint32_t i = 1; i < 256; ++i) {
        const uint32_t j = static_cast<uint32_t>(generator()) % (i + 1);
        std::swap(table[i], table[j]);
    }
    return table;
}

}  // namespace korvane::utils
