// The plug-ins through their entry points alone: what they declare, their symbols and libraries,
// lifetime and bad calls, and a sweep of every parameter over and past its range. (The Kdenlive test
// checks the defaults a new instance reports against the description's.)
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <sstream>

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
    ASSERT_EQ(info.num_params, Api().num_params + 1);
    f0r_param_info_t last{};
    mixer.get_param_info(&last, Api().num_params);
    EXPECT_STREQ(last.name, "source");

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
        mixer.set_param_value(instance, &source, Api().num_params);
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
