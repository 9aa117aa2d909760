// korvane.so: the effect as a frei0r filter. Each instance owns a host around the linked effect and
// two 8-bit worlds; a frame goes RGBA -> world, through EffectMain's smart render, world -> RGBA.
// Built with KORVANE_FREI0R_MIXER it is korvane-source.so, a mixer2 whose second input becomes the
// trigger source or the sort source layer (one more parameter, `source`, chooses). The looks beyond
// the registered parameters follow the registered ones and reach the effect through the host's look suite.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

extern "C" {
#include <frei0r.h>
}

#include "Conversion.h"
#include "FilterParams.h"
#include "KRVN.h"
#include "korvane/host/Host.h"
#include "korvane/sdk/ErrorNames.h"

#define KORVANE_F0R extern "C" __attribute__((visibility("default")))

namespace korvane::frei0r {
namespace {

#ifdef KORVANE_FREI0R_MIXER
constexpr bool kMixer = true;
#else
constexpr bool kMixer = false;
#endif
// The mixer's parameters: the filter's registered ones, then `source` (0 trigger source, 1 sort
// source) where it has always been, then the looks.
constexpr int kSourceParam = kMixer ? kRegisteredFilterCount : -1;
constexpr int kParamCount = kFilterParamCount + (kMixer ? 1 : 0);

// The filter index (kFilterRows) of a frei0r index other than `source`.
constexpr int FilterIndex(int frei0r_index) {
    return kMixer && frei0r_index > kSourceParam ? frei0r_index - 1 : frei0r_index;
}

using host::Host;
using host::World;

void Warn(const std::string& text) { std::fprintf(stderr, "korvane (frei0r): %s\n", text.c_str()); }

// The effect's own thread count: every hardware thread, capped by KORVANE_THREADS (hosts run
// several instances at once).
int ThreadCount() {
    const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    const char* cap = std::getenv("KORVANE_THREADS");
    if (!cap || !*cap) return cores;
    char* end = nullptr;
    const long n = std::strtol(cap, &end, 10);
    if (*end != '\0' || n < 1) return cores;
    return static_cast<int>(std::min<long>(n, cores));
}

// What f0r_init sets up and every instance shares: whether the linked effect registers the
// parameters this filter maps, and the thread count. Instances hold it, so f0r_deinit never frees
// what a live instance uses.
struct Plugin {
    bool usable = false;
    int threads = 1;
};

std::unique_ptr<Host> NewHost() {
    auto host = std::make_unique<Host>(host::EntryPoints{&PluginDataEntryFunction, &EffectMain},
                                       host::Personality::AfterEffects);
    if (host->registration().result != PF_Err_NONE) return nullptr;
    if (host->Setup() != PF_Err_NONE) return nullptr;
    return host;
}

std::shared_ptr<const Plugin> MakePlugin() {
    auto plugin = std::make_shared<Plugin>();
    plugin->threads = ThreadCount();
    const std::unique_ptr<Host> host = NewHost();
    if (!host) {
        Warn("the effect did not set up; the filter is unusable");
        return plugin;
    }
    for (const params::ParamSpec* row : kFilterRows) {
        if (params::FindLook(row->index) != nullptr) continue;  // looks are not registered
        if (row->index > host->param_count() || host->registered(row->index).param_type != row->type) {
            Warn(std::string("the effect registered parameter ") + row->cli_name +
                 " differently; the filter is unusable");
            return plugin;
        }
    }
    host->GlobalSetdown();
    plugin->usable = true;
    return plugin;
}

std::mutex g_plugin_mutex;
int g_init_count = 0;
std::shared_ptr<const Plugin> g_plugin;

// The shared state, made on first use (some hosts construct before or without f0r_init).
std::shared_ptr<const Plugin> CurrentPlugin() {
    std::lock_guard lock(g_plugin_mutex);
    if (!g_plugin) g_plugin = MakePlugin();
    return g_plugin;
}

std::atomic<bool> g_overlap_warned{false};

class Instance {
public:
    Instance(std::shared_ptr<const Plugin> plugin, unsigned width, unsigned height)
        : plugin_(std::move(plugin)), width_(static_cast<A_long>(width)), height_(static_cast<A_long>(height)) {
        for (int i = 0; i < kFilterParamCount; ++i) values_[i] = DefaultValue(*kFilterRows[i]);
        host_ = NewHost();
        if (!host_) throw std::runtime_error("the effect did not set up");
        host_->SetThreadCount(plugin_->threads);
        if (width_ > 0 && height_ > 0) {
            input_ = World(width_, height_, 8);
            output_ = World(width_, height_, 8);
            if (kMixer) source_layer_ = host_->AddLayer(World(width_, height_, 8));
        }
    }
    ~Instance() {
        if (host_) host_->GlobalSetdown();
    }

