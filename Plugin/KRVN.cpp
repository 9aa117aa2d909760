// The effect's entry points: registration, command dispatch with its error mapping, and the small
// command handlers (About, global set-up and set-down, the help button, the parameter-UI update).
#include "KRVN.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "KRVN_Errors.h"
#include "KRVN_Render.h"
#include "LogsController.h"
#include "korvane/sdk/SuiteHandler.h"
#include "params/ParamTable.h"
#include "platform/Platform.h"
#include "sorting/CompactGrid.h"
#include "sorting/CompactPaths.h"
#include "sorting/CurvedPaths.h"
#include "sorting/Executor.h"
#include "sorting/RecordPool.h"

namespace korvane {

std::string HelpLink(const PF_InData* in_data) {
    char link[512];
    std::snprintf(link, sizeof link, kHelpLinkFormat, platform::PlatformWord(), HostTag(in_data).c_str(), kMajorVersion,
                  kMinorVersion, kBugVersion);
    return link;
}

namespace {

constexpr PF_Err kBadInput = PF_Err_BAD_CALLBACK_PARAM;

PF_Err About(PF_InData*, PF_OutData* out_data, PF_ParamDef*[], PF_LayerDef*) {
    if (out_data == nullptr) return kBadInput;
    std::snprintf(out_data->return_msg, PF_MAX_RETURN_MSG, "%s v%d.%d.%d\rPixel sorting along lines at any angle.",
                  kDisplayName, kMajorVersion, kMinorVersion, kBugVersion);
    return PF_Err_NONE;
}

PF_Err GlobalSetup(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef*[], PF_LayerDef*) {
    if (in_data == nullptr || out_data == nullptr) return kBadInput;
    out_data->my_version = kVersion;
    log::LoggerInit(in_data, out_data, kDisplayName, kIdentifier);

    const bool premiere = IsPremiere(in_data);
    if (premiere) {
        ScopedSuite<PF_PixelFormatSuite1> pixel_formats(in_data, out_data, kPFPixelFormatSuite,
                                                        kPFPixelFormatSuiteVersion1);
        if (PF_Err err = pixel_formats->ClearSupportedPixelFormats(in_data->effect_ref)) return err;
        if (PF_Err err = pixel_formats->AddSupportedPixelFormat(in_data->effect_ref, PrPixelFormat_BGRA_4444_8u)) {
            return err;
        }
    }

    out_data->out_flags = PF_OutFlag_USE_OUTPUT_EXTENT | PF_OutFlag_DEEP_COLOR_AWARE;
    out_data->out_flags2 |= PF_OutFlag2_SUPPORTS_QUERY_DYNAMIC_FLAGS | PF_OutFlag2_PARAM_GROUP_START_COLLAPSED_FLAG |
                            PF_OutFlag2_SUPPORTS_SMART_RENDER | PF_OutFlag2_FLOAT_COLOR_AWARE |
                            PF_OutFlag2_SUPPORTS_THREADED_RENDERING;

    SuiteCache suites(in_data->pica_basicP);
    const auto* handles = suites.Get<PF_HandleSuite2>(kPFHandleSuite, kPFHandleSuiteVersion2);
    PF_Handle handle = handles->host_new_handle(sizeof(KRVN_GlobalData));
    if (handle == nullptr) return PF_Err_NONE;
    auto* global = static_cast<KRVN_GlobalData*>(handles->host_lock_handle(handle));
    if (global == nullptr) {
        // A handle that cannot be locked is as good as none.
        handles->host_dispose_handle(handle);
        return PF_Err_NONE;
    }
    out_data->global_data = handle;
    global->state = 0;
    global->flag = false;
    global->plugin_id = 0;

    if (premiere) return PF_Err_NONE;
    const auto* utility = suites.Get<AEGP_UtilitySuite11>(kAEGPUtilitySuite, kAEGPUtilitySuiteVersion11);
    return utility->AEGP_RegisterWithAEGP(nullptr, kDisplayName, &global->plugin_id);
}

PF_Err GlobalSetdown(PF_InData* in_data, PF_OutData*, PF_ParamDef*[], PF_LayerDef*) {
    if (in_data == nullptr) return kBadInput;
    try {
        if (in_data->global_data != nullptr) {
            log::LogLine("plugin setdown");
            utils::FrameRecordPool().Release();
            utils::ReleaseCompactGrid();
            utils::ReleaseIdleScratch();
            utils::ReleasePathTables();
            utils::ReleaseCompactPaths();
            SuiteCache suites(in_data->pica_basicP);
            suites.Get<PF_HandleSuite2>(kPFHandleSuite, kPFHandleSuiteVersion2)
                ->host_dispose_handle(in_data->global_data);
        }
    } catch (const std::exception&) {
        KRVN_LOG_ERROR("GlobalSetdown", "error in global setdown " + ErrorText(PF_Err_NONE));
    }
    return PF_Err_NONE;
}

PF_Err UserChangedParam(PF_InData* in_data, PF_OutData*, const PF_UserChangedParamExtra* extra) {
    if (extra == nullptr) return kBadInput;
    if (extra->param_index != params::KRVN_HELP) return PF_Err_NONE;
    if (in_data == nullptr) return kBadInput;
    platform::OpenUrl(HelpLink(in_data));
    return PF_Err_NONE;
}

// Greys out the mask-path control while "use all masks" is on; the host's definition stays untouched.
PF_Err UpdateParamsUI(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[]) {
    if (in_data == nullptr || out_data == nullptr || params == nullptr || params[params::KRVN_MASK] == nullptr ||
        params[params::KRVN_USE_ALL_MASKS] == nullptr) {
        return kBadInput;
    }
    PF_ParamDef mask_path = *params[params::KRVN_MASK];
    if (params[params::KRVN_USE_ALL_MASKS]->u.bd.value != 0) {
        mask_path.ui_flags |= PF_PUI_DISABLED;
    } else {
        mask_path.ui_flags &= ~PF_PUI_DISABLED;
    }
    SuiteCache suites(in_data->pica_basicP);
    const auto* param_utils = suites.Get<PF_ParamUtilsSuite3>(kPFParamUtilsSuite, kPFParamUtilsSuiteVersion3);
    const PF_Err err = param_utils->PF_UpdateParamUI(in_data->effect_ref, params::KRVN_MASK, &mask_path);
    out_data->out_flags |= PF_OutFlag_REFRESH_UI | PF_OutFlag_FORCE_RERENDER;
    return err;
}

PF_Err Dispatch(PF_Cmd cmd, PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[], PF_LayerDef* output,
                void* extra) {
    switch (cmd) {
        case PF_Cmd_ABOUT: return About(in_data, out_data, params, output);
        case PF_Cmd_GLOBAL_SETUP: return GlobalSetup(in_data, out_data, params, output);
        case PF_Cmd_GLOBAL_SETDOWN: return GlobalSetdown(in_data, out_data, params, output);
        case PF_Cmd_PARAMS_SETUP: return ParamsSetup(in_data, out_data, params, output);
        case PF_Cmd_RENDER:
            if (in_data == nullptr || out_data == nullptr || params == nullptr || output == nullptr) return kBadInput;
            return LegacyRender(in_data, out_data, params, output);
        case PF_Cmd_USER_CHANGED_PARAM:
            return UserChangedParam(in_data, out_data, static_cast<const PF_UserChangedParamExtra*>(extra));
        case PF_Cmd_UPDATE_PARAMS_UI: return UpdateParamsUI(in_data, out_data, params);
        case PF_Cmd_SMART_PRE_RENDER:
            if (in_data == nullptr || out_data == nullptr || extra == nullptr) return kBadInput;
            return PreRender(in_data, out_data, static_cast<PF_PreRenderExtra*>(extra));
        case PF_Cmd_SMART_RENDER:
            if (in_data == nullptr || out_data == nullptr || extra == nullptr) return kBadInput;
            return SmartRender(in_data, out_data, static_cast<PF_SmartRenderExtra*>(extra));
        default: return PF_Err_NONE;
    }
}

}  // namespace
}  // namespace korvane

