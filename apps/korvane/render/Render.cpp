// `korvane render`: image files through the effect, frame by frame.
#include <sys/stat.h>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <functional>
#include <numeric>
#include <optional>
#include <set>

#include "AtomicOutput.h"
#include "Effect.h"
#include "Errors.h"
#include "Interrupt.h"
#include "TestHooks.h"
#include "cli/Commands.h"
#include "cli/ParamSettings.h"
#include "cli/Progress.h"
#include "cli/SvgPath.h"
#include "image/Image.h"
#include "image/Sequence.h"
#include "render/FrameIO.h"
#include "render/RenderFrame.h"

namespace korvane::cli {
namespace {

using host::Host;
using host::World;

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

void dumpParams(const Host& host, const FrameRange& range, const std::function<double(long)>& frame_time, bool premiere,
                const std::vector<AEGP_MaskIDVal>& mask_ids) {
    for (long frame = range.first; frame <= range.last; ++frame) {
        const double time = frame_time(frame);
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
        for (const params::ParamSpec& row : params::kLookParams) {
            if (isSettable(row))
                std::printf(" %s=%s", row.cli_name, formatValue(row, host.Value(row.index, time)).c_str());
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
    std::optional<VideoInfo> clip;  // the input is a clip
    bool video_output = false;
    FrameRange range;
    bool to_clip_end = false;  // a clip without --frames: from frame 0 to its last frame
    double fps = 24.0;
    std::optional<Rational> constant_rate;  // --fps on a clip: the output's rate
    std::vector<host::Path> masks;
    std::vector<SourceLayer> sources;
    long reach = 0;  // frames on each side the automatic band reads (auto_smooth)

    long output_offset = 0;  // output file number minus input frame number (--start-number)

    std::string outputName(long frame) const { return output->forFrame(frame + output_offset); }
    // Seconds from frame 0 to `frame`: a clip's own frame times, else frame / fps.
    double frameTime(long frame) const { return clip ? clip->frameTime(frame) : static_cast<double>(frame) / fps; }
    // The input frame shown at `seconds`: a clip's frame whose time is the latest not after it (none
    // before the clip's first frame or a frame's length after its last), else the nearest frame.
    // The host's ticks round a frame's time by far less than the slack.
    std::optional<long> frameShownAt(double seconds) const {
        if (!clip) return std::lround(seconds * fps);
        const double length = 1.0 / clip->fps.value();
        const long last = clip->frame_count - 1;
        if (!clip->variable_rate) {
            const long frame = std::lround(seconds * clip->fps.value());
            if (frame < 0 || (clip->frame_count > 0 && frame > last)) return std::nullopt;
            return frame;
        }
        const double slack = length / 1000.0;
        if (seconds < -slack || last < 0 || seconds > clip->frameTime(last) + length - slack) return std::nullopt;
        long frame = clip->frameAt(seconds);
        while (frame > 0 && clip->frameTime(frame) > seconds + slack) --frame;
        while (frame < last && clip->frameTime(frame + 1) <= seconds + slack) ++frame;
        return frame;
    }
    long expectedFrames() const {
        if (!to_clip_end) return range.count();
        return clip->frame_count;
    }
};

std::string formatRate(const Rational& rate) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", rate.value());
    return text;
}

// The rate of an image sequence as a fraction for the encoder.
Rational rateOf(double fps) {
    const double milli = fps * 1000.0;
    Rational r = std::fabs(milli - std::round(milli)) < 1e-6 ? Rational{std::lround(milli), 1000}
                                                             : Rational{std::lround(fps * 1000000.0), 1000000};
    const long g = std::gcd(r.num, r.den);
    return {r.num / g, r.den / g};
}

// Files this run reads, to refuse an output that would replace one of them.
class InputFiles {
public:
    void add(const std::string& path) {
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0) ids_.insert({st.st_dev, st.st_ino});
    }
    bool contains(const std::string& path) const {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 && ids_.count({st.st_dev, st.st_ino}) != 0;
    }

private:
    std::set<std::pair<dev_t, ino_t>> ids_;
};

void refuseToReplaceInputs(const RenderPlan& plan) {
    constexpr long kChecked = 100000;  // frames of a pattern checked by name
    const long frames = std::min(plan.to_clip_end ? std::max(plan.clip->frame_count, 1L) : plan.range.count(),
                                 kChecked);
    InputFiles inputs;
    // The automatic band smoothed over frames also reads the frames within reach of the range.
    for (long f = std::max(0L, plan.range.first - plan.reach); f < plan.range.first + frames + plan.reach; ++f) {
        inputs.add(plan.input->forFrame(f));
        for (const SourceLayer& source : plan.sources) inputs.add(source.pattern->forFrame(f));
        if (!plan.input->hasPlaceholder() && plan.sources.empty()) break;
    }
    for (long f = plan.range.first; f < plan.range.first + frames; ++f) {
        const std::string name = plan.outputName(f);
        if (inputs.contains(name))
            throw UsageError("output '" + name + "' would replace an input of this render; choose another name");
        if (!plan.output->hasPlaceholder()) break;
    }
}

// The value a parameter keeps all through the render, or nothing when it is keyframed.
std::optional<double> constantValue(const ParamSettings& settings, int index) {
    const auto it = settings.byIndex().find(index);
    if (it == settings.byIndex().end()) return params::FindParam(index, false)->dephault;
    if (it->second.animated()) return std::nullopt;
    return it->second.keys[0].value;
}

// The most frames on each side that a frame of the render reads for its automatic band: auto_smooth's
// highest value where auto_threshold is on at any key; 0 when it never is.
long smoothingReach(const ParamSettings& settings) {
    const auto& chosen = settings.byIndex();
    const auto automatic = chosen.find(params::KRVN_AUTO_THRESHOLD);
    const auto smooth = chosen.find(params::KRVN_AUTO_SMOOTH);
    if (automatic == chosen.end() || smooth == chosen.end()) return 0;
    if (std::none_of(automatic->second.keys.begin(), automatic->second.keys.end(),
                     [](const Key& key) { return key.value != 0; }))
        return 0;
    long reach = 0;
    for (const Key& key : smooth->second.keys) reach = std::max(reach, std::lround(key.value));
    return reach;
}

// Inside mode keeps keys with low <= key < high: a band with low >= high selects nothing.
void noteEmptyBand(const ParamSettings& settings, Reporter& report) {
    const auto low = constantValue(settings, params::KRVN_THRESHOLD_LOW);
    const auto high = constantValue(settings, params::KRVN_THRESHOLD_HIGH);
    const auto effect = constantValue(settings, params::KRVN_EFFECT);
    if (low && high && effect && *effect == static_cast<double>(params::EffectChoice::Inside) && *low >= *high)
        report.note("threshold_low " + formatValue(*params::FindParam(params::KRVN_THRESHOLD_LOW, false), *low) +
                    " is not below threshold_high " +
                    formatValue(*params::FindParam(params::KRVN_THRESHOLD_HIGH, false), *high) +
                    ": effect=inside selects nothing and the picture comes back unchanged");
}

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
    if (!input_sequence) plan.clip = ProbeVideo(options.input);
    plan.video_output = !options.dump_params && IsVideoOutput(options.output, plan.clip.has_value());
    if (!(options.fps > 0) || !std::isfinite(options.fps)) throw UsageError("--fps must be a positive number");
    plan.fps = options.fps;
    if (plan.clip) {
        plan.fps = plan.clip->fps.value();
        if (options.fps_given) plan.constant_rate = rateOf(options.fps);
    }
    if (plan.constant_rate && !plan.video_output && !options.dump_params)
        throw UsageError("--fps with a clip sets the rate of a video output; '" + options.output + "' is not one");
    if (plan.constant_rate && plan.video_output)
        report.note("'" + options.output + "' runs at a constant " + formatRate(*plan.constant_rate) +
                    " fps: frames of the clip are repeated or dropped as ffmpeg's fps filter does");
    if (plan.video_output && plan.output->hasPlaceholder())
        throw UsageError("output '" + options.output +
                         "' is a video file, which holds every frame; drop the frame placeholder");

