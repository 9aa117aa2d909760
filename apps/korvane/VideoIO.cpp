// ffmpeg command lines, and the threads that feed and drain its pipes.
#include "VideoIO.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>

#include "Errors.h"
#include "Interrupt.h"

namespace korvane::cli {
namespace {

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string extensionOf(const std::string& path) {
    std::string extension = lower(std::filesystem::path(path).extension().string());
    return extension.empty() ? extension : extension.substr(1);
}

std::string seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", s);
    return text;
}

const char* pipeFormat(int depth) { return depth == 8 ? "rgba" : "rgba64le"; }

// The encoder, arguments and pixel format an extension gets unless the user chose another codec.
struct CodecDefault {
    std::string codec;
    std::vector<std::string> args;
    int crf = -1;        // the default quality, -1 where the codec takes no CRF
    bool yuv = false;    // converts from RGB, so needs a colour matrix
    bool alpha = false;  // can keep alpha
    std::string pixel_format;
};

CodecDefault codecFor(const std::string& extension, const OutputFrames& frames, bool alpha,
                      std::vector<std::string>& notes) {
    const bool odd = frames.width % 2 != 0 || frames.height % 2 != 0;
    if (extension == "mp4" || extension == "m4v") {
        if (odd)
            notes.push_back("H.264 4:2:0 needs even sides; " + std::to_string(frames.width) + "x" +
                            std::to_string(frames.height) + " is written as 4:4:4, which some players cannot show");
        return {"libx264", {"-preset", "medium"}, 16, true, false, odd ? "yuv444p" : "yuv420p"};
    }
    if (extension == "mov")
        return {"prores_ks", {"-profile:v", "4444", "-vendor", "apl0"}, -1, true,
                true,        alpha ? "yuva444p10le" : "yuv444p10le"};
    if (extension == "mkv") {
        const std::string format = frames.depth == 8 ? (alpha ? "bgra" : "bgr0") : (alpha ? "gbrap16le" : "gbrp16le");
        return {"ffv1", {"-level", "3", "-g", "1", "-slicecrc", "1"}, -1, false, true, format};
    }
    if (extension == "webm")
        return {"libvpx-vp9", {"-b:v", "0", "-row-mt", "1"}, 31, true, true, alpha ? "yuva420p" : "yuv420p"};
    return {};  // ffmpeg's own choice for the container
}

bool takesCrf(const std::string& codec) {
    static const std::set<std::string> kCrf = {"libx264",    "libx264rgb", "libx265",   "libvpx",
                                               "libvpx-vp9", "libaom-av1", "libsvtav1", "librav1e"};
    return kCrf.count(codec) != 0;
}

// The scale filter's name for a matrix that ffprobe reports.
std::string scaleMatrix(const std::string& matrix) {
    if (matrix == "bt709" || matrix == "fcc" || matrix == "smpte170m" || matrix == "smpte240m") return matrix;
    if (matrix == "bt470bg") return "bt470";
    if (matrix == "bt2020nc" || matrix == "bt2020c") return "bt2020";
    return {};
}

// Audio codecs each container holds; others are re-encoded. Containers not listed take any.
struct AudioRule {
    std::set<std::string> holds;
    std::string fallback;  // encoder; empty: drop the audio
    std::string label;
};

std::optional<AudioRule> audioRuleFor(const std::string& extension) {
    if (extension == "mp4" || extension == "m4v")
        return AudioRule{{"aac", "mp3", "ac3", "eac3", "alac", "opus", "flac"}, "aac", "AAC"};
    if (extension == "mov")
        return AudioRule{{"aac", "mp3", "ac3", "alac", "pcm_s16le", "pcm_s16be", "pcm_s24le", "pcm_s24be", "pcm_f32le"},
                         "aac",
                         "AAC"};
    if (extension == "webm") return AudioRule{{"opus", "vorbis"}, "libopus", "Opus"};
    if (extension == "gif") return AudioRule{{}, "", ""};
    return std::nullopt;
}

}  // namespace

bool IsVideoOutput(const std::string& path, bool input_is_clip) {
    return IsMovieExtension(path) || (input_is_clip && extensionOf(path) == "gif");
}

std::vector<std::string> SplitArguments(const std::string& text) {
    std::vector<std::string> args;
    std::string current;
    bool in_word = false;
    char quote = 0;
    for (const char c : text) {
        if (quote) {
            if (c == quote)
                quote = 0;
            else
                current += c;
        } else if (c == '\'' || c == '"') {
            quote = c;
            in_word = true;
        } else if (c == ' ' || c == '\t' || c == '\n') {
            if (in_word) args.push_back(current);
            current.clear();
            in_word = false;
        } else {
            current += c;
            in_word = true;
        }
    }
    if (quote) throw UsageError("--encoder-args '" + text + "': a quote is not closed");
    if (in_word) args.push_back(current);
    return args;
}

