// `korvane preview`: a local web page that renders the input through the effect as its parameters
// move, and hands back the `korvane render` command line of the look.
#pragma once

#include <memory>
#include <string>

#include "preview/Look.h"

namespace korvane::cli {

struct PreviewOptions {
    std::string input;
    int port = 0;  // 0: any free port
    bool no_open = false;
    std::string address = "127.0.0.1";
    std::string effect;
};

// Exits on Ctrl-C with its code; throws CliError when the input or the port cannot be used.
int runPreview(const PreviewOptions& options);

}  // namespace korvane::cli