    const bool output_sequence = plan.output->hasPlaceholder() && !options.dump_params;
    if (!options.frames.empty()) {
        plan.range = parseFrameRange(options.frames);
    } else if (plan.clip) {
        plan.to_clip_end = true;
        plan.range = {0, std::max(plan.clip->frame_count, 1L) - 1};
    } else if (input_sequence) {
        plan.range = findFrames(*plan.input);
        report.info("frames " + std::to_string(plan.range.first) + "-" + std::to_string(plan.range.last) +
                    " found for '" + options.input + "'");
    } else if (output_sequence) {
        throw UsageError("'" + options.output + "' names a sequence; give the frames with --frames FIRST-LAST");
    }
    if (options.start_number) {
        if (!plan.output->hasPlaceholder() || plan.video_output)
            throw UsageError("--start-number numbers the files of an image sequence output (-o out_####.png)");
        plan.output_offset = *options.start_number - plan.range.first;
    }
    if (plan.clip && plan.clip->frame_count > 0 && plan.range.first >= plan.clip->frame_count)
        throw UsageError("--frames " + options.frames + ": '" + options.input + "' has " +
                         std::to_string(plan.clip->frame_count) + " frames (0 to " +
                         std::to_string(plan.clip->frame_count - 1) + ")");
    const bool many = plan.range.count() > 1 || input_sequence || (plan.to_clip_end && plan.clip->frame_count != 1);
    if (many && !plan.output->hasPlaceholder() && !plan.video_output && !options.dump_params)
        throw UsageError("output '" + options.output + "' needs a frame placeholder (# or %04d) to hold " +
                         (plan.to_clip_end ? "the clip's frames, or choose one with --frames N"
                                           : std::to_string(plan.range.count()) + " frames"));

