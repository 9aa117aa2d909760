// Moving pixels between host worlds and pixel records: fill pixels vector (worlds to records) and
// fill world (records to the output world), at 8, 16 and 32 bits, in ARGB or BGRA channel order.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "korvane/sdk/Effect.h"
#include "korvane/sdk/Suites.h"
#include "sorting/KeyMath.h"
#include "sorting/PixelRecord.h"

namespace korvane::utils {
struct Info;
class GridSampler;
class Executor;
class WorkerScratch;
}  // namespace korvane::utils

namespace korvane::sources {

enum class ChannelOrder { ARGB, BGRA };

// What every FillRecord call reads. The world pointers are null for a source that is not in use.
struct RecordFillContext {
    const PF_EffectWorld* sorting = nullptr;
    const PF_EffectWorld* trigger_source = nullptr;
    const PF_EffectWorld* sort_source = nullptr;
    const PF_EffectWorld* constraint = nullptr;
    utils::PixelRecord* records = nullptr;
    int32_t width = 0;  // of the record grid (the input)
    int32_t height = 0;
    bool use_trigger_source = false;
    bool use_sort_source = false;
    bool use_constraint = false;
    bool bgra = false;
};

// What every FillWorld call reads. `width`, `height` are the output world's; the record grid has
// `record_width` x `record_height` records (the input's size); output pixels beyond it are left as
// they are.
struct WorldFillContext {
    PF_EffectWorld* output = nullptr;
    const utils::PixelRecord* records = nullptr;
    int32_t width = 0;
    int32_t height = 0;
    bool bgra = false;
    int32_t mode = 1;
    int32_t record_width = 0;
    int32_t record_height = 0;
    // When set, pixel (x, y) takes the record the sampler reads (a resampled grid read back
    // directly) instead of records[x + y × record_width].
    const utils::GridSampler* sampler = nullptr;
};

// Per-pixel functions with the host's iterate-callback shape; they read only the context, x and y.
template <typename Pixel, ChannelOrder Order>
PF_Err FillRecord(void* refcon, A_long x, A_long y, Pixel* in, Pixel* out);
template <typename Pixel, ChannelOrder Order>
PF_Err FillWorld(void* refcon, A_long x, A_long y, Pixel* in, Pixel* out);

// One per-pixel function for each bit depth, for one direction and channel order.
struct PixelFunctions {
    PF_IteratePixel8Func depth8;
    PF_IteratePixel16Func depth16;
    PF_IteratePixelFloatFunc depth32;
};

// A pixel as the row write gives it back from the colour it reads as: 8-bit pixels unchanged,
// 16-bit channels above 32768 at 32768, 32-bit values that are not finite at 0.
template <typename Pixel>
Pixel CanonicalPixel(const Pixel& p) {
    if constexpr (std::is_same_v<Pixel, PF_Pixel8>) {
        return p;
    } else if constexpr (std::is_same_v<Pixel, PF_Pixel16>) {
        const auto c = [](A_u_short v) { return static_cast<A_u_short>(v > 32768 ? 32768 : v); };
        return {c(p.alpha), c(p.red), c(p.green), c(p.blue)};
    } else {
        const auto c = [](float v) { return std::isfinite(v) ? v : 0.0f; };
        return {c(p.alpha), c(p.red), c(p.green), c(p.blue)};
    }
}

// Whole rows for lines sorted apart: `read` fills records [first, end) of image row y (record
// x − first for pixel x) as FillRecord fills them; `write` writes a row of records as FillWorld
// writes it. Null for bit depths other than 8, 16 and 32.
//
// Compact rows (utils::CompactRowsApply): `readCompact` reads pixels [0, width) of row y into
// `pixels` as the world holds them (width × pixelBytes bytes, the channel order kept), each brought
// to its CanonicalPixel (or not at all when `pixels` is null), with the trigger test and sort key of each
// computed as the line kernel computes them from the record ReadRow fills (the trigger test with
// noise[x] added to each channel, or 0 when `noise` is null), its colour rows in buffers of the
// worker's `scratch`; `writePixels` copies
// such a row of record_width pixels into output row y (as far as the output reaches), which is
// what WriteRow writes for those colours in the sort mode.
struct CompactKeys {
    utils::TriggerTest trigger;
    int32_t sortKey = utils::kSortLuminance;
    bool descending = true;
};
struct RowFunctions {
    void (*read)(const RecordFillContext& ctx, A_long y, A_long first, A_long end, utils::PixelRecord* out);
    void (*write)(const WorldFillContext& ctx, A_long y, const utils::PixelRecord* row);
    void (*readCompact)(const RecordFillContext& ctx, const CompactKeys& keys, A_long y, A_long width,
                        const float* noise, void* pixels, uint8_t* breaks, uint32_t* sortKeys,
                        utils::WorkerScratch& scratch);
    void (*writePixels)(const WorldFillContext& ctx, A_long y, const void* pixels);
    size_t pixelBytes;  // 4, 8 or 16
};
RowFunctions RowTransfers(int bit_depth, bool bgra);

// What every row of a frame whose lines are sorted apart (utils::PrepareRowSorting) needs. The
// `records` of both contexts are unused.
struct RowSortContext {
    RecordFillContext fill;
    WorldFillContext write;
    RowFunctions rows{};
    utils::Info* info = nullptr;
    bool compact = false;  // rows go through readCompact, SortCompactRow and writePixels
    CompactKeys keys;
};

// Row y from the worlds into a buffer of the worker's scratch, through the line kernel and into the
// output world. False with the reason in the message of Info.
bool SortImageRow(const RowSortContext& ctx, A_long y, utils::WorkerScratch& scratch);

PixelFunctions RecordFillers(bool bgra);
PixelFunctions WorldFillers(bool bgra);

// Runs `functions` for every pixel of `destination`: through the host's iterate suite of the bit
// depth, or under Premiere Pro as a loop over rows on `executor`. Other bit depths visit nothing.
// Throws PF_Err_BAD_CALLBACK_PARAM when the iterate suite cannot be acquired.
PF_Err Iterate(const PixelFunctions& functions, A_long progress_end, void* context, PF_EffectWorld* source,
               PF_EffectWorld* destination, int bit_depth, PF_InData* in_data, utils::Executor& executor);

// Channel conversions, exposed for tests.
float ChannelToFloat(uint8_t value);
float ChannelToFloat(uint16_t value);
uint8_t FloatToChannel8(float value);    // value x 255 truncated, clamped to 0..255, NaN to 0
uint16_t FloatToChannel16(float value);  // value x 32768 truncated, clamped to 0..32768, NaN to 0

}  // namespace korvane::sources
