// korvane: pixel-sorts images and image sequences with the Korvane effect, driven through the host
// library exactly as a video host drives it.
#include <malloc.h>
#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>

#include "Errors.h"
#include "Interrupt.h"
#include "cli/Commands.h"
#include "cli/ParamSettings.h"
#include "preview/Preview.h"
#include "video/LibAv.h"

namespace {

using namespace korvane::cli;

// Positive finite numbers, said plainly (CLI11's own check prints the largest double as its bound).
const CLI::Validator kGreaterThanZero(
    [](std::string& text) -> std::string {
        char* end = nullptr;
        const double value = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0' || !(value > 0) || !std::isfinite(value)) return "must be greater than 0";
        return {};
    },
    "> 0");

std::string parameterList() {
    std::string text;
    for (const std::string& name : settableNames()) text += (text.empty() ? "" : " ") + name;
    return text;
}

const char* kMainFooter = R"(
Examples:
  korvane render data/coffee.png -o sorted.png --set threshold_low=0.25 --set threshold_high=0.8 --set angle=90
  korvane render clip.mp4 -o sorted.mp4 --set angle=90 --set threshold_low=0.3@0s,0.6@2s
  korvane render shot_####.png --frames 1-48 -o out_####.png --set angle=0@1,90@48
  korvane join chunk_*.mkv -o sorted.mp4 --audio-from clip.mp4
  korvane params
  korvane preview data/coffee.png

Exit codes: 0 done, 2 bad usage or unreadable input, 3 the effect returned an error, 130 Ctrl-C,
143 SIGTERM, 129 SIGHUP. Run 'korvane render --help' for every option.)";

std::string renderFooter() {
    return R"(
Parameters (--set NAME=VALUE, in the units a user sees; 'korvane params' says what each one does and
lists its range and default):
  )" + parameterList() +
           R"(
  thresholds 0-1; percent sliders in percent (resolution=50); angles in degrees; integers;
  checkboxes 0/1/on/off/true/false; popups by 1-based value or name (trigger=hue, mode=gradient);
  mask=N picks the N-th --mask. Keyframes: VALUE@FRAME,VALUE@FRAME... or VALUE@SECONDSs
  (0.3@0s,0.6@2.5s); numbers interpolate linearly, popups and checkboxes hold; time = frame / fps.

Images: PNG, JPEG, TIFF, EXR and whatever else OpenImageIO reads. 8-bit files render at 8 bits,
16-bit at 16, float at 32 (--depth converts first). Pixel values pass unchanged: no alpha
premultiplication, no colour conversion. The output keeps the render depth where its format can
(PNG 8/16, TIFF 8/16/32, EXR 32), otherwise it is converted with a note. Outputs are written to a
temporary file and renamed, so a failed or cancelled render never leaves half a file.