std::vector<std::string> BuildDecoderCommand(const std::string& path, const VideoInfo& info, int depth,
                                             const std::optional<FrameRange>& range) {
    std::vector<std::string> argv = {"ffmpeg",       "-nostdin", "-hide_banner",
                                     "-v",           "error",    "-i",
                                     "file:" + path, "-map",     "0:v:" + std::to_string(info.video_index)};
    if (range)
        argv.insert(argv.end(), {"-vf", "trim=start_frame=" + std::to_string(range->first) +
                                            ":end_frame=" + std::to_string(range->last + 1)});
    argv.insert(argv.end(), {"-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt", pipeFormat(depth), "pipe:1"});
    return argv;
}

EncoderCommand BuildEncoderCommand(const std::string& temp_path, const OutputFrames& frames,
                                   const std::optional<AudioSource>& audio, const EncodeOptions& options) {
    EncoderCommand command;
    std::vector<std::string>& argv = command.argv;
    const std::string extension = extensionOf(temp_path);
    argv = {"ffmpeg",
            "-nostdin",
            "-hide_banner",
            "-v",
            "error",
            "-f",
            "rawvideo",
            "-pix_fmt",
            pipeFormat(frames.depth),
            "-s",
            std::to_string(frames.width) + "x" + std::to_string(frames.height),
            "-framerate",
            frames.fps.text(),
            "-i",
            "pipe:0"};
    // A chunk's sound would only be dropped by the join, which takes it from the source once; and a
    // stream copy cut at a time starts at the source's keyframe before it, seconds early.
    const bool chunk = frames.chunk && extension == "mkv";
    if (audio && !chunk) {
        if (audio->start > 0) argv.insert(argv.end(), {"-ss", seconds(audio->start)});
        if (audio->duration > 0) argv.insert(argv.end(), {"-t", seconds(audio->duration)});
        argv.insert(argv.end(), {"-i", "file:" + audio->path, "-map_metadata", "1"});
    }
    argv.insert(argv.end(), {"-map", "0:v:0"});

    CodecDefault chosen = codecFor(extension, frames, frames.alpha, command.notes);
    if (!options.codec.empty() && options.codec != chosen.codec) {
        // Another encoder: ffmpeg picks its pixel format; a CRF only where the user gives one.
        chosen = {options.codec, {}, -1, false, false, ""};
    }
    if (!chosen.codec.empty()) argv.insert(argv.end(), {"-c:v", chosen.codec});
    argv.insert(argv.end(), chosen.args.begin(), chosen.args.end());
    if (options.crf) {
        if (takesCrf(chosen.codec) || (chosen.codec != "ffv1" && chosen.codec != "prores_ks" && !options.codec.empty()))
            argv.insert(argv.end(), {"-crf", std::to_string(*options.crf)});
        else
            command.notes.push_back("--crf does not apply to " + (chosen.codec.empty() ? "this format" : chosen.codec) +
                                    "; ignored");
    } else if (chosen.crf >= 0) {
        argv.insert(argv.end(), {"-crf", std::to_string(chosen.crf)});
    }
    if (frames.alpha && !chosen.pixel_format.empty() && !chosen.alpha)
        command.notes.push_back(chosen.codec + " has no alpha channel; alpha dropped");

    const ColorTags& color = frames.color;
    if (chosen.yuv) {
        // RGB to YCbCr with the source's matrix and range, or HD's when the source had none.
        std::string matrix = scaleMatrix(color.matrix);
        std::string matrix_tag = color.matrix;
        const std::string range = !matrix.empty() && color.range == "pc" ? "pc" : "tv";
        if (matrix.empty()) matrix = matrix_tag = "bt709";
        argv.insert(argv.end(), {"-vf",
                                 "scale=out_color_matrix=" + matrix + ":out_range=" + range +
                                     ":flags=accurate_rnd,format=" + chosen.pixel_format,
                                 "-colorspace", matrix_tag, "-color_range", range});
    }
    if (!chosen.pixel_format.empty()) argv.insert(argv.end(), {"-pix_fmt", chosen.pixel_format});
    if (!color.primaries.empty()) argv.insert(argv.end(), {"-color_primaries", color.primaries});
    if (!color.transfer.empty()) argv.insert(argv.end(), {"-color_trc", color.transfer});

    if (audio && !chunk && !audio->codecs.empty()) {
        argv.insert(argv.end(), {"-map", "1:a"});
        const std::optional<AudioRule> rule = audioRuleFor(extension);
        std::string kept;
        for (const std::string& codec : audio->codecs)
            if (rule && !rule->holds.count(codec)) kept = codec;
        if (kept.empty()) {
            argv.insert(argv.end(), {"-c:a", "copy"});
        } else if (rule->fallback.empty()) {
            argv.pop_back();
            argv.pop_back();
            command.notes.push_back("." + extension + " holds no sound; audio dropped");
        } else {
            argv.insert(argv.end(), {"-c:a", rule->fallback});
            command.notes.push_back("." + extension + " cannot hold " + kept + " audio; re-encoded to " + rule->label);
        }
    }
    if (chunk)
        argv.insert(argv.end(),
                    {"-metadata", std::string(kChunkFirstFrameTag) + "=" + std::to_string(frames.chunk->first),
                     "-metadata", std::string(kChunkFrameCountTag) + "=" + std::to_string(frames.chunk->count())});
    argv.insert(argv.end(), options.extra_args.begin(), options.extra_args.end());
    argv.insert(argv.end(), {"-y", "file:" + temp_path});
    return command;
}

