// korvane.so through its entry points alone: what it declares, its symbols and libraries, its
// lifetime, and a sweep of every parameter over and past its range. (The Kdenlive test checks the
// defaults a new instance reports against the description's.)
#include <dlfcn.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>

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

TEST(Frei0rPlugin, DeclaresAFilterWithTheFrozenParameters) {
    f0r_plugin_info_t info{};
    Api().get_plugin_info(&info);
    EXPECT_STREQ(info.name, "korvane");
    EXPECT_EQ(info.plugin_type, F0R_PLUGIN_TYPE_FILTER);
    EXPECT_EQ(info.color_model, F0R_COLOR_MODEL_RGBA8888);
    EXPECT_EQ(info.frei0r_version, FREI0R_MAJOR_VERSION);

    // Editors store parameters by index: the order may only ever grow at the end.
    const std::vector<FrozenParam> frozen = FrozenParams();
    ASSERT_EQ(info.num_params, static_cast<int>(frozen.size()));
    for (int i = 0; i < info.num_params; ++i) {
        f0r_param_info_t param{};
        Api().get_param_info(&param, i);
        EXPECT_EQ(std::string(param.name), frozen[i].name) << "index " << i;
        EXPECT_EQ(param.type, frozen[i].type) << frozen[i].name;
        ASSERT_NE(param.explanation, nullptr);
        EXPECT_GT(std::string(param.explanation).size(), 20u) << frozen[i].name;
    }
    f0r_param_info_t untouched{"x", 7, "y"};
    Api().get_param_info(&untouched, -1);
    Api().get_param_info(&untouched, info.num_params);
    EXPECT_EQ(untouched.type, 7);
}

TEST(Frei0rPlugin, ExportsOnlyFrei0rAndLoadsNoImageLibraries) {
    const std::string symbols = Output("nm -D --defined-only " KORVANE_FREI0R_PATH);
    ASSERT_FALSE(symbols.empty());
    std::istringstream lines(symbols);
    std::string line;
    while (std::getline(lines, line)) {
        const std::string name = line.substr(line.rfind(' ') + 1);
        EXPECT_EQ(name.rfind("f0r_", 0), 0u) << "exported: " << line;
    }
    const std::string needed = Output("readelf -d " KORVANE_FREI0R_PATH);
    EXPECT_NE(needed.find("NEEDED"), std::string::npos);
    EXPECT_EQ(needed.find("OpenImageIO"), std::string::npos) << needed;
}

