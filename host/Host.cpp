// The Host object: construction, settings, the command sequence around EffectMain, and the
// registries that let a callback find its call and its host.
#include "korvane/host/Host.h"

#include <dlfcn.h>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <unordered_set>

#include "HostState.h"
#include "korvane/sdk/ErrorNames.h"

namespace korvane::host {

namespace {

std::mutex g_registry_mutex;
std::unordered_set<const CallContext*> g_live_calls;
std::vector<Host::State*> g_hosts;
thread_local CallContext* t_call = nullptr;

PF_Err RegisterCallback(void* in_ptr, const char* name, const char* match_name, const char* category,
                        const char* entry_point_name, A_long kind, A_long major, A_long minor, A_long reserved) {
    auto* state = static_cast<Host::State*>(in_ptr);
    if (const PF_Err fault = state->Hit("register")) return fault;
    Registration& r = state->registration;
    ++r.calls;
    r.name = name ? name : "";
    r.match_name = match_name ? match_name : "";
    r.category = category ? category : "";
    r.entry_point_name = entry_point_name ? entry_point_name : "";
    r.kind = kind;
    r.api_version_major = major;
    r.api_version_minor = minor;
    r.reserved_info = reserved;
    return PF_Err_NONE;
}

}  // namespace

// ---- Registries

CallContext* ResolveCall(PF_ProgPtr effect_ref) {
    auto* ctx = static_cast<CallContext*>(effect_ref);
    std::lock_guard lock(g_registry_mutex);
    return g_live_calls.count(ctx) ? ctx : nullptr;
}

CallContext* CurrentCall() { return t_call; }

Host::State* CurrentHost() {
    if (t_call) return t_call->host;
    std::lock_guard lock(g_registry_mutex);
    return g_hosts.empty() ? nullptr : g_hosts.back();
}

LiveCall::LiveCall(CallContext& ctx) : ctx_(&ctx), previous_(t_call) {
    {
        std::lock_guard lock(g_registry_mutex);
        g_live_calls.insert(ctx_);
    }
    t_call = ctx_;
}

LiveCall::~LiveCall() {
    t_call = previous_;
    std::lock_guard lock(g_registry_mutex);
    g_live_calls.erase(ctx_);
}

void RegisterHost(Host::State* host) {
    std::lock_guard lock(g_registry_mutex);
    g_hosts.push_back(host);
}

void UnregisterHost(Host::State* host) {
    std::lock_guard lock(g_registry_mutex);
    g_hosts.erase(std::remove(g_hosts.begin(), g_hosts.end(), host), g_hosts.end());
}

const char* CommandName(PF_Cmd cmd) {
    const char* name = sdk::CommandName(cmd);
    return name != nullptr ? name : "PF_Cmd_?";
}

A_long ApplId(Personality p) { return p == Personality::Premiere ? PF_APPL_ID_PREMIERE : PF_APPL_ID_AE; }
const char* PersonalityName(Personality p) { return p == Personality::Premiere ? "Premiere Pro" : "After Effects"; }

A_long Host::State::Ticks(double seconds) const {
    return static_cast<A_long>(std::llround(seconds * static_cast<double>(time_scale)));
}

// ---- Construction and loading

std::unique_ptr<Host> Host::Load(const std::string& path, Personality personality) {
    // RTLD_NODELETE: the effect's static objects (its logger) outlive dlclose, as in a real host.
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!module) {
        const char* why = dlerror();
        throw HostError("cannot load effect " + path + ": " + (why ? why : "unknown error"));
    }
    EntryPoints entry;
    entry.plugin_data_entry = reinterpret_cast<PluginDataEntryFunctionPtr>(dlsym(module, "PluginDataEntryFunction"));
    entry.effect_main = reinterpret_cast<EffectMainPtr>(dlsym(module, "EffectMain"));
    const char* missing = !entry.plugin_data_entry ? "PluginDataEntryFunction"
                          : !entry.effect_main     ? "EffectMain"
                                                   : nullptr;
    if (missing) {
        dlclose(module);
        throw HostError("cannot load effect " + path + ": symbol " + missing + " not found");
    }
    auto host = std::make_unique<Host>(entry, personality);
    host->state_->module = module;
    return host;
}

Host::Host(EntryPoints entry, Personality personality) : state_(std::make_unique<State>()) {
    if (!entry.plugin_data_entry || !entry.effect_main) {
        throw HostError("host needs both PluginDataEntryFunction and EffectMain");
    }
    state_->entry = entry;
    state_->personality = personality;
    state_->layers.emplace_back();
    state_->layers.front().host = state_.get();
    state_->layers.front().id = kInputLayer;
    state_->ResetParamSlots();
    if (personality == Personality::Premiere) {
        for (const auto& [name, version] :
             std::initializer_list<std::pair<const char*, int>>{{kAEGPPFInterfaceSuite, 1},
                                                                {kAEGPLayerMaskSuite, 5},
                                                                {kAEGPLayerMaskSuite, 7},
                                                                {kAEGPUtilitySuite, 11},
                                                                {kPFMaskSuite, 1},
                                                                {kPFPathQuerySuite, 1},
                                                                {kPFPathDataSuite, 1}}) {
            state_->missing_suites.insert({name, version});
        }
    }
    RegisterHost(state_.get());
    Register();
}