Video: any file with a video stream (mp4, mov, mkv, webm, avi, gif, ...) is a clip, read and
written in process with the FFmpeg libraries. Frame N is the N-th frame a decoder shows (frames a
stream-copy cut holds only for reference do not count) and renders at its own time in the clip;
--frames selects input frames. 8-bit clips render at 8 bits, deeper ones at 16. The output's
extension picks the codec: .mp4 H.264 (CRF 16, 8-bit 4:2:0 for every player), .mov ProRes 4444
(alpha kept), .mkv FFV1 (lossless, exact), .webm VP9. --codec names another encoder, which gets the
pixel format it is made for (4:2:0 at the source's depth where it has one); --crf and
--encoder-args (options of the encoder or the container, as ffmpeg spells them) override. Every
frame keeps its time, so a variable frame rate stays variable and the sound in sync; --fps R with a
clip writes a constant R fps instead, repeating or dropping frames as ffmpeg's fps filter does
(each output frame shows the input frame nearest its time). Kept: sound (re-encoded to the
container's usual codec where it cannot hold the source's), subtitles (text converted to the
container's text format where needed), timecode, colour tags, chapters, metadata, cover art and,
in .mkv, attachments; a rotated clip is sorted and written upright. Whatever the container cannot
hold, and any depth or alpha it loses, is said in a note. An image pattern output (-o f_####.png)
takes a clip's frames; a sequence input makes a clip at --fps. Some frames of a clip into .mkv
(--frames 48-95 -o part.mkv) make a chunk for 'korvane join': tagged with its frames, without sound.

Examples:
  korvane render in.png -o out.png --set threshold_low=0.3 --set threshold_high=0.9 --set angle=90
  korvane render in.png -o out.png --preset look.json --set reverse=on      (the later value wins)
  korvane render in.png -o out.png --mask "M 10 10 H 140 V 90 H 10 Z" --set mask=1
  korvane render in.png -o out.png --sort-source gradient.png --set priority=source
  korvane render in.exr -o out.exr --depth 32 --threads 4
  korvane render shot_%04d.png --frames 0-47 --fps 24 -o out_%04d.png --set angle=0@0,90@47
  korvane render clip.mov -o sorted.mov --set angle=90 --set threshold_low=0.3@0s,0.6@2.5s
  korvane render clip.mp4 -o sorted.mkv --frames 48-95
  korvane render clip.mp4 -o sorted.mp4 --crf 20 --encoder-args "-preset slow -tune film"
  korvane render clip.mp4 -o frames_####.png --frames 0-23
  korvane render shot_####.png --frames 1-48 --fps 25 -o shot.mp4
  korvane render in.png -o out.png --host premiere
  korvane render in.png -o x.png --frames 0-2 --set angle=0@0,90@2 --dump-params

Exit codes: 0 done, 2 bad usage, unreadable input or a failed decode or encode, 3 the effect
returned an error (its code and the log file are printed), 130 Ctrl-C, 143 SIGTERM, 129 SIGHUP.)";
}

}  // namespace

