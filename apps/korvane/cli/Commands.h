// The subcommands: `korvane render`, `korvane join` and `korvane params`.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "image/Image.h"

namespace korvane::cli {

struct RenderOptions {
    std::string input;
    std::string output;
    // --set NAME=VALUE and --preset FILE in command-line order (first: true for a preset).
    std::vector<std::pair<bool, std::string>> settings;
    std::string trigger_source;
    std::string sort_source;
    std::vector<std::string> masks;
    std::string host = "ae";
    int threads = 0;  // 0: every hardware thread
    int depth = 0;    // 0: the input's depth
    std::string effect;
    std::string frames;
    double fps = 24.0;
    bool fps_given = false;
    std::string codec;  // video outputs: encoder by name, empty for the extension's default
    std::optional<int> crf;
    std::string encoder_args;          // appended to the encoder's arguments
    std::optional<long> start_number;  // number of the first output file of a sequence
    WriteOptions write;
    bool quiet = false;
    bool dump_params = false;
};

struct JoinOptions {
    std::vector<std::string> chunks;  // .mkv chunks written by `korvane render SOURCE --frames A-B`
    std::string output;
    std::string audio_from;  // the clip the chunks were rendered from
    std::string codec;
    std::optional<int> crf;
    std::string encoder_args;
    bool quiet = false;
};

struct ParamsOptions {
    std::string host = "ae";
    std::string effect;
};

// Each returns the exit code, or throws CliError.
int runRender(const RenderOptions& options);
int runJoin(const JoinOptions& options);
int runParams(const ParamsOptions& options);

}  // namespace korvane::cli
