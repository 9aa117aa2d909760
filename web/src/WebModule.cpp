// The WebAssembly module's entry points for the page: the parameter list, a look rendered on 8-bit
// RGBA pixels through the host library and the effect linked in, and the look's command line.
// Strings go back to JavaScript in one buffer that lives until the next call.
#include <emscripten.h>

#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "Errors.h"
#include "KRVN.h"
#include "cli/SvgPath.h"
#include "korvane/host/Host.h"
#include "korvane/host/World.h"
#include "korvane/sdk/ErrorNames.h"
#include "preview/Look.h"
#include "preview/PageData.h"

namespace {

using korvane::cli::BadLook;
using korvane::cli::Look;
using nlohmann::json;
namespace host = korvane::host;

std::string answer;  // the last string handed to JavaScript

const char* Answer(std::string text) {
    answer = std::move(text);
    return answer.c_str();
}

const char* Failure(const std::string& field, const std::string& message) {
    json body = {{"error", message}};
    if (!field.empty()) body["field"] = field;
    return Answer(body.dump());
}

// The effect, set up once (global and parameter set-up), as `korvane render` opens it.
host::Host& Effect() {
    static std::unique_ptr<host::Host> effect = [] {
        auto made = std::make_unique<host::Host>(host::EntryPoints{&PluginDataEntryFunction, &EffectMain},
                                                 host::Personality::AfterEffects);
        if (made->registration().result != PF_Err_NONE || made->Setup() != PF_Err_NONE)
            throw std::runtime_error("the effect failed to set up: " + made->last_return_msg());
        return made;
    }();
    return *effect;
}

// Puts the look's values and masks on the host. Pixel sizes in the look (masks) are in the full
// picture's pixels; the effect scales its own by the downsample factor, as in the preview.
void ApplyLook(host::Host& effect, const Look& look, double scale) {
    effect.ResetParams();
    effect.ClearMasks();
    std::vector<AEGP_MaskIDVal> mask_ids;
    for (const std::string& text : look.masks) {
        korvane::cli::SvgPath path = korvane::cli::parseSvgPath(text);
        for (korvane::cli::PathSegment& segment : path.segments)
            for (auto& point : segment.p) {
                point.x *= scale;
                point.y *= scale;
            }
        host::Path traced;
        for (const korvane::cli::PathSegment& s : path.segments) {
            switch (s.kind) {
                case korvane::cli::PathSegment::Move: traced.MoveTo(s.p[0].x, s.p[0].y); break;
                case korvane::cli::PathSegment::Line: traced.LineTo(s.p[0].x, s.p[0].y); break;
                case korvane::cli::PathSegment::Quad: traced.QuadTo(s.p[0].x, s.p[0].y, s.p[1].x, s.p[1].y); break;
                case korvane::cli::PathSegment::Cubic:
                    traced.CubicTo(s.p[0].x, s.p[0].y, s.p[1].x, s.p[1].y, s.p[2].x, s.p[2].y);
                    break;
                case korvane::cli::PathSegment::Close: traced.Close(); break;
            }
        }
        mask_ids.push_back(effect.AddMask(host::Mask{0, traced}));
    }
    for (const auto& [index, setting] : look.settings.byIndex()) {
        double value = setting.keys[0].value;
        if (setting.row->type == PF_Param_PATH)
            value = value >= 1 ? static_cast<double>(mask_ids[static_cast<std::size_t>(value) - 1]) : 0.0;
        effect.Set(index, value);
    }
}

}  // namespace

extern "C" {

EMSCRIPTEN_KEEPALIVE unsigned char* korvane_alloc(int bytes) {
    return static_cast<unsigned char*>(std::malloc(static_cast<size_t>(bytes)));
}

EMSCRIPTEN_KEEPALIVE void korvane_free(unsigned char* memory) { std::free(memory); }

// The parameter list the controls are built from, as `korvane preview` serves it.
EMSCRIPTEN_KEEPALIVE const char* korvane_params() { return Answer(korvane::cli::paramTable().dump()); }

// Iteration threads (0: every hardware thread); 1 in a build without threads.
EMSCRIPTEN_KEEPALIVE void korvane_set_threads(int threads) { Effect().SetThreadCount(threads); }

// Renders `look_json` (the preview's look: params, masks, time) on the RGBA pixels in place. The
// pixels may be a smaller copy of a picture `full_width` wide, as the preview's are. Returns ""
// when done, else {"error", "field"} as JSON.
EMSCRIPTEN_KEEPALIVE const char* korvane_render(const char* look_json, unsigned char* rgba, int width, int height,
                                                int full_width, int full_height) {
    try {
        const Look look = korvane::cli::parseLook(look_json);
        host::Host& effect = Effect();
        const PF_RationalScale down_x{width, static_cast<A_u_long>(full_width)};
        const PF_RationalScale down_y{height, static_cast<A_u_long>(full_height)};
        effect.SetInDataHook([down_x, down_y](PF_InData& in) {
            in.downsample_x = down_x;
            in.downsample_y = down_y;
        });
        ApplyLook(effect, look, static_cast<double>(width) / full_width);

        const host::WorldFormat format{8, host::ChannelOrder::ARGB};
        host::World input(width, height, format);
        host::World output(width, height, format);
        for (int y = 0; y < height; ++y) {
            const unsigned char* from = rgba + static_cast<size_t>(y) * width * 4;
            auto* to = static_cast<unsigned char*>(input.Row(y));
            for (int x = 0; x < width; ++x, from += 4, to += 4) {
                to[0] = from[3];
                to[1] = from[0];
                to[2] = from[1];
                to[3] = from[2];
            }
        }
        const PF_Err err = effect.RenderSmart(look.time, 8, input, output);
        if (err != PF_Err_NONE) {
            std::string message = "effect error: " + korvane::sdk::ErrorText(err);
            if (!effect.last_return_msg().empty()) message += ": " + effect.last_return_msg();
            return Failure("", message);
        }
        for (int y = 0; y < height; ++y) {
            const auto* from = static_cast<const unsigned char*>(output.Row(y));
            unsigned char* to = rgba + static_cast<size_t>(y) * width * 4;
            for (int x = 0; x < width; ++x, from += 4, to += 4) {
                to[0] = from[1];
                to[1] = from[2];
                to[2] = from[3];
                to[3] = from[0];
            }
        }
        return Answer("");
    } catch (const BadLook& e) {
        return Failure(e.field, e.message);
    } catch (const std::exception& e) {
        return Failure("", e.what());
    }
}

// The `korvane render` line that renders the look from `input` into `output`.
EMSCRIPTEN_KEEPALIVE const char* korvane_command(const char* look_json, const char* input, const char* output) {
    try {
        const Look look = korvane::cli::parseLook(look_json);
        return Answer("korvane render " + korvane::cli::shellWord(input) + " -o " + korvane::cli::shellWord(output) +
                      korvane::cli::lookArguments(look));
    } catch (const BadLook& e) {
        return Failure(e.field, e.message);
    }
}

}  // extern "C"
