// The effect through the host, driven by fuzzer bytes: every parameter (out of range, NaN and
// infinite included), keyframes, the personality, the render path, the depth and pixel format, an
// image of 1 to 64 pixels a side (NaN and huge values at 32 bits), masks, source layers of other
// sizes and a time. Any crash, sanitizer report, leak or imbalance, out-of-range output or output
// that differs between two renders of the same frame aborts.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "KRVN.h"
#include "korvane/host/Host.h"
#include "params/ParamTable.h"

namespace {

using korvane::host::Host;
using korvane::host::Personality;
using korvane::host::World;
namespace host = korvane::host;
namespace P = korvane::params;

// What the current input chose, printed with a failure.
std::string g_case;

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "effect fuzzer: %s\ncase:%s\n", what.c_str(), g_case.c_str());
    std::abort();
}

double AnyValue(FuzzedDataProvider& in, double lo, double hi, double dephault) {
    switch (in.ConsumeIntegralInRange(0, 9)) {
        case 0: return dephault;
        case 1: return std::numeric_limits<double>::quiet_NaN();
        case 2: return std::numeric_limits<double>::infinity();
        case 3: return -std::numeric_limits<double>::infinity();
        case 4: return in.ConsumeFloatingPoint<double>();
        case 5:
            return std::round(lo) - 3 + in.ConsumeIntegralInRange(0, static_cast<int>(std::min(hi - lo, 1000.0)) + 6);
        case 6: return in.ConsumeBool() ? lo : hi;
        default: return lo + (hi - lo) * in.ConsumeProbability<double>();
    }
}

// Sets one parameter, constant or keyframed; values the host cannot store (a NaN popup, an
// integer beyond 32 bits) are refused by the host with HostError and skipped.
void SetParam(FuzzedDataProvider& in, Host& h, int index, int layers, int masks) {
    const PF_ParamDef& def = h.registered(index);
    const P::ParamSpec& row = P::kParams[static_cast<size_t>(index - 1)];
    auto value = [&]() -> double {
        switch (def.param_type) {
            case PF_Param_LAYER: return in.ConsumeIntegralInRange(host::kNoLayer, layers);
            case PF_Param_PATH: return in.ConsumeIntegralInRange(0, masks + 1);
            default: return AnyValue(in, row.valid_min, row.valid_max, row.dephault);
        }
    };
    g_case += std::string("\n  ") + row.cli_name + ":";
    try {
        if (def.param_type == PF_Param_ANGLE && in.ConsumeIntegralInRange(0, 5) == 0) {
            const PF_Fixed fixed = in.ConsumeIntegral<PF_Fixed>();
            g_case += " fixed " + std::to_string(fixed);
            h.SetFixed(index, fixed);
        } else if (in.ConsumeIntegralInRange(0, 4) == 0) {
            const int keys = in.ConsumeIntegralInRange(1, 3);
            for (int k = 0; k < keys; ++k) {
                const double t = in.ConsumeFloatingPointInRange(-2.0, 10.0), v = value();
                g_case += " " + std::to_string(v) + "@" + std::to_string(t) + "s";
                h.SetKeyframe(index, t, v);
            }
        } else {
            const double v = value();
            g_case += " " + std::to_string(v);
            h.Set(index, v);
        }
    } catch (const host::HostError&) {
    }
}

void FillImage(FuzzedDataProvider& in, World& w) {
    const uint32_t seed = in.ConsumeIntegral<uint32_t>();
    const int style = in.ConsumeIntegralInRange(0, 3);
    uint32_t state = seed | 1u;
    auto next = [&] {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    };
    const int wild = w.depth() == 32 ? in.ConsumeIntegralInRange(0, 3) : 0;  // 32 bits: share of odd values
    for (A_long y = 0; y < w.height(); ++y) {
        for (A_long x = 0; x < w.width(); ++x) {
            double c[4];
            for (double& v : c) {
                const uint32_t r = next();
                if (style == 0)
                    v = (r & 0xff) / 255.0;  // noise
                else if (style == 1)
                    v = (x + y) % 7 / 6.0;  // stripes: long equal runs
                else if (style == 2)
                    v = (r & 1) ? 1.0 : 0.0;  // extremes
                else
                    v = ((seed >> (x % 24)) & 0xf) / 15.0;  // few values
                if (wild && (r >> 8) % 16 < static_cast<uint32_t>(wild)) {
                    const double odd[] = {std::numeric_limits<double>::quiet_NaN(),
                                          std::numeric_limits<double>::infinity(),
                                          -std::numeric_limits<double>::infinity(),
                                          1e30,
                                          -1e30,
                                          -1.0,
                                          4.0,
                                          std::numeric_limits<float>::denorm_min()};
                    v = odd[(r >> 12) % 8];
                }
            }
            if (w.depth() == 32) {
                w.SetRaw(x, y, c[0], c[1], c[2], c[3]);
            } else {
                w.Set(x, y,
                      host::Color{static_cast<float>(c[0]), static_cast<float>(c[1]), static_cast<float>(c[2]),
                                  static_cast<float>(c[3])});
            }
        }
    }
}

host::Path FuzzPath(FuzzedDataProvider& in, A_long width, A_long height) {
    host::Path path;
    auto x = [&] { return in.ConsumeFloatingPointInRange(-0.5 * width - 4, 1.5 * width + 4); };
    auto y = [&] { return in.ConsumeFloatingPointInRange(-0.5 * height - 4, 1.5 * height + 4); };
    path.MoveTo(x(), y());
    const int segments = in.ConsumeIntegralInRange(0, 6);
    for (int i = 0; i < segments; ++i) {
        switch (in.ConsumeIntegralInRange(0, 4)) {
            case 0: path.MoveTo(x(), y()); break;
            case 1: path.QuadTo(x(), y(), x(), y()); break;
            case 2: path.CubicTo(x(), y(), x(), y(), x(), y()); break;
            default: path.LineTo(x(), y()); break;
        }
    }
    if (in.ConsumeBool()) path.Close();
    return path;
}

