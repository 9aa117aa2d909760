// The one render path that `korvane render` and `korvane preview` share: a frame of pixels through
// the host and the effect at a time.
#pragma once

#include <string>

#include "Image.h"
#include "SvgPath.h"
#include "korvane/host/Host.h"

namespace korvane::cli {

host::Path toHostPath(const SvgPath& svg);

// Frame times are frame / fps seconds.
void setFrameRate(host::Host& host, double fps);

// Renders one frame of pixels through the effect at `time`; throws on an effect error or Ctrl-C,
// Cancelled when the host was cancelled. `what` names the render in messages.
Image renderPixels(host::Host& host, bool premiere, const Image& image, double time, const std::string& what);

}  // namespace korvane::cli
