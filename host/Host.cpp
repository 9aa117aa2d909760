// Temporary stubs of the host API; the real implementation follows in the files by concern.
#include "korvane/host/Host.h"

namespace korvane::host {

struct Host::State {
    EntryPoints entry;
    Personality personality;
    Registration registration;
    std::vector<Mask> no_masks;
    World no_world;
    PF_ParamDef no_param{};
};

namespace {
[[noreturn]] void NotYet() { throw HostError("korvane::host: not implemented yet"); }
}  // namespace

A_long ApplId(Personality p) { return p == Personality::Premiere ? PF_APPL_ID_PREMIERE : PF_APPL_ID_AE; }
const char* PersonalityName(Personality p) { return p == Personality::Premiere ? "Premiere Pro" : "After Effects"; }

std::unique_ptr<Host> Host::Load(const std::string&, Personality) { NotYet(); }
Host::Host(EntryPoints entry, Personality personality) : state_(std::make_unique<State>()) {
    state_->entry = entry;
    state_->personality = personality;
}
Host::~Host() = default;
Personality Host::personality() const { return state_->personality; }
PF_Err Host::Register() { NotYet(); }
const Registration& Host::registration() const { return state_->registration; }
void Host::SetApiVersion(A_short, A_short) {}
void Host::SetThreadCount(int) {}
int Host::thread_count() const { return 1; }
void Host::SetTimeScale(A_u_long, A_long) {}
void Host::SetTime(double) {}
void Host::SetQuality(PF_Quality) {}
void Host::SetPreRenderRequest(std::optional<PF_LRect>) {}
void Host::SetInDataHook(std::function<void(PF_InData&)>) {}
PF_Err Host::GlobalSetup() { NotYet(); }
PF_Err Host::ParamsSetup() { NotYet(); }
PF_Err Host::Setup() { NotYet(); }
PF_Err Host::GlobalSetdown() { NotYet(); }
PF_Err Host::About() { NotYet(); }
PF_Err Host::UpdateParamsUI() { NotYet(); }
PF_Err Host::UserChangedParam(A_long) { NotYet(); }
PF_Err Host::Command(PF_Cmd, void*, PF_LayerDef*) { NotYet(); }
PF_Err Host::RenderSmart(double, int, const World&, World&, SmartRenderReport*) { NotYet(); }
PF_Err Host::RenderLegacy(double, const World&, World&) { NotYet(); }
PF_Err Host::last_result() const { return PF_Err_NONE; }
PF_OutData Host::last_out_data() const { return {}; }
std::string Host::last_return_msg() const { return {}; }
A_u_long Host::my_version() const { return 0; }
A_long Host::out_flags() const { return 0; }
A_long Host::out_flags2() const { return 0; }
PF_Handle Host::global_data() const { return nullptr; }
int Host::param_count() const { return 0; }
const PF_ParamDef& Host::registered(int) const { return state_->no_param; }
std::string Host::popup_items(int) const { return {}; }
void Host::Set(int, double) { NotYet(); }
void Host::SetFixed(int, PF_Fixed) { NotYet(); }
void Host::SetKeyframe(int, double, double) { NotYet(); }
void Host::SetKeyframeFixed(int, double, PF_Fixed) { NotYet(); }
void Host::ClearKeyframes(int) {}
void Host::ResetParams() {}
double Host::Value(int, double) const { NotYet(); }
PF_Fixed Host::FixedValue(int, double) const { NotYet(); }
PF_ParamDef Host::ParamAt(int, double) const { NotYet(); }
int Host::AddLayer(World) { NotYet(); }
World& Host::layer(int) { return state_->no_world; }
AEGP_MaskIDVal Host::AddMask(const Mask&, int) { NotYet(); }
const std::vector<Mask>& Host::masks(int) const { return state_->no_masks; }
void Host::ClearMasks(int) {}
void Host::SetProgressListener(std::function<void(A_long, A_long)>) {}
void Host::Cancel() {}
void Host::CancelAtProgress(int) {}
void Host::ResetCancel() {}
bool Host::cancelled() const { return false; }
long Host::progress_calls() const { return 0; }
void Host::FailCall(const std::string&, int, PF_Err, bool) {}
void Host::ClearFaults() {}
long Host::call_count(const std::string&) const { return 0; }
void Host::SetSuiteMissing(const std::string&, int, bool) {}
void Host::SetNullBasicSuite(bool) {}
std::vector<PrPixelFormat> Host::supported_pixel_formats() const { return {}; }
int Host::clear_pixel_format_calls() const { return 0; }
std::vector<ParamUIUpdate> Host::param_ui_updates() const { return {}; }
std::string Host::aegp_registered_name() const { return {}; }
AEGP_PluginID Host::aegp_plugin_id() const { return 0; }
LeakReport Host::Report() const { return {}; }
std::vector<std::string> Host::Leaks() const { return {}; }
int Host::suite_acquires(const std::string&, int) const { return 0; }
int Host::suite_releases(const std::string&, int) const { return 0; }

}  // namespace korvane::host
