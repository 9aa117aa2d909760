// Pixel transfer: host pixels to records and back at 8, 16 and 32 bits, ARGB and BGRA, the grey
// outputs, the constraint flag, clamped sampling, and value round trips through the whole render.
#include <bit>
#include <cstring>
#include <limits>
#include <random>

#include "RenderSupport.h"
#include "sorting/AutoThreshold.h"
#include "sorting/Executor.h"
#include "sorting/Info.h"
#include "sorting/Intervals.h"
#include "sorting/LineKernel.h"
#include "sources/CoreSettings.h"
#include "sources/FrameLooks.h"
#include "sources/PixelTransfer.h"

namespace korvane::render_test {
namespace {

using sources::ChannelOrder;
using sources::FillRecord;
using sources::FillWorld;
using utils::PixelRecord;

class PixelTransfer : public RenderTest {};

PixelRecord ReadOne(World& sorting, A_long x, A_long y, bool bgra = false, const World* sort_source = nullptr,
                    const World* constraint = nullptr) {
    std::vector<PixelRecord> records(static_cast<size_t>(sorting.width() * sorting.height()));
    sources::RecordFillContext ctx;
    ctx.sorting = sorting.pf();
    ctx.sort_source = sort_source != nullptr ? sort_source->pf() : nullptr;
    ctx.use_sort_source = sort_source != nullptr;
    ctx.constraint = constraint != nullptr ? constraint->pf() : nullptr;
    ctx.use_constraint = constraint != nullptr;
    ctx.records = records.data();
    ctx.width = sorting.width();
    ctx.height = sorting.height();
    ctx.bgra = bgra;
    const auto fill = sources::RecordFillers(bgra);
    switch (sorting.depth()) {
        case 8: fill.depth8(&ctx, x, y, nullptr, nullptr); break;
        case 16: fill.depth16(&ctx, x, y, nullptr, nullptr); break;
        default: fill.depth32(&ctx, x, y, nullptr, nullptr); break;
    }
    return records[static_cast<size_t>(x + y * sorting.width())];
}

void WriteOne(World& output, const PixelRecord& record, int mode = 1, bool bgra = false) {
    std::vector<PixelRecord> records(static_cast<size_t>(output.width() * output.height()), record);
    sources::WorldFillContext ctx;
    ctx.output = output.pf();
    ctx.records = records.data();
    ctx.width = ctx.record_width = output.width();
    ctx.height = ctx.record_height = output.height();
    ctx.bgra = bgra;
    ctx.mode = mode;
    const auto fill = sources::WorldFillers(bgra);
    for (A_long y = 0; y < output.height(); ++y) {
        for (A_long x = 0; x < output.width(); ++x) {
            switch (output.depth()) {
                case 8: fill.depth8(&ctx, x, y, nullptr, nullptr); break;
                case 16: fill.depth16(&ctx, x, y, nullptr, nullptr); break;
                default: fill.depth32(&ctx, x, y, nullptr, nullptr); break;
            }
        }
    }
}

PixelRecord WithColor(float a, float r, float g, float b) {
    PixelRecord record{};
    record.color = {a, r, g, b};
    return record;
}

TEST_F(PixelTransfer, EightBitPixelReadsAsDefinedFloatsAndWritesBack) {
    World in(1, 1, 8);
    in.At<PF_Pixel8>(0, 0) = {255, 128, 0, 64};
    const PixelRecord record = ReadOne(in, 0, 0);
    const float k = std::bit_cast<float>(0x3B808081u);
    EXPECT_EQ(record.color.alpha, 255 * k);
    EXPECT_EQ(record.color.red, 128 * k);
    EXPECT_EQ(record.color.green, 0.0f);
    EXPECT_EQ(record.color.blue, 64 * k);
    // Without a sort source the record orders by its own colour, alpha 0.
    EXPECT_EQ(record.sortSource.alpha, 0.0f);
    EXPECT_EQ(record.sortSource.red, record.color.red);
    EXPECT_EQ(record.sortSource.blue, record.color.blue);
    EXPECT_EQ(record.inMask, 0);
    EXPECT_EQ(record.spanWeight, 0.0f);

    World out(1, 1, 8);
    WriteOne(out, record);
    const PF_Pixel8 p = out.At<PF_Pixel8>(0, 0);
    EXPECT_EQ((std::array<int, 4>{p.alpha, p.red, p.green, p.blue}), (std::array<int, 4>{255, 128, 0, 64}));
}

TEST_F(PixelTransfer, EveryEightAndSixteenBitCodeSurvivesReadAndWrite) {
    World in8(256, 1, 8), out8(256, 1, 8);
    for (int v = 0; v < 256; ++v) in8.At<PF_Pixel8>(v, 0) = {A_u_char(v), A_u_char(v), A_u_char(255 - v), A_u_char(v)};
    for (int v = 0; v < 256; ++v) {
        World one(1, 1, 8);
        WriteOne(one, ReadOne(in8, v, 0));
        out8.At<PF_Pixel8>(v, 0) = one.At<PF_Pixel8>(0, 0);
    }
    EXPECT_TRUE(out8.SamePixels(in8));

    World in16(1, 1, 16), out16(1, 1, 16);
    for (int v = 0; v <= 32768; ++v) {
        in16.At<PF_Pixel16>(0, 0) = {A_u_short(v), A_u_short(32768 - v), A_u_short(v), A_u_short(v / 2)};
        WriteOne(out16, ReadOne(in16, 0, 0));
        ASSERT_TRUE(out16.SamePixels(in16)) << v;
    }
}

TEST_F(PixelTransfer, WritesTruncateAndClampToTheChannelRange) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    World out8(1, 1, 8);
    WriteOne(out8, WithColor(0.9999f, 1.5f, -0.25f, nan));
    PF_Pixel8 p = out8.At<PF_Pixel8>(0, 0);
    EXPECT_EQ((std::array<int, 4>{p.alpha, p.red, p.green, p.blue}), (std::array<int, 4>{254, 255, 0, 0}));

