// The full host's scaling for the copy callback: OpenImageIO's filtered resize.
#include <algorithm>
#include <vector>

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>

#include "Resample.h"
#include "WorldPixels.h"

namespace korvane::host {

namespace {

OIIO::TypeDesc OiioType(int depth) {
    return depth == 8 ? OIIO::TypeDesc::UINT8 : depth == 16 ? OIIO::TypeDesc::UINT16 : OIIO::TypeDesc::FLOAT;
}

}  // namespace

// Fits src onto dst (both whole views) with OpenImageIO's filtered resize, converting depth and
// channel order on the way out. 16-bit worlds are full at 32768, which OpenImageIO does not know;
// resizing is linear in the values, so the codes pass through scaled and come back unchanged.
PF_Err ResampleWorld(const PF_EffectWorld& src, PF_EffectWorld& dst, int threads) {
    const WorldFormat sf = FormatOf(src), df = FormatOf(dst);
    const OIIO::ImageSpec src_spec(src.width, src.height, 4, OiioType(sf.depth));
    const OIIO::ImageBuf in(src_spec, src.data, sf.PixelBytes(), src.rowbytes);
    OIIO::ImageBuf out(OIIO::ImageSpec(dst.width, dst.height, 4, OIIO::TypeDesc::FLOAT));
    if (!OIIO::ImageBufAlgo::resize(out, in, "", 0.0f, {}, threads)) return PF_Err_BAD_CALLBACK_PARAM;

    // OpenImageIO hands back normalised floats: integer codes come back divided by their type's maximum.
    const double to_code = sf.depth == 8 ? 255.0 : sf.depth == 16 ? 65535.0 : 1.0;
    const double ratio = to_code * ChannelMax(df.depth) / ChannelMax(sf.depth);
    std::vector<float> row(static_cast<size_t>(dst.width) * 4);
    for (A_long y = 0; y < dst.height; ++y) {
        out.get_pixels(OIIO::ROI(0, dst.width, y, y + 1), OIIO::TypeDesc::FLOAT, row.data());
        auto* d = static_cast<char*>(dst.data) + static_cast<size_t>(dst.rowbytes) * y;
        for (A_long x = 0; x < dst.width; ++x) {
            const float* s = &row[static_cast<size_t>(x) * 4];
            void* px = d + static_cast<size_t>(x) * df.PixelBytes();
            for (int i = 0; i < 4; ++i) {
                double v = s[MemoryIndex(sf.order, i)] * ratio;
                if (df.depth == 32) v = std::max(v, 0.0);  // filter ringing below black
                WriteChannel(px, df.depth, MemoryIndex(df.order, i), v);
            }
        }
    }
    return PF_Err_NONE;
}

}  // namespace korvane::host