// A failure while the command line is set up (out of memory) ends the program like any other.
int main(int argc, char** argv) try {
    CatchInterrupts();
    av::KeepLogOffTerminal();
    // A clip keeps a few frames of many megabytes in flight. By default glibc gives each back to
    // the kernel when it is freed and faults the next one in page by page, which costs a clip as
    // much processor time as the effect; frames up to 32 MiB stay in the heap instead.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    CLI::App app("korvane: pixel-sorts images, image sequences and video clips with the Korvane effect.", "korvane");
    app.footer(kMainFooter);
    app.require_subcommand(1);
    app.set_version_flag("--version", "korvane " KORVANE_VERSION);

    RenderOptions render;
    CLI::App* render_cmd = app.add_subcommand("render",
                                              "Render an image, an image sequence or a clip through the effect.");
    render_cmd->footer(renderFooter());
    render_cmd
        ->add_option("INPUT", render.input,
                     "Input image, a sequence with '#' or '%04d' in its name (e.g. shot_####.png), or a clip")
        ->required();
    render_cmd
        ->add_option("-o,--output", render.output,
                     "Output image (e.g. out.png), a pattern for sequences (out_####.png) or a clip (out.mp4)")
        ->required();
    std::vector<std::string> sets, presets;
    CLI::Option* set_opt = render_cmd->add_option(
        "--set", sets,
        "NAME=VALUE or NAME=VALUE@FRAME,... sets a parameter (repeatable; a later setting wins), "
        "e.g. --set resolution=50 --set trigger=hue --set angle=0@0,90@48");
    set_opt->allow_extra_args(false)
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->type_name("NAME=VALUE");
    CLI::Option* preset_opt = render_cmd->add_option(
        "--preset", presets,
        "JSON object of parameter names and values, e.g. {\"angle\": 90, \"mode\": \"gradient\"} "
        "(repeatable; applied in command-line order with --set)");
    preset_opt->allow_extra_args(false)
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->type_name("FILE|JSON");
    render_cmd->add_option("--trigger-source", render.trigger_source,
                           "Image whose pixels decide where spans form (e.g. --trigger-source depth.png)");
    render_cmd->add_option("--sort-source", render.sort_source,
                           "Image whose pixels give the sort order (e.g. --sort-source gradient.png)");
    render_cmd
        ->add_option(
            "--mask", render.masks,
            "SVG path data of a mask in pixels from the top left: M L H V C Q Z, absolute or relative; closed "
            "with Z, open without (repeatable; choose one with --set mask=N or all with --set use_all_masks=on), "
            "e.g. --mask \"M 10 10 L 140 10 L 75 90 Z\"")
        ->allow_extra_args(false)
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->type_name("PATH");
    render_cmd
        ->add_option("--host", render.host,
                     "Host to imitate: ae (smart render, masks, sources) or premiere "
                     "(legacy render, 8-bit BGRA only)")
        ->check(CLI::IsMember({"ae", "premiere"}))
        ->capture_default_str();
    render_cmd
        ->add_option("--threads", render.threads, "Render threads, 0 for every hardware thread (e.g. --threads 1)")
        ->check(CLI::Range(0, 1024))
        ->capture_default_str();
    render_cmd
        ->add_option("--depth", render.depth, "Render at 8, 16 or 32 bits per channel instead of the input's depth")
        ->check(CLI::IsMember({8, 16, 32}));
    render_cmd->add_option("--effect", render.effect, "Path of Korvane.so (default: next to the korvane executable)");
    render_cmd->add_option("--frames", render.frames, "Frames FIRST-LAST of a sequence or a clip, e.g. --frames 0-47");
    CLI::Option* fps_opt =
        render_cmd
            ->add_option("--fps", render.fps,
                         "Frames per second of an image sequence (time = frame / fps, and the rate of a clip made from "
                         "it); with a clip, a constant rate for the video output, frames repeated or dropped")
            ->check(kGreaterThanZero)
            ->capture_default_str();
    render_cmd->add_option(
        "--codec", render.codec,
        "Video outputs: encoder by name, with the pixel format it is made for (e.g. --codec libx265)");
    render_cmd
        ->add_option("--crf", render.crf,
                     "Video outputs: constant rate factor of the encoder (e.g. --crf 20; "
                     "default 16 for .mp4, 31 for .webm)")
        ->check(CLI::Range(0, 63));
    render_cmd->add_option("--encoder-args", render.encoder_args,
                           "Video outputs: options of the encoder or the container as ffmpeg spells them, "
                           "e.g. --encoder-args \"-preset slow -movflags +faststart\"");
    render_cmd
        ->add_option("--start-number", render.start_number,
                     "Number of the first output file of a sequence (e.g. --frames 48-95 --start-number 1)")
        ->check(CLI::Range(0L, 999999999L));
    render_cmd->add_option("--quality", render.write.jpeg_quality, "JPEG quality, 1 to 100")
        ->check(CLI::Range(1, 100))
        ->capture_default_str();
    render_cmd
        ->add_option("--png-compression", render.write.png_compression,
                     "PNG compression, 0 (none, fastest) to 9 (smallest)")
        ->check(CLI::Range(0, 9))
        ->capture_default_str();
    render_cmd->add_flag("--exr-half", render.write.exr_half, "EXR: write 16-bit half floats instead of 32-bit floats");
    render_cmd->add_option("--exr-compression", render.write.exr_compression, "EXR compression")
        ->check(CLI::IsMember({"none", "rle", "zip", "zips", "piz", "pxr24", "b44", "b44a", "dwaa", "dwab"}))
        ->capture_default_str();
    render_cmd->add_flag("-q,--quiet", render.quiet, "Print nothing but errors");
    render_cmd->add_flag("--dump-params", render.dump_params,
                         "Debugging aid: print every parameter's value at each frame (keyframes resolved) and "
                         "render nothing; -o is not needed");

    JoinOptions join;
    CLI::App* join_cmd = app.add_subcommand("join",
                                            "Join lossless chunks of one clip, rendered apart, into the final file.");
    join_cmd
        ->add_option("CHUNK", join.chunks, "Chunks written by 'korvane render SOURCE --frames FIRST-LAST -o CHUNK.mkv'")
        ->required();
    join_cmd->add_option("-o,--output", join.output, "Output clip; its extension picks the codec as for render")
        ->required();
    join_cmd
        ->add_option("--audio-from", join.audio_from,
                     "The clip the chunks were rendered from: its sound, tags and length")
        ->required();
    join_cmd->add_option("--codec", join.codec, "Encoder by name (e.g. --codec libx265)");
    join_cmd->add_option("--crf", join.crf, "Constant rate factor of the encoder (e.g. --crf 20)")
        ->check(CLI::Range(0, 63));
    join_cmd->add_option("--encoder-args", join.encoder_args,
                         "Options of the encoder or the container as ffmpeg spells them, e.g. \"-preset slow\"");
    join_cmd->add_flag("-q,--quiet", join.quiet, "Print nothing but errors");
    join_cmd->footer(
        "\nChunks may come in any order; frames missing, held twice or cut short are refused (exit 2).\n"
        "Example:\n  korvane render clip.mp4 --frames 0-119 -o c0.mkv; korvane render clip.mp4 --frames 120-239 -o "
        "c1.mkv\n"
        "  korvane join c0.mkv c1.mkv -o sorted.mp4 --audio-from clip.mp4");

    ParamsOptions params;
    CLI::App* params_cmd = app.add_subcommand("params", "List the parameters as the effect registers them.");
    params_cmd->add_option("--host", params.host, "ae or premiere")
        ->check(CLI::IsMember({"ae", "premiere"}))
        ->capture_default_str();
    params_cmd->add_option("--effect", params.effect, "Path of Korvane.so (default: next to the korvane executable)");
    params_cmd->footer("\nExample:\n  korvane params --host premiere");

    PreviewOptions preview;
    CLI::App* preview_cmd = app.add_subcommand("preview",
                                               "Tune a look live in a browser page, then copy its render command.");
    preview_cmd->add_option("INPUT", preview.input, "Input image, image sequence (shot_####.png) or clip")->required();
    preview_cmd->add_option("--port", preview.port, "Port to listen on (0: any free port)")
        ->check(CLI::Range(0, 65535))
        ->capture_default_str();
    preview_cmd->add_flag("--no-open", preview.no_open, "Print the address only; do not open a browser");
    preview_cmd
        ->add_option("--host", preview.address,
                     "Address to listen on (default 127.0.0.1: this machine only; the token still guards it)")
        ->capture_default_str();
    preview_cmd->add_option("--effect", preview.effect, "Path of Korvane.so (default: next to the korvane executable)");
    preview_cmd->footer(
        "\nThe first line of output is the page's address, http://127.0.0.1:PORT/?token=TOKEN; Ctrl-C stops.\n"
        "Example:\n  korvane preview data/coffee.png");

    // -o is optional for --dump-params only; check it after parsing.
    render_cmd->get_option("--output")->required(false);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::string message = e.what();
        std::fprintf(stderr, "korvane: %s (see 'korvane%s --help')\n", message.c_str(),
                     render_cmd->parsed()    ? " render"
                     : join_cmd->parsed()    ? " join"
                     : preview_cmd->parsed() ? " preview"
                     : params_cmd->parsed()  ? " params"
                                             : "");
        return kExitUsage;
    }

    try {
        if (render_cmd->parsed()) {
            render.fps_given = fps_opt->count() > 0;
            if (render.output.empty() && !render.dump_params)
                throw UsageError("render needs an output: -o OUTPUT (see 'korvane render --help')");
            std::size_t next_set = 0, next_preset = 0;
            for (const CLI::Option* option : render_cmd->parse_order()) {
                if (option == set_opt && next_set < sets.size()) render.settings.emplace_back(false, sets[next_set++]);
                if (option == preset_opt && next_preset < presets.size())
                    render.settings.emplace_back(true, presets[next_preset++]);
            }
            return runRender(render);
        }
        if (join_cmd->parsed()) return runJoin(join);
        if (preview_cmd->parsed()) return runPreview(preview);
        return runParams(params);
    } catch (const CliError& e) {
        std::fprintf(stderr, "korvane: %s\n", e.what());
        return e.exitCode();
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "korvane: out of memory; try a smaller picture or fewer --threads\n");
        return kExitUsage;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "korvane: %s\n", e.what());
        return kExitUsage;
    }
} catch (const std::exception& e) {
    std::fprintf(stderr, "korvane: %s\n", e.what());
    return kExitUsage;
} catch (...) {
    std::fprintf(stderr, "korvane: unexpected failure\n");
    return kExitUsage;
}
