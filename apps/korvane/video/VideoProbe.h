// What a clip is: its video stream's size, rate, frames and their times, pixel format, rotation,
// colour tags and sound, read with the FFmpeg libraries.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
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
    std::string primaries, transfer, matrix, range;  // the libraries' names ("bt709", "tv"); empty when unknown
};

struct VideoInfo {
    int stream_index = 0;  // in the file
    int video_index = 0;   // among its video streams: the first that is not cover art
    int width = 0;         // as the viewer sees it: after the rotation
    int height = 0;
    // Frames per second: the constant rate, or for a variable rate the average one.
    Rational fps;
    bool variable_rate = false;  // the frames' times do not follow one constant rate
    long frame_count = 0;        // frames a decoder gives
    double duration = 0;         // seconds; 0 when unknown
    std::string pixel_format;
    int bit_depth = 8;  // deepest component of the pixel format
    bool has_alpha = false;
    int rotation = 0;  // degrees clockwise that turn the coded picture upright (0, 90, 180, 270)
    ColorTags color;
    std::vector<std::string> audio_codecs;                  // one per audio stream
    Rational time_base;                                     // of the video stream
    std::vector<std::int64_t> frame_pts;                    // each frame's presentation time in time_base, ascending
    std::vector<std::pair<std::string, std::string>> tags;  // the container's

    // Seconds from frame 0 to `frame`: frame / fps at a constant rate, else the frame's own time
    // (beyond the last frame, at the average rate).
    double frameTime(long frame) const;
    // The frame whose time is nearest `seconds`, within the clip.
    long frameAt(double seconds) const;
};

// One packet of the video stream as the demuxer gives it.
struct PacketFacts {
    std::int64_t pts = 0;  // in the stream's time base; INT64_MIN when the container gives none
    std::int64_t dts = 0;
    bool key = false;
    bool discard = false;  // before the start of an edit list: decoded for reference, never shown
    int size = 0;
};

// What the demuxer says about a clip's video stream before it is checked and interpreted.
struct VideoFacts {
    int stream_index = 0;
    int video_index = 0;
    int width = 0;  // coded
    int height = 0;
    double rotation = 0;  // degrees clockwise from the display matrix
    Rational real_rate, average_rate, time_base;
    double duration = 0;
    std::string pixel_format;
    int bit_depth = 8;
    bool has_alpha = false;
    ColorTags color;
    std::vector<std::string> audio_codecs;
    std::vector<PacketFacts> packets;  // in decode order
};

// Thrown for facts that cannot describe a usable clip.
struct ProbeError {
    std::string reason;
};

// Checks and interprets the facts: the frames a decoder gives are the packets that are not
// discarded, not empty, and neither before the first keyframe nor shown before it (the leading
// frames of an open group of pictures, whose references are missing). Throws ProbeError.
VideoInfo DescribeVideo(const VideoFacts& facts);

// Probes `path` in process. Returns nothing when the file is a still image, or when no demuxer
// reads it and its extension is not a movie's (the image reader then has its say). Throws
// UsageError when the file is no usable clip.
std::optional<VideoInfo> ProbeVideo(const std::string& path);

// Extensions that name movie containers ("mp4", "mkv", ...), lower case, no dot.
bool IsMovieExtension(const std::string& path);

}  // namespace korvane::cli
