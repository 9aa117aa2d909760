// `korvane preview`: a local web page that renders the input through the effect as its parameters
// move, and hands back the `korvane render` command line of the look.
#pragma once

#include <memory>
#include <string>

#include "ParamSettings.h"
#include "SvgPath.h"

namespace korvane::cli {

struct PreviewOptions {
    std::string input;
    int port = 0;  // 0: any free port
    bool no_open = false;
    std::string address = "127.0.0.1";
    std::string effect;
};

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

// Exits on Ctrl-C with its code; throws CliError when the input or the port cannot be used.
int runPreview(const PreviewOptions& options);

}  // namespace korvane::cli
