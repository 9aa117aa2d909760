// The one render path that `korvane render` and `korvane preview` share: a frame of pixels through
// the host and the effect at a time.
#pragma once

#include <string>

#include "cli/SvgPath.h"
#include "image/Image.h"
#include "korvane/host/Host.h"
#include "korvane/host/World.h"

namespace korvane::cli {

// The image's pixels in an ARGB world of its depth; `reuse` lends the world its memory.
host::World toWorld(const Image& image, host::WorldStorage&& reuse = {});

host::Path toHostPath(const SvgPath& svg);

// Frame times are frame / fps seconds.
void setFrameRate(host::Host& host, double fps);

// The pixel memory of a frame's input and output worlds, kept for the next frame of the same size
// so that a clip's frames do not ask the system for fresh pages each time.
struct FrameWorlds {
    host::WorldStorage input, output;
};

// Renders one frame of pixels through the effect at `time`; throws on an effect error or Ctrl-C,
// Cancelled when the host was cancelled. `what` names the render in messages; `keep`, when given,
// lends and takes back the worlds' memory.
Image renderPixels(host::Host& host, bool premiere, const Image& image, double time, const std::string& what,
                   FrameWorlds* keep = nullptr);

}  // namespace korvane::cli
