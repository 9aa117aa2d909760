// The effect's entry points, its identity, and the host-facing helpers shared by the command handlers.
#pragma once

#include <string>

#include "korvane/sdk/Effect.h"
#include "korvane/sdk/HostKind.h"
#include "korvane/sdk/Suites.h"

#define KRVN_EXPORT __attribute__((visibility("default")))

extern "C" {

// Registers the effect with the host: one call of `callback` with the registration values.
KRVN_EXPORT PF_Err PluginDataEntryFunction(void* inPtr, PF_RegisterCallback callback);

// Every host command enters here; no exception leaves it.
KRVN_EXPORT PF_Err EffectMain(PF_Cmd cmd, PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                              PF_LayerDef* output, void* extra);

}  // extern "C"

namespace korvane {

inline constexpr char kDisplayName[] = "Korvane ";
inline constexpr char kMatchName[] = "ZV Korvane";
inline constexpr char kCategory[] = "Tessary";
inline constexpr char kEntryPointName[] = "EffectMain";
inline constexpr char kIdentifier[] = "com.tsy.Korvane";
inline constexpr A_long kApiVersionMajor = 13;
inline constexpr A_long kApiVersionMinor = 28;
inline constexpr A_long kReservedInfo = 8;

inline constexpr int kMajorVersion = 3;
inline constexpr int kMinorVersion = 1;
inline constexpr int kBugVersion = 0;
inline constexpr A_u_long kVersion = PF_VERSION(kMajorVersion, kMinorVersion, kBugVersion, PF_Stage_DEVELOP, 1);
static_assert(kVersion == 1605633);

inline constexpr char kHelpLinkFormat[] = "https://korvane.example/help/?from=plugin_%s_%s_v%i.%i.%i";

// The record behind out_data->global_data.
struct KRVN_GlobalData {
    A_long state;
    A_Boolean flag;
    AEGP_PluginID plugin_id;
};

// The help page for this build's platform and the calling host.
std::string HelpLink(const PF_InData* in_data);

// Parameter registration for PF_Cmd_PARAMS_SETUP: the 48 parameters in table order.
PF_Err ParamsSetup(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[], PF_LayerDef* output);

}  // namespace korvane
