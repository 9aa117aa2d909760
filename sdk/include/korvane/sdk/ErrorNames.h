// The names of the error codes and of the host commands, as log lines and messages print them.
#pragma once

#include <string>

#include "korvane/sdk/Effect.h"

namespace korvane::sdk {

// The code's own name, or nullptr for a code without one.
constexpr const char* ErrorName(PF_Err err) {
    switch (err) {
        case PF_Err_NONE: return "PF_Err_NONE";
        case PF_Err_OUT_OF_MEMORY: return "PF_Err_OUT_OF_MEMORY";
        case PF_Err_INTERNAL_STRUCT_DAMAGED: return "PF_Err_INTERNAL_STRUCT_DAMAGED";
        case PF_Err_INVALID_INDEX: return "PF_Err_INVALID_INDEX";
        case PF_Err_UNRECOGNIZED_PARAM_TYPE: return "PF_Err_UNRECOGNIZED_PARAM_TYPE";
        case PF_Err_INVALID_CALLBACK: return "PF_Err_INVALID_CALLBACK";
        case PF_Err_BAD_CALLBACK_PARAM: return "PF_Err_BAD_CALLBACK_PARAM";
        case PF_Interrupt_CANCEL: return "PF_Interrupt_CANCEL";
        case PF_Err_CANNOT_PARSE_KEYFRAME_TEXT: return "PF_Err_CANNOT_PARSE_KEYFRAME_TEXT";
        default: return nullptr;
    }
}

// The command's own name ("PF_Cmd_RENDER"), or nullptr for a value that is no command.
constexpr const char* CommandName(PF_Cmd cmd) {
    constexpr const char* kNames[] = {
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
    static_assert(sizeof kNames / sizeof kNames[0] == PF_Cmd_NUM_CMDS + 1);
    return cmd >= 0 && cmd <= PF_Cmd_NUM_CMDS ? kNames[cmd] : nullptr;
}

// "PF_Err_OUT_OF_MEMORY (4)"; "PF_Err?UNKNOWN (n)" for a code without a name.
inline std::string ErrorText(PF_Err err) {
    const char* name = ErrorName(err);
    return std::string(name != nullptr ? name : "PF_Err?UNKNOWN") + " (" + std::to_string(err) + ")";
}

}  // namespace korvane::sdk
