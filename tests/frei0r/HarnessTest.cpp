// The plug-ins through their entry points alone: what they declare, their symbols and libraries,
// lifetime and bad calls, a sweep of every parameter over and past its range, and every parameter
// reaching the effect as the CLI's. (The Kdenlive test checks the defaults a new instance reports
// against the description's.)
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <sstream>

#include "CliSupport.h"
#include "FilterParams.h"
#include "Frei0rSupport.h"

namespace korvane::frei0r_test {
namespace {

std::string Output(const std::string& command) {
    std::string text;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) text.append(buffer, n);
        pclose(pipe);
    }
    return text;
}

TEST(Frei0rPlugin, DeclaresAFilterWithTheFrozenParametersAndExportsOnlyThem) {
    f0r_plugin_info_t info{};
    Api().get_plugin_info(&info);
    EXPECT_STREQ(info.name, "korvane");
    EXPECT_EQ(info.plugin_type, F0R_PLUGIN_TYPE_FILTER);
    EXPECT_EQ(info.color_model, F0R_COLOR_MODEL_RGBA8888);
    // Editors store parameters by index: the order may only ever grow at the end.
    const std::vector<FrozenParam> frozen = FrozenParams();
    ASSERT_EQ(info.num_params, static_cast<int>(frozen.size()));
    for (int i = 0; i < info.num_params; ++i) {
        f0r_param_info_t param{};
        Api().get_param_info(&param, i);
        EXPECT_EQ(std::string(param.name), frozen[i].name) << "index " << i;
        EXPECT_EQ(param.type, frozen[i].type) << frozen[i].name;
        EXPECT_GT(std::string(param.explanation ? param.explanation : "").size(), 20u) << frozen[i].name;
    }
    f0r_param_info_t untouched{"x", 7, "y"};
    Api().get_param_info(&untouched, -1);
    Api().get_param_info(&untouched, info.num_params);
    EXPECT_EQ(untouched.type, 7);

    std::istringstream symbols(Output("nm -D --defined-only " KORVANE_FREI0R_PATH));
    int exported = 0;
    for (std::string line; std::getline(symbols, line); ++exported)
        EXPECT_EQ(line.substr(line.rfind(' ') + 1).rfind("f0r_", 0), 0u) << "exported: " << line;
    EXPECT_EQ(exported, 10);
    const std::string needed = Output("readelf -d " KORVANE_FREI0R_PATH);
    EXPECT_EQ(needed.find("OpenImageIO"), std::string::npos) << needed;
}

// Every parameter at 0, 0.5, 1, -1, 2, NaN and infinity: values past the ends read back and render
// as the ends, non-finite values as the default, and no value crashes or leaves the output unwritten.
TEST(Frei0rPlugin, SweepsEveryParameterOverAndPastItsRange) {
    constexpr unsigned kWidth = 40, kHeight = 24;
    const std::vector<uint32_t> frame = TestFrame(kWidth, kHeight, 7), poison(frame.size(), 0xdeadbeefu);
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    for (int i = 0; i < Api().num_params; ++i) {
        SCOPED_TRACE("parameter " + std::to_string(i));
        Instance instance(kWidth, kHeight);
        const double dflt = instance.Get(i);
        const std::vector<uint32_t> at_default = instance.Render(frame);
        auto renderAt = [&](double value, double reads_back) {
            instance.Set(i, value);
            EXPECT_DOUBLE_EQ(instance.Get(i), reads_back) << "set " << value;
            std::vector<uint32_t> out = instance.Render(frame);
            EXPECT_NE(out, poison) << "set " << value;
            return out;
        };
        const std::vector<uint32_t> at0 = renderAt(0.0, 0.0), at1 = renderAt(1.0, 1.0);
        renderAt(0.5, 0.5);
        EXPECT_EQ(renderAt(-1.0, 0.0), at0);
        EXPECT_EQ(renderAt(2.0, 1.0), at1);
        EXPECT_EQ(renderAt(nan, dflt), at_default);
        EXPECT_EQ(renderAt(inf, dflt), at_default);
    }
}

