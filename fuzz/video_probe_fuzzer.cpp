// The video prober's reading of what a demuxer says (nothing is decoded): sizes, rotation, rates,
// time base and packets of any value and order. DescribeVideo may throw ProbeError; a clip it
// answers must be one the renderer can use, and its frame times must be usable.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "video/VideoProbe.h"

namespace {

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "video probe fuzzer: %s\n", what.c_str());
    std::abort();
}

korvane::cli::Rational AnyRational(FuzzedDataProvider& data) {
    return {data.ConsumeIntegral<int>(), data.ConsumeIntegral<int>()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    FuzzedDataProvider data(bytes, size);
    korvane::cli::VideoFacts facts;
    facts.width = data.ConsumeIntegral<int>();
    facts.height = data.ConsumeIntegral<int>();
    facts.rotation = data.ConsumeFloatingPoint<double>();
    facts.real_rate = AnyRational(data);
    facts.average_rate = AnyRational(data);
    facts.time_base = AnyRational(data);
    facts.duration = data.ConsumeFloatingPoint<double>();
    facts.bit_depth = data.ConsumeIntegral<int>();
    while (data.remaining_bytes() > 0) {
        korvane::cli::PacketFacts packet;
        packet.pts = data.ConsumeBool() ? data.ConsumeIntegral<std::int64_t>() : INT64_MIN;
        packet.dts = data.ConsumeBool() ? data.ConsumeIntegral<std::int64_t>() : INT64_MIN;
        packet.key = data.ConsumeBool();
        packet.discard = data.ConsumeBool();
        packet.size = data.ConsumeIntegral<int>();
        facts.packets.push_back(packet);
    }

    korvane::cli::VideoInfo v;
    try {
        v = korvane::cli::DescribeVideo(facts);
    } catch (const korvane::cli::ProbeError& e) {
        if (e.reason.empty()) Fail("a probe error without a reason");
        return 0;
    }
    if (v.width < 1 || v.height < 1 || v.width > 65535 || v.height > 65535) Fail("an unusable frame size");
    if (!v.fps.valid() || !(v.fps.value() > 0) || v.fps.value() > 1000) Fail("an unusable frame rate " + v.fps.text());
    if (v.frame_count < 1 || static_cast<std::size_t>(v.frame_count) != v.frame_pts.size())
        Fail("a frame count of " + std::to_string(v.frame_count));
    if (!std::isfinite(v.duration) || v.duration < 0) Fail("a duration that is not a time");
    if (v.rotation != 0 && v.rotation != 90 && v.rotation != 180 && v.rotation != 270)
        Fail("a rotation of " + std::to_string(v.rotation));
    if (v.bit_depth < 1 || v.bit_depth > 32) Fail("a bit depth of " + std::to_string(v.bit_depth));
    // Frame times start at 0 and never run backwards, and every time finds a frame of the clip.
    double previous = 0;
    for (long frame = 0; frame < std::min(v.frame_count + 2, 64L); ++frame) {
        const double t = v.frameTime(frame);
        if (!std::isfinite(t) || t < previous || (frame == 0 && t != 0))
            Fail("frame " + std::to_string(frame) + " at time " + std::to_string(t));
        previous = t;
        const long at = v.frameAt(t);
        if (at < 0 || at >= v.frame_count) Fail("time " + std::to_string(t) + " finds frame " + std::to_string(at));
    }
    return 0;
}