    void SetParam(int index, double value) {
        std::lock_guard lock(mutex_);
        if (index == kSourceParam)
            source_ = std::isfinite(value) ? std::clamp(value, 0.0, 1.0) : 0.0;
        else
            values_[FilterIndex(index)] = Sanitize(*kFilterRows[FilterIndex(index)], value);
    }
    double GetParam(int index) {
        std::lock_guard lock(mutex_);
        return index == kSourceParam ? source_ : values_[FilterIndex(index)];
    }

    // Any failure leaves the input in the output.
    void Update(const uint32_t* in, const uint32_t* source, uint32_t* out) {
        try {
            Render(in, source, out);
        } catch (const std::exception& e) {
            WarnOnce(std::string("frame not rendered: ") + e.what() + "; passing frames through");
            PassThrough(in, out);
        }
    }

private:
    void WarnOnce(const std::string& text) {
        if (!error_warned_.exchange(true)) Warn(text);
    }
    void PassThrough(const uint32_t* in, uint32_t* out) const {
        if (in != out) std::memcpy(out, in, static_cast<size_t>(width_) * static_cast<size_t>(height_) * 4);
    }

    void Render(const uint32_t* in, const uint32_t* source, uint32_t* out) {
        // A host that slices one frame across threads calls one instance from several at once
        // (parameter calls from another thread wait on the lock without counting as overlap).
        struct Entered {
            std::atomic<int>& count;
            ~Entered() { count.fetch_sub(1); }
        } entered{updates_in_flight_};
        if (updates_in_flight_.fetch_add(1) > 0 && !g_overlap_warned.exchange(true))
            Warn(
                "overlapping calls on one instance (the host renders a frame in slices): rendering them one "
                "after another, each slice sorted on its own; unset the filter's `threads` property");
        std::lock_guard lock(mutex_);
        if (input_.empty()) return;
        RgbaToWorld(in, input_);
        ApplyParams(*host_, values_);
        if (kMixer) {
            const bool sort_source = source_ >= 0.5;
            if (source) RgbaToWorld(source, host_->layer(source_layer_));
            const int layer = source ? source_layer_ : host::kNoLayer;
            host_->Set(params::KRVN_TRIGGER_SOURCE, sort_source ? host::kNoLayer : layer);
            host_->Set(params::KRVN_SORT_SOURCE, sort_source ? layer : host::kNoLayer);
        }
        // The host's time is not trusted (milliseconds or garbage): keyframes come in as set values.
        const PF_Err err = host_->RenderSmart(0.0, 8, input_, output_);
        if (err != PF_Err_NONE) {
            WarnOnce("the effect failed on a frame (" + sdk::ErrorText(err) + "); passing frames through");
            PassThrough(in, out);
            return;
        }
        WorldToRgba(output_, out);
    }

    std::shared_ptr<const Plugin> plugin_;
    A_long width_, height_;
    std::unique_ptr<Host> host_;
    World input_, output_;
    double values_[kFilterParamCount] = {};  // in filter order
    double source_ = 0.0;
    int source_layer_ = host::kNoLayer;
    std::mutex mutex_;
    std::atomic<bool> error_warned_{false};
    std::atomic<int> updates_in_flight_{0};
};

bool ValidIndex(int index) { return index >= 0 && index < kParamCount; }

}  // namespace
}  // namespace korvane::frei0r

using namespace korvane::frei0r;