Host::~Host() {
    UnregisterHost(state_.get());
    if (state_->module) dlclose(state_->module);
}

Personality Host::personality() const { return state_->personality; }

PF_Err Host::Register() {
    state_->registration.result = state_->entry.plugin_data_entry(state_.get(), &RegisterCallback);
    return state_->registration.result;
}

const Registration& Host::registration() const { return state_->registration; }

// ---- Settings

void Host::SetApiVersion(A_short major, A_short minor) {
    state_->api_major = major;
    state_->api_minor = minor;
}
void Host::SetThreadCount(int threads) { state_->threads = std::max(0, threads); }
int Host::thread_count() const { return state_->threads; }
void Host::SetTimeScale(A_u_long time_scale, A_long time_step) {
    if (time_scale == 0) throw HostError("time scale must be positive");
    state_->time_scale = time_scale;
    state_->time_step = time_step;
}
void Host::SetTime(double seconds) { state_->time = seconds; }
void Host::SetQuality(PF_Quality quality) { state_->quality = quality; }
void Host::SetPreRenderRequest(std::optional<PF_LRect> rect) { state_->request = rect; }
void Host::SetInDataHook(std::function<void(PF_InData&)> hook) { state_->in_data_hook = std::move(hook); }
void Host::SetInputAt(InputAt provider) { state_->input_at = std::move(provider); }

// ---- The command sequence

void Host::State::BeginCall(CallContext& ctx, PF_Cmd cmd, double t) {
    ctx.host = this;
    ctx.cmd = cmd;
    ctx.time = t;

    PF_InData& in = ctx.in_data;
    in = PF_InData{};
    in.inter.checkout_param = &CheckoutParam;
    in.inter.checkin_param = &CheckinParam;
    in.inter.add_param = &AddParam;
    in.inter.abort = &Abort;
    in.inter.progress = &Progress;
    in.utils = const_cast<PF_UtilCallbacks*>(&kUtilCallbacks);
    in.effect_ref = &ctx;
    in.quality = quality;
    in.version = {api_major, api_minor};
    in.appl_id = ApplId(personality);
    in.num_params = static_cast<A_long>(params.size());
    in.current_time = Ticks(t);
    in.time_step = time_step;
    in.total_time = Ticks(3600.0);
    in.local_time_step = time_step;
    in.time_scale = time_scale;
    in.field = PF_Field_FRAME;
    if (ctx.input) {
        in.width = ctx.input->width;
        in.height = ctx.input->height;
        in.extent_hint = {0, 0, ctx.input->width, ctx.input->height};
    }
    in.downsample_x = {1, 1};
    in.downsample_y = {1, 1};
    in.pixel_aspect_ratio = {1, 1};
    in.pica_basicP = null_basic_suite ? nullptr : &kBasicSuite;

    PF_OutData& out = ctx.out_data;
    out = PF_OutData{};
    {
        std::lock_guard lock(mutex);
        in.global_data = global_data;
        out.global_data = global_data;
        out.my_version = my_version;
    }
    out.num_params = in.num_params;
    out.width = in.width;
    out.height = in.height;

    // The parameter array: index 0 is the input layer; layer parameters carry no pixels here.
    ctx.param_values.assign(params.size(), PF_ParamDef{});
    ctx.param_ptrs.assign(params.size(), nullptr);
    for (size_t i = 0; i < params.size(); ++i) {
        ctx.param_values[i] = i == 0 ? params[0].def : ValueAt(static_cast<int>(i), t);
        if (ctx.param_values[i].param_type == PF_Param_LAYER) ctx.param_values[i].u.ld = PF_LayerDef{};
        ctx.param_ptrs[i] = &ctx.param_values[i];
    }
    if (ctx.input) ctx.param_values[0].u.ld = *ctx.input;
}

PF_Err Host::State::Dispatch(CallContext& ctx, PF_LayerDef* output, void* extra) {
    LiveCall live(ctx);  // the hook may call back into the host as the effect would
    if (in_data_hook) in_data_hook(ctx.in_data);
    try {
        return entry.effect_main(ctx.cmd, &ctx.in_data, &ctx.out_data, ctx.param_ptrs.data(), output, extra);
    } catch (const std::exception& e) {
        Note(std::string("EffectMain let an exception out of ") + CommandName(ctx.cmd) + ": " + e.what());
    } catch (...) {
        Note(std::string("EffectMain let an exception out of ") + CommandName(ctx.cmd));
    }
    return PF_Err_INTERNAL_STRUCT_DAMAGED;
}

