// The frei0r bridge's own cost per frame next to the effect's: RGBA to world, the 31 parameters
// into the host, world to RGBA, against the smart render of the same frame through the host.
// Medians of --runs timed repetitions (conversions: 10 times as many).
//
//   korvane_bench_frei0r [--size 1920x1080] [--runs 7]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "Conversion.h"
#include "KRVN.h"

namespace {

using namespace korvane;
using Clock = std::chrono::steady_clock;

template <typename F>
double MedianMs(int runs, F&& work) {
    std::vector<double> ms;
    work();  // warm-up
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        work();
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    int width = 1920, height = 1080, runs = 7;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--size"))
            std::sscanf(argv[i + 1], "%dx%d", &width, &height);
        else if (!std::strcmp(argv[i], "--runs"))
            runs = std::max(1, std::atoi(argv[i + 1]));
    }
    std::vector<uint32_t> in(static_cast<size_t>(width) * height), out(in.size());
    std::mt19937 random(1);
    for (size_t i = 0; i < in.size(); ++i) {
        const uint32_t x = static_cast<uint32_t>(i % width), y = static_cast<uint32_t>(i / width);
        in[i] = ((x * 255 / width + random() % 32) & 0xff) | ((y * 255 / height) << 8) | ((random() % 256) << 16) |
                0xff000000u;
    }
    host::Host host(host::EntryPoints{&PluginDataEntryFunction, &EffectMain}, host::Personality::AfterEffects);
    if (host.Setup() != PF_Err_NONE) return 1;
    host::World input(width, height, 8), output(width, height, 8);
    double values[frei0r::kFilterParamCount];
    for (int i = 0; i < frei0r::kFilterParamCount; ++i) values[i] = frei0r::DefaultValue(*frei0r::kFilterRows[i]);

    const double to_world = MedianMs(runs * 10, [&] { frei0r::RgbaToWorld(in.data(), input); });
    const double params = MedianMs(runs * 10, [&] { frei0r::ApplyParams(host, values); });
    const double render = MedianMs(runs, [&] { host.RenderSmart(0.0, 8, input, output); });
    const double to_rgba = MedianMs(runs * 10, [&] { frei0r::WorldToRgba(output, out.data()); });
    const double bridge = to_world + params + to_rgba;
    std::printf("%dx%d, default look, %d runs, medians in ms\n", width, height, runs);
    std::printf("RGBA to world      %8.3f\nparameters         %8.3f\nworld to RGBA      %8.3f\n", to_world, params,
                to_rgba);
    std::printf("bridge total       %8.3f\neffect render      %8.3f\nbridge / effect    %7.1f %%\n", bridge, render,
                100.0 * bridge / render);
    host.GlobalSetdown();
    return 0;
}
