// Byte order: frei0r's RGBA read as a little-endian word is R | G << 8 | B << 16 | A << 24; the
// world's alpha, red, green, blue is the same word rotated left by one byte.
#include "Conversion.h"

#include <bit>
#include <cstring>

namespace korvane::frei0r {

static_assert(std::endian::native == std::endian::little, "the pixel rotations assume little-endian words");

void RgbaToWorld(const uint32_t* in, host::World& world) {
    const auto width = static_cast<size_t>(world.width());
    for (A_long y = 0; y < world.height(); ++y) {
        const uint32_t* src = in + static_cast<size_t>(y) * width;
        auto* dst = static_cast<uint32_t*>(world.Row(y));
        for (size_t x = 0; x < width; ++x) dst[x] = std::rotl(src[x], 8);
    }
}

void WorldToRgba(const host::World& world, uint32_t* out) {
    const auto width = static_cast<size_t>(world.width());
    for (A_long y = 0; y < world.height(); ++y) {
        const auto* src = static_cast<const uint32_t*>(world.Row(y));
        uint32_t* dst = out + static_cast<size_t>(y) * width;
        for (size_t x = 0; x < width; ++x) dst[x] = std::rotr(src[x], 8);
    }
}

void ApplyParams(host::Host& host, const double* values) {
    for (int i = 0; i < kFilterParamCount; ++i)
        host.Set(kFilterRows[i]->index, EffectValue(*kFilterRows[i], values[i]));
}

}  // namespace korvane::frei0r