void Host::State::FinishCall(CallContext& ctx, PF_Err result) {
    const char* cmd = CommandName(ctx.cmd);
    {
        std::lock_guard lock(ctx.mutex);
        for (auto& c : ctx.checkouts) {
            if (c.open) {
                {
                    std::lock_guard state_lock(mutex);
                    ++unbalanced_checkouts;
                }
                Note(std::string("parameter ") + std::to_string(c.index) + " checked out during " + cmd +
                     " was not checked in");
            }
        }
        ctx.checkouts.clear();
    }
    std::lock_guard lock(mutex);
    for (auto it = worlds.begin(); it != worlds.end();) {
        if (it->second.creator != &ctx) {
            ++it;
            continue;
        }
        if (personality == Personality::Premiere) {
            ++reclaimed_worlds;
        } else {
            const World& w = it->second.world;
            leak_messages.push_back(std::string("world ") + std::to_string(w.width()) + "x" +
                                    std::to_string(w.height()) + " at " + std::to_string(w.depth()) +
                                    " bits made during " + cmd + " was not disposed");
        }
        world_storage.Give(it->second.world.ReleaseStorage());
        it = worlds.erase(it);
    }
    for (auto it = paths.begin(); it != paths.end();) {
        if (it->second->creator != &ctx) {
            ++it;
            continue;
        }
        leak_messages.push_back("path " + std::to_string(it->second->id) + " checked out during " + cmd +
                                " was not checked in");
        it = paths.erase(it);
    }
    for (auto it = mask_refs.begin(); it != mask_refs.end();) {
        if (it->second->creator != &ctx) {
            ++it;
            continue;
        }
        leak_messages.push_back("mask reference " + std::to_string(it->second->id) + " taken during " + cmd +
                                " was not disposed");
        it = mask_refs.erase(it);
    }
    last_result = result;
    last_out = ctx.out_data;
    if (ctx.cmd == PF_Cmd_GLOBAL_SETUP) {
        my_version = ctx.out_data.my_version;
        out_flags = ctx.out_data.out_flags;
        out_flags2 = ctx.out_data.out_flags2;
    }
    global_data = ctx.cmd == PF_Cmd_GLOBAL_SETDOWN ? nullptr : ctx.out_data.global_data;
}

PF_Err Host::Command(PF_Cmd cmd, void* extra, PF_LayerDef* output) {
    if (cmd == PF_Cmd_PARAMS_SETUP) state_->ResetParamSlots();  // the effect registers afresh
    CallContext ctx;
    ctx.output = output;
    if (output && output->data) ctx.layer_format = FormatOf(*output);
    state_->BeginCall(ctx, cmd, state_->time);
    const PF_Err err = state_->Dispatch(ctx, output, extra);
    state_->FinishCall(ctx, err);
    return err;
}

PF_Err Host::GlobalSetup() { return Command(PF_Cmd_GLOBAL_SETUP); }

PF_Err Host::ParamsSetup() { return Command(PF_Cmd_PARAMS_SETUP); }

PF_Err Host::Setup() {
    const PF_Err err = GlobalSetup();
    return err ? err : ParamsSetup();
}

PF_Err Host::GlobalSetdown() { return Command(PF_Cmd_GLOBAL_SETDOWN); }
PF_Err Host::About() { return Command(PF_Cmd_ABOUT); }
PF_Err Host::UpdateParamsUI() { return Command(PF_Cmd_UPDATE_PARAMS_UI); }

PF_Err Host::UserChangedParam(A_long param_index) {
    PF_UserChangedParamExtra extra{param_index};
    return Command(PF_Cmd_USER_CHANGED_PARAM, &extra);
}

// ---- Results

PF_Err Host::last_result() const {
    std::lock_guard lock(state_->mutex);
    return state_->last_result;
}

PF_OutData Host::last_out_data() const {
    std::lock_guard lock(state_->mutex);
    return state_->last_out;
}

std::string Host::last_return_msg() const {
    std::lock_guard lock(state_->mutex);
    const auto& msg = state_->last_out.return_msg;
    return std::string(msg, strnlen(msg, sizeof msg));
}

A_u_long Host::my_version() const {
    std::lock_guard lock(state_->mutex);
    return state_->my_version;
}

A_long Host::out_flags() const {
    std::lock_guard lock(state_->mutex);
    return state_->out_flags;
}

A_long Host::out_flags2() const {
    std::lock_guard lock(state_->mutex);
    return state_->out_flags2;
}

PF_Handle Host::global_data() const {
    std::lock_guard lock(state_->mutex);
    return state_->global_data;
}

// ---- What the effect told the host

std::vector<PrPixelFormat> Host::supported_pixel_formats() const {
    std::lock_guard lock(state_->mutex);
    return state_->supported_formats;
}

int Host::clear_pixel_format_calls() const {
    std::lock_guard lock(state_->mutex);
    return state_->clear_format_calls;
}

std::vector<ParamUIUpdate> Host::param_ui_updates() const {
    std::lock_guard lock(state_->mutex);
    return state_->ui_updates;
}

std::string Host::aegp_registered_name() const {
    std::lock_guard lock(state_->mutex);
    return state_->aegp_name;
}

AEGP_PluginID Host::aegp_plugin_id() const {
    std::lock_guard lock(state_->mutex);
    return state_->aegp_id;
}

}  // namespace korvane::host
