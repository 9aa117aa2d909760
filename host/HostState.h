// The host's shared state and the per-call context every callback resolves from effect_ref.
// Private to the host library.
#pragma once

#include <atomic>
#include <cstdlib>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "korvane/host/Host.h"
#include "korvane/sdk/LookSuite.h"

namespace korvane::host {

struct CallContext;

// A layer of the composition: the input layer (id 0, its pixels come with each render) or an image.
struct Layer {
    Host::State* host = nullptr;
    int id = 0;
    World pixels;
    std::vector<Mask> masks;
};

// One registered parameter with its value and keyframes, in stored units (float slider: double;
// angle: 16.16 fixed; slider, popup, checkbox: integer; layer: layer id; path: mask id).
struct ParamSlot {
    PF_ParamDef def{};
    std::string strings;  // the host's copy of the popup items or the checkbox/button label
    double value = 0.0;
    bool default_path = false;                    // a path parameter still at its registered default (the n-th mask)
    std::vector<std::pair<double, double>> keys;  // (seconds, stored value), sorted by time
};

// A handle as the host allocates it: PF_Handle points at `data`, the first member.
struct HandleRecord {
    void* data = nullptr;
    Host::State* host = nullptr;
    A_u_longlong size = 0;
    int locks = 0;
};

// A world the effect asked for, owned by the host until it is disposed.
struct WorldRecord {
    World world;
    const CallContext* creator = nullptr;
    PF_Cmd cmd = 0;
};

// A mask reference handed out by AEGP_GetLayerMaskByIndex.
struct MaskRef {
    Host::State* host = nullptr;
    const CallContext* creator = nullptr;
    PF_Cmd cmd = 0;
    AEGP_MaskIDVal id = 0;
};

// A path handed out by PF_CheckoutPath.
struct OpenPath {
    Host::State* host = nullptr;
    const CallContext* creator = nullptr;
    PF_Cmd cmd = 0;
    PF_PathID id = 0;
    Path path;
};

// What a smart pre-render checked out, by checkout id, for the smart render of the same frame.
struct LayerCheckout {
    int layer_id = kNoLayer;
    std::optional<double> other_time;  // seconds, when not the render's own time
    bool pixels_out = false;           // checkout_layer_pixels handed the pixels out and no checkin followed
    PF_EffectWorld world{};            // pixels handed out by checkout_layer_pixels (data null: no layer)
    std::unique_ptr<World> converted;
};

struct FrameState {
    std::map<A_long, LayerCheckout> checkouts;
    SmartRenderReport* report = nullptr;
    std::optional<PF_LRect> request;
};

struct ParamCheckout {
    int index = 0;
    const PF_ParamDef* address = nullptr;
    A_long id = 0;
    PF_ParamType type = 0;
    void* data = nullptr;
    std::unique_ptr<World> pixels;  // converted layer pixels owned by the checkout
    bool open = true;
};

// Everything one EffectMain call owns. effect_ref points here.
struct CallContext {
    Host::State* host = nullptr;
    PF_Cmd cmd = 0;
    double time = 0.0;
    int depth = 0;                          // render depth, 0 outside renders
    WorldFormat layer_format;               // format layer pixels are converted to
    const PF_EffectWorld* input = nullptr;  // the input layer's pixels, if the call has any
    PF_EffectWorld* output = nullptr;       // the output world, if the call has one
    FrameState* frame = nullptr;            // smart render frames only
    PF_InData in_data{};
    PF_OutData out_data{};
    std::vector<PF_ParamDef> param_values;
    std::vector<PF_ParamDef*> param_ptrs;
    std::mutex mutex;  // guards the lists below (the effect may call from its worker threads)
    std::vector<ParamCheckout> checkouts;
    std::deque<PF_EffectWorld> handed_worlds;  // stable copies of worlds handed to the effect
};

// The pixel memory of disposed worlds, handed to the next world of the same byte size: a sequence
// of frames then clears memory it already touched instead of faulting in fresh pages every frame.
// Holds at most kMaxBytes; the oldest buffers go first. Guarded by the host's mutex.
class WorldStorageCache {
public:
    static constexpr size_t kMaxBytes = size_t{1} << 30;
    static constexpr size_t kMaxBuffers = 16;