    if (plan.premiere && !options.masks.empty())
        throw UsageError("--mask needs --host ae (Premiere Pro gives effects no masks)");
    if (plan.premiere && (!options.trigger_source.empty() || !options.sort_source.empty()))
        throw UsageError(
            "--trigger-source and --sort-source need --host ae (Premiere Pro gives effects no source layers)");

    for (std::size_t i = 0; i < options.masks.size(); ++i) {
        try {
            const SvgPath path = parseSvgPath(options.masks[i]);
            if (!path.closed)
                report.note("--mask " + std::to_string(i + 1) + " is open (no Z at its end); open masks limit nothing");
            plan.masks.push_back(toHostPath(path));
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
                                 (plan.masks.size() == 1
                                      ? "is 1 --mask"
                                      : "are " + std::to_string(plan.masks.size()) + " --mask paths"));
    }
    if (!plan.masks.empty() && !chosen.count(params::KRVN_MASK) && !chosen.count(params::KRVN_USE_ALL_MASKS))
        report.note("the masks limit nothing until --set mask=N or --set use_all_masks=on chooses them");
    noteEmptyBand(plan.settings, report);
    plan.reach = smoothingReach(plan.settings);

    if (!options.dump_params) {
        if (plan.video_output)
            checkOutputFolder(options.output);
        else
            checkWritable(plan.outputName(plan.range.first));
    }

