// The host: our stand-in for the two video hosts. It loads an effect, records its registration and
// parameters, and drives EffectMain with real callbacks and suites (worlds, parameters at a time,
// layers, masks, iteration on many threads, progress, cancellation, fault injection, leak checks).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "korvane/host/Masks.h"
#include "korvane/host/World.h"
#include "korvane/sdk/Effect.h"
#include "korvane/sdk/Suites.h"

namespace korvane::host {

enum class Personality {
    AfterEffects,  // appl_id 'FXTC': smart render, masks, layers, AEGP suites
    Premiere,      // appl_id 'PrMr': legacy render, Premiere pixel formats, no AEGP suites
};
A_long ApplId(Personality p);
const char* PersonalityName(Personality p);

// Loading failures (missing file or symbol) and misuse of the host API (wrong parameter type,
// unknown index, mismatched world depths) throw this.
class HostError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct EntryPoints {
    PluginDataEntryFunctionPtr plugin_data_entry = nullptr;
    EffectMainPtr effect_main = nullptr;
};

// What PluginDataEntryFunction passed to the host's registration callback.
struct Registration {
    int calls = 0;  // how many times the callback ran
    std::string name, match_name, category, entry_point_name;
    A_long kind = 0, api_version_major = 0, api_version_minor = 0, reserved_info = 0;
    PF_Err result = PF_Err_NONE;  // what PluginDataEntryFunction returned
};

// Layer values of layer parameters.
inline constexpr int kNoLayer = -1;    // no layer chosen
inline constexpr int kInputLayer = 0;  // the effect's own layer (the input of the render)

// One recorded PF_UpdateParamUI call.
struct ParamUIUpdate {
    A_long index = 0;
    PF_ParamDef def{};
};

// Extra information about one smart render.
struct SmartRenderReport {
    PF_Err pre_render = PF_Err_NONE;         // result of PF_Cmd_SMART_PRE_RENDER
    PF_Err render = PF_Err_NONE;             // result of PF_Cmd_SMART_RENDER (not sent when pre-render failed)
    bool rendered = false;                   // PF_Cmd_SMART_RENDER was sent
    PF_PreRenderOutput pre_render_output{};  // rects and pre-render data as the effect left them
    int layer_checkouts = 0;                 // checkout_layer calls
    int layer_pixel_checkouts = 0;           // checkout_layer_pixels calls
    int layer_pixel_checkins = 0;            // checkin_layer_pixels calls
    int output_checkouts = 0;                // checkout_output calls
    bool pre_render_data_disposed = false;   // the host disposed of the pre-render data handle
};

// Balance and leak state. Counts are of things still open now; `messages` also holds what earlier
// calls left behind (worlds under After Effects, parameter checkouts, paths, mask references).
struct LeakReport {
    int live_handles = 0;
    int live_worlds = 0;                 // worlds made by the effect and not disposed
    int unbalanced_param_checkouts = 0;  // checked out during a call and never checked in
    int open_layer_checkouts = 0;        // layer pixels not checked in (not an error: the host
                                         // releases them after the call; not in `messages`)
    int unreleased_suites = 0;           // acquires minus releases, summed over suites
    int open_paths = 0;                  // PF_CheckoutPath without PF_CheckinPath
    int live_mask_refs = 0;              // AEGP_GetLayerMaskByIndex without AEGP_DisposeMask
    int reclaimed_worlds = 0;            // Premiere: effect worlds the host freed at call end
    int stray_checkins = 0;              // checkin_param of a definition that was not checked out
                                         // (in `messages` unless it is a zeroed layer definition)
    std::vector<std::string> messages;   // one line per leak or imbalance; empty when clean
    bool clean() const { return messages.empty(); }
};

class Host {
public:
    // dlopen()s the module and resolves "PluginDataEntryFunction" and "EffectMain"; throws
    // HostError naming the file and the reason when either is missing.
    static std::unique_ptr<Host> Load(const std::string& path, Personality personality);
    // The effect linked into the program.
    Host(EntryPoints entry, Personality personality);
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    Personality personality() const;

    // ---- Registration (run once by the constructor; Register() runs it again)
    PF_Err Register();
    const Registration& registration() const;