    // A buffer of exactly `bytes`, or an empty storage.
    WorldStorage Take(size_t bytes);
    void Give(WorldStorage storage);
    size_t HeldBytes() const { return held_; }

private:
    std::deque<WorldStorage> buffers_;  // oldest first
    size_t held_ = 0;
};

struct Fault {
    std::string name;
    long fire_at = 0;  // call number (counted since the host was made) that fails first
    PF_Err code = PF_Err_NONE;
    bool every_later = false;
};

struct Host::State {
    State() = default;
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    ~State() {
        for (auto& [key, handle] : handles) std::free(handle->data);
    }

    // Identity
    EntryPoints entry;
    void* module = nullptr;  // dlopen handle, when loaded from a file
    Personality personality = Personality::AfterEffects;
    Registration registration;

    // Settings
    A_short api_major = 13, api_minor = 28;
    int threads = 0;
    A_u_long time_scale = 2400;
    A_long time_step = 100;
    double time = 0.0;
    PF_Quality quality = PF_Quality_HI;
    std::optional<PF_LRect> request;
    std::function<void(PF_InData&)> in_data_hook;
    Host::InputAt input_at;  // the input layer at other times than a render's own (Layers.cpp)
    bool null_basic_suite = false;

    // Parameters and layers (written between commands, read by renders)
    std::deque<ParamSlot> params;  // index 0: the input layer (a deque: string pointers stay put)
    std::deque<Layer> layers;      // layers[0]: the input layer
    std::deque<ParamSlot> looks;   // the look table's rows, by index − KRVN_LOOK_FIRST (Looks.cpp)
    AEGP_MaskIDVal next_mask_id = 1;

    // Progress and cancellation
    std::function<void(A_long, A_long)> progress_listener;
    std::atomic<bool> cancel{false};
    std::atomic<long> progress_count{0};
    std::atomic<long> cancel_at{0};

    // Everything below is guarded by `mutex`.
    mutable std::mutex mutex;
    PF_Handle global_data = nullptr;
    A_u_long my_version = 0;
    A_long out_flags = 0, out_flags2 = 0;
    PF_Err last_result = PF_Err_NONE;
    PF_OutData last_out{};

    std::map<std::string, long, std::less<>> calls;
    std::vector<Fault> faults;
    std::set<std::pair<std::string, int>> missing_suites;
    std::map<std::pair<std::string, int>, std::pair<int, int>> suite_counts;  // acquires, releases

    std::vector<PrPixelFormat> supported_formats;
    int clear_format_calls = 0;
    std::vector<ParamUIUpdate> ui_updates;
    std::string aegp_name;
    AEGP_PluginID aegp_id = 0;

    std::map<const void*, std::unique_ptr<HandleRecord>> handles;  // by PF_Handle
    std::map<const void*, WorldRecord> worlds;                     // by pixel data
    WorldStorageCache world_storage;                               // memory of disposed worlds
    std::map<const void*, std::unique_ptr<MaskRef>> mask_refs;
    std::map<const void*, std::unique_ptr<OpenPath>> paths;
    std::vector<std::string> leak_messages;
    int reclaimed_worlds = 0;
    int stray_checkins = 0;
    int unbalanced_checkouts = 0;  // parameter checkouts calls left open
    int open_layer_checkouts = 0;  // layer pixels smart renders left checked out

    // ---- Faults (Faults.cpp). Counts the call and answers the injected code, or 0.
    PF_Err Hit(std::string_view name);
    void Note(std::string message);  // adds a leak/imbalance line

    // ---- Commands (Host.cpp)
    void BeginCall(CallContext& ctx, PF_Cmd cmd, double time);
    PF_Err Dispatch(CallContext& ctx, PF_LayerDef* output, void* extra);
    void FinishCall(CallContext& ctx, PF_Err result);

