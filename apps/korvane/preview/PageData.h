// What the preview page and the browser page both take from the CLI: the parameter list they build
// their controls from, and the `korvane render` arguments of a look.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "preview/Look.h"

namespace korvane::cli {

// Single-quotes a word for a POSIX shell where it needs quoting.
std::string shellWord(const std::string& word);

// The settable parameters in table order, then the looks (marked "look": the effect never registers
// them; the host hands them over), each with the group it sits in, its range, default, description
// and choices.
nlohmann::json paramTable();

// The look's masks and settings as `korvane render` arguments, each after a space.
std::string lookArguments(const Look& look);

}  // namespace korvane::cli