    if (!options.trigger_source.empty())
        plan.sources.push_back(
            {"trigger source", params::KRVN_TRIGGER_SOURCE, FramePattern(options.trigger_source), {}, {}, 0});
    if (!options.sort_source.empty())
        plan.sources.push_back({"sort source", params::KRVN_SORT_SOURCE, FramePattern(options.sort_source), {}, {}, 0});
    for (SourceLayer& source : plan.sources) {
        if (source.pattern->hasPlaceholder() && options.frames.empty() && !plan.clip)
            throw UsageError("'" + source.pattern->name() +
                             "' names a sequence; give the frames with --frames FIRST-LAST");
        if (!options.dump_params) source.load(plan.range.first);
    }
    if (!options.dump_params) refuseToReplaceInputs(plan);
    return plan;
}

// Masks onto the input layer, then every setting as a value or as keyframes at their times
// (a keyframe at a frame lands at that frame's time).
std::vector<AEGP_MaskIDVal> applySettings(Host& host, const RenderPlan& plan) {
    std::vector<AEGP_MaskIDVal> mask_ids;
    for (const host::Path& path : plan.masks) mask_ids.push_back(host.AddMask(host::Mask{0, path}));
    for (const auto& [index, setting] : plan.settings.byIndex()) {
        // Captures the row, not the structured binding: clang 14 cannot capture bindings.
        auto hostValue = [&mask_ids, row = setting.row](double value) {
            if (row->type == PF_Param_PATH)
                return value >= 1 ? static_cast<double>(mask_ids[static_cast<std::size_t>(value) - 1]) : 0.0;
            return value;
        };
        if (!setting.animated()) {
            host.Set(index, hostValue(setting.keys[0].value));
        } else {
            for (const Key& key : setting.keys)
                host.SetKeyframe(index, key.seconds >= 0 ? key.seconds : plan.frameTime(key.frame),
                                 hostValue(key.value));
        }
    }
    return mask_ids;
}

std::unique_ptr<FrameSink> makeSink(const RenderOptions& options, const RenderPlan& plan, const Image& first) {
    if (!plan.video_output) return ImageSink(*plan.output, plan.output_offset, options.write);
    VideoSinkSettings settings;
    settings.path = options.output;
    settings.alpha = plan.clip ? plan.clip->has_alpha : first.had_alpha;
    settings.source_depth = plan.clip ? plan.clip->bit_depth : first.depth;
    settings.encode.codec = options.codec;
    settings.encode.crf = options.crf;
    settings.encode.extra_args = SplitArguments(options.encoder_args);
    if (plan.clip) {
        settings.fps = plan.clip->fps;
        settings.variable_rate = plan.clip->variable_rate;
        settings.time_base = plan.clip->time_base;
        settings.constant_rate = plan.constant_rate;
        settings.color = plan.clip->color;
        settings.source = StreamSource{options.input, &*plan.clip, std::nullopt};
        if (!plan.to_clip_end) {
            settings.source->range = plan.range;
            settings.chunk = plan.range;
        }
    } else {
        settings.fps = rateOf(plan.fps);
        settings.time_base = {settings.fps.den, settings.fps.num};
    }
    return VideoSink(settings);
}

}  // namespace