    // ---- Parameters (Params.cpp)
    void ResetParamSlots();
    PF_ParamDef ValueAt(int index, double time) const;
    int LayerAt(int index, double time) const;
    // The pixels of a layer id for a call (null data when none); converted worlds go to `keep`. The
    // input layer at `other_time` (seconds) comes from the input provider, when one is set. Throws
    // what the provider throws.
    PF_EffectWorld LayerPixels(const CallContext& ctx, int layer_id, std::unique_ptr<World>& keep,
                               std::optional<double> other_time = std::nullopt) const;
    // `seconds` unless it is the call's own time (the same tick of the host's time scale).
    std::optional<double> OtherTime(const CallContext& ctx, double seconds) const {
        if (Ticks(seconds) == Ticks(ctx.time)) return std::nullopt;
        return seconds;
    }
    PF_LRect LayerBounds(const CallContext& ctx, int layer_id) const;

    // ---- Looks (Looks.cpp): every look back to its table default; the slot of a look index with a
    // value (null for any other index, group rows included).
    void ResetLookSlots();
    ParamSlot* LookSlot(int index);

    // ---- Worlds (Worlds.cpp)
    PF_Err NewWorld(CallContext* ctx, A_long width, A_long height, const WorldFormat& format, PF_EffectWorld* world);
    PF_Err DisposeWorld(PF_EffectWorld* world);

    // ---- Handles (Suites.cpp)
    PF_Err DisposeHandle(PF_Handle h);

    double Seconds(A_long value, A_u_long scale) const {
        return scale ? static_cast<double>(value) / scale : static_cast<double>(value) / time_scale;
    }
    A_long Ticks(double seconds) const;
};

// The call behind an effect_ref, or null when it is not a live call of any host.
CallContext* ResolveCall(PF_ProgPtr effect_ref);
// The call running on this thread, if any.
CallContext* CurrentCall();
// The host of the call running on this thread, or the most recently made live host.
Host::State* CurrentHost();
// Registers a call as live on this thread for the duration of a scope.
class LiveCall {
public:
    explicit LiveCall(CallContext& ctx);
    ~LiveCall();
    LiveCall(const LiveCall&) = delete;
    LiveCall& operator=(const LiveCall&) = delete;

private:
    CallContext* ctx_;
    CallContext* previous_;
};
void RegisterHost(Host::State* host);
void UnregisterHost(Host::State* host);

// A slot's stored value at a time: keyframes interpolated as Host::Value describes (Params.cpp).
double StoredAt(const ParamSlot& slot, double t);

// Callback tables (defined by their files).
extern const PF_UtilCallbacks kUtilCallbacks;
extern const SPBasicSuite kBasicSuite;
PF_Err CheckoutParam(PF_ProgPtr ref, A_long index, A_long what_time, A_long time_step, A_u_long time_scale,
                     PF_ParamDef* param);
PF_Err CheckinParam(PF_ProgPtr ref, PF_ParamDef* param);
PF_Err AddParam(PF_ProgPtr ref, A_long index, PF_ParamDefPtr def);
PF_Err Progress(PF_ProgPtr ref, A_long current, A_long total);
PF_Err Abort(PF_ProgPtr ref);
// Iteration on the host's arena (Iterate.cpp), for the iterate suites.
const void* IterateSuite(int depth);
// Mask and path suites (Masks.cpp).
extern const PF_PathQuerySuite1 kPathQuerySuite;
extern const PF_PathDataSuite1 kPathDataSuite;
extern const PF_MaskSuite1 kMaskSuite;
extern const AEGP_PFInterfaceSuite1 kPFInterfaceSuite;
extern const AEGP_LayerMaskSuite5 kLayerMaskSuite;
// The look suite (Looks.cpp).
extern const KRVN_LookSuite1 kLookSuite;
// World suites (Worlds.cpp).
extern const PF_WorldSuite1 kWorldSuite1;
extern const PF_WorldSuite2 kWorldSuite2;
extern const PF_PixelFormatSuite1 kPixelFormatSuite;
// Smart-render callbacks (SmartRender.cpp).
extern const PF_PreRenderCallbacks kPreRenderCallbacks;
extern const PF_SmartRenderCallbacks kSmartRenderCallbacks;

const char* CommandName(PF_Cmd cmd);

}  // namespace korvane::host
