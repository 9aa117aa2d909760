// Pixel transfer: one template over the pixel type and channel order, one switch on the bit depth
// where the host's iteration is chosen. Per-pixel records, record rows and compact rows live in
// this one file (over 500 lines) because they share the pixel traits and row readers, which the
// compiler must see inline to vectorise the row loops.
#include "sources/PixelTransfer.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <exception>
#include <type_traits>
#include <vector>

#include "KRVN_Errors.h"
#include "LogsController.h"
#include "korvane/sdk/SuiteHandler.h"
#include "sorting/BitCast.h"
#include "sorting/Executor.h"
#include "sorting/Info.h"
#include "sorting/Intervals.h"
#include "sorting/LineKernel.h"

namespace korvane::sources {
namespace {

// A colour as the records hold it. The core's float pixel and the host's lie alike in memory, so a
// colour read from a float world and one written back keep their bytes.
using Color = utils::FloatPixel;
static_assert(sizeof(Color) == sizeof(PF_PixelFloat) && offsetof(Color, alpha) == offsetof(PF_PixelFloat, alpha) &&
              offsetof(Color, red) == offsetof(PF_PixelFloat, red) &&
              offsetof(Color, green) == offsetof(PF_PixelFloat, green) &&
              offsetof(Color, blue) == offsetof(PF_PixelFloat, blue));

// 1/255 as the single-precision constant the conversion is defined with.
const float kByteToFloat = utils::BitCast<float>(0x3B808081u);
constexpr float kWordToFloat = 1.0f / 32768.0f;

template <typename Pixel>
struct PixelTraits;

template <>
struct PixelTraits<PF_Pixel8> {
    using Channel = uint8_t;
    static float ToFloat(Channel c) { return ChannelToFloat(c); }
    static Channel FromFloat(float v) { return FloatToChannel8(v); }
};

template <>
struct PixelTraits<PF_Pixel16> {
    using Channel = uint16_t;
    static float ToFloat(Channel c) { return ChannelToFloat(c); }
    static Channel FromFloat(float v) { return FloatToChannel16(v); }
};

template <>
struct PixelTraits<PF_PixelFloat> {
    using Channel = float;
    // A value that is not a number (or infinite) would reach every pixel that a gradient, blur or
    // feather mixes it into; it is read as 0 so that it stays in its own pixel.
    static float ToFloat(Channel c) { return std::isfinite(c) ? c : 0.0f; }
    static Channel FromFloat(float v) { return v; }
};

template <typename Pixel>
const Pixel& PixelAt(const PF_EffectWorld& world, A_long x, A_long y) {
    x = std::clamp<A_long>(x, 0, world.width - 1);
    y = std::clamp<A_long>(y, 0, world.height - 1);
    const auto* row = static_cast<const char*>(world.data) + static_cast<std::ptrdiff_t>(y) * world.rowbytes;
    return reinterpret_cast<const Pixel*>(row)[x];
}

// Host pixel to alpha, red, green, blue floats; BGRA memory holds the four values reversed.
template <typename Pixel, ChannelOrder Order>
Color ToRecordColor(const Pixel& p) {
    using T = PixelTraits<Pixel>;
    if constexpr (Order == ChannelOrder::ARGB) {
        return {T::ToFloat(p.alpha), T::ToFloat(p.red), T::ToFloat(p.green), T::ToFloat(p.blue)};
    } else {
        return {T::ToFloat(p.blue), T::ToFloat(p.green), T::ToFloat(p.red), T::ToFloat(p.alpha)};
    }
}

template <typename Pixel, ChannelOrder Order>
Pixel ToHostPixel(const Color& c) {
    using T = PixelTraits<Pixel>;
    if constexpr (Order == ChannelOrder::ARGB) {
        return {T::FromFloat(c.alpha), T::FromFloat(c.red), T::FromFloat(c.green), T::FromFloat(c.blue)};
    } else {
        return {T::FromFloat(c.blue), T::FromFloat(c.green), T::FromFloat(c.red), T::FromFloat(c.alpha)};
    }
}

template <typename Pixel>
bool ConstraintCovers(const PF_EffectWorld& constraint, A_long x, A_long y) {
    // The first channel in memory, as stored: alpha in ARGB worlds.
    return PixelAt<Pixel>(constraint, x, y).alpha > 0;
}

// Premiere Pro: the rows of the destination on the executor, each row left to right.
template <typename Pixel, typename Fn>
PF_Err IterateRows(Fn function, void* context, const PF_EffectWorld& destination, utils::Executor& executor) {
    const A_long width = destination.width;
    return executor.Run(std::max<A_long>(destination.height, 0), [function, context, width](int64_t y, int) {
        for (A_long x = 0; x < width; ++x) function(context, x, static_cast<A_long>(y), nullptr, nullptr);
        return int32_t{PF_Err_NONE};
    });
}

template <typename Suite, typename Fn>
PF_Err IterateWithSuite(PF_InData* in_data, const char* suite_name, Fn function, A_long progress_end, void* context,
                        PF_EffectWorld* source, PF_EffectWorld* destination) {
    SuiteCache suites(in_data->pica_basicP);
    const Suite* suite = suites.Get<Suite>(suite_name, kPFIterateSuiteVersion1);
    return suite->iterate(in_data, 0, progress_end, source, nullptr, context, function, destination);
}

}  // namespace

float ChannelToFloat(uint8_t value) { return static_cast<float>(value) * kByteToFloat; }
float ChannelToFloat(uint16_t value) { return static_cast<float>(value) * kWordToFloat; }

uint8_t FloatToChannel8(float value) {
    const float scaled = value * 255.0f;
    if (!(scaled > 0.0f)) return 0;  // negative, zero and NaN
    if (scaled >= 255.0f) return 255;
    return static_cast<uint8_t>(scaled);
}

uint16_t FloatToChannel16(float value) {
    const float scaled = value * 32768.0f;
    if (!(scaled > 0.0f)) return 0;
    if (scaled >= 32768.0f) return 32768;
    return static_cast<uint16_t>(scaled);
}

namespace {

// The record of pixel (x, y) of the worlds in the context.
template <typename Pixel, ChannelOrder Order>
void ReadRecord(const RecordFillContext& ctx, A_long x, A_long y, utils::PixelRecord& record) {
    const Color color = ToRecordColor<Pixel, Order>(PixelAt<Pixel>(*ctx.sorting, x, y));
    // A source that is the "sorting" world itself gives the colour just read.
    Color trigger{};
    if (ctx.use_trigger_source) {
        trigger = ctx.trigger_source == ctx.sorting
                      ? color
                      : ToRecordColor<Pixel, Order>(PixelAt<Pixel>(*ctx.trigger_source, x, y));
    }
    Color sort_source;
    if (ctx.use_sort_source) {
        sort_source = ctx.sort_source == ctx.sorting
                          ? color
                          : ToRecordColor<Pixel, Order>(PixelAt<Pixel>(*ctx.sort_source, x, y));
    } else {
        sort_source = {0.0f, color.red, color.green, color.blue};
    }
    // Every field stored directly: a whole record built on the stack and copied reloads it across
    // the flag byte just stored, which stalls the store forwarding on every pixel.
    record.color = color;
    record.trigger = trigger;
    record.sortSource = sort_source;
    record.spanPosition = 0.0f;
    record.spanWeight = 0.0f;
    record.inMask = ctx.use_constraint && ConstraintCovers<Pixel>(*ctx.constraint, x, y);
}

// Pixel (x, y) of the output world from its record.
template <typename Pixel, ChannelOrder Order>
void WritePixel(const WorldFillContext& ctx, A_long x, A_long y, const utils::PixelRecord& record) {
    // Mask and Map write a grey of the span weight or position with full alpha.
    const float grey = ctx.mode == 6 ? record.spanWeight : record.spanPosition;
    const Pixel value = (ctx.mode == 6 || ctx.mode == 7) ? ToHostPixel<Pixel, Order>({1.0f, grey, grey, grey})
                                                         : ToHostPixel<Pixel, Order>(record.color);
    auto* row = static_cast<char*>(ctx.output->data) + static_cast<std::ptrdiff_t>(y) * ctx.output->rowbytes;
    reinterpret_cast<Pixel*>(row)[x] = value;
}

// Row y of a world (clamped into it, as PixelAt clamps), with the columns clamped per read. Taken
// once per row: the record stores in the loops below may alias any object (a record holds a byte),
// so values read through the context would otherwise be read again for every pixel.
template <typename Pixel>
class RowOf {
public:
    RowOf(const PF_EffectWorld* world, A_long y) {
        if (world == nullptr) return;
        y = std::clamp<A_long>(y, 0, world->height - 1);
        pixels_ = reinterpret_cast<const Pixel*>(static_cast<const char*>(world->data) +
                                                 static_cast<std::ptrdiff_t>(y) * world->rowbytes);
        last_ = world->width - 1;
    }
    const Pixel& operator[](A_long x) const { return pixels_[std::clamp<A_long>(x, 0, last_)]; }
    // The row's pixels when it has at least `width` of them (no clamping needed), else null.
    const Pixel* Covering(A_long width) const { return pixels_ != nullptr && width <= last_ + 1 ? pixels_ : nullptr; }

private:
    const Pixel* pixels_ = nullptr;
    A_long last_ = 0;
};

template <typename Pixel, ChannelOrder Order>
void ReadRow(const RecordFillContext& ctx, A_long y, A_long first, A_long end, utils::PixelRecord* out) {
    const bool use_trigger = ctx.use_trigger_source;
    const bool use_sort = ctx.use_sort_source;
    const bool use_constraint = ctx.use_constraint;
    const bool trigger_is_sorting = ctx.trigger_source == ctx.sorting;
    const bool sort_is_sorting = ctx.sort_source == ctx.sorting;
    const RowOf<Pixel> sorting(ctx.sorting, y);
    const RowOf<Pixel> trigger(use_trigger && !trigger_is_sorting ? ctx.trigger_source : nullptr, y);
    const RowOf<Pixel> sort_source(use_sort && !sort_is_sorting ? ctx.sort_source : nullptr, y);
    const RowOf<Pixel> constraint(use_constraint ? ctx.constraint : nullptr, y);
    for (A_long x = first; x < end; ++x) {
        utils::PixelRecord& record = out[x - first];
        const Color color = ToRecordColor<Pixel, Order>(sorting[x]);
        Color trigger_color{};
        if (use_trigger) trigger_color = trigger_is_sorting ? color : ToRecordColor<Pixel, Order>(trigger[x]);
        Color sort_color;
        if (use_sort) {
            sort_color = sort_is_sorting ? color : ToRecordColor<Pixel, Order>(sort_source[x]);
        } else {
            sort_color = {0.0f, color.red, color.green, color.blue};
        }
        record.color = color;
        record.trigger = trigger_color;
        record.sortSource = sort_color;
        record.spanPosition = 0.0f;
        record.spanWeight = 0.0f;
        record.inMask = use_constraint && constraint[x].alpha > 0;
    }
}

template <typename Pixel, ChannelOrder Order>
void WriteRow(const WorldFillContext& ctx, A_long y, const utils::PixelRecord* row) {
    if (y < 0 || y >= ctx.height || y >= ctx.record_height) return;
    const A_long end = std::min(ctx.width, ctx.record_width);
    auto* pixels = reinterpret_cast<Pixel*>(static_cast<char*>(ctx.output->data) +
                                            static_cast<std::ptrdiff_t>(y) * ctx.output->rowbytes);
    const int32_t mode = ctx.mode;
    if (mode == 6 || mode == 7) {
        // Mask and Map write a grey of the span weight or position with full alpha.
        for (A_long x = 0; x < end; ++x) {
            const float grey = mode == 6 ? row[x].spanWeight : row[x].spanPosition;
            pixels[x] = ToHostPixel<Pixel, Order>({1.0f, grey, grey, grey});
        }
        return;
    }
    for (A_long x = 0; x < end; ++x) pixels[x] = ToHostPixel<Pixel, Order>(row[x].color);
}

// Pixels [0, width) of a row as record colours; a row at least that wide is read straight, in a
// loop the compiler vectorises, a narrower one with its columns clamped.
template <typename Pixel, ChannelOrder Order>
void ConvertRow(const RowOf<Pixel>& row, A_long width, Color* out) {
    if (const Pixel* pixels = row.Covering(width)) {
        for (A_long x = 0; x < width; ++x) out[x] = ToRecordColor<Pixel, Order>(pixels[x]);
        return;
    }
    for (A_long x = 0; x < width; ++x) out[x] = ToRecordColor<Pixel, Order>(row[x]);
}

// The trigger test of a luminance key over a row of trigger colours, as the kernel applies it:
// with noise[x] added to each colour channel of column x, or 0 without noise.
template <bool Clamp, bool Noisy>
void LuminanceBreaks(const utils::TriggerTest& test, const Color* trigger, const float* noise, A_long width,
                     uint8_t* breaks) {
    const float low = test.low;
    const float high = test.high;
    // Inside the thresholds a span closes out of range, outside them in range.
    const uint8_t flip = test.thresholdMode == utils::kThresholdOutside ? 0 : 1;
    // Clamp01 as two selects on the bits, through masks of the comparisons (NaN fails both and
    // passes), so that the loop has no branch and vectorises.
    const auto clamp01 = [](float v) {
        uint32_t bits = utils::BitCast<uint32_t>(v);
        bits &= ~(0u - static_cast<uint32_t>(v < 0.0f));
        const uint32_t over = 0u - static_cast<uint32_t>(v > 1.0f);
        return utils::BitCast<float>((bits & ~over) | (0x3f800000u & over));
    };
    for (A_long x = 0; x < width; ++x) {
        const float n = Noisy ? noise[x] : 0.0f;
        float red = trigger[x].red + n;
        float green = trigger[x].green + n;
        float blue = trigger[x].blue + n;
        if constexpr (Clamp) {
            red = clamp01(red);
            green = clamp01(green);
            blue = clamp01(blue);
        }
        const float value = utils::Luminance(red, green, blue);
        const uint8_t inRange = static_cast<uint8_t>((low <= value) & (value < high));
        breaks[x] = static_cast<uint8_t>(inRange ^ flip);
    }
}

// SortableBits of the luminance of a row of sort-source colours, without branches.
template <bool Descending>
void LuminanceKeys(const Color* source, A_long width, uint32_t* keys) {
    for (A_long x = 0; x < width; ++x) {
        const float value = utils::Luminance(source[x].red, source[x].green, source[x].blue);
        const uint32_t bits = utils::BitCast<uint32_t>(Descending ? -value : value);
        const uint32_t flip = static_cast<uint32_t>(static_cast<int32_t>(bits) >> 31) | 0x80000000u;
        keys[x] = value != value ? 0xffffffffu : bits ^ flip;
    }
}

// LuminanceBreaks without clamping and LuminanceKeys of the same colours, one luminance each.
template <bool Descending>
void LuminanceBreaksAndKeys(const utils::TriggerTest& test, const Color* colors, A_long width, uint8_t* breaks,
                            uint32_t* keys) {
    const float low = test.low;
    const float high = test.high;
    const uint8_t flip = test.thresholdMode == utils::kThresholdOutside ? 0 : 1;
    for (A_long x = 0; x < width; ++x) {
        const float value = utils::Luminance(colors[x].red + 0.0f, colors[x].green + 0.0f, colors[x].blue + 0.0f);
        const uint8_t inRange = static_cast<uint8_t>((low <= value) & (value < high));
        breaks[x] = static_cast<uint8_t>(inRange ^ flip);
        const uint32_t bits = utils::BitCast<uint32_t>(Descending ? -value : value);
        const uint32_t turn = static_cast<uint32_t>(static_cast<int32_t>(bits) >> 31) | 0x80000000u;
        keys[x] = value != value ? 0xffffffffu : bits ^ turn;
    }
}

// The trigger key whose value is the value of the sort key of the same colour (the sort keys here
// read no alpha), or 0 when the two differ.
int32_t SharedTriggerKey(int32_t trigger_key, int32_t sort_key) {
    static constexpr int32_t kPairs[][2] = {{utils::kTriggerRed, utils::kSortRed},
                                            {utils::kTriggerGreen, utils::kSortGreen},
                                            {utils::kTriggerBlue, utils::kSortBlue},
                                            {utils::kTriggerMin, utils::kSortMin},
                                            {utils::kTriggerMax, utils::kSortMax},
                                            {utils::kTriggerSaturation, utils::kSortSaturation},
                                            {utils::kTriggerHue, utils::kSortHue}};
    for (const auto& pair : kPairs) {
        if (trigger_key == pair[0] && sort_key == pair[1]) return trigger_key;
    }
    return 0;
}

// The trigger test without clamping or noise and the sort keys of one row of colours whose trigger
// value and sort value are the same (trigger key `key`), each value computed once.
template <bool Descending>
void SharedBreaksAndKeys(const utils::TriggerTest& test, int32_t key, const Color* colors, A_long width,
                         uint8_t* breaks, uint32_t* keys) {
    const float low = test.low;
    const float high = test.high;
    const uint8_t flip = test.thresholdMode == utils::kThresholdOutside ? 0 : 1;
    for (A_long x = 0; x < width; ++x) {
        const Color& c = colors[x];
        const float value = utils::TriggerValueInline(c.red + 0.0f, c.green + 0.0f, c.blue + 0.0f, c.alpha, key);
        const uint8_t inRange = static_cast<uint8_t>((low <= value) & (value < high));
        breaks[x] = static_cast<uint8_t>(inRange ^ flip);
        keys[x] = utils::SortableBits(value, Descending);
    }
}

// Pixels [0, width) of a row, each as CanonicalPixel gives it, into bytes of the row buffer.
template <typename Pixel>
void CanonicalRow(const RowOf<Pixel>& row, A_long width, unsigned char* out) {
    if (const Pixel* pixels = row.Covering(width)) {
        if constexpr (std::is_same_v<Pixel, PF_Pixel8>) {
            std::memcpy(out, pixels, static_cast<size_t>(width) * sizeof(Pixel));
        } else if constexpr (std::is_same_v<Pixel, PF_PixelFloat>) {
            // On the bits, in a loop the compiler vectorises: a value with every exponent bit set
            // (an infinity or not a number) becomes +0.
            const auto* in = reinterpret_cast<const unsigned char*>(pixels);
            for (size_t i = 0; i < static_cast<size_t>(width) * 4; ++i) {
                uint32_t bits;
                std::memcpy(&bits, in + i * 4, 4);
                bits = (bits & 0x7f800000u) == 0x7f800000u ? 0u : bits;
                std::memcpy(out + i * 4, &bits, 4);
            }
        } else {
            for (A_long x = 0; x < width; ++x) {
                const Pixel p = CanonicalPixel(pixels[x]);
                std::memcpy(out + static_cast<size_t>(x) * sizeof(Pixel), &p, sizeof(Pixel));
            }
        }
        return;
    }
    for (A_long x = 0; x < width; ++x) {
        const Pixel p = CanonicalPixel(row[x]);
        std::memcpy(out + static_cast<size_t>(x) * sizeof(Pixel), &p, sizeof(Pixel));
    }
}

// A worker's colour rows of the compact read.
struct ColorRows {
    std::vector<Color> sorting;
    std::vector<Color> trigger;
    std::vector<Color> sort;
};

template <typename Pixel, ChannelOrder Order>
void ReadCompactRow(const RecordFillContext& ctx, const CompactKeys& keys, A_long y, A_long width, const float* noise,
                    void* pixels, uint8_t* breaks, uint32_t* sortKeys, utils::WorkerScratch& scratch) {
    const bool use_trigger = ctx.use_trigger_source;
    const bool use_sort = ctx.use_sort_source;
    const bool trigger_is_sorting = ctx.trigger_source == ctx.sorting;
    const bool sort_is_sorting = ctx.sort_source == ctx.sorting;
    const RowOf<Pixel> sorting_row(ctx.sorting, y);
    if (pixels != nullptr) CanonicalRow<Pixel>(sorting_row, width, static_cast<unsigned char*>(pixels));
    // The colours the records would hold, in buffers of the worker: the keys read them.
    ColorRows& color_rows = scratch.Get<ColorRows>();
    std::vector<Color>& sorting_colors = color_rows.sorting;
    std::vector<Color>& trigger_colors = color_rows.trigger;
    std::vector<Color>& sort_colors = color_rows.sort;
    const auto source_row = [&](const RowOf<Pixel>& row, std::vector<Color>& buffer) {
        if (buffer.size() < static_cast<size_t>(width)) buffer.resize(static_cast<size_t>(width));
        ConvertRow<Pixel, Order>(row, width, buffer.data());
        return static_cast<const Color*>(buffer.data());
    };
    const Color* colors = source_row(sorting_row, sorting_colors);
    const Color* trigger = nullptr;  // null: the zero colour
    if (use_trigger) {
        trigger = trigger_is_sorting ? colors : source_row(RowOf<Pixel>(ctx.trigger_source, y), trigger_colors);
    }
    // Without a sort source the key reads the colour with alpha 0.
    const Color* sort_source = colors;
    if (use_sort && !sort_is_sorting) sort_source = source_row(RowOf<Pixel>(ctx.sort_source, y), sort_colors);
    const bool sort_alpha_zero = !use_sort;

    const utils::TriggerTest test = keys.trigger;
    const int32_t sort_key = keys.sortKey;
    // Colours read from 8-bit pixels lie in [0, 1] (255 × the 1/255 constant is exactly 1), where
    // clamping and adding 0 change nothing, so a luminance trigger and a luminance key of the same
    // colours share one luminance. 16-bit codes above 32768 read above 1.
    if constexpr (std::is_same_v<Pixel, PF_Pixel8>) {
        if (noise == nullptr && trigger == sort_source && utils::TriggerKeyIsLuminance(test.key) &&
            utils::SortKeyIsLuminance(sort_key)) {
            if (keys.descending)
                LuminanceBreaksAndKeys<true>(test, colors, width, breaks, sortKeys);
            else
                LuminanceBreaksAndKeys<false>(test, colors, width, breaks, sortKeys);
            return;
        }
        // So do the other keys whose trigger and sort values are one function of the colour.
        const int32_t shared_key = SharedTriggerKey(test.key, sort_key);
        if (noise == nullptr && trigger == sort_source && shared_key != 0) {
            if (keys.descending)
                SharedBreaksAndKeys<true>(test, shared_key, colors, width, breaks, sortKeys);
            else
                SharedBreaksAndKeys<false>(test, shared_key, colors, width, breaks, sortKeys);
            return;
        }
    }
    if (trigger != nullptr && utils::TriggerKeyIsLuminance(test.key)) {
        if (noise != nullptr) {
            if (test.clamp)
                LuminanceBreaks<true, true>(test, trigger, noise, width, breaks);
            else
                LuminanceBreaks<false, true>(test, trigger, noise, width, breaks);
        } else {
            if (test.clamp)
                LuminanceBreaks<true, false>(test, trigger, noise, width, breaks);
            else
                LuminanceBreaks<false, false>(test, trigger, noise, width, breaks);
        }
    } else {
        for (A_long x = 0; x < width; ++x) {
            const Color t = trigger != nullptr ? trigger[x] : Color{};
            const float n = noise != nullptr ? noise[x] : 0.0f;
            breaks[x] = test.Breaks(t.red + n, t.green + n, t.blue + n, t.alpha) ? 1 : 0;
        }
    }
    if (utils::SortKeyIsLuminance(sort_key)) {
        if (keys.descending)
            LuminanceKeys<true>(sort_source, width, sortKeys);
        else
            LuminanceKeys<false>(sort_source, width, sortKeys);
    } else {
        for (A_long x = 0; x < width; ++x) {
            Color source = sort_source[x];
            if (sort_alpha_zero) source.alpha = 0.0f;
            sortKeys[x] = utils::SortableBits(utils::SortValueOf(source, sort_key), keys.descending);
        }
    }
}

template <typename Pixel>
void WritePixelRow(const WorldFillContext& ctx, A_long y, const void* pixels) {
    if (y < 0 || y >= ctx.height || y >= ctx.record_height) return;
    const A_long end = std::min(ctx.width, ctx.record_width);
    if (end <= 0) return;
    char* row = static_cast<char*>(ctx.output->data) + static_cast<std::ptrdiff_t>(y) * ctx.output->rowbytes;
    std::memcpy(row, pixels, static_cast<size_t>(end) * sizeof(Pixel));
}

template <typename Pixel, ChannelOrder Order>
RowFunctions RowsOf() {
    return {&ReadRow<Pixel, Order>, &WriteRow<Pixel, Order>, &ReadCompactRow<Pixel, Order>, &WritePixelRow<Pixel>,
            sizeof(Pixel)};
}

}  // namespace

template <typename Pixel, ChannelOrder Order>
PF_Err FillRecord(void* refcon, A_long x, A_long y, Pixel*, Pixel*) {
    const auto& ctx = *static_cast<const RecordFillContext*>(refcon);
    if (x < 0 || y < 0 || x >= ctx.width || y >= ctx.height) return PF_Err_NONE;
    ReadRecord<Pixel, Order>(
        ctx, x, y, ctx.records[static_cast<size_t>(x) + static_cast<size_t>(y) * static_cast<size_t>(ctx.width)]);
    return PF_Err_NONE;
}

template <typename Pixel, ChannelOrder Order>
PF_Err FillWorld(void* refcon, A_long x, A_long y, Pixel*, Pixel*) {
    const auto& ctx = *static_cast<const WorldFillContext*>(refcon);
    if (x < 0 || y < 0 || x >= ctx.width || y >= ctx.height || x >= ctx.record_width || y >= ctx.record_height) {
        return PF_Err_NONE;
    }
    WritePixel<Pixel, Order>(
        ctx, x, y,
        ctx.sampler != nullptr
            ? ctx.sampler->At(x, y)
            : ctx.records[static_cast<size_t>(x) + static_cast<size_t>(y) * static_cast<size_t>(ctx.record_width)]);
    return PF_Err_NONE;
}

RowFunctions RowTransfers(int bit_depth, bool bgra) {
    switch (bit_depth) {
        case 8: return bgra ? RowsOf<PF_Pixel8, ChannelOrder::BGRA>() : RowsOf<PF_Pixel8, ChannelOrder::ARGB>();
        case 16: return bgra ? RowsOf<PF_Pixel16, ChannelOrder::BGRA>() : RowsOf<PF_Pixel16, ChannelOrder::ARGB>();
        case 32:
            return bgra ? RowsOf<PF_PixelFloat, ChannelOrder::BGRA>() : RowsOf<PF_PixelFloat, ChannelOrder::ARGB>();
        default: return {nullptr, nullptr, nullptr, nullptr, 0};
    }
}

namespace {

// A worker's row of a compact sort: the pixels when the output does not take the row whole (whole
// 8-byte words, so that every pixel size lies aligned in them), breaks, keys and noise.
struct CompactRowBuffers {
    std::vector<uint64_t> pixels;
    std::vector<uint8_t> breaks;
    std::vector<uint32_t> keys;
    std::vector<float> noise;
};

// A worker's row of records for the line kernel.
struct RecordRow {
    std::vector<utils::PixelRecord> records;
};

}  // namespace

bool SortImageRow(const RowSortContext& ctx, A_long y, utils::WorkerScratch& scratch) {
    utils::Info& info = *ctx.info;
    const A_long width = ctx.fill.width;
    // Buffers of the worker, kept for its next rows and frames: the row stays in cache from the
    // read through the sort to the write.
    if (ctx.compact) {
        CompactRowBuffers& buffers = scratch.Get<CompactRowBuffers>();
        std::vector<uint64_t>& buffer = buffers.pixels;
        std::vector<uint8_t>& breaks = buffers.breaks;
        std::vector<uint32_t>& keys = buffers.keys;
        // A row the output takes whole is read, sorted and left in the output itself; the write
        // copies any other from this thread's buffer.
        const WorldFillContext& out = ctx.write;
        const bool direct = y >= 0 && y < out.height && y < out.record_height && width <= out.width &&
                            width <= out.record_width;
        try {
            const size_t bytes = static_cast<size_t>(width) * ctx.rows.pixelBytes;
            if (!direct && buffer.size() * sizeof(uint64_t) < bytes) buffer.resize((bytes + 7) / 8);
            if (breaks.size() < static_cast<size_t>(width) || keys.size() < static_cast<size_t>(width)) {
                breaks.resize(static_cast<size_t>(width));
                keys.resize(static_cast<size_t>(width));
            }
        } catch (const std::exception& e) {
            info.SetMessage(e.what());
            return false;
        }
        void* pixels = direct ? static_cast<void*>(static_cast<char*>(out.output->data) +
                                                   static_cast<std::ptrdiff_t>(y) * out.output->rowbytes)
                              : static_cast<void*>(buffer.data());
        const float* noise = nullptr;
        if (info.derived.noiseOn) {
            std::vector<float>& noise_row = buffers.noise;
            try {
                if (noise_row.size() < static_cast<size_t>(width)) noise_row.resize(static_cast<size_t>(width));
            } catch (const std::exception& e) {
                info.SetMessage(e.what());
                return false;
            }
            utils::LineNoiseValues(info, y, width, noise_row.data());
            noise = noise_row.data();
        }
        ctx.rows.readCompact(ctx.fill, ctx.keys, y, width, noise, pixels, breaks.data(), keys.data(), scratch);
        utils::MarkEdgeBreaks(info, y, breaks.data(), width);
        if (!utils::SortCompactRow(info, y, pixels, ctx.rows.pixelBytes, breaks.data(), keys.data(), scratch)) {
            return false;
        }
        if (!direct) ctx.rows.writePixels(out, y, pixels);
        return true;
    }
    std::vector<utils::PixelRecord>& row = scratch.Get<RecordRow>().records;
    try {
        if (row.size() < static_cast<size_t>(width)) row.resize(static_cast<size_t>(width));
    } catch (const std::exception& e) {
        info.SetMessage(e.what());
        return false;
    }
    ctx.rows.read(ctx.fill, y, 0, width, row.data());
    utils::PixelRecord head;
    const bool last = y + 1 >= ctx.fill.height;
    if (!last) ctx.rows.read(ctx.fill, y + 1, 0, 1, &head);
    utils::MarkEdgeRow(info, y, row.data(), width);
    if (!last) utils::MarkEdgeRow(info, y + 1, &head, 1);
    if (!utils::SortRowWithHead(info, y, row.data(), last ? nullptr : &head)) return false;
    ctx.rows.write(ctx.write, y, row.data());
    return true;
}

PF_Err Iterate(const PixelFunctions& functions, A_long progress_end, void* context, PF_EffectWorld* source,
               PF_EffectWorld* destination, int bit_depth, PF_InData* in_data, utils::Executor& executor) {
    if (in_data->appl_id == PF_APPL_ID_PREMIERE) {
        switch (bit_depth) {
            case 8: return IterateRows<PF_Pixel8>(functions.depth8, context, *destination, executor);
            case 16: return IterateRows<PF_Pixel16>(functions.depth16, context, *destination, executor);
            case 32: return IterateRows<PF_PixelFloat>(functions.depth32, context, *destination, executor);
            default: return PF_Err_NONE;
        }
    }
    PF_Err err = PF_Err_NONE;
    switch (bit_depth) {
        case 8:
            err = IterateWithSuite<PF_Iterate8Suite1>(in_data, kPFIterate8Suite, functions.depth8, progress_end,
                                                      context, source, destination);
            if (err != PF_Err_NONE && err != PF_Interrupt_CANCEL)
                KRVN_LOG_ERROR("_Iterate", "AE Iterate8 Error " + ErrorText(err));
            break;
        case 16:
            err = IterateWithSuite<PF_iterate16Suite1>(in_data, kPFIterate16Suite, functions.depth16, progress_end,
                                                       context, source, destination);
            if (err != PF_Err_NONE && err != PF_Interrupt_CANCEL)
                KRVN_LOG_ERROR("_Iterate", "AE Iterate16 Error " + ErrorText(err));
            break;
        case 32:
            err = IterateWithSuite<PF_iterateFloatSuite1>(in_data, kPFIterateFloatSuite, functions.depth32,
                                                          progress_end, context, source, destination);
            if (err != PF_Err_NONE && err != PF_Interrupt_CANCEL)
                KRVN_LOG_ERROR("_Iterate", "AE Iterate32 Error " + ErrorText(err));
            break;
        default: break;
    }
    return err;
}

PixelFunctions RecordFillers(bool bgra) {
    if (bgra) {
        return {&FillRecord<PF_Pixel8, ChannelOrder::BGRA>, &FillRecord<PF_Pixel16, ChannelOrder::BGRA>,
                &FillRecord<PF_PixelFloat, ChannelOrder::BGRA>};
    }
    return {&FillRecord<PF_Pixel8, ChannelOrder::ARGB>, &FillRecord<PF_Pixel16, ChannelOrder::ARGB>,
            &FillRecord<PF_PixelFloat, ChannelOrder::ARGB>};
}

PixelFunctions WorldFillers(bool bgra) {
    if (bgra) {
        return {&FillWorld<PF_Pixel8, ChannelOrder::BGRA>, &FillWorld<PF_Pixel16, ChannelOrder::BGRA>,
                &FillWorld<PF_PixelFloat, ChannelOrder::BGRA>};
    }
    return {&FillWorld<PF_Pixel8, ChannelOrder::ARGB>, &FillWorld<PF_Pixel16, ChannelOrder::ARGB>,
            &FillWorld<PF_PixelFloat, ChannelOrder::ARGB>};
}

}  // namespace korvane::sources