int runRender(const RenderOptions& options) {
    Reporter report(options.quiet);
    RenderPlan plan = planRender(options, report);

    const host::Personality personality = plan.premiere ? host::Personality::Premiere : host::Personality::AfterEffects;
    std::unique_ptr<Host> host = openEffect(options.effect.empty() ? defaultEffectPath() : options.effect, personality);
    host->SetThreadCount(options.threads);
    setFrameRate(*host, plan.fps);
    const std::vector<AEGP_MaskIDVal> mask_ids = applySettings(*host, plan);
    if (options.dump_params) {
        dumpParams(
            *host, plan.range, [&plan](long frame) { return plan.frameTime(frame); }, plan.premiere, mask_ids);
        return kExitOk;
    }

    applyFaultTestHook(*host);
    CancelOnInterrupt cancel_on_interrupt(*host);
    ProgressBar progress(!options.quiet, plan.expectedFrames());
    host->SetProgressListener([&progress](A_long current, A_long total) {
        noteProgressCallForTestHook();
        noteStageForTestHook(TestStage::Render);
        progress.update(current, total);
    });

    // Frames travel at the depth they are rendered at; a clip is decoded at 8 bits for 8-bit
    // renders and at 16 otherwise.
    int clip_depth = 8;
    if (plan.clip) clip_depth = options.depth ? options.depth : plan.clip->bit_depth > 8 ? 16 : 8;
    if (plan.premiere) clip_depth = 8;
    std::unique_ptr<FrameSource> source;
    if (plan.clip)
        source = ClipSource(options.input, *plan.clip, clip_depth == 8 ? 8 : 16,
                            plan.to_clip_end ? std::nullopt : std::optional<FrameRange>(plan.range), plan.reach);
    else if (plan.input->hasPlaceholder())
        source = SequenceSource(*plan.input, plan.reach);
    else
        source = StillSource(options.input, plan.range.count() > 1);

    // The automatic band smoothed over frames: the host asks for the input at the neighbours' times,
    // given at the depth of the frame rendered. A frame that cannot be read fails the render after
    // the frame's render (the provider runs inside the effect's call and must not throw).
    int depth = 8;
    std::exception_ptr near_failure;
    if (plan.reach > 0) {
        host->SetInputAt([&](double seconds) -> World {
            try {
                const std::optional<long> shown = plan.frameShownAt(seconds);
                const Image* image = shown ? source->near(*shown) : nullptr;
                if (image == nullptr) return World();
                if (image->depth == depth) return toWorld(*image);
                return toWorld(convertDepth(*image, depth));
            } catch (...) {
                if (!near_failure) near_failure = std::current_exception();
                return World();
            }
        });
    }

    std::unique_ptr<FrameSink> sink;
    std::vector<std::string> notes;
    FrameWorlds worlds;  // the pixel memory of one frame's worlds, for the next frame
    long rendered = 0;
    for (long frame = plan.range.first; plan.to_clip_end || frame <= plan.range.last; ++frame) {
        throwIfInterrupted();
        std::optional<Image> input = source->next(frame);
        if (!input) break;
        progress.startFrame(frame - plan.range.first);
        Image image = std::move(*input);
        const std::int64_t pts = image.pts;

        depth = options.depth ? options.depth : image.depth;
        if (plan.premiere && depth != 8) {
            report.noteOnce("--host premiere renders 8-bit frames only; rendering at 8 bits");
            depth = 8;
        }
        if (depth != image.depth) image = convertDepth(image, depth);

        for (SourceLayer& layer : plan.sources) {
            layer.load(frame);
            World pixels = toWorld(convertDepth(*layer.image, depth));
            if (layer.layer_id == 0) {
                layer.layer_id = host->AddLayer(std::move(pixels));
                host->Set(layer.param_index, layer.layer_id);
            } else {
                host->layer(layer.layer_id) = std::move(pixels);
            }
        }

        Image result = renderPixels(*host, plan.premiere, image, plan.frameTime(frame),
                                    "the render of frame " + std::to_string(frame), &worlds);
        if (near_failure) std::rethrow_exception(near_failure);
        // A clip's frame keeps its time; a sequence's frames are counted from the first.
        result.pts = plan.clip ? pts : frame - plan.range.first;
        if (!sink) sink = makeSink(options, plan, image);
        sink->write(frame, std::move(result), notes);
        for (const std::string& note : notes) report.noteOnce(note);
        notes.clear();
        ++rendered;
    }
    const std::string problem = source->problem();
    if (rendered == 0)
        throw UsageError("cannot read '" + options.input + "': " + (problem.empty() ? "no frame to render" : problem));
    if (!plan.to_clip_end && rendered < plan.range.count())
        throw UsageError("--frames " + options.frames + ": '" + options.input + "' ends at frame " +
                         std::to_string(plan.range.first + rendered - 1) +
                         (problem.empty() ? "" : " (" + problem + ")"));
    if (plan.to_clip_end && rendered < plan.clip->frame_count)
        throw UsageError("cannot decode '" + options.input + "': " +
                         (problem.empty() ? "the clip ends after " + std::to_string(rendered) + " of its " +
                                                std::to_string(plan.clip->frame_count) + " frames"
                                          : problem));
    if (!problem.empty()) report.note("the decoder reported while reading '" + options.input + "': " + problem);
    sink->finish();
    progress.finish();
    host->GlobalSetdown();

    if (plan.video_output)
        report.info("wrote " + std::to_string(rendered) + (rendered == 1 ? " frame" : " frames") + " to '" +
                    options.output + "'");
    else if (rendered == 1)
        report.info("wrote '" + plan.outputName(plan.range.first) + "'");
    else
        report.info("wrote " + std::to_string(rendered) + " frames to '" + options.output + "'");
    return kExitOk;
}

}  // namespace korvane::cli