void CheckBalance(const Host& h, const char* when) {
    const host::LeakReport r = h.Report();
    // The global data lives until set-down; anything else in the messages is left over.
    bool messages_clean = true;
    for (const auto& m : r.messages) messages_clean &= m.find("(the global data)") != std::string::npos;
    if (r.live_worlds != 0 || r.unbalanced_param_checkouts != 0 || r.open_paths != 0 || r.live_mask_refs != 0 ||
        r.unreleased_suites != 0 || r.live_handles > (h.global_data() != nullptr ? 1 : 0) || !messages_clean) {
        std::string all;
        for (const auto& m : r.messages) all += "\n  " + m;
        Fail(std::string("unbalanced after ") + when + ": worlds " + std::to_string(r.live_worlds) + ", handles " +
             std::to_string(r.live_handles) + ", checkouts " + std::to_string(r.unbalanced_param_checkouts) +
             ", paths " + std::to_string(r.open_paths) + ", mask refs " + std::to_string(r.live_mask_refs) +
             ", suites " + std::to_string(r.unreleased_suites) + all);
    }
}

void CheckRange(const World& out) {
    if (!out.PaddingIntact()) Fail("the effect wrote past the end of a row");
    if (out.depth() != 16) return;
    for (A_long y = 0; y < out.height(); ++y) {
        const auto* row = static_cast<const uint16_t*>(out.Row(y));
        for (A_long i = 0; i < out.width() * 4; ++i) {
            if (row[i] > 32768) Fail("16-bit output above full scale: " + std::to_string(row[i]));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    g_case.clear();
    const bool premiere = in.ConsumeIntegralInRange(0, 3) == 0;
    Host h(host::EntryPoints{&PluginDataEntryFunction, &EffectMain},
           premiere ? Personality::Premiere : Personality::AfterEffects);
    if (h.Setup() != PF_Err_NONE) Fail("set-up failed");
    h.SetThreadCount(in.ConsumeIntegralInRange(1, 3));

    // The render: After Effects smart (8/16/32) or legacy (8/16); Premiere legacy on a pixel format.
    const bool legacy = premiere || in.ConsumeIntegralInRange(0, 3) == 0;
    const int depth = premiere ? 8 : legacy ? (in.ConsumeBool() ? 8 : 16) : (in.PickValueInArray({8, 16, 32}));
    const A_long width = in.ConsumeIntegralInRange(1, 64), height = in.ConsumeIntegralInRange(1, 64);
    host::WorldFormat format{depth, host::ChannelOrder::ARGB, 0};
    if (premiere) {
        const char* four = in.PickValueInArray({"bgra", "bgra", "argb", "v210"});
        format.order = std::string(four) == "argb" ? host::ChannelOrder::ARGB : host::ChannelOrder::BGRA;
        format.premiere_format = host::PremiereFormat(four);
    }
    World input(width, height, format);
    FillImage(in, input);

    // Source layers of other sizes, masks on the input layer.
    const int layers = in.ConsumeIntegralInRange(0, 2);
    for (int i = 0; i < layers; ++i) {
        World layer(in.ConsumeIntegralInRange(1, 64), in.ConsumeIntegralInRange(1, 64), format);
        FillImage(in, layer);
        h.AddLayer(std::move(layer));
    }
    const int masks = in.ConsumeIntegralInRange(0, 3);
    for (int i = 0; i < masks; ++i) h.AddMask({0, FuzzPath(in, width, height)});

    // Parameters: a random subset, each chosen by index.
    const int settings = in.ConsumeIntegralInRange(0, 24);
    for (int i = 0; i < settings && in.remaining_bytes() > 0; ++i) {
        const int index = in.ConsumeIntegralInRange(1, h.param_count());
        const int type = h.registered(index).param_type;
        if (type == PF_Param_GROUP_START || type == PF_Param_GROUP_END || type == PF_Param_BUTTON ||
            type == PF_Param_NO_DATA)
            continue;
        SetParam(in, h, index, layers, masks);
    }
    const double time = in.ConsumeFloatingPointInRange(-1.0, 12.0);
    g_case += "\n  " + std::string(premiere ? "Premiere" : "After Effects") + (legacy ? " legacy" : " smart") +
              " render, " + std::to_string(width) + "x" + std::to_string(height) + " at " + std::to_string(depth) +
              " bits, " + std::to_string(layers) + " layers, " + std::to_string(masks) + " masks, time " +
              std::to_string(time);

    auto render = [&](World& out) {
        return legacy ? h.RenderLegacy(time, input, out) : h.RenderSmart(time, depth, input, out);
    };
    World first(width, height, format), second(width, height, format);
    CheckRange(input);
    const PF_Err err1 = render(first);
    CheckBalance(h, "the first render");
    CheckRange(first);
    const PF_Err err2 = render(second);
    CheckBalance(h, "the second render");
    if (err1 != err2)
        Fail("two renders of one frame returned " + std::to_string(err1) + " and " + std::to_string(err2));
    if (err1 == PF_Err_NONE && first.PackedBytes() != second.PackedBytes()) Fail("two renders of one frame differ");

    h.GlobalSetdown();
    if (!h.Leaks().empty()) {
        std::string all;
        for (const auto& m : h.Leaks()) all += "\n  " + m;
        Fail("leaks at set-down:" + all);
    }
    return 0;
}
