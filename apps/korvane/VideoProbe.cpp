// ffprobe's JSON read into a VideoInfo.
#include "VideoProbe.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>

#include "Errors.h"
#include "Subprocess.h"

namespace korvane::cli {
namespace {

using nlohmann::json;

constexpr int kMaxSide = 65535;
constexpr double kMaxFps = 1000.0;

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// ffprobe writes most numbers as strings ("24", "1.000000").
std::optional<double> number(const json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end()) return std::nullopt;
    double value = 0;
    if (it->is_number()) {
        value = it->get<double>();
    } else if (it->is_string()) {
        const std::string text = it->get<std::string>();
        char* end = nullptr;
        value = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0') return std::nullopt;
    } else {
        return std::nullopt;
    }
    if (!std::isfinite(value)) return std::nullopt;
    return value;
}

std::string text(const json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

Rational rational(const json& object, const char* key) {
    const std::string t = text(object, key);
    const std::size_t slash = t.find('/');
    if (slash == std::string::npos) return {};
    try {
        std::size_t used = 0;
        const long num = std::stol(t.substr(0, slash), &used);
        if (used != slash) return {};
        const long den = std::stol(t.substr(slash + 1), &used);
        if (used != t.size() - slash - 1) return {};
        return {num, den};
    } catch (const std::exception&) {
        return {};
    }
}

bool usableRate(const Rational& r) { return r.valid() && r.value() <= kMaxFps; }

int rotationOf(const json& stream) {
    double degrees = 0;
    if (const auto side = stream.find("side_data_list"); side != stream.end() && side->is_array()) {
        for (const json& entry : *side)
            if (entry.is_object())
                if (const auto r = number(entry, "rotation")) degrees = *r;
    }
    if (degrees == 0)
        if (const auto tags = stream.find("tags"); tags != stream.end() && tags->is_object())
            if (const auto r = number(*tags, "rotate")) degrees = *r;
    const long quarter = std::lround(degrees / 90.0);
    return static_cast<int>(((quarter % 4) + 4) % 4) * 90;
}

bool isStillImageFormat(const std::string& format_name) {
    return format_name == "image2" ||
           (format_name.size() > 5 && format_name.compare(format_name.size() - 5, 5, "_pipe") == 0);
}

}  // namespace

bool IsMovieExtension(const std::string& path) {
    static const char* const kMovies[] = {"mp4", "m4v",  "mov", "mkv", "webm", "avi", "mxf", "y4m", "mpg", "mpeg",
                                          "ts",  "m2ts", "mts", "flv", "ogv",  "wmv", "nut", "3gp", "dv"};
    std::string extension = lower(std::filesystem::path(path).extension().string());
    if (extension.empty()) return false;
    extension.erase(0, 1);
    return std::find(std::begin(kMovies), std::end(kMovies), extension) != std::end(kMovies);
}

std::optional<VideoInfo> ParseProbe(const std::string& streams_json) {
    const json probe = json::parse(streams_json, nullptr, false);
    if (probe.is_discarded() || !probe.is_object()) throw ProbeError{"ffprobe's answer is not JSON"};
    const json empty = json::object();
    const auto format_it = probe.find("format");
    const json& format = format_it != probe.end() && format_it->is_object() ? *format_it : empty;
    if (isStillImageFormat(text(format, "format_name"))) return std::nullopt;

    VideoInfo info;
    const json* video = nullptr;
    int video_streams = 0;
    if (const auto streams = probe.find("streams"); streams != probe.end() && streams->is_array()) {
        for (const json& stream : *streams) {
            if (!stream.is_object()) continue;
            const std::string type = text(stream, "codec_type");
            if (type == "audio") info.audio_codecs.push_back(text(stream, "codec_name"));
            if (type != "video" || video) continue;
            const auto disposition = stream.find("disposition");
            const bool cover_art = disposition != stream.end() && disposition->is_object() &&
                                   number(*disposition, "attached_pic").value_or(0) != 0;
            if (!cover_art) {
                video = &stream;
                info.video_index = video_streams;
            }
            ++video_streams;
        }
    }
    if (!video) throw ProbeError{"it has no video stream"};

    const double width = number(*video, "width").value_or(0), height = number(*video, "height").value_or(0);
    if (!(width >= 1 && height >= 1)) throw ProbeError{"its video stream has no frame size"};
    if (width > kMaxSide || height > kMaxSide)
        throw ProbeError{"frames larger than " + std::to_string(kMaxSide) + " pixels on a side are not supported"};
    info.rotation = rotationOf(*video);
    info.width = static_cast<int>(info.rotation % 180 == 0 ? width : height);
    info.height = static_cast<int>(info.rotation % 180 == 0 ? height : width);

    const Rational real = rational(*video, "r_frame_rate"), average = rational(*video, "avg_frame_rate");
    if (usableRate(real)) {
        info.fps = real;
        if (usableRate(average) && std::fabs(average.value() - real.value()) > 0.001 * real.value()) {
            info.variable_rate = true;
            info.fps = average;
        }
    } else if (usableRate(average)) {
        info.fps = average;
    } else {
        throw ProbeError{"its video stream has no usable frame rate"};
    }

    info.duration = number(*video, "duration").value_or(number(format, "duration").value_or(0));
    if (info.duration < 0) info.duration = 0;
    if (const auto frames = number(*video, "nb_frames"); frames && *frames >= 1 && *frames < 1e9) {
        info.frame_count = static_cast<long>(*frames);
        info.frame_count_exact = true;
    } else if (info.duration > 0 && info.duration * info.fps.value() < 1e9)
        info.frame_count = std::max(1L, std::lround(info.duration * info.fps.value()));

    info.pixel_format = text(*video, "pix_fmt");
    info.color = {text(*video, "color_primaries"), text(*video, "color_transfer"), text(*video, "color_space"),
                  text(*video, "color_range")};
    for (std::string* tag : {&info.color.primaries, &info.color.transfer, &info.color.matrix, &info.color.range})
        if (*tag == "unknown" || *tag == "unspecified" || *tag == "reserved") tag->clear();
    return info;
}

void ApplyPixelFormat(VideoInfo& info, const std::string& pixel_formats_json) {
    const json formats = json::parse(pixel_formats_json, nullptr, false);
    if (formats.is_discarded() || !formats.is_object()) return;
    const auto list = formats.find("pixel_formats");
    if (list == formats.end() || !list->is_array()) return;
    for (const json& format : *list) {
        if (!format.is_object() || text(format, "name") != info.pixel_format) continue;
        int depth = 0;
        if (const auto components = format.find("components"); components != format.end() && components->is_array())
            for (const json& component : *components)
                if (component.is_object()) {
                    // Only depths a component can have: anything else (1e300 would not even fit an int) is ignored.
                    const double bits = number(component, "bit_depth").value_or(0);
                    if (bits >= 1 && bits <= 32) depth = std::max(depth, static_cast<int>(bits));
                }
        if (depth > 0) info.bit_depth = depth;
        if (const auto flags = format.find("flags"); flags != format.end() && flags->is_object())
            info.has_alpha = number(*flags, "alpha").value_or(0) != 0;
        return;
    }
}

std::optional<VideoInfo> ProbeVideo(const std::string& path) {
    const bool movie = IsMovieExtension(path);
    auto run = [&](const std::vector<std::string>& argv, std::string& out) {
        Subprocess probe(argv, {.to_stdin = false, .from_stdout = true});
        out = probe.readAll();
        const int status = probe.wait();
        return status == 0 ? std::string() : probe.lastErrorLine();
    };
    std::string streams;
    std::string failure;
    try {
        failure = run({"ffprobe", "-v", "error", "-of", "json", "-show_streams", "-show_format", "file:" + path},
                      streams);
    } catch (const SpawnError& e) {
        if (!movie) return std::nullopt;
        throw UsageError("cannot read '" + path + "': clips need ffprobe, from the Debian package 'ffmpeg' (" +
                         (e.error == ENOENT ? std::string("not installed") : std::strerror(e.error)) + ")");
    }
    if (!failure.empty()) {
        if (!movie) return std::nullopt;
        throw UsageError("cannot read '" + path + "': " + failure);
    }
    std::optional<VideoInfo> info;
    try {
        info = ParseProbe(streams);
    } catch (const ProbeError& e) {
        throw UsageError("cannot read '" + path + "': " + e.reason);
    }
    if (!info) return std::nullopt;
    std::string formats;
    try {
        if (run({"ffprobe", "-v", "error", "-of", "json", "-show_pixel_formats"}, formats).empty())
            ApplyPixelFormat(*info, formats);
    } catch (const SpawnError&) {
    }
    return info;
}

}  // namespace korvane::cli
