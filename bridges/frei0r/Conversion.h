// The bridge's own work on a frame: frei0r's packed RGBA to the host's 8-bit world and back, and
// the instance's parameter values into the host.
#pragma once

#include <cstdint>

#include "FilterParams.h"
#include "korvane/host/Host.h"

namespace korvane::frei0r {

// `in` holds world.width() * world.height() pixels, rows packed, bytes R G B A.
void RgbaToWorld(const uint32_t* in, host::World& world);
void WorldToRgba(const host::World& world, uint32_t* out);
// Sets every filter parameter of the host (registered parameters and looks) from kFilterParamCount
// frei0r values (finite, in [0, 1]), in filter order.
void ApplyParams(host::Host& host, const double* values);

}  // namespace korvane::frei0r
