// `korvane render`: image files through the effect, frame by frame.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <set>

#include "AtomicOutput.h"
#include "Commands.h"
#include "Effect.h"
#include "Errors.h"
#include "Image.h"
#include "Interrupt.h"
#include "ParamSettings.h"
#include "Progress.h"
#include "Sequence.h"
#include "TestHooks.h"
#include "SvgPath.h"

namespace korvane::cli {
namespace {

using host::Host;
using host::World;

World toWorld(const Image& image) {
    World world(image.width, image.height, image.depth);
    for (int y = 0; y < image.height; ++y)
        std::memcpy(world.Row(y), image.data.data() + y * image.rowBytes(), image.rowBytes());
    return world;
}

Image toImage(const World& world, bool had_alpha) {
    if (world.order() != host::ChannelOrder::ARGB) return toImage(world.Converted(world.depth()), had_alpha);
    Image image = Image::blank(world.width(), world.height(), world.depth());
    image.had_alpha = had_alpha;
    for (int y = 0; y < image.height; ++y)
        std::memcpy(image.data.data() + y * image.rowBytes(), world.Row(y), image.rowBytes());
    return image;
}

host::Path toHostPath(const SvgPath& svg) {
    host::Path path;
    for (const PathSegment& s : svg.segments) {
        switch (s.kind) {
        case PathSegment::Move:
            path.MoveTo(s.p[0].x, s.p[0].y);
            break;
        case PathSegment::Line:
            path.LineTo(s.p[0].x, s.p[0].y);
            break;
        case PathSegment::Quad:
            path.QuadTo(s.p[0].x, s.p[0].y, s.p[1].x, s.p[1].y);
            break;
        case PathSegment::Cubic:
            path.CubicTo(s.p[0].x, s.p[0].y, s.p[1].x, s.p[1].y, s.p[2].x, s.p[2].y);
            break;
        case PathSegment::Close:
            path.Close();
            break;
        }
    }
    return path;
}

// Frame times are frame / fps seconds; a time scale of fps * 1000 with a step of 1000 keeps every
// frame's time whole for rates given to three decimals.
void setFrameRate(Host& host, double fps) {
    const double scaled = std::round(fps * 1000.0);
    if (std::fabs(scaled - fps * 1000.0) < 1e-6 && scaled <= 4.0e9)
        host.SetTimeScale(static_cast<A_u_long>(scaled), 1000);
    else
        host.SetTimeScale(static_cast<A_u_long>(std::lround(fps * 1000000.0)), 1000000);
}

class Reporter {
public:
    explicit Reporter(bool quiet) : quiet_(quiet) {}
    void note(const std::string& text) {
        if (!quiet_) std::fprintf(stderr, "korvane: note: %s\n", text.c_str());
    }
    void noteOnce(const std::string& text) {
        if (!noted_.insert(text).second) return;
        note(text);
    }
    void info(const std::string& text) {
        if (!quiet_) std::fprintf(stderr, "korvane: %s\n", text.c_str());
    }

private:
    bool quiet_;
    std::set<std::string> noted_;
};

// A source image given on the command line: read once, or per frame when its name is a pattern.
struct SourceLayer {
    std::string role;  // "trigger source"
    int param_index;   // the layer parameter that selects it
    std::optional<FramePattern> pattern;
    std::optional<Image> image;
    std::string loaded_name;
    int layer_id = 0;

