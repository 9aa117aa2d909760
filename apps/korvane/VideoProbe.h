// What ffprobe says about a file: whether it is a clip, and the clip's size, rate, length, pixel
// format, rotation, colour tags and audio.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace korvane::cli {

struct Rational {
    long num = 0;
    long den = 1;
    double value() const { return den != 0 ? static_cast<double>(num) / static_cast<double>(den) : 0.0; }
    std::string text() const { return std::to_string(num) + "/" + std::to_string(den); }
    bool valid() const { return num > 0 && den > 0; }
    friend bool operator==(const Rational&, const Rational&) = default;
};

struct ColorTags {
    std::string primaries, transfer, matrix, range;  // ffprobe's names; empty when unknown
};

struct VideoInfo {
    int video_index = 0;  // which video stream ("0:v:N"): the first that is not cover art
    int width = 0;        // as the viewer sees it: after the rotation
    int height = 0;
    Rational fps;  // frames per second the clip is rendered and written at
    bool variable_rate = false;
    long frame_count = -1;           // -1: unknown
    bool frame_count_exact = false;  // the container counts its frames (otherwise from the duration)
    double duration = 0;             // seconds; 0 when unknown
    std::string pixel_format;
    int bit_depth = 8;  // deepest component of the pixel format
    bool has_alpha = false;
    int rotation = 0;  // degrees the display matrix turns the coded picture (0, 90, 180, 270)
    ColorTags color;
    std::vector<std::string> audio_codecs;  // one per audio stream
};

// Thrown by the parsers for JSON that does not describe a usable clip.
struct ProbeError {
    std::string reason;
};

// Reads `ffprobe -of json -show_streams -show_format` output. Returns nothing for a single still
// image (an image demuxer: "png_pipe", "image2", ...); throws ProbeError for a file without a
// video stream or with values that cannot be a clip (sizes, rates).
std::optional<VideoInfo> ParseProbe(const std::string& streams_json);
// Bit depth and alpha of a pixel format from `ffprobe -show_pixel_formats -of json` output.
void ApplyPixelFormat(VideoInfo& info, const std::string& pixel_formats_json);

// Probes `path` with ffprobe. Returns nothing when the file is a still image, or when ffprobe cannot
// read it and its extension is not a movie's (the image reader then has its say). Throws
// UsageError when ffmpeg is missing for a movie, or the file is no usable clip.
std::optional<VideoInfo> ProbeVideo(const std::string& path);

// Extensions that name movie containers ("mp4", "mkv", ...), lower case, no dot.
bool IsMovieExtension(const std::string& path);

}  // namespace korvane::cli
