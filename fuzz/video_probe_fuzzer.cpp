// The video prober's reading of ffprobe's JSON (nothing is run): the stream and format answer, then
// the pixel-format answer, split at the first NUL byte. ParseProbe may answer nothing (a still
// image), a clip, or throw ProbeError; a clip it answers must be one the renderer can use.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "VideoProbe.h"

namespace {

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "video probe fuzzer: %s\n", what.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string all(reinterpret_cast<const char*>(data), size);
    const size_t split = all.find('\0');
    const std::string streams = all.substr(0, split);
    const std::string formats = split == std::string::npos ? std::string() : all.substr(split + 1);
    std::optional<korvane::cli::VideoInfo> info;
    try {
        info = korvane::cli::ParseProbe(streams);
    } catch (const korvane::cli::ProbeError& e) {
        if (e.reason.empty()) Fail("a probe error without a reason");
        return 0;
    }
    if (!info) return 0;
    korvane::cli::ApplyPixelFormat(*info, formats);
    const korvane::cli::VideoInfo& v = *info;
    if (v.width < 1 || v.height < 1 || v.width > 65535 || v.height > 65535) Fail("an unusable frame size");
    if (!v.fps.valid() || !(v.fps.value() > 0) || v.fps.value() > 1000) Fail("an unusable frame rate " + v.fps.text());
    if (v.frame_count != -1 && v.frame_count < 1) Fail("a frame count of " + std::to_string(v.frame_count));
    if (!std::isfinite(v.duration) || v.duration < 0) Fail("a duration that is not a time");
    if (v.rotation != 0 && v.rotation != 90 && v.rotation != 180 && v.rotation != 270) Fail("a rotation of " + std::to_string(v.rotation));
    if (v.bit_depth < 1 || v.bit_depth > 64) Fail("a bit depth of " + std::to_string(v.bit_depth));
    if (v.video_index < 0) Fail("a negative stream index");
    return 0;
}
