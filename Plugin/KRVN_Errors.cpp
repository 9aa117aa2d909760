// Names of host commands and error codes, for log lines.
#include "KRVN_Errors.h"

#include "korvane/sdk/ErrorNames.h"

namespace korvane {

std::string ErrorText(PF_Err err) { return sdk::ErrorText(err); }

std::string CommandName(PF_Cmd cmd) {
    if (const char* name = sdk::CommandName(cmd)) return name;
    return "PF_Cmd?UNKNOWN (" + std::to_string(cmd) + ")";
}

}  // namespace korvane
