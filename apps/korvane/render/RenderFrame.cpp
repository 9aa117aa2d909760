// The frame render `korvane render` and `korvane preview` share: pixels into host worlds, the
// effect, and the output world back into an image.
#include "render/RenderFrame.h"

#include <cmath>
#include <cstring>
#include <utility>

#include "Effect.h"
#include "Errors.h"
#include "Interrupt.h"

namespace korvane::cli {

using host::Host;
using host::World;

namespace {

// The rendered pixels, with the traits of the file the input came from.
Image toImage(const World& world, const Image& input) {
    if (world.order() != host::ChannelOrder::ARGB) return toImage(world.Converted(world.depth()), input);
    Image image = Image::unclearedLike(input, world.depth());
    for (int y = 0; y < image.height; ++y)
        std::memcpy(image.data.data() + y * image.rowBytes(), world.Row(y), image.rowBytes());
    return image;
}

}  // namespace

World toWorld(const Image& image, host::WorldStorage&& reuse) {
    World world(image.width, image.height, host::WorldFormat{image.depth, host::ChannelOrder::ARGB}, std::move(reuse));
    for (int y = 0; y < image.height; ++y)
        std::memcpy(world.Row(y), image.data.data() + y * image.rowBytes(), image.rowBytes());
    return world;
}

host::Path toHostPath(const SvgPath& svg) {
    host::Path path;
    for (const PathSegment& s : svg.segments) {
        switch (s.kind) {
            case PathSegment::Move: path.MoveTo(s.p[0].x, s.p[0].y); break;
            case PathSegment::Line: path.LineTo(s.p[0].x, s.p[0].y); break;
            case PathSegment::Quad: path.QuadTo(s.p[0].x, s.p[0].y, s.p[1].x, s.p[1].y); break;
            case PathSegment::Cubic: path.CubicTo(s.p[0].x, s.p[0].y, s.p[1].x, s.p[1].y, s.p[2].x, s.p[2].y); break;
            case PathSegment::Close: path.Close(); break;
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

// Renders one frame of pixels through the effect at `time`; throws on an effect error or Ctrl-C.
Image renderPixels(Host& host, bool premiere, const Image& image, double time, const std::string& what,
                   FrameWorlds* keep) {
    FrameWorlds scratch;
    FrameWorlds& worlds = keep ? *keep : scratch;
    PF_Err err = PF_Err_NONE;
    World input, output;
    if (premiere) {
        input = toWorld(image).Converted(8, host::ChannelOrder::BGRA);
        input.SetPremiereFormat(PrPixelFormat_BGRA_4444_8u);
        output = World(image.width, image.height, host::WorldFormat{8, host::ChannelOrder::BGRA},
                       std::move(worlds.output));
        output.SetPremiereFormat(PrPixelFormat_BGRA_4444_8u);
        err = host.RenderLegacy(time, input, output);
    } else {
        input = toWorld(image, std::move(worlds.input));
        output = World(image.width, image.height, host::WorldFormat{image.depth, host::ChannelOrder::ARGB},
                       std::move(worlds.output));
        err = host.RenderSmart(time, image.depth, input, output);
    }
    throwIfInterrupted();
    if (err == PF_Interrupt_CANCEL && host.cancelled()) throw Cancelled();
    if (err != PF_Err_NONE) throwEffectError(host, err, what);
    Image result = toImage(output, image);
    worlds.input = input.ReleaseStorage();
    worlds.output = output.ReleaseStorage();
    return result;
}

}  // namespace korvane::cli