// RGBA frames of the frei0r API as 8-bit RGBA files, and back.
clitest::FileImage AsFile(const std::vector<uint32_t>& frame, int width, int height) {
    clitest::FileImage image{width, height, 4, OIIO::TypeDesc::UINT8, {}};
    for (const uint32_t pixel : frame) {
        for (int c = 0; c < 4; ++c) image.values.push_back(static_cast<float>((pixel >> (8 * c)) & 0xffu) / 255.0f);
    }
    return image;
}

std::vector<uint32_t> AsFrame(const clitest::FileImage& image) {
    std::vector<uint32_t> frame(image.values.size() / 4, 0);
    for (size_t i = 0; i < image.values.size(); ++i) {
        frame[i / 4] |= static_cast<uint32_t>(std::lround(image.values[i] * 255.0f)) << (8 * (i % 4));
    }
    return frame;
}

class Frei0rParameters : public clitest::CliTest {};

// Each parameter in the frozen order, set through f0r_set_param_value (with what it needs to show,
// such as stretch for its factor), reaches the effect: the frame changes, and equals the CLI's
// render of the same frame with the same values in the units a user types.
TEST_F(Frei0rParameters, EveryParameterReachesTheEffect) {
    struct Reach {
        std::string name;
        double value;
        std::vector<std::pair<std::string, double>> with;
        std::string cli;
    };
    const std::vector<Reach> table = {
        {"threshold_low", 0.25, {}, "threshold_low=0.25"},
        {"threshold_high", 0.75, {}, "threshold_high=0.75"},
        {"effect", 1.0, {}, "effect=outside"},
        {"angle", 0.75, {}, "angle=90"},
        {"stretch", 1.0, {}, "stretch=on"},
        {"stretch_factor", 0.5, {{"stretch", 1.0}}, "stretch=on stretch_factor=5"},
        {"priority", 0.0, {{"stretch", 1.0}}, "stretch=on priority=sort"},
        {"trigger", 0.0, {}, "trigger=red"},
        {"sort_key", 0.0, {}, "sort_key=red"},
        {"fill", 0.0, {}, "fill=off"},
        {"pop", 0.5, {}, "pop=50"},
        {"blur", 0.0625, {}, "blur=6.25"},
        {"block_width", 0.5, {}, "block_width=50"},
        {"block_height", 0.5, {}, "block_height=50"},
        {"reverse", 1.0, {}, "reverse=on"},
        {"mirror", 1.0, {}, "mirror=on"},
        {"resolution", 0.5, {}, "resolution=50"},
        {"affect_background", 0.0, {{"resolution", 0.5}}, "resolution=50 affect_background=off"},
        {"loop", 0.75, {}, "loop=90"},
        {"animate_growth", 0.25, {}, "animate_growth=50"},
        {"offset", 0.25, {}, "offset=25"},
        {"random_offset", 0.5, {}, "random_offset=50"},
        {"random_seed", 0.5, {{"random_offset", 0.5}}, "random_offset=50 random_seed=32768"},
        {"feather_start", 0.5, {}, "feather_start=50"},
        {"feather_end", 0.5, {}, "feather_end=50"},
        {"noise_amount", 0.5, {}, "noise_amount=50"},
        {"noise_size", 0.5, {{"noise_amount", 0.5}}, "noise_amount=50 noise_size=50"},
        {"noise_complexity", 0.0, {{"noise_amount", 0.5}}, "noise_amount=50 noise_complexity=1"},
        {"noise_seed", 0.5, {{"noise_amount", 0.5}}, "noise_amount=50 noise_seed=32768"},
        {"mode", 0.2, {}, "mode=gradient"},
        {"preserve_alpha", 1.0, {}, "preserve_alpha=on"},
        // The looks: each with what makes it count (interval 1/3 edges, 2/3 random, 1 waves, with
        // spans short enough for the frame's 48 pixels; path 0.25 circles, 0.5 rays).
        {"interval", 2.0 / 3.0, {}, "interval=random"},
        {"edge_level", 0.5, {{"interval", 1.0 / 3.0}}, "interval=edges edge_level=0.5"},
        {"edge_scale", 0.5, {{"interval", 1.0 / 3.0}}, "interval=edges edge_scale=10.25"},
        {"span_length", 0.25, {{"interval", 2.0 / 3.0}}, "interval=random span_length=1001.5"},
        {"span_seed", 0.5, {{"interval", 2.0 / 3.0}}, "interval=random span_seed=50000"},
        {"wave_length",
         0.25,
         {{"interval", 1.0}, {"span_length", 0.002}},
         "interval=waves span_length=9.996 wave_length=2501.5"},
        {"wave_amplitude",
         0.25,
         {{"interval", 1.0}, {"span_length", 0.002}},
         "interval=waves span_length=9.996 wave_amplitude=25"},
        {"wave_phase",
         0.75,
         {{"interval", 1.0}, {"span_length", 0.002}},
         "interval=waves span_length=9.996 wave_phase=90"},
        {"wave_drift", 0.25, {{"interval", 1.0}}, "interval=waves wave_drift=-90"},
        {"auto_threshold", 1.0, {}, "auto_threshold=on"},
        {"auto_low", 0.5, {{"auto_threshold", 1.0}}, "auto_threshold=on auto_low=50"},
        {"auto_high", 0.5, {{"auto_threshold", 1.0}}, "auto_threshold=on auto_high=50"},
        {"path", 0.25, {}, "path=circles"},
        {"centre_x", 0.25, {{"path", 0.5}}, "path=rays centre_x=-25"},
        {"centre_y", 0.75, {{"path", 0.5}}, "path=rays centre_y=125"},
    };
    constexpr int kWidth = 48, kHeight = 32;
    const std::vector<uint32_t> frame = TestFrame(kWidth, kHeight, 11);
    clitest::WriteFile(Path("in.png"), AsFile(frame, kWidth, kHeight));
    const std::vector<FrozenParam> frozen = FrozenParams();
    ASSERT_EQ(table.size(), frozen.size());
    const auto index = [&](const std::string& name) {
        const auto it = std::find_if(frozen.begin(), frozen.end(),
                                     [&](const FrozenParam& f) { return f.name == name; });
        return static_cast<int>(it - frozen.begin());
    };
    for (size_t i = 0; i < frozen.size(); ++i) {
        const Reach& reach = table[i];
        ASSERT_EQ(reach.name, frozen[i].name);
        SCOPED_TRACE(reach.name);
        Instance instance(kWidth, kHeight);
        for (const auto& [name, value] : reach.with) instance.Set(index(name), value);
        const std::vector<uint32_t> before = instance.Render(frame);
        instance.Set(static_cast<int>(i), reach.value);
        const std::vector<uint32_t> after = instance.Render(frame);
        EXPECT_TRUE(after != before) << "the value changed nothing";
        const std::string out = Path(reach.name + ".png");
        std::vector<std::string> args = {"render", Path("in.png"), "-o", out, "--quiet"};
        std::istringstream words(reach.cli);
        for (std::string word; words >> word;) args.insert(args.end(), {"--set", word});
        const clitest::RunResult run = clitest::Korvane(args);
        ASSERT_EQ(run.exit_code, 0) << run.err;
        EXPECT_TRUE(AsFrame(clitest::ReadFile(out)) == after) << "the CLI renders " << reach.cli << " otherwise";
    }
}