// Every parameter at 0, 0.5, 1, -1, 2, NaN and infinity: values past the ends read back and render
// as the ends, non-finite values as the default, and no value crashes or leaves the output unwritten.
TEST(Frei0rPlugin, SweepsEveryParameterOverAndPastItsRange) {
    constexpr unsigned kWidth = 40, kHeight = 24;
    const std::vector<uint32_t> frame = TestFrame(kWidth, kHeight, 7);
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    const std::vector<uint32_t> poison(frame.size(), 0xdeadbeefu);
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

TEST(Frei0rPlugin, BadCallsAndOddSizesNeitherCrashNorCorrupt) {
    Instance instance(7, 3);
    ASSERT_TRUE(instance.valid());
    double value = 0.25;
    Api().set_param_value(nullptr, &value, 0);
    Api().set_param_value(nullptr, nullptr, 0);
    std::unique_ptr<Instance> other = std::make_unique<Instance>(1, 1);
    for (int index : {-1, Api().num_params, 1 << 30}) {
        other->Set(index, 0.5);
        EXPECT_EQ(other->Get(index), -12345) << "index " << index;  // left as it was
    }
    const std::vector<uint32_t> frame = TestFrame(7, 3, 1);
    Api().update(nullptr, 0, frame.data(), nullptr);
    std::vector<uint32_t> out(frame.size());
    Api().update(nullptr, 0, frame.data(), out.data());
    // Hosts pass any time: milliseconds, garbage, NaN. The frame does not depend on it.
    const std::vector<uint32_t> at0 = instance.Render(frame, 0.0);
    EXPECT_EQ(instance.Render(frame, 1e300), at0);
    EXPECT_EQ(instance.Render(frame, std::nan("")), at0);
    EXPECT_EQ(instance.Render(frame, -5), at0);
    for (auto [w, h] : {std::pair{1u, 1u}, {3u, 200u}, {200u, 3u}, {0u, 0u}, {0u, 5u}}) {
        Instance sized(w, h);
        if (!sized.valid()) continue;
        const std::vector<uint32_t> input = TestFrame(w, h, 2);
        EXPECT_EQ(sized.Render(input).size(), input.size());
    }
}

// f0r_init and f0r_deinit nest; a deinit never takes away what a live instance uses.
TEST(Frei0rPlugin, InitAndDeinitAreCounted) {
    ASSERT_EQ(Api().init(), 1);
    ASSERT_EQ(Api().init(), 1);
    f0r_instance_t instance = Api().construct(16, 8);
    ASSERT_NE(instance, nullptr);
    Api().deinit();
    Api().deinit();
    const std::vector<uint32_t> frame = TestFrame(16, 8, 3);
    std::vector<uint32_t> out(frame.size());
    Api().update(instance, 0, frame.data(), out.data());
    Api().destruct(instance);
    Instance fresh(16, 8);
    EXPECT_EQ(fresh.Render(frame), out);
}

// korvane-source.so: the filter's parameters and `source`; its second input drives the spans as a
// layer would. The input as its own trigger source sorts as the filter does; another one does not.
TEST(Frei0rPlugin, MixerTakesItsSecondInputAsASourceLayer) {
    void* handle = dlopen(KORVANE_FREI0R_DIR "/korvane-source.so", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    auto get_info = reinterpret_cast<decltype(&f0r_get_plugin_info)>(dlsym(handle, "f0r_get_plugin_info"));
    auto get_param_info = reinterpret_cast<decltype(&f0r_get_param_info)>(dlsym(handle, "f0r_get_param_info"));
    auto construct = reinterpret_cast<decltype(&f0r_construct)>(dlsym(handle, "f0r_construct"));
    auto destruct = reinterpret_cast<decltype(&f0r_destruct)>(dlsym(handle, "f0r_destruct"));
    auto set = reinterpret_cast<decltype(&f0r_set_param_value)>(dlsym(handle, "f0r_set_param_value"));
    auto update2 = reinterpret_cast<decltype(&f0r_update2)>(dlsym(handle, "f0r_update2"));
    ASSERT_TRUE(get_info && get_param_info && construct && destruct && set && update2);
    f0r_plugin_info_t info{};
    get_info(&info);
    EXPECT_STREQ(info.name, "korvane-source");
    EXPECT_EQ(info.plugin_type, F0R_PLUGIN_TYPE_MIXER2);
    ASSERT_EQ(info.num_params, Api().num_params + 1);
    f0r_param_info_t last{};
    get_param_info(&last, Api().num_params);
    EXPECT_STREQ(last.name, "source");

    const std::vector<uint32_t> frame = TestFrame(48, 32, 5), other = TestFrame(48, 32, 6);
    Instance filter(48, 32);
    filter.Set(0, 0.2);
    filter.Set(1, 0.8);
    const std::vector<uint32_t> sorted = filter.Render(frame);
    f0r_instance_t mixer = construct(48, 32);
    ASSERT_NE(mixer, nullptr);
    double low = 0.2, high = 0.8;
    set(mixer, &low, 0);
    set(mixer, &high, 1);
    auto render = [&](const uint32_t* second, double source) {
        set(mixer, &source, Api().num_params);
        std::vector<uint32_t> out(frame.size());
        update2(mixer, 0, frame.data(), second, nullptr, out.data());
        return out;
    };
    EXPECT_EQ(render(frame.data(), 0), sorted);
    EXPECT_EQ(render(nullptr, std::nan("")), sorted);
    EXPECT_NE(render(other.data(), 0), sorted);
    EXPECT_NE(render(other.data(), 1), sorted);
    destruct(mixer);
}

}  // namespace
}  // namespace korvane::frei0r_test