// ---- Reading

VideoReader::VideoReader(const std::string& path, const VideoInfo& info, int depth,
                         const std::optional<FrameRange>& range)
    : VideoReader(path, BuildDecoderCommand(path, info, depth, range), info.width, info.height, depth, info.has_alpha) {
}

VideoReader::VideoReader(const std::string& label, const std::vector<std::string>& decoder_argv, int width, int height,
                         int depth, bool alpha)
    : path_(label) {
    try {
        decoder_ = std::make_unique<Subprocess>(decoder_argv,
                                                Subprocess::Pipes{.to_stdin = false, .from_stdout = true});
    } catch (const SpawnError& e) {
        throw UsageError("cannot read '" + label + "': cannot run ffmpeg, from the Debian package 'ffmpeg' (" +
                         (e.error == ENOENT ? std::string("not installed") : std::strerror(e.error)) + ")");
    }
    const std::size_t frame_bytes = RgbaFrameBytes(width, height, depth);
    thread_ = std::thread([this, frame_bytes, width, height, depth, alpha] {
        std::vector<std::byte> buffer(frame_bytes);
        for (;;) {
            const std::size_t got = decoder_->read(buffer.data(), buffer.size());
            if (got == 0) break;
            if (got < buffer.size()) {
                failure_ = "the decoder ended in the middle of a frame";
                break;
            }
            if (!frames_.push(FromRgba(buffer.data(), width, height, depth, alpha))) break;
        }
        frames_.close();
    });
}

VideoReader::~VideoReader() {
    frames_.close(true);
    decoder_->stop();
    if (thread_.joinable()) thread_.join();
}

std::optional<Image> VideoReader::next() {
    std::optional<Image> frame = frames_.pop(throwIfInterrupted);
    if (frame) return frame;
    thread_.join();
    const int status = decoder_->wait();
    throwIfInterrupted();
    if (status != 0) {
        const std::string line = decoder_->lastErrorLine();
        throw UsageError("cannot decode '" + path_ + "': " + (line.empty() ? "ffmpeg failed" : line));
    }
    if (!failure_.empty()) throw UsageError("cannot decode '" + path_ + "': " + failure_);
    return std::nullopt;
}

// ---- Writing

VideoWriter::VideoWriter(const std::string& final_path, const OutputFrames& frames,
                         const std::optional<AudioSource>& audio, const EncodeOptions& options,
                         std::vector<std::string>& notes)
    : final_path_(final_path), frames_(frames), file_(final_path) {
    EncoderCommand command = BuildEncoderCommand(file_.tempPath(), frames, audio, options);
    notes.insert(notes.end(), command.notes.begin(), command.notes.end());
    try {
        encoder_ = std::make_unique<Subprocess>(command.argv,
                                                Subprocess::Pipes{.to_stdin = true, .from_stdout = false});
    } catch (const SpawnError& e) {
        throw UsageError("cannot write '" + final_path + "': cannot run ffmpeg, from the Debian package 'ffmpeg' (" +
                         (e.error == ENOENT ? std::string("not installed") : std::strerror(e.error)) + ")");
    }
    thread_ = std::thread([this] {
        std::vector<std::byte> buffer;
        while (std::optional<Image> image = queue_.pop()) {
            ToRgba(*image, buffer);
            if (!encoder_->write(buffer.data(), buffer.size())) {
                broken_ = true;
                queue_.close(true);
                break;
            }
        }
    });
}

VideoWriter::~VideoWriter() {
    queue_.close(true);
    encoder_->stop();
    if (thread_.joinable()) thread_.join();
    encoder_->wait();
    // file_ then removes the temporary file unless finish() renamed it.
}

void VideoWriter::write(Image image) {
    if (broken_) fail();
    if (image.depth != frames_.depth) image = convertDepth(image, frames_.depth);
    if (!queue_.push(std::move(image), throwIfInterrupted)) fail();
}

void VideoWriter::finish() {
    queue_.close();
    thread_.join();
    encoder_->closeStdin();
    const int status = encoder_->wait();
    throwIfInterrupted();
    if (broken_ || status != 0) fail();
    file_.commit();
}

void VideoWriter::fail() {
    queue_.close(true);
    if (thread_.joinable()) thread_.join();
    const int status = encoder_->wait();
    const std::string line = encoder_->lastErrorLine();
    throw UsageError("cannot encode '" + final_path_ +
                     "': " + (!line.empty() ? line : "ffmpeg stopped (exit status " + std::to_string(status) + ")"));
}

}  // namespace korvane::cli
