// Scaling a world onto one of another size for the copy callback. The host's core leaves it to
// the library it is linked with: korvane_host scales with OpenImageIO, korvane_host_core (the
// frei0r bridge, which never hands the effect a layer of another size) refuses.
#pragma once

#include "korvane/sdk/Effect.h"

namespace korvane::host {

// Fits src onto dst (both whole views, any depths and channel orders); `threads` as the host's.
PF_Err ResampleWorld(const PF_EffectWorld& src, PF_EffectWorld& dst, int threads);

}  // namespace korvane::host
