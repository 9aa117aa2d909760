// Names of host commands and error codes, for log lines.
#include "KRVN_Errors.h"

#include <array>
#include <map>
#include <string_view>

namespace korvane {
namespace {

constexpr std::array<std::string_view, PF_Cmd_NUM_CMDS + 1> kCommandNames = {
    "PF_Cmd_ABOUT",
    "PF_Cmd_GLOBAL_SETUP",
    "PF_Cmd_UNUSED_0",
    "PF_Cmd_GLOBAL_SETDOWN",
    "PF_Cmd_PARAMS_SETUP",
    "PF_Cmd_SEQUENCE_SETUP",
    "PF_Cmd_SEQUENCE_RESETUP",
    "PF_Cmd_SEQUENCE_FLATTEN",
    "PF_Cmd_SEQUENCE_SETDOWN",
    "PF_Cmd_DO_DIALOG",
    "PF_Cmd_FRAME_SETUP",
    "PF_Cmd_RENDER",
    "PF_Cmd_FRAME_SETDOWN",
    "PF_Cmd_USER_CHANGED_PARAM",
    "PF_Cmd_UPDATE_PARAMS_UI",
    "PF_Cmd_EVENT",
    "PF_Cmd_GET_EXTERNAL_DEPENDENCIES",
    "PF_Cmd_COMPLETELY_GENERAL",
    "PF_Cmd_QUERY_DYNAMIC_FLAGS",
    "PF_Cmd_AUDIO_RENDER",
    "PF_Cmd_AUDIO_SETUP",
    "PF_Cmd_AUDIO_SETDOWN",
    "PF_Cmd_ARBITRARY_CALLBACK",
    "PF_Cmd_SMART_PRE_RENDER",
    "PF_Cmd_SMART_RENDER",
    "PF_Cmd_RESERVED1",
    "PF_Cmd_RESERVED2",
    "PF_Cmd_RESERVED3",
    "PF_Cmd_GET_FLATTENED_SEQUENCE_DATA",
    "PF_Cmd_TRANSLATE_PARAMS_TO_PREFS",
    "PF_Cmd_RESERVED4",
    "PF_Cmd_SMART_RENDER_GPU",
    "PF_Cmd_GPU_DEVICE_SETUP",
    "PF_Cmd_GPU_DEVICE_SETDOWN",
    "PF_Cmd_NUM_CMDS",
};
static_assert(kCommandNames.size() == 35);

const std::map<PF_Err, std::string_view>& ErrorNames() {
    static const std::map<PF_Err, std::string_view> names = {
        {PF_Err_NONE, "PF_Err_NONE"},
        {PF_Err_OUT_OF_MEMORY, "PF_Err_OUT_OF_MEMORY"},
        {PF_Err_INTERNAL_STRUCT_DAMAGED, "PF_Err_INTERNAL_STRUCT_DAMAGED"},
        {PF_Err_INVALID_INDEX, "PF_Err_INVALID_INDEX"},
        {PF_Err_UNRECOGNIZED_PARAM_TYPE, "PF_Err_UNRECOGNIZED_PARAM_TYPE"},
        {PF_Err_INVALID_CALLBACK, "PF_Err_INVALID_CALLBACK"},
        {PF_Err_BAD_CALLBACK_PARAM, "PF_Err_BAD_CALLBACK_PARAM"},
        {PF_Interrupt_CANCEL, "PF_Interrupt_CANCEL"},
        {PF_Err_CANNOT_PARSE_KEYFRAME_TEXT, "PF_Err_CANNOT_PARSE_KEYFRAME_TEXT"},
    };
    return names;
}

}  // namespace

std::string ErrorText(PF_Err err) {
    const auto& names = ErrorNames();
    const auto it = names.find(err);
    std::string text = it != names.end() ? std::string(it->second) : std::string("PF_Err?UNKNOWN");
    return text + " (" + std::to_string(err) + ")";
}

std::string CommandName(PF_Cmd cmd) {
    if (cmd >= 0 && cmd < static_cast<PF_Cmd>(kCommandNames.size())) {
        return std::string(kCommandNames[static_cast<std::size_t>(cmd)]);
    }
    return "PF_Cmd?UNKNOWN (" + std::to_string(cmd) + ")";
}

}  // namespace korvane
