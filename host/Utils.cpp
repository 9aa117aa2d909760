// The utility callbacks: copy (a source of another size goes to ResampleWorld), fill and
// transfer_rect.
#include <algorithm>
#include <cstring>
#include <vector>

#include "CallbackEntry.h"
#include "Resample.h"
#include "WorldPixels.h"

namespace korvane::host {

namespace {

PF_Rect Clip(const PF_Rect& r, const PF_EffectWorld& w) {
    return {std::max(r.left, 0), std::max(r.top, 0), std::min(r.right, w.width), std::min(r.bottom, w.height)};
}

bool Empty(const PF_Rect& r) { return r.left >= r.right || r.top >= r.bottom; }

// A view of a rectangle of a world as a world of its own.
PF_EffectWorld SubWorld(const PF_EffectWorld& w, const PF_Rect& r) {
    PF_EffectWorld sub = w;
    sub.data = static_cast<char*>(w.data) + static_cast<size_t>(w.rowbytes) * r.top +
               static_cast<size_t>(r.left) * FormatOf(w).PixelBytes();
    sub.width = r.right - r.left;
    sub.height = r.bottom - r.top;
    return sub;
}

PF_Err Copy(PF_ProgPtr ref, PF_EffectWorld* src, PF_EffectWorld* dst, PF_Rect* src_r, PF_Rect* dst_r) {
    const auto [ctx, entry_err] = EnterCall(ref, "copy");
    if (entry_err) return entry_err;
    if (!src || !dst || !src->data || !dst->data) return PF_Err_BAD_CALLBACK_PARAM;
    const PF_Rect sr = Clip(src_r ? *src_r : PF_Rect{0, 0, src->width, src->height}, *src);
    const PF_Rect dr = Clip(dst_r ? *dst_r : PF_Rect{0, 0, dst->width, dst->height}, *dst);
    if (Empty(sr) || Empty(dr)) return PF_Err_NONE;
    const PF_EffectWorld s = SubWorld(*src, sr);
    PF_EffectWorld d = SubWorld(*dst, dr);
    if (s.width == d.width && s.height == d.height) {
        ConvertPixels(s, d);
        return PF_Err_NONE;
    }
    try {
        return ResampleWorld(s, d, ctx->host->threads);
    } catch (const std::bad_alloc&) {
        return PF_Err_OUT_OF_MEMORY;
    }
}

PF_Err Fill(PF_ProgPtr ref, const PF_Pixel* color, const PF_Rect* dst_rect, PF_EffectWorld* world) {
    if (const PF_Err entry_err = EnterCall(ref, "fill").err) return entry_err;
    if (!world || !world->data) return PF_Err_BAD_CALLBACK_PARAM;
    const PF_Rect r = Clip(dst_rect ? *dst_rect : PF_Rect{0, 0, world->width, world->height}, *world);
    if (Empty(r)) return PF_Err_NONE;
    const WorldFormat f = FormatOf(*world);
    const PF_Pixel c = color ? *color : PF_Pixel{};
    const double scale = ChannelMax(f.depth) / 255.0;
    const double argb[4] = {c.alpha * scale, c.red * scale, c.green * scale, c.blue * scale};
    std::vector<char> pixel(static_cast<size_t>(f.PixelBytes()));
    for (int i = 0; i < 4; ++i) WriteChannel(pixel.data(), f.depth, MemoryIndex(f.order, i), argb[i]);
    for (A_long y = r.top; y < r.bottom; ++y) {
        char* row = static_cast<char*>(world->data) + static_cast<size_t>(world->rowbytes) * y;
        for (A_long x = r.left; x < r.right; ++x) {
            std::memcpy(row + static_cast<size_t>(x) * f.PixelBytes(), pixel.data(), pixel.size());
        }
    }
    return PF_Err_NONE;
}

PF_Err TransferRect(PF_ProgPtr ref, PF_Quality /*quality*/, PF_ModeFlags /*m_flags*/, PF_Field /*field*/,
                    const PF_Rect* src_rec, const PF_EffectWorld* src, const PF_CompositeMode* mode,
                    const PF_MaskWorld* mask, A_long dest_x, A_long dest_y, PF_EffectWorld* dst) {
    if (const PF_Err entry_err = EnterCall(ref, "transfer_rect").err) return entry_err;
    if (!src || !dst || !src->data || !dst->data || !mode || mask) return PF_Err_BAD_CALLBACK_PARAM;
    if (mode->xfer != PF_Xfer_COPY && mode->xfer != PF_Xfer_ADD) return PF_Err_BAD_CALLBACK_PARAM;
    const WorldFormat sf = FormatOf(*src), df = FormatOf(*dst);
    if (sf.depth != df.depth || sf.order != df.order) return PF_Err_BAD_CALLBACK_PARAM;

    PF_Rect sr = Clip(src_rec ? *src_rec : PF_Rect{0, 0, src->width, src->height}, *src);
    // Where the source rectangle lands, clipped to the destination (and the source moved along).
    const A_long dx = dest_x - sr.left, dy = dest_y - sr.top;
    sr = {std::max(sr.left, -dx), std::max(sr.top, -dy), std::min(sr.right, dst->width - dx),
          std::min(sr.bottom, dst->height - dy)};
    if (Empty(sr)) return PF_Err_NONE;

    const double max = ChannelMax(df.depth);
    const double opacity = mode->opacity / 255.0;
    const int alpha = MemoryIndex(df.order, 0);
    for (A_long y = sr.top; y < sr.bottom; ++y) {
        const char* s = static_cast<const char*>(src->data) + static_cast<size_t>(src->rowbytes) * y;
        char* d = static_cast<char*>(dst->data) + static_cast<size_t>(dst->rowbytes) * (y + dy);
        for (A_long x = sr.left; x < sr.right; ++x) {
            const char* sp = s + static_cast<size_t>(x) * sf.PixelBytes();
            char* dp = d + static_cast<size_t>(x + dx) * df.PixelBytes();
            for (int i = 0; i < 4; ++i) {
                if (mode->rgb_only && i == alpha) continue;
                const double a = ReadChannel(sp, sf.depth, i);
                double v = a;
                if (mode->xfer == PF_Xfer_ADD) {
                    v = ReadChannel(dp, df.depth, i) + a * opacity;
                    if (df.depth != 32) v = std::min(v, max);
                }
                WriteChannel(dp, df.depth, i, v);
            }
        }
    }
    return PF_Err_NONE;
}

}  // namespace

const PF_UtilCallbacks kUtilCallbacks = {&Copy, &Fill, &TransferRect};

}  // namespace korvane::host
