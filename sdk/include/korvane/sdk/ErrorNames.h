// The names of the error codes, as log lines and messages print them.
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

// "PF_Err_OUT_OF_MEMORY (4)"; "PF_Err?UNKNOWN (n)" for a code without a name.
inline std::string ErrorText(PF_Err err) {
    const char* name = ErrorName(err);
    return std::string(name != nullptr ? name : "PF_Err?UNKNOWN") + " (" + std::to_string(err) + ")";
}

}  // namespace korvane::sdk
