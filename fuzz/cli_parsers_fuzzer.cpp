// The CLI's parsers of user text: SVG mask path data, --set values and keyframes, and presets given
// inline as JSON. The first byte picks the parser. A parser may only answer or throw its own error
// (PathSyntaxError, UsageError) with a position inside the text; what it answers must be finite.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Errors.h"
#include "cli/ParamSettings.h"
#include "cli/SvgPath.h"

namespace {

namespace cli = korvane::cli;

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "cli parsers fuzzer: %s\n", what.c_str());
    std::abort();
}

void CheckPath(const std::string& text) {
    try {
        const cli::SvgPath path = cli::parseSvgPath(text);
        for (const cli::PathSegment& s : path.segments) {
            for (const cli::PathPoint& p : s.p) {
                if (!std::isfinite(p.x) || !std::isfinite(p.y)) Fail("a path point that is not finite");
            }
        }
        if (!path.segments.empty() && path.segments.front().kind != cli::PathSegment::Move)
            Fail("a path not starting with a move");
    } catch (const cli::PathSyntaxError& e) {
        if (e.position < 1 || e.position > text.size() + 1)
            Fail("error position " + std::to_string(e.position) + " outside the text");
        if (e.message.empty()) Fail("an error without a message");
    }
}

void CheckSettings(const cli::ParamSettings& settings) {
    for (const auto& [index, setting] : settings.byIndex()) {
        if (!setting.row || setting.row->index != index) Fail("a setting filed under the wrong index");
        if (setting.keys.empty()) Fail("a setting without a value");
        for (const cli::Key& key : setting.keys) {
            if (!std::isfinite(key.value)) Fail("a value that is not finite");
            if (key.seconds >= 0 && !std::isfinite(key.seconds)) Fail("a key time that is not finite");
            if (!std::isfinite(key.time(24.0))) Fail("a key time that is not finite");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const int which = data[0] % 3;
    const bool premiere = data[0] & 0x80;
    std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (which == 0) {
        CheckPath(text);
        return 0;
    }
    cli::ParamSettings settings(premiere);
    try {
        if (which == 1) {
            // One --set per line.
            size_t start = 0;
            while (start <= text.size()) {
                size_t end = text.find('\n', start);
                if (end == std::string::npos) end = text.size();
                try {
                    settings.set(text.substr(start, end - start));
                } catch (const cli::UsageError& e) {
                    if (std::string(e.what()).empty()) Fail("an error without a message");
                }
                start = end + 1;
            }
        } else {
            // Inline only: the fuzzer never names files.
            if (text.find_first_not_of(" \t\r\n") == std::string::npos ||
                text[text.find_first_not_of(" \t\r\n")] != '{')
                text.insert(0, "{");
            settings.loadPreset(text);
        }
    } catch (const cli::UsageError& e) {
        if (std::string(e.what()).empty()) Fail("an error without a message");
    }
    CheckSettings(settings);
    for (const auto& [index, setting] : settings.byIndex()) {
        for (const cli::Key& key : setting.keys) (void)cli::formatValue(*setting.row, key.value);
    }
    return 0;
}