    // ---- Settings of the host (set before driving the effect; not while renders run)
    void SetApiVersion(A_short major, A_short minor);  // in_data->version, default 13.28
    void SetThreadCount(int threads);                  // iteration threads; 0 = all hardware threads
    int thread_count() const;
    void SetTimeScale(A_u_long time_scale, A_long time_step);  // default 2400 and 100 (24 fps)
    void SetTime(double seconds);                              // time of the commands other than renders
    void SetQuality(PF_Quality quality);                       // in_data->quality, default PF_Quality_HI
    // Rectangle of the output request in smart pre-render; default: the whole input layer.
    void SetPreRenderRequest(std::optional<PF_LRect> rect);
    // Called on every PF_InData the host builds, just before EffectMain, inside the call: the hook
    // may use the callbacks and suites as the effect would (escape hatch for tests).
    void SetInDataHook(std::function<void(PF_InData&)> hook);

    // ---- Commands. Each returns EffectMain's result.
    PF_Err GlobalSetup();
    PF_Err ParamsSetup();
    PF_Err Setup();  // GlobalSetup, then ParamsSetup when it succeeded
    PF_Err GlobalSetdown();
    PF_Err About();
    PF_Err UpdateParamsUI();
    PF_Err UserChangedParam(A_long param_index);
    // Any command at the host's current time, with the parameter array and the given extra/output.
    PF_Err Command(PF_Cmd cmd, void* extra = nullptr, PF_LayerDef* output = nullptr);

    // Smart pre-render then smart render of one frame at `time` seconds. Input and output must
    // have the given depth (8, 16 or 32) in ARGB order and the same size; the output is the
    // effect's to write. The pre-render data handle is disposed of after the frame.
    PF_Err RenderSmart(double time, int depth, const World& input, World& output, SmartRenderReport* report = nullptr);
    // PF_Cmd_RENDER with params[0] = input. Under Premiere the effect learns the output's pixel
    // format from World::format().premiere_format (set it with World::SetPremiereFormat).
    PF_Err RenderLegacy(double time, const World& input, World& output);

    // Results of the last command that finished (copies; several renders may run at once).
    PF_Err last_result() const;
    PF_OutData last_out_data() const;
    std::string last_return_msg() const;
    // State carried between commands: what global setup declared.
    A_u_long my_version() const;
    A_long out_flags() const;
    A_long out_flags2() const;
    PF_Handle global_data() const;

    // ---- Parameters (after ParamsSetup). Index 0 is the input layer, 1..param_count() as added.
    int param_count() const;
    // The definition as the effect registered it (string pointers point at the host's copies).
    const PF_ParamDef& registered(int index) const;
    std::string popup_items(int index) const;
    // Values in user units: float slider value; angle in degrees (stored as 16.16 fixed, rounded to
    // nearest); integer slider, popup (1-based) and checkbox (0/1) as integers; layer: a layer id
    // (kNoLayer, kInputLayer or an id from AddLayer); path: a mask id (0 = none). Setting a
    // value removes keyframes of that parameter. Throws HostError for a wrong index or a type
    // without a value (group, button).
    // Indices of the look table (KRVN_LOOK_FIRST..) take values and keyframes the same way, in the
    // table's units, though the effect never registers them: the look suite ("Korvane Look Suite"
    // 1, offered under both personalities) hands them to the effect at each call's time.
    // ResetParams and ParamsSetup put them back to the table's defaults.
    void Set(int index, double value);
    void SetFixed(int index, PF_Fixed value);  // angles: exact 16.16 value
    void SetKeyframe(int index, double time, double value);
    void SetKeyframeFixed(int index, double time, PF_Fixed value);
    void ClearKeyframes(int index);
    void ResetParams();  // every value back to its registered default, no keyframes
    // The value at a time, interpolated: linear for float sliders, angles and integer sliders
    // (rounded to nearest), hold for popups, checkboxes, layers and paths.
    double Value(int index, double time) const;
    PF_Fixed FixedValue(int index, double time) const;
    // The definition with the value at a time (layer parameters: no pixels).
    PF_ParamDef ParamAt(int index, double time) const;