KORVANE_F0R int f0r_init() {
    try {
        std::lock_guard lock(g_plugin_mutex);
        if (g_init_count++ == 0 && !g_plugin) g_plugin = MakePlugin();
        return g_plugin->usable ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

KORVANE_F0R void f0r_deinit() {
    std::lock_guard lock(g_plugin_mutex);
    if (g_init_count > 0 && --g_init_count == 0) g_plugin.reset();
}

KORVANE_F0R void f0r_get_plugin_info(f0r_plugin_info_t* info) {
    if (!info) return;
    info->name = kMixer ? "korvane-source" : "korvane";
    info->author = "Korvane developers";
    info->plugin_type = kMixer ? F0R_PLUGIN_TYPE_MIXER2 : F0R_PLUGIN_TYPE_FILTER;
    info->color_model = F0R_COLOR_MODEL_RGBA8888;
    info->frei0r_version = FREI0R_MAJOR_VERSION;
    info->major_version = korvane::kMajorVersion;
    info->minor_version = korvane::kMinorVersion;
    info->num_params = kParamCount;
    info->explanation = kMixer ? "Pixel sorting, with the second input as the trigger source or the sort source"
                               : "Pixel sorting: sorts spans of pixels along lines by a chosen key";
}

KORVANE_F0R void f0r_get_param_info(f0r_param_info_t* info, int param_index) {
    if (!info || !ValidIndex(param_index)) return;
    if (param_index == kSourceParam) {
        info->name = "source";
        info->type = F0R_PARAM_DOUBLE;
        info->explanation =
            "What the second input drives: 0 the trigger source (where spans form, default), 1 the sort "
            "source (how spans are ordered)";
        return;
    }
    try {
        const int filter_index = FilterIndex(param_index);
        const korvane::params::ParamSpec& row = *kFilterRows[static_cast<size_t>(filter_index)];
        info->name = row.cli_name;
        info->type = Frei0rType(row);
        info->explanation = Explanation(filter_index).c_str();
    } catch (...) {
        info->explanation = nullptr;
    }
}

KORVANE_F0R f0r_instance_t f0r_construct(unsigned int width, unsigned int height) {
    try {
        if (width > 1u << 16 || height > 1u << 16) return nullptr;
        std::shared_ptr<const Plugin> plugin = CurrentPlugin();
        if (!plugin->usable) return nullptr;
        return new Instance(std::move(plugin), width, height);
    } catch (const std::exception& e) {
        Warn(std::string("cannot make an instance: ") + e.what());
        return nullptr;
    } catch (...) {
        return nullptr;
    }
}

KORVANE_F0R void f0r_destruct(f0r_instance_t instance) {
    try {
        delete static_cast<Instance*>(instance);
    } catch (...) {
    }
}

KORVANE_F0R void f0r_set_param_value(f0r_instance_t instance, f0r_param_t param, int param_index) {
    if (!instance || !param || !ValidIndex(param_index)) return;
    static_cast<Instance*>(instance)->SetParam(param_index, *static_cast<const double*>(param));
}

KORVANE_F0R void f0r_get_param_value(f0r_instance_t instance, f0r_param_t param, int param_index) {
    if (!instance || !param || !ValidIndex(param_index)) return;
    *static_cast<double*>(param) = static_cast<Instance*>(instance)->GetParam(param_index);
}

KORVANE_F0R void f0r_update(f0r_instance_t instance, double /*time*/, const uint32_t* inframe, uint32_t* outframe) {
    if (!instance || !inframe || !outframe) return;
    try {
        static_cast<Instance*>(instance)->Update(inframe, nullptr, outframe);
    } catch (...) {
    }
}

// The mixer's frame; a filter renders the first input alone.
KORVANE_F0R void f0r_update2(f0r_instance_t instance, double /*time*/, const uint32_t* inframe1,
                             const uint32_t* inframe2, const uint32_t*, uint32_t* outframe) {
    if (!instance || !inframe1 || !outframe) return;
    try {
        static_cast<Instance*>(instance)->Update(inframe1, kMixer ? inframe2 : nullptr, outframe);
    } catch (...) {
    }
}
