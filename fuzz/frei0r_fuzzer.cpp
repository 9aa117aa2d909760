// The frei0r filter's handling of what a host hands it: frame sizes (zero and absurd ones included),
// parameter indices in and out of range, any double as a parameter value (NaN, infinities, outside
// [0, 1]), and frames. Values read back must be finite and in [0, 1]; a frame rendered twice with
// the same parameters must come out the same; nothing may crash or leak.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" {
#include <frei0r.h>
}

namespace {

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "frei0r fuzzer: %s\n", what.c_str());
    std::abort();
}

unsigned FuzzSide(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 15)) {
        case 0: return 0;
        case 1: return in.PickValueInArray({65536u, 65537u, 1u << 31, UINT_MAX});
        default: return in.ConsumeIntegralInRange(1u, 48u);
    }
}

double FuzzValue(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 7)) {
        case 0: return NAN;
        case 1: return in.ConsumeBool() ? INFINITY : -INFINITY;
        case 2: return in.ConsumeFloatingPoint<double>();
        case 3: return in.ConsumeFloatingPointInRange(-2.0, 3.0);
        default: return in.ConsumeProbability<double>();
    }
}

// Most pixels, or cells of the sorting grid, a rendered frame may have.
constexpr uint64_t kWork = uint64_t{1} << 14;

// The index of the grid's resolution among the filter's parameters; -1 without one.
int ResolutionIndex(const f0r_plugin_info_t& info) {
    static const int index = [&] {
        for (int i = 0; i < info.num_params; ++i) {
            f0r_param_info_t param{};
            f0r_get_param_info(&param, i);
            if (param.name && std::string(param.name) == "resolution") return i;
        }
        return -1;
    }();
    return index;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool usable = f0r_init() == 1;
    if (!usable) Fail("f0r_init failed");
    f0r_plugin_info_t info{};
    f0r_get_plugin_info(&info);

    FuzzedDataProvider in(data, size);
    const unsigned width = FuzzSide(in), height = FuzzSide(in);
    // Sides the filter accepts but whose frames take seconds to render under the sanitizers and the
    // fuzzer's counters (a render of a few million pixels with noise exceeds the time limit of one
    // input; so do 65536 × 1 frames along circles with noise, 32768 paths of two pixels each): the
    // sizes that matter here are the odd and extreme ones, which stay below kWork pixels.
    if (width <= 65536 && height <= 65536 && uint64_t{width} * height > kWork) return 0;
    f0r_instance_t instance = f0r_construct(width, height);
    if (width > 65536 || height > 65536) {
        if (instance) Fail("an instance of an absurd size");
        return 0;
    }
    if (!instance) return 0;

    const int settings = in.ConsumeIntegralInRange(0, 40);
    for (int i = 0; i < settings; ++i) {
        const int index = in.ConsumeIntegralInRange(-2, info.num_params + 2);
        double value = FuzzValue(in);
        f0r_set_param_value(instance, &value, index);
        f0r_param_info_t param{};
        f0r_get_param_info(&param, index);
        double back = -1;
        f0r_get_param_value(instance, &back, index);
        if (index >= 0 && index < info.num_params) {
            if (!param.name || !param.explanation) Fail("parameter " + std::to_string(index) + " without a name");
            if (!(back >= 0.0 && back <= 1.0))
                Fail("parameter " + std::to_string(index) + " reads back " + std::to_string(back));
        } else if (back != -1) {
            Fail("an index out of range answered a value");
        }
    }

    // Below full resolution a frame thinner than ten pixels is sorted on a grid of ten lines across
    // it, up to a hundred times its pixels: such frames keep to the same work as the others.
    if (ResolutionIndex(info) >= 0 && width > 0 && height > 0) {
        double resolution = 1.0;
        f0r_get_param_value(instance, &resolution, ResolutionIndex(info));
        const unsigned shorter = std::min(width, height);
        const uint64_t across = shorter >= 10 ? 1 : (10 + shorter - 1) / shorter;
        if (resolution < 1.0 && uint64_t{width} * height * across * across > kWork) {
            f0r_destruct(instance);
            return 0;
        }
    }

    const size_t pixels = static_cast<size_t>(width) * height;
    if (pixels > 0) {
        std::vector<uint32_t> frame(pixels), first(pixels), second(pixels);
        const std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(pixels * 4);
        for (size_t i = 0; i < pixels; ++i) {
            uint32_t v = 0x9e3779b9u * static_cast<uint32_t>(i + 1);
            for (size_t b = 0; b < 4 && i * 4 + b < bytes.size(); ++b)
                v = (v & ~(0xffu << (8 * b))) | (uint32_t{bytes[i * 4 + b]} << (8 * b));
            frame[i] = v;
        }
        const double time = in.ConsumeFloatingPoint<double>();
        f0r_update2(instance, time, frame.data(), frame.data(), nullptr, first.data());
        f0r_update(instance, time, frame.data(), second.data());
        if (first != second) Fail("two renders of one frame differ");
        f0r_update(instance, time, frame.data(), frame.data());  // in place
        if (frame != first) Fail("a frame rendered in place differs");
    }
    f0r_destruct(instance);
    return 0;
}
