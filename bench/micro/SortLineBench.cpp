// SortLine on 1920-record lines of photo-like content (smooth gradients with grain), for a few
// looks, with the keyed span sort and with the comparator sort it replaces.
#include <cmath>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "KRVN_Params.h"
#include "sorting/Info.h"
#include "sorting/LineIteration.h"
#include "sources/CoreSettings.h"

namespace {

using korvane::utils::Info;
using korvane::utils::PixelRecord;

constexpr int32_t kWidth = 1920;
constexpr int32_t kLines = 32;

std::vector<PixelRecord> PhotoLikeLines() {
    std::mt19937 grain(1234);
    std::normal_distribution<float> noise(0.0f, 0.03f);
    std::vector<PixelRecord> records(static_cast<size_t>(kWidth) * kLines);
    for (int32_t y = 0; y < kLines; ++y) {
        for (int32_t x = 0; x < kWidth; ++x) {
            const float fx = static_cast<float>(x);
            const float fy = static_cast<float>(y) * 17.0f;
            PixelRecord& rec = records[static_cast<size_t>(x + y * kWidth)];
            const float r = 0.5f + 0.4f * std::sin(fx / 210.0f + fy / 50.0f) + noise(grain);
            const float g = 0.45f + 0.35f * std::sin(fx / 330.0f + 1.0f + fy / 70.0f) + noise(grain);
            const float b = 0.4f + 0.35f * std::cos(fx / 150.0f + fy / 90.0f) + noise(grain);
            rec.color = {1.0f, std::fmin(std::fmax(r, 0.0f), 1.0f), std::fmin(std::fmax(g, 0.0f), 1.0f),
                         std::fmin(std::fmax(b, 0.0f), 1.0f)};
            rec.trigger = rec.color;
            rec.sortSource = rec.color;
        }
    }
    return records;
}

enum Look { kDefault, kHue, kGradient, kNoise, kBlur };

KRVN_Params ParamsFor(Look look) {
    KRVN_Params p;
    switch (look) {
        case kHue: p.sort_key = korvane::utils::kSortHue; break;
        case kGradient: p.mode = korvane::utils::kModeGradient; break;
        case kNoise: p.noise_amount = 0.3f; break;
        case kBlur: p.blur = 10; break;
        case kDefault: break;
    }
    return p;
}

void SortLines(benchmark::State& state, Look look, bool comparatorSort) {
    const std::vector<PixelRecord> pristine = PhotoLikeLines();
    Info info;
    info.settings = korvane::sources::CopySettings(ParamsFor(look));
    info.imageRecords = pristine;
    if (!korvane::utils::PrepareSorting(info, kWidth, kLines)) {
        state.SkipWithError(info.Message().c_str());
        return;
    }
    info.derived.comparatorSort = comparatorSort;
    for (auto _ : state) {
        state.PauseTiming();
        info.lineRecords = pristine;
        state.ResumeTiming();
        for (int32_t y = 0; y < kLines; ++y) {
            benchmark::DoNotOptimize(korvane::utils::SortLine(info, y));
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kLines * kWidth);
}

}  // namespace

BENCHMARK_CAPTURE(SortLines, Default_Keyed, kDefault, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(SortLines, Default_Comparator, kDefault, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(SortLines, HueKey_Keyed, kHue, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(SortLines, HueKey_Comparator, kHue, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(SortLines, GradientFill_Keyed, kGradient, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(SortLines, GradientFill_Comparator, kGradient, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(SortLines, NoiseOn_Keyed, kNoise, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(SortLines, NoiseOn_Comparator, kNoise, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(SortLines, Blur10_Keyed, kBlur, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(SortLines, Blur10_Comparator, kBlur, true)->Unit(benchmark::kMicrosecond);
