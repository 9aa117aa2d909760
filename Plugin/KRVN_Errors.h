// Names of host commands and error codes, for log lines.
#pragma once

#include <string>

#include "korvane/sdk/Effect.h"

namespace korvane {

// "PF_Err_OUT_OF_MEMORY (4)"; "PF_Err?UNKNOWN (n)" for a code without a name.
std::string ErrorText(PF_Err err);

// "PF_Cmd_SMART_RENDER"; an out-of-range command gives "PF_Cmd?UNKNOWN (n)".
std::string CommandName(PF_Cmd cmd);

}  // namespace korvane