    void load(long frame) {
        const std::string name = pattern->forFrame(frame);
        if (name == loaded_name) return;
        image = readImage(name, role);
        loaded_name = name;
    }
};

void dumpParams(const Host& host, const FrameRange& range, double fps, bool premiere,
                const std::vector<AEGP_MaskIDVal>& mask_ids) {
    for (long frame = range.first; frame <= range.last; ++frame) {
        const double time = static_cast<double>(frame) / fps;
        std::printf("frame %ld:", frame);
        for (const params::ParamSpec& row : params::kParams) {
            if (!isSettable(row) || (premiere && row.ae_only)) continue;
            double value = host.Value(row.index, time);
            if (row.type == PF_Param_PATH) {
                const auto it = std::find(mask_ids.begin(), mask_ids.end(), static_cast<AEGP_MaskIDVal>(value));
                value = it == mask_ids.end() ? 0 : static_cast<double>(it - mask_ids.begin() + 1);
            }
            std::printf(" %s=%s", row.cli_name, formatValue(row, value).c_str());
        }
        std::printf("\n");
    }
}

// Everything about a render that can be checked before the effect is loaded.
struct RenderPlan {
    bool premiere = false;
    ParamSettings settings{false};
    std::optional<FramePattern> input;
    std::optional<FramePattern> output;
    FrameRange range;
    std::vector<host::Path> masks;
    std::vector<SourceLayer> sources;
};

RenderPlan planRender(const RenderOptions& options, Reporter& report) {
    RenderPlan plan;
    plan.premiere = options.host == "premiere";
    plan.settings = ParamSettings(plan.premiere);
    for (const auto& [is_preset, text] : options.settings) {
        if (is_preset)
            plan.settings.loadPreset(text);
        else
            plan.settings.set(text);
    }

    plan.input.emplace(options.input);
    plan.output.emplace(options.output);
    const bool input_sequence = plan.input->hasPlaceholder();
    const bool output_sequence = plan.output->hasPlaceholder() && !options.dump_params;
    if (!options.frames.empty()) {
        plan.range = parseFrameRange(options.frames);
    } else if (input_sequence || output_sequence) {
        throw UsageError("'" + (input_sequence ? options.input : options.output) +
                         "' names a sequence; give the frames with --frames FIRST-LAST");
    }
    if ((plan.range.count() > 1 || input_sequence) && !plan.output->hasPlaceholder() && !options.dump_params)
        throw UsageError("output '" + options.output + "' needs a frame placeholder (# or %04d) to hold " +
                         std::to_string(plan.range.count()) + " frames");
    if (!(options.fps > 0) || !std::isfinite(options.fps)) throw UsageError("--fps must be a positive number");

    if (plan.premiere && !options.masks.empty())
        throw UsageError("--mask needs --host ae (Premiere Pro gives effects no masks)");
    if (plan.premiere && (!options.trigger_source.empty() || !options.sort_source.empty()))
        throw UsageError("--trigger-source and --sort-source need --host ae (Premiere Pro gives effects no source layers)");

    for (std::size_t i = 0; i < options.masks.size(); ++i) {
        try {
            plan.masks.push_back(toHostPath(parseSvgPath(options.masks[i])));
        } catch (const PathSyntaxError& e) {
            throw UsageError("--mask " + std::to_string(i + 1) + ": cannot parse path at character " +
                             std::to_string(e.position) + ": " + e.message);
        }
    }
    const auto& chosen = plan.settings.byIndex();
    if (const auto it = chosen.find(params::KRVN_MASK); it != chosen.end()) {
        for (const Key& key : it->second.keys)
            if (key.value > static_cast<double>(plan.masks.size()))
                throw UsageError("--set mask=" + formatValue(*it->second.row, key.value) + ": there " +
                                 (plan.masks.size() == 1 ? "is 1 --mask" : "are " + std::to_string(plan.masks.size()) + " --mask paths"));
    }
    if (!plan.masks.empty() && !chosen.count(params::KRVN_MASK) && !chosen.count(params::KRVN_USE_ALL_MASKS))
        report.note("the masks limit nothing until --set mask=N or --set use_all_masks=on chooses them");

    if (!options.dump_params) checkWritable(plan.output->forFrame(plan.range.first));

    if (!options.trigger_source.empty())
        plan.sources.push_back({"trigger source", params::KRVN_TRIGGER_SOURCE, FramePattern(options.trigger_source), {}, {}, 0});
    if (!options.sort_source.empty())
        plan.sources.push_back({"sort source", params::KRVN_SORT_SOURCE, FramePattern(options.sort_source), {}, {}, 0});
    for (SourceLayer& source : plan.sources) {
        if (source.pattern->hasPlaceholder() && options.frames.empty())
            throw UsageError("'" + source.pattern->name() + "' names a sequence; give the frames with --frames FIRST-LAST");
        if (!options.dump_params) source.load(plan.range.first);
    }
    return plan;
}

// Masks onto the input layer, then every setting as a value or as keyframes at frame / fps.
std::vector<AEGP_MaskIDVal> applySettings(Host& host, const RenderPlan& plan, double fps) {
    std::vector<AEGP_MaskIDVal> mask_ids;
    for (const host::Path& path : plan.masks) mask_ids.push_back(host.AddMask(host::Mask{0, path}));
    for (const auto& [index, setting] : plan.settings.byIndex()) {
        auto hostValue = [&](double value) {
            if (setting.row->type == PF_Param_PATH)
                return value >= 1 ? static_cast<double>(mask_ids[static_cast<std::size_t>(value) - 1]) : 0.0;
            return value;
        };
        if (!setting.animated()) {
            host.Set(index, hostValue(setting.keys[0].value));
        } else {
            for (const Key& key : setting.keys) host.SetKeyframe(index, static_cast<double>(key.frame) / fps, hostValue(key.value));
        }
    }
    return mask_ids;
}

// Renders one frame of pixels through the effect at `time`; throws on an effect error or Ctrl-C.
Image renderPixels(Host& host, bool premiere, const Image& image, double time, const std::string& what) {
    PF_Err err = PF_Err_NONE;
    World output;
    if (premiere) {
        World input = toWorld(image).Converted(8, host::ChannelOrder::BGRA);
        input.SetPremiereFormat(PrPixelFormat_BGRA_4444_8u);
        output = World(image.width, image.height, 8, host::ChannelOrder::BGRA);
        output.SetPremiereFormat(PrPixelFormat_BGRA_4444_8u);
        err = host.RenderLegacy(time, input, output);
    } else {
        const World input = toWorld(image);
        output = World(image.width, image.height, image.depth);
        err = host.RenderSmart(time, image.depth, input, output);
    }
    if (interrupted() || (err == PF_Interrupt_CANCEL && host.cancelled())) throw Cancelled();
    if (err != PF_Err_NONE) throwEffectError(host, err, what);
    return toImage(output, image.had_alpha);
}

}  // namespace

int runRender(const RenderOptions& options) {
    Reporter report(options.quiet);
    RenderPlan plan = planRender(options, report);

    const host::Personality personality = plan.premiere ? host::Personality::Premiere : host::Personality::AfterEffects;
    std::unique_ptr<Host> host = openEffect(options.effect.empty() ? defaultEffectPath() : options.effect, personality);
    host->SetThreadCount(options.threads);
    setFrameRate(*host, options.fps);
    const std::vector<AEGP_MaskIDVal> mask_ids = applySettings(*host, plan, options.fps);
    if (options.dump_params) {
        dumpParams(*host, plan.range, options.fps, plan.premiere, mask_ids);
        return kExitOk;
    }

    applyFaultTestHook(*host);
    CancelOnInterrupt cancel_on_interrupt(*host);
    ProgressBar progress(!options.quiet, plan.range.count());
    host->SetProgressListener([&progress](A_long current, A_long total) {
        noteProgressCallForTestHook();
        progress.update(current, total);
    });

    std::optional<Image> still;  // an input without a placeholder is read once
    std::string last_written;
    for (long frame = plan.range.first; frame <= plan.range.last; ++frame) {
        if (interrupted()) throw Cancelled();
        progress.startFrame(frame - plan.range.first);

        Image image = still ? *still : readImage(plan.input->forFrame(frame));
        if (!plan.input->hasPlaceholder() && !still) still = image;
        int depth = options.depth ? options.depth : image.depth;
        if (plan.premiere && depth != 8) {
            report.noteOnce("--host premiere renders 8-bit frames only; rendering at 8 bits");
            depth = 8;
        }
        image = convertDepth(image, depth);

        for (SourceLayer& source : plan.sources) {
            source.load(frame);
            World pixels = toWorld(convertDepth(*source.image, depth));
            if (source.layer_id == 0) {
                source.layer_id = host->AddLayer(std::move(pixels));
                host->Set(source.param_index, source.layer_id);
            } else {
                host->layer(source.layer_id) = std::move(pixels);
            }
        }

        const Image result = renderPixels(*host, plan.premiere, image, static_cast<double>(frame) / options.fps,
                                          "the render of frame " + std::to_string(frame));
        const std::string out_name = plan.output->forFrame(frame);
        AtomicOutput file(out_name);
        const WriteResult written = writeImage(result, out_name, file.tempPath());
        if (interrupted()) throw Cancelled();
        file.commit();
        if (!written.note.empty()) report.noteOnce(written.note);
        last_written = out_name;
    }
    progress.finish();
    host->GlobalSetdown();

    if (plan.range.count() == 1)
        report.info("wrote '" + last_written + "'");
    else
        report.info("wrote " + std::to_string(plan.range.count()) + " frames to '" + options.output + "'");
    return kExitOk;
}

}  // namespace korvane::cli