    // ---- The input layer at other times
    // The picture of the input layer at `seconds`, in any depth and channel order (the host converts
    // it to the call's), or an empty World when the input has no frame at that time: the effect then
    // gets a layer without pixels. checkout_param(0, t) and checkout_layer(0, ..., t), and those of a
    // layer parameter set to the input layer, ask it when t is not the render's own time. Without a
    // provider every time gives the render's input. The provider runs on the rendering thread and
    // must not throw (a throw fails the checkout with PF_Err_INTERNAL_STRUCT_DAMAGED).
    using InputAt = std::function<World(double seconds)>;
    void SetInputAt(InputAt provider);

    // ---- Layers and masks
    int AddLayer(World pixels);  // returns its id (1, 2, ...), usable as a layer parameter value
    World& layer(int id);        // id >= 1
    // Adds a mask to a layer (kInputLayer = the effect's own layer); returns its id.
    AEGP_MaskIDVal AddMask(const Mask& mask, int layer_id = kInputLayer);
    const std::vector<Mask>& masks(int layer_id = kInputLayer) const;
    void ClearMasks(int layer_id = kInputLayer);

    // ---- Progress and cancellation
    // Called on every inter.progress call of the effect, from the thread that renders (several at
    // once when frames render concurrently). The iterate suites check for cancellation between rows
    // but do not report to the listener.
    void SetProgressListener(std::function<void(A_long current, A_long total)> listener);
    // Every later progress/abort call, and the iteration between rows, answer PF_Interrupt_CANCEL.
    // Only stores an atomic flag, so it is safe from a signal handler.
    void Cancel();
    // The nth progress call from now (1 = the next) answers PF_Interrupt_CANCEL, and every later
    // one too, as after Cancel().
    void CancelAtProgress(int nth);
    void ResetCancel();
    bool cancelled() const;
    long progress_calls() const;

    // ---- Fault injection. Names are the callback or suite function names: "add_param",
    // "checkout_param", "checkin_param", "progress", "abort", "copy", "fill", "transfer_rect",
    // "checkout_layer", "checkout_layer_pixels", "checkin_layer_pixels", "checkout_output",
    // "host_new_handle" (answers null), "host_lock_handle" (answers null), "PF_NewWorld",
    // "new_world", "PF_DisposeWorld", "dispose_world", "iterate", "iterate_generic",
    // "PF_CheckoutPath", "PF_CheckinPath", "PF_PathIsOpen", "PF_MaskWorldWithPath",
    // "AEGP_GetEffectLayer", "AEGP_GetLayerNumMasks", "AEGP_GetLayerMaskByIndex",
    // "AEGP_GetMaskID", "AEGP_DisposeMask", "AEGP_RegisterWithAEGP", "PF_UpdateParamUI",
    // "AddSupportedPixelFormat", "ClearSupportedPixelFormats", "GetPixelFormat", "look_values", "register" (the
    // registration callback), "AcquireSuite" (answers kSPSuiteNotFoundError).
    // The nth call from now (1 = the next) returns `code` instead of doing its work; with
    // `every_later` the calls after it fail as well.
    void FailCall(const std::string& name, int nth, PF_Err code, bool every_later = false);
    void ClearFaults();
    long call_count(const std::string& name) const;  // calls since the host was made
    // Makes AcquireSuite fail for a suite and version (or offers it again). Under Premiere the
    // AEGP suites, the mask suite and the path suites start missing.
    void SetSuiteMissing(const std::string& name, int version, bool missing = true);
    void SetNullBasicSuite(bool null_basic_suite);  // in_data->pica_basicP = nullptr

    // ---- What the effect told the host
    std::vector<PrPixelFormat> supported_pixel_formats() const;  // after Clear/Add calls
    int clear_pixel_format_calls() const;
    std::vector<ParamUIUpdate> param_ui_updates() const;
    std::string aegp_registered_name() const;  // name passed to AEGP_RegisterWithAEGP
    AEGP_PluginID aegp_plugin_id() const;      // the id the host answered

    // ---- Leaks and balance
    LeakReport Report() const;
    std::vector<std::string> Leaks() const;  // Report().messages: empty when nothing leaked
    // Forgets what earlier calls left behind (messages and counters); live objects stay counted.
    void ClearLeaks();
    int suite_acquires(const std::string& name, int version) const;
    int suite_releases(const std::string& name, int version) const;

    struct State;  // the implementation, shared with the callback and suite files

private:
    std::unique_ptr<State> state_;
};

}  // namespace korvane::host
