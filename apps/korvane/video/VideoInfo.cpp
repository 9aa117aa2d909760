// A clip's video stream checked and interpreted: which frames a decoder gives, at what times
// and what rate. No library is called here.
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>

#include "video/VideoProbe.h"

namespace korvane::cli {
namespace {

constexpr int kMaxSide = 65535;
constexpr double kMaxFps = 1000.0;
constexpr std::int64_t kNoTime = std::numeric_limits<std::int64_t>::min();

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool usableRate(const Rational& r) { return r.valid() && r.value() <= kMaxFps; }

// Ticks from `from` to `to`, in floating point: any two 64-bit times have a difference there.
double since(std::int64_t to, std::int64_t from) { return static_cast<double>(to) - static_cast<double>(from); }

// Presentation times of the frames a decoder gives, ascending. A decoder drops what precedes the
// first keyframe in decode order and the frames shown before it (they refer to pictures that are
// not in the file); packets marked for discard are decoded for reference only.
std::vector<std::int64_t> shownFrames(const VideoFacts& facts, std::int64_t step) {
    std::vector<std::int64_t> shown;
    std::int64_t first_key = kNoTime;
    std::int64_t last = kNoTime;
    for (const PacketFacts& p : facts.packets) {
        std::int64_t t = p.pts != kNoTime ? p.pts : p.dts;
        // Streams without times (raw bitstreams) get the rate's: one step after the packet before.
        if (t == kNoTime && (last == kNoTime || __builtin_add_overflow(last, step, &t))) t = last == kNoTime ? 0 : last;
        last = t;
        if (p.key && first_key == kNoTime) first_key = t;
        if (p.discard || p.size <= 0 || first_key == kNoTime || t < first_key) continue;
        shown.push_back(t);
    }
    std::sort(shown.begin(), shown.end());
    return shown;
}

// True when every frame is within a tick of frame / rate (containers round times to their tick).
bool constantAt(const std::vector<std::int64_t>& pts, double tick, const Rational& rate) {
    if (!usableRate(rate)) return false;
    const double step = 1.0 / rate.value();
    const double tolerance = std::min(std::max(tick, 1e-3), 0.5 * step);
    for (std::size_t i = 0; i < pts.size(); ++i)
        if (std::fabs(since(pts[i], pts[0]) * tick - static_cast<double>(i) * step) > tolerance) return false;
    return true;
}

}  // namespace

double VideoInfo::frameTime(long frame) const {
    if (!variable_rate || frame_pts.empty()) return static_cast<double>(frame) / fps.value();
    const double tick = time_base.value();
    const auto count = static_cast<long>(frame_pts.size());
    if (frame < count) return since(frame_pts[static_cast<std::size_t>(frame)], frame_pts[0]) * tick;
    return since(frame_pts.back(), frame_pts[0]) * tick + static_cast<double>(frame - count + 1) / fps.value();
}

long VideoInfo::frameAt(double seconds) const {
    const long last = std::max(frame_count, 1L) - 1;
    if (!std::isfinite(seconds) || seconds <= 0) return 0;
    if (!variable_rate || frame_pts.empty())
        return std::clamp(static_cast<long>(std::llround(std::min(seconds * fps.value(), 1e15))), 0L, last);
    const double tick = time_base.value();
    const auto after = std::upper_bound(frame_pts.begin(), frame_pts.end(), seconds, [&](double s, std::int64_t pts) {
        return s < since(pts, frame_pts[0]) * tick;
    });
    long frame = static_cast<long>(after - frame_pts.begin());  // the first frame after `seconds`
    if (frame > last) return last;
    if (frame > 0 && seconds - frameTime(frame - 1) <= frameTime(frame) - seconds) --frame;
    return frame;
}

bool IsMovieExtension(const std::string& path) {
    static const char* const kMovies[] = {"mp4", "m4v",  "mov", "mkv", "webm", "avi", "mxf", "y4m", "mpg", "mpeg",
                                          "ts",  "m2ts", "mts", "flv", "ogv",  "wmv", "nut", "3gp", "dv"};
    std::string extension = lower(std::filesystem::path(path).extension().string());
    if (extension.empty()) return false;
    extension.erase(0, 1);
    return std::find(std::begin(kMovies), std::end(kMovies), extension) != std::end(kMovies);
}

VideoInfo DescribeVideo(const VideoFacts& facts) {
    if (!(facts.width >= 1 && facts.height >= 1)) throw ProbeError{"its video stream has no frame size"};
    if (facts.width > kMaxSide || facts.height > kMaxSide)
        throw ProbeError{"frames larger than " + std::to_string(kMaxSide) + " pixels on a side are not supported"};
    if (!facts.time_base.valid()) throw ProbeError{"its video stream has no time base"};

    VideoInfo info;
    info.stream_index = facts.stream_index;
    info.video_index = facts.video_index;
    const double rotation = std::isfinite(facts.rotation) ? facts.rotation : 0.0;
    const long quarter = std::lround(std::fmod(rotation, 360.0) / 90.0);
    info.rotation = static_cast<int>(((quarter % 4) + 4) % 4) * 90;
    info.width = info.rotation % 180 == 0 ? facts.width : facts.height;
    info.height = info.rotation % 180 == 0 ? facts.height : facts.width;
    info.time_base = facts.time_base;
    const double tick = facts.time_base.value();

    const Rational nominal = usableRate(facts.real_rate) ? facts.real_rate : facts.average_rate;
    const double ticks_per_frame = usableRate(nominal) ? 1.0 / (nominal.value() * tick) : 1.0;
    const std::int64_t step = ticks_per_frame >= 1 && ticks_per_frame < 1e15 ? std::llround(ticks_per_frame) : 1;
    info.frame_pts = shownFrames(facts, step);
    if (info.frame_pts.empty()) throw ProbeError{"its video stream holds no frame a decoder can show"};
    info.frame_count = static_cast<long>(info.frame_pts.size());

    // A constant rate where the times follow one (the nominal rate first: the average of a
    // short clip may be off), else the average rate of a variable one.
    if (constantAt(info.frame_pts, tick, facts.real_rate)) {
        info.fps = facts.real_rate;
    } else if (constantAt(info.frame_pts, tick, facts.average_rate)) {
        info.fps = facts.average_rate;
    } else {
        info.variable_rate = true;
        if (usableRate(facts.average_rate)) {
            info.fps = facts.average_rate;
        } else {
            const double span = since(info.frame_pts.back(), info.frame_pts.front()) * tick;
            const double rate = span > 0 ? static_cast<double>(info.frame_count - 1) / span : 0.0;
            if (!(rate > 0 && rate <= kMaxFps)) throw ProbeError{"its video stream has no usable frame rate"};
            info.fps = {std::lround(rate * 1000.0), 1000};
        }
    }
    if (!info.fps.valid()) throw ProbeError{"its video stream has no usable frame rate"};

    info.duration = std::isfinite(facts.duration) && facts.duration > 0 ? facts.duration : 0.0;
    info.pixel_format = facts.pixel_format;
    info.bit_depth = std::clamp(facts.bit_depth, 1, 32);
    info.has_alpha = facts.has_alpha;
    info.color = facts.color;
    info.audio_codecs = facts.audio_codecs;
    return info;
}

}  // namespace korvane::cli
