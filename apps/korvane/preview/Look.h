// A look as the preview page sends it: the JSON body of POST /api/render and /api/command, parsed
// and checked before anything renders.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "cli/ParamSettings.h"

namespace korvane::cli {

constexpr std::size_t kMaxLookBody = 1 << 20;
constexpr int kMaxLookWidth = 65535;

// One look as the page sends it: parameters in user units, masks as SVG path data, a time in
// seconds and the width of the picture wanted (0: full size).
struct Look {
    ParamSettings settings{false};
    std::vector<std::string> masks;
    double time = 0;
    int width = 0;
};

// A request's body that cannot be a look: `field` names the part at fault ("params.angle").
struct BadLook {
    std::string field;
    std::string message;
};

// Parses a JSON body; throws BadLook.
Look parseLook(const std::string& body);

}  // namespace korvane::cli