// f0r_init and f0r_deinit nest, and a deinit never takes away what a live instance uses; null and
// out-of-range arguments, odd sizes and any host time change nothing.
TEST(Frei0rPlugin, LifetimeBadCallsAndOddSizes) {
    ASSERT_EQ(Api().init(), 1);
    ASSERT_EQ(Api().init(), 1);
    f0r_instance_t early = Api().construct(7, 3);
    ASSERT_NE(early, nullptr);
    Api().deinit();
    Api().deinit();
    const std::vector<uint32_t> frame = TestFrame(7, 3, 1);
    std::vector<uint32_t> out(frame.size());
    Api().update(early, 0, frame.data(), out.data());
    Api().destruct(early);

    Instance instance(7, 3);
    EXPECT_EQ(instance.Render(frame, 1e300), out);  // ffmpeg passes milliseconds, or garbage
    EXPECT_EQ(instance.Render(frame, std::nan("")), out);
    double value = 0.25;
    Api().set_param_value(nullptr, &value, 0);
    Api().update(nullptr, 0, frame.data(), out.data());
    for (int index : {-1, Api().num_params, 1 << 30}) {
        instance.Set(index, 0.5);
        EXPECT_EQ(instance.Get(index), -12345) << "index " << index;  // left as it was
    }
    for (auto [w, h] : {std::pair{1u, 1u}, {3u, 200u}, {200u, 3u}, {0u, 0u}, {0u, 5u}}) {
        Instance sized(w, h);
        if (sized.valid()) {
            EXPECT_EQ(sized.Render(TestFrame(w, h, 2)).size(), static_cast<size_t>(w) * h);
        }
    }
}

