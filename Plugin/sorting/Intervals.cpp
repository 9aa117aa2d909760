// Interval modes: span lengths drawn from a counter-based hash or following a wave, and the edge
// strength of the trigger image, computed once per frame in image space.
#include "sorting/Intervals.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>

#include "sorting/Executor.h"
#include "sorting/KeyMath.h"

namespace korvane::utils {
namespace {

uint64_t Mix(uint64_t z) {
    z += 0x9e3779b97f4a7c15ull;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

// A length from a double, at least 1 and far below any overflow; NaN gives 1.
int64_t WholeLength(double length) {
    if (!(length >= 1.0)) return 1;
    if (length > 1e15) return static_cast<int64_t>(1e15);
    return static_cast<int64_t>(length);
}

// Rows of a plane on the executor, one item per band of rows.
template <typename F>
void ForRowBands(Executor& executor, int32_t height, F&& rowFunction) {
    constexpr int32_t kBand = 16;
    const int64_t bands = (static_cast<int64_t>(height) + kBand - 1) / kBand;
    executor.Run(bands, [&](int64_t band, int) -> int32_t {
        const int32_t first = static_cast<int32_t>(band * kBand);
        const int32_t end = std::min(height, first + kBand);
        for (int32_t y = first; y < end; ++y) rowFunction(y);
        return 0;
    });
}

}  // namespace

int64_t RandomSpanLength(int32_t seed, int32_t line, int64_t span, float mean) {
    const double m = std::isfinite(mean) ? std::max(1.0, static_cast<double>(mean)) : 1.0;
    uint64_t z = Mix((static_cast<uint64_t>(static_cast<uint32_t>(seed)) << 32) | static_cast<uint32_t>(line));
    z = Mix(z ^ static_cast<uint64_t>(span));
    const double u = static_cast<double>(z >> 11) * 0x1.0p-53;  // [0, 1)
    return WholeLength(1.0 + std::floor(u * (2.0 * m - 1.0)));
}

int64_t WaveSpanLength(const SortSettings& s, int64_t x, int32_t line) {
    constexpr double kTwoPi = 6.283185307179586;
    constexpr double kRadians = 0.017453292519943295;
    const double waveLength = std::max(1.0, static_cast<double>(s.waveLength));
    const double phase = (static_cast<double>(s.wavePhase) + static_cast<double>(s.waveDrift) * line) * kRadians;
    const double wave = std::sin(kTwoPi * static_cast<double>(x) / waveLength + phase);
    return WholeLength(static_cast<double>(s.spanLength) * (1.0 + static_cast<double>(s.waveAmplitude) * wave));
}

namespace {

// The box blur of radius s − 1 (rows then columns, each a window mean clamped to the plane) into
// the buffers, and the gradient at scale s of the blurred plane (or of the values themselves
// without a blur): out(x, y, magnitude²) for every pixel.
template <typename Out>
void Gradient(const float* values, int32_t width, int32_t height, float scale, Executor& executor, EdgeBuffers& buffers,
              Out&& out) {
    const int64_t count = static_cast<int64_t>(width) * height;
    const int32_t s = std::isfinite(scale) ? static_cast<int32_t>(std::lround(std::clamp(scale, 1.0f, 4096.0f))) : 1;
    const int32_t r = s - 1;
    auto at = [](const float* row, int32_t x) {
        const float v = row[x];
        return std::isnan(v) ? 0.0f : v;
    };
    const float* plane = values;
    if (r > 0) {
        buffers.across.resize(static_cast<size_t>(count));
        buffers.blurred.resize(static_cast<size_t>(count));
        float* across = buffers.across.data();
        float* blurred = buffers.blurred.data();
        ForRowBands(executor, height, [&](int32_t y) {
            const float* in = values + static_cast<int64_t>(y) * width;
            float* row = across + static_cast<int64_t>(y) * width;
            double sum = 0.0;
            int32_t lo = 0;
            int32_t hi = 0;  // the window [lo, hi)
            for (int32_t x = 0; x < width; ++x) {
                const int32_t wantHi = std::min(width, x + r + 1);
                const int32_t wantLo = std::max(0, x - r);
                while (hi < wantHi) sum += at(in, hi++);
                while (lo < wantLo) sum -= at(in, lo++);
                row[x] = static_cast<float>(sum / (hi - lo));
            }
        });
        ForRowBands(executor, height, [&](int32_t y) {
            const int32_t lo = std::max(0, y - r);
            const int32_t hi = std::min(height, y + r + 1);
            float* row = blurred + static_cast<int64_t>(y) * width;
            for (int32_t x = 0; x < width; ++x) {
                double sum = 0.0;
                for (int32_t yy = lo; yy < hi; ++yy) sum += across[x + static_cast<int64_t>(yy) * width];
                row[x] = static_cast<float>(sum / (hi - lo));
            }
        });
        plane = blurred;
    }
    // Central differences over s pixels each way: a step the blur spread over 2s − 1 pixels rises
    // by its whole height across them.
    ForRowBands(executor, height, [&](int32_t y) {
        const float* row = plane + static_cast<int64_t>(y) * width;
        const float* up = plane + static_cast<int64_t>(std::max(0, y - s)) * width;
        const float* down = plane + static_cast<int64_t>(std::min(height - 1, y + s)) * width;
        for (int32_t x = 0; x < width; ++x) {
            const float gx = at(row, std::min(width - 1, x + s)) - at(row, std::max(0, x - s));
            const float gy = at(down, x) - at(up, x);
            out(x, y, gx * gx + gy * gy);
        }
    });
}

}  // namespace

void EdgeStrength(const float* values, int32_t width, int32_t height, float scale, Executor& executor,
                  std::vector<float>& strength) {
    const int64_t count = static_cast<int64_t>(std::max(width, 0)) * std::max(height, 0);
    strength.resize(static_cast<size_t>(count));
    if (count == 0) return;
    EdgeBuffers buffers;
    Gradient(values, width, height, scale, executor, buffers, [&](int32_t x, int32_t y, float squared) {
        strength[static_cast<size_t>(x + static_cast<int64_t>(y) * width)] = std::sqrt(squared);
    });
}

void EdgeFlags(const float* values, int32_t width, int32_t height, float scale, float level, Executor& executor,
               EdgeBuffers& buffers) {
    const int64_t count = static_cast<int64_t>(std::max(width, 0)) * std::max(height, 0);
    buffers.flags.resize(static_cast<size_t>(count));
    if (count == 0) return;
    uint8_t* flags = buffers.flags.data();
    Gradient(values, width, height, scale, executor, buffers, [&](int32_t x, int32_t y, float squared) {
        flags[x + static_cast<int64_t>(y) * width] = std::sqrt(squared) > level ? 1 : 0;
    });
}

float BandValue(const FloatPixel& t, const SortSettings& s) {
    if (s.clampTrigger) {
        return TriggerValueInline(Clamp01(t.red), Clamp01(t.green), Clamp01(t.blue), Clamp01(t.alpha), s.triggerKey);
    }
    return TriggerValueInline(t.red, t.green, t.blue, t.alpha, s.triggerKey);
}

bool MarkEdgeRecords(Info& info) {
    if (info.edgeFlags == nullptr) return true;
    if (info.imageRecords.size() != static_cast<size_t>(info.imageCount) || info.imageWidth <= 0) {
        info.SetMessage("MarkEdgeRecords: the image records are not those of a " + std::to_string(info.imageWidth) +
                        " x " + std::to_string(info.imageHeight) + " image");
        return false;
    }
    return RunRowsInParallel(
        [](Info& in, int32_t y) {
            MarkEdgeRow(in, y, in.imageRecords.data() + static_cast<int64_t>(y) * in.imageWidth, in.imageWidth);
            return true;
        },
        info, info.imageHeight);
}

void MarkEdgeRow(const Info& info, int32_t y, PixelRecord* row, int64_t count) {
    if (info.edgeFlags == nullptr || info.imageWidth <= 0) return;
    const uint8_t* flags = info.edgeFlags + static_cast<int64_t>(y) * info.imageWidth;
    const int64_t n = std::min<int64_t>(count, info.imageWidth);
    for (int64_t x = 0; x < n; ++x) row[x].edge = flags[x];
}

void MarkEdgeBreaks(const Info& info, int32_t y, uint8_t* breaks, int64_t count) {
    if (info.edgeFlags == nullptr || info.imageWidth <= 0) return;
    const uint8_t* flags = info.edgeFlags + static_cast<int64_t>(y) * info.imageWidth;
    const int64_t n = std::min<int64_t>(count, info.imageWidth);
    for (int64_t x = 0; x < n; ++x) breaks[x] |= flags[x];
}

}  // namespace korvane::utils