    World out16(1, 1, 16);
    WriteOne(out16, WithColor(1.0f, 7.0f, -1.0f, nan));
    PF_Pixel16 q = out16.At<PF_Pixel16>(0, 0);
    EXPECT_EQ((std::array<int, 4>{q.alpha, q.red, q.green, q.blue}), (std::array<int, 4>{32768, 32768, 0, 0}));

    // Floats travel as they are, out-of-range values included.
    World out32(1, 1, 32);
    WriteOne(out32, WithColor(1.0f, 7.0f, -1.0f, 0.5f));
    const PF_PixelFloat f = out32.At<PF_PixelFloat>(0, 0);
    EXPECT_EQ(f.red, 7.0f);
    EXPECT_EQ(f.green, -1.0f);
}

TEST_F(PixelTransfer, MaskAndMapWriteGreysOfWeightAndPosition) {
    PixelRecord record{};
    record.color = {1.0f, 0.1f, 0.2f, 0.3f};
    record.spanPosition = 0.25f;
    record.spanWeight = 0.75f;
    World out(1, 1, 8);
    WriteOne(out, record, 6);
    PF_Pixel8 p = out.At<PF_Pixel8>(0, 0);
    EXPECT_EQ((std::array<int, 4>{p.alpha, p.red, p.green, p.blue}), (std::array<int, 4>{255, 191, 191, 191}));
    WriteOne(out, record, 7);
    p = out.At<PF_Pixel8>(0, 0);
    EXPECT_EQ((std::array<int, 4>{p.alpha, p.red, p.green, p.blue}), (std::array<int, 4>{255, 63, 63, 63}));
    // BGRA memory keeps alpha last.
    WriteOne(out, record, 6, true);
    p = out.At<PF_Pixel8>(0, 0);
    EXPECT_EQ((std::array<int, 4>{p.alpha, p.red, p.green, p.blue}), (std::array<int, 4>{191, 191, 191, 255}));
}

TEST_F(PixelTransfer, BgraBytesGiveTheSameRecordAsArgbAndComeBackInPlace) {
    World argb(1, 1, 8), bgra(1, 1, 8, host::ChannelOrder::BGRA);
    argb.At<PF_Pixel8>(0, 0) = {255, 128, 0, 64};
    bgra.At<PF_Pixel8>(0, 0) = {64, 0, 128, 255};  // memory order blue, green, red, alpha
    const PixelRecord a = ReadOne(argb, 0, 0);
    const PixelRecord b = ReadOne(bgra, 0, 0, true);
    EXPECT_EQ(0, std::memcmp(&a, &b, sizeof a));

    World out(1, 1, 8, host::ChannelOrder::BGRA);
    WriteOne(out, b, 1, true);
    EXPECT_TRUE(out.SamePixels(bgra));
}

TEST_F(PixelTransfer, ConstraintFlagFollowsTheFirstChannelInMemory) {
    World sorting(2, 1, 8);
    World constraint(2, 1, 8);
    constraint.At<PF_Pixel8>(0, 0) = {0, 255, 255, 255};
    constraint.At<PF_Pixel8>(1, 0) = {1, 0, 0, 0};
    EXPECT_EQ(ReadOne(sorting, 0, 0, false, nullptr, &constraint).inMask, 0);
    EXPECT_NE(ReadOne(sorting, 1, 0, false, nullptr, &constraint).inMask, 0);

    World sorting32(1, 1, 32), constraint32(1, 1, 32);
    constraint32.At<PF_PixelFloat>(0, 0) = {1e-6f, 0, 0, 0};
    EXPECT_NE(ReadOne(sorting32, 0, 0, false, nullptr, &constraint32).inMask, 0);
    constraint32.At<PF_PixelFloat>(0, 0) = {-1.0f, 1, 1, 1};
    EXPECT_EQ(ReadOne(sorting32, 0, 0, false, nullptr, &constraint32).inMask, 0);
}

TEST_F(PixelTransfer, SmallerSourceIsSampledAtClampedCoordinates) {
    World sorting(4, 3, 16);
    World source(2, 2, 16);
    source.At<PF_Pixel16>(1, 0) = {100, 200, 300, 400};
    source.At<PF_Pixel16>(1, 1) = {500, 600, 700, 800};
    const PixelRecord beyond_right = ReadOne(sorting, 3, 0, false, &source);
    EXPECT_EQ(beyond_right.sortSource.red, 200.0f / 32768.0f);
    const PixelRecord beyond_corner = ReadOne(sorting, 3, 2, false, &source);
    EXPECT_EQ(beyond_corner.sortSource.alpha, 500.0f / 32768.0f);
}

TEST_F(PixelTransfer, WorldFillLeavesPixelsBeyondTheRecordsAlone) {
    // Four records for a 3 x 3 output: the rest keeps what it held.
    std::vector<PixelRecord> records(4, WithColor(1.0f, 1.0f, 1.0f, 1.0f));
    World out(3, 3, 8);
    sources::WorldFillContext ctx;
    ctx.output = out.pf();
    ctx.records = records.data();
    ctx.width = ctx.height = 3;
    ctx.record_width = ctx.record_height = 2;
    for (A_long y = 0; y < 3; ++y) {
        for (A_long x = 0; x < 3; ++x) FillWorld<PF_Pixel8, ChannelOrder::ARGB>(&ctx, x, y, nullptr, nullptr);
    }
    EXPECT_EQ(out.Get(1, 1), (Color{1, 1, 1, 1}));
    EXPECT_EQ(out.Get(2, 1), Color{});
    EXPECT_EQ(out.Get(0, 2), Color{});
}

// Through the whole render: rows of one repeated pixel cannot be reordered by any span, so every
// code must come back as it went in.
TEST_F(PixelTransfer, EveryCodeComesBackThroughTheRender) {
    Host& h = NewHost();
    World in8(3, 256, 8);
    for (A_long y = 0; y < 256; ++y) {
        for (A_long x = 0; x < 3; ++x) {
            in8.At<PF_Pixel8>(x, y) = {A_u_char(y), A_u_char(255 - y), A_u_char(y), A_u_char(y ^ 0x5A)};
        }
    }
    EXPECT_TRUE(RenderAe(h, in8).SamePixels(in8));

    World in16(2, 32769, 16);
    for (A_long y = 0; y <= 32768; ++y) {
        for (A_long x = 0; x < 2; ++x) {
            in16.At<PF_Pixel16>(x, y) = {A_u_short(y), A_u_short(32768 - y), A_u_short(y / 3), A_u_short(y)};
        }
    }
    EXPECT_TRUE(RenderAe(h, in16).SamePixels(in16));
}

// Random pixels of a world, with the codes and values the channel conversions treat apart: 16-bit
// codes above 32768, and floats outside [0, 1], not finite, or negative zero.
void FillRandom(World& w, std::mt19937& g) {
    for (A_long y = 0; y < w.height(); ++y) {
        auto* bytes = static_cast<unsigned char*>(w.Row(y));
        for (A_long x = 0; x < w.width() * 4; ++x) {
            const uint32_t r = g();
            if (w.depth() == 8) {
                bytes[x] = static_cast<unsigned char>(r);
            } else if (w.depth() == 16) {
                const auto v = static_cast<A_u_short>(r % 8 == 0   ? 32760 + (r >> 8) % 40
                                                      : r % 8 == 1 ? r >> 16
                                                                   : (r >> 8) % 32769);
                std::memcpy(bytes + x * 2, &v, 2);
            } else {
                const float specials[] = {std::numeric_limits<float>::quiet_NaN(),
                                          std::numeric_limits<float>::infinity(),
                                          -std::numeric_limits<float>::infinity(),
                                          -0.0f,
                                          1.75f,
                                          -0.5f,
                                          0.5f};
                const float v = r % 5 == 0 ? specials[(r >> 8) % 7] : static_cast<float>((r >> 8) % 1000) / 999.0f;
                std::memcpy(bytes + x * 4, &v, 4);
            }
        }
    }
}

// Rows sorted as compact rows (pixels as the worlds hold them) come out byte for byte as rows of
// records sorted by the line kernel, at every depth and channel order, with trigger and sort
// colours read from "sorting" or from worlds of their own, for looks left to chance (noise too).
TEST_F(PixelTransfer, CompactRowsWriteWhatRecordRowsWrite) {
    std::mt19937 g(1207);
    int compact = 0;
    for (int round = 0; round < 240; ++round) {
        const int depth = (round % 3 == 0) ? 8 : (round % 3 == 1) ? 16 : 32;
        const bool bgra = round % 2 == 1;
        const A_long width = static_cast<A_long>(1 + g() % 60);
        const A_long height = static_cast<A_long>(1 + g() % 4);
        KRVN_Params p;
        p.trigger = static_cast<int>(g() % 11);
        p.sort_key = static_cast<int>(g() % 12);
        // A third of the looks trigger on and sort by the same value of the colour.
        if (g() % 3 == 0) p.sort_key = p.trigger + (p.trigger >= 7 ? 1 : 0);
        p.effect = static_cast<int>(1 + g() % 2);
        p.threshold_low = static_cast<float>(g() % 60) / 100.0f;
        p.threshold_high = p.threshold_low + static_cast<float>(g() % 70) / 100.0f;
        p.reverse = g() % 2 == 0;
        p.animate_growth = g() % 3 == 0 ? static_cast<float>(g() % 200) / 100.0f : 1.0f;
        p.offset = g() % 4 == 0 ? static_cast<float>(g() % 60) / 100.0f : 0.0f;
        if (g() % 3 == 0) {
            p.noise_amount = static_cast<float>(g() % 100) / 100.0f;
            p.noise_size = static_cast<float>(g() % 30) / 100.0f;
            p.noise_complexity = static_cast<int>(1 + g() % 8);
            p.noise_seed = static_cast<int>(g() % 500);
        }
        utils::Info info;
        info.settings = sources::CopySettings(p);
        ASSERT_TRUE(utils::LinesAreImageRows(info, width, height));
        ASSERT_TRUE(utils::PrepareRowSorting(info, width, height)) << info.Message();
        ASSERT_TRUE(utils::CompactRowsApply(info)) << round;
        ++compact;

        const auto order = bgra ? host::ChannelOrder::BGRA : host::ChannelOrder::ARGB;
        World sorting(width, height, depth, order), trigger(width, height, depth, order),
            sort(width, height, depth, order);
        FillRandom(sorting, g);
        FillRandom(trigger, g);
        FillRandom(sort, g);
        World by_records(width, height, depth, order), compacted(width, height, depth, order);
        sources::RowSortContext ctx;
        ctx.fill.sorting = sorting.pf();
        ctx.fill.use_trigger_source = g() % 4 != 0;
        ctx.fill.trigger_source = !ctx.fill.use_trigger_source ? nullptr : g() % 2 == 0 ? sorting.pf() : trigger.pf();
        ctx.fill.use_sort_source = g() % 2 == 0;
        ctx.fill.sort_source = !ctx.fill.use_sort_source ? nullptr : g() % 2 == 0 ? sorting.pf() : sort.pf();
        ctx.fill.width = ctx.write.width = ctx.write.record_width = width;
        ctx.fill.height = ctx.write.height = ctx.write.record_height = height;
        ctx.fill.bgra = ctx.write.bgra = bgra;
        ctx.rows = sources::RowTransfers(depth, bgra);
        ctx.info = &info;
        ctx.keys = {utils::TriggerTestOf(info.settings), info.settings.sortKey, !info.settings.reverse};
        utils::WorkerScratch scratch;
        for (const bool compact_rows : {false, true}) {
            ctx.compact = compact_rows;
            ctx.write.output = compact_rows ? compacted.pf() : by_records.pf();
            for (A_long y = 0; y < height; ++y) ASSERT_TRUE(sources::SortImageRow(ctx, y, scratch)) << info.Message();
        }
        for (A_long y = 0; y < height; ++y) {
            ASSERT_EQ(std::memcmp(by_records.Row(y), compacted.Row(y), static_cast<size_t>(width) * depth / 2), 0)
                << "round " << round << ", " << depth << " bits" << (bgra ? " BGRA" : "") << ", row " << y << " of "
                << width << " x " << height << ", trigger " << p.trigger << ", key " << p.sort_key;
        }
    }
    EXPECT_EQ(compact, 240);
}

TEST_F(PixelTransfer, MaskAndMapOutputsAreOpaqueGreys) {
    Host& h = NewHost();
    const World in = PhotoLike(40, 30);
    for (int mode : {6, 7}) {
        h.Set(P::KRVN_MODE, mode);
        const World out = RenderAe(h, in);
        bool some_span = false;
        for (A_long y = 0; y < out.height(); ++y) {
            for (A_long x = 0; x < out.width(); ++x) {
                const PF_Pixel8 p = out.At<PF_Pixel8>(x, y);
                ASSERT_EQ(p.alpha, 255);
                ASSERT_EQ(p.red, p.green);
                ASSERT_EQ(p.green, p.blue);
                if (mode == 6) {
                    ASSERT_TRUE(p.red == 0 || p.red == 255);
                }
                some_span = some_span || p.red != 0;
            }
        }
        EXPECT_TRUE(some_span) << mode;
    }
}

// The looks that read the whole frame first take from the worlds the values the records hold: the
// automatic band and the edge flags are those of the records' trigger values, the same in ARGB and
// BGRA and on one thread or several. Another frame's values (smoothing over frames) are read the
// same way, and the band with them is that of both frames' values together.
TEST_F(PixelTransfer, FrameLooksReadTheTriggerValuesTheRecordsHold) {
    std::mt19937 g(4242);
    for (int round = 0; round < 24; ++round) {
        const int depth = (round % 3 == 0) ? 8 : (round % 3 == 1) ? 16 : 32;
        const A_long width = static_cast<A_long>(1 + g() % 70);
        const A_long height = static_cast<A_long>(1 + g() % 40);
        KRVN_Params p;
        p.trigger = static_cast<int>(1 + g() % 9);
        p.look.interval = utils::kIntervalEdges;
        p.look.edge_level = static_cast<float>(g() % 40) / 100.0f;
        p.look.edge_scale = static_cast<float>(1 + g() % 3);
        p.look.auto_threshold = true;
        p.look.auto_low = static_cast<float>(g() % 80) / 100.0f;
        p.look.auto_high = g() % 2 == 0 ? 1.0f : p.look.auto_low + static_cast<float>(g() % 20) / 100.0f;
        const uint32_t seed = g();
        float expected_low = 0.0f;
        float expected_high = 0.0f;
        utils::AutoBand expected_both;
        utils::EdgeBuffers expected;
        for (const bool bgra : {false, true}) {
            World sorting = PhotoLike(width, height, depth, seed,
                                      bgra ? host::ChannelOrder::BGRA : host::ChannelOrder::ARGB);
            const World other = PhotoLike(width, height, depth, seed + 1,
                                          bgra ? host::ChannelOrder::BGRA : host::ChannelOrder::ARGB);
            sources::RecordFillContext other_fill;
            other_fill.sorting = other_fill.trigger_source = other.pf();
            other_fill.use_trigger_source = true;
            other_fill.width = width;
            other_fill.height = height;
            other_fill.bgra = bgra;
            sources::RecordFillContext fill;
            fill.sorting = sorting.pf();
            fill.width = width;
            fill.height = height;
            fill.bgra = bgra;
            const sources::RowFunctions rows = sources::RowTransfers(depth, bgra);
            if (!bgra) {
                utils::SortSettings s = sources::CopySettings(p);
                std::vector<PixelRecord> records(static_cast<size_t>(width * height));
                std::vector<float> values(records.size());
                utils::TriggerHistogram histogram;
                for (A_long y = 0; y < height; ++y) rows.read(fill, y, 0, width, records.data() + y * width);
                for (size_t i = 0; i < records.size(); ++i) {
                    values[i] = utils::BandValue(records[i].trigger, s);
                    histogram.Add(values[i]);
                }
                utils::TriggerHistogram both = histogram;
                for (A_long y = 0; y < height; ++y) rows.read(other_fill, y, 0, width, records.data() + y * width);
                for (const PixelRecord& r : records) both.Add(utils::BandValue(r.trigger, s));
                expected_both = utils::BandOfPercentiles(both, s.autoLow, s.autoHigh);
                utils::ApplyAutoBand(s, histogram);
                expected_low = s.thresholdLow;
                expected_high = s.thresholdHigh;
                utils::SerialExecutor serial;
                utils::EdgeFlags(values.data(), width, height, s.edgeScale, s.edgeLevel, serial, expected);
            }
            utils::SerialExecutor serial;
            utils::PoolExecutor pool(3);
            for (utils::Executor* executor :
                 {static_cast<utils::Executor*>(&serial), static_cast<utils::Executor*>(&pool)}) {
                utils::Info info;
                info.settings = sources::CopySettings(p);
                info.executor = executor;
                ASSERT_EQ(sources::PrepareFrameLooks(fill, rows, info), PF_Err_NONE);
                EXPECT_EQ(info.settings.thresholdLow, expected_low) << "round " << round;
                EXPECT_EQ(info.settings.thresholdHigh, expected_high) << "round " << round;
                ASSERT_NE(info.edgeFlags, nullptr);
                EXPECT_EQ(std::vector<uint8_t>(info.edgeFlags, info.edgeFlags + expected.flags.size()), expected.flags)
                    << "round " << round << (bgra ? ", BGRA" : "");

                utils::TriggerHistogram others;
                info.settings = sources::CopySettings(p);
                ASSERT_EQ(sources::AddTriggerHistogram(other_fill, rows, info, others), PF_Err_NONE);
                EXPECT_EQ(others.Total(), static_cast<uint64_t>(width * height));
                ASSERT_EQ(sources::PrepareFrameLooks(fill, rows, info, &others), PF_Err_NONE);
                EXPECT_EQ(info.settings.thresholdLow, expected_both.low) << "round " << round;
                EXPECT_EQ(info.settings.thresholdHigh, expected_both.high) << "round " << round;
            }
        }
    }
}

}  // namespace
}  // namespace korvane::render_test