// korvane-source.so: the filter's parameters and `source`; its second input drives the spans as a
// layer would. The input as its own trigger source sorts as the filter does; another one does not.
TEST(Frei0rPlugin, MixerTakesItsSecondInputAsASourceLayer) {
    const Frei0rApi& mixer = Api(KORVANE_FREI0R_DIR "/korvane-source.so");
    ASSERT_TRUE(mixer.construct && mixer.update2);
    f0r_plugin_info_t info{};
    mixer.get_plugin_info(&info);
    EXPECT_STREQ(info.name, "korvane-source");
    EXPECT_EQ(info.plugin_type, F0R_PLUGIN_TYPE_MIXER2);
    // `source` stays where it was before the looks came; the looks follow it in the filter's order.
    ASSERT_EQ(info.num_params, Api().num_params + 1);
    const int source_index = frei0r::kRegisteredFilterCount;
    for (int i = 0; i < info.num_params; ++i) {
        f0r_param_info_t mixed{}, filtered{};
        mixer.get_param_info(&mixed, i);
        if (i == source_index) {
            EXPECT_STREQ(mixed.name, "source");
            continue;
        }
        Api().get_param_info(&filtered, i < source_index ? i : i - 1);
        EXPECT_STREQ(mixed.name, filtered.name) << "index " << i;
    }

    const std::vector<uint32_t> frame = TestFrame(48, 32, 5), other = TestFrame(48, 32, 6);
    Instance filter(48, 32);
    filter.Set(0, 0.2);
    filter.Set(1, 0.8);
    const std::vector<uint32_t> sorted = filter.Render(frame);
    f0r_instance_t instance = mixer.construct(48, 32);
    ASSERT_NE(instance, nullptr);
    auto render = [&](const uint32_t* second, double source) {
        double low = 0.2, high = 0.8;
        mixer.set_param_value(instance, &low, 0);
        mixer.set_param_value(instance, &high, 1);
        mixer.set_param_value(instance, &source, source_index);
        std::vector<uint32_t> out(frame.size());
        mixer.update2(instance, 0, frame.data(), second, nullptr, out.data());
        return out;
    };
    EXPECT_EQ(render(frame.data(), 0), sorted);
    EXPECT_EQ(render(nullptr, std::nan("")), sorted);
    EXPECT_NE(render(other.data(), 0), sorted);
    EXPECT_NE(render(other.data(), 1), sorted);
    mixer.destruct(instance);
}

}  // namespace
}  // namespace korvane::frei0r_test