extern "C" PF_Err PluginDataEntryFunction(void* inPtr, PF_RegisterCallback callback) {
    if (callback == nullptr) return PF_Err_BAD_CALLBACK_PARAM;
    return callback(inPtr, korvane::kDisplayName, korvane::kMatchName, korvane::kCategory, korvane::kEntryPointName,
                    static_cast<A_long>(PF_KIND_EFFECT), korvane::kApiVersionMajor, korvane::kApiVersionMinor,
                    korvane::kReservedInfo);
}

extern "C" PF_Err EffectMain(PF_Cmd cmd, PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                             PF_LayerDef* output, void* extra) {
    using korvane::CommandName;
    using korvane::ErrorText;
    PF_Err err = PF_Err_NONE;
    // Each log line is built inside its own try: a failure to log must not turn into an exception
    // that leaves EffectMain.
    try {
        err = korvane::Dispatch(cmd, in_data, out_data, params, output, extra);
        if (korvane::log::Logged(err)) {
            try {
                KRVN_LOG_ERROR("EffectMain", CommandName(cmd) + ". Code: " + ErrorText(err));
            } catch (...) {
            }
        }
    } catch (PF_Err thrown) {
        // A thrown code is logged unless it is a cancel, as a returned one is.
        err = thrown;
        if (thrown != PF_Interrupt_CANCEL) {
            try {
                KRVN_LOG_ERROR("EffectMain",
                               "Try Catch Exception code at event " + CommandName(cmd) + " is " + ErrorText(thrown));
            } catch (...) {
            }
        }
    } catch (const std::exception& ex) {
        err = PF_Err_INTERNAL_STRUCT_DAMAGED;  // never a cancel: always logged
        try {
            KRVN_LOG_ERROR("EffectMain",
                           "Try Catch Exception at event " + CommandName(cmd) + ". Error is " + ex.what());
        } catch (...) {
        }
    } catch (...) {
        err = PF_Err_INTERNAL_STRUCT_DAMAGED;
        try {
            KRVN_LOG_ERROR("EffectMain", "Try Catch Uknown Exception at event " + CommandName(cmd));
        } catch (...) {
        }
    }
    return err;
}
