// Pixel reads, writes and conversions on any world, shared by World and the host's callbacks.
#pragma once

#include "korvane/host/World.h"

namespace korvane::host {

// Writes the format into the reserved fields of a world (and its flags: DEEP at 16 bits).
void TagWorld(PF_EffectWorld& world, const WorldFormat& format);
// One channel at memory position i of a pixel, as its raw code (float at 32 bits).
double ReadChannel(const void* pixel, int depth, int i);
// Rounds to nearest and clamps to the code range at 8 and 16 bits; stores floats as they are.
void WriteChannel(void* pixel, int depth, int i, double code);
double ChannelMax(int depth);  // 255, 32768 or 1.0
// Memory position of alpha (0), red (1), green (2) or blue (3).
int MemoryIndex(ChannelOrder order, int argb_index);
Color ReadArgb(const PF_EffectWorld& world, const WorldFormat& format, A_long x, A_long y);
void WriteArgb(PF_EffectWorld& world, const WorldFormat& format, A_long x, A_long y, const Color& c);
// Copies the overlapping area, converting depth and channel order.
void ConvertPixels(const PF_EffectWorld& src, PF_EffectWorld& dst);

}  // namespace korvane::host
