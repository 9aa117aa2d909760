// Sort preparation: settings, grid sizes, the transfers between image and grid, the noise table
// and the row threads.
#include <atomic>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>

#include "SortingTestSupport.h"
#include "sorting/Executor.h"
#include "sorting/RecordPool.h"

namespace korvane::utils::test {
namespace {

// Records that carry their image index in red, so that a transfer can be traced.
std::vector<PixelRecord> Indexed(int32_t width, int32_t height) {
    std::vector<PixelRecord> records(static_cast<size_t>(width) * height);
    for (size_t i = 0; i < records.size(); ++i) {
        records[i] = Rec(static_cast<float>(i), 0.0f, 0.0f);
    }
    return records;
}

int64_t IndexOf(const PixelRecord& rec) { return static_cast<int64_t>(rec.color.red); }

TEST(GridSize, ResolutionOneIsExactlyScaleOneForEverySide) {
    for (int32_t side = 1; side <= 30000; ++side) {
        ASSERT_EQ(GridScale(side, side, 1.0f), 1.0f) << side;
        ASSERT_EQ(GridScale(side, 30000, 1.0f), 1.0f) << side;
    }
}

TEST(GridSize, AngleZeroFullResolutionCopiesWithoutResampling) {
    const auto records = Indexed(7, 5);
    Info info = Prepared(records, 7, KRVN_Params{});
    EXPECT_EQ(info.lineLength, 7);
    EXPECT_EQ(info.lineCount, 5);
    EXPECT_EQ(info.transform.direction, 0);
    EXPECT_EQ(FirstDifference(info.lineRecords, records), -1);
    info.lineRecords[3].color.green = 0.5f;
    info.lineRecords[4].color.green = 0.25f;
    info.lineRecords[4].spanWeight = 0.5f;
    // The grid is the image's records on loan: the image is empty until they come back.
    EXPECT_TRUE(info.imageRecords.empty());
    const std::vector<PixelRecord> grid = info.lineRecords;
    ASSERT_TRUE(TakeOutPixels(info));
    // Every record comes back, whatever its weight.
    EXPECT_EQ(FirstDifference(info.imageRecords, grid), -1);
    EXPECT_TRUE(info.lineRecords.empty());
}

TEST(GridSize, Angle90TurnsTheGrid) {
    KRVN_Params p;
    p.angle = 90.0f;
    Info info = Prepared(Indexed(400, 300), 400, p);
    EXPECT_EQ(info.lineLength, 300);
    EXPECT_EQ(info.lineCount, 400);
}

TEST(GridSize, ResolutionZeroGivesTenRecordsOnTheShortSide) {
    KRVN_Params p;
    p.resolution = 0.0f;
    Info info = Prepared(Indexed(1920, 1080), 1920, p);
    EXPECT_NEAR(info.derived.scale, 10.0f / 1080.0f, 1e-9f);
    EXPECT_EQ(info.lineLength, 17);
    EXPECT_EQ(info.lineCount, 10);
    // On the way back each grid record covers a block of about 108 × 108 pixels.
    for (auto& rec : info.lineRecords) {
        rec.color.green = 1.0f;
    }
    ASSERT_TRUE(TakeOutPixels(info));
    EXPECT_EQ(info.imageRecords[0].color.green, 1.0f);
    EXPECT_EQ(IndexOf(info.imageRecords[107]), IndexOf(info.lineRecords[0]));
    EXPECT_EQ(IndexOf(info.imageRecords[108 * 1920 + 108]), IndexOf(info.lineRecords[17 + 1]));
}

TEST(GridSize, SmallImageAtHalfResolutionGrows) {
    KRVN_Params p;
    p.resolution = 0.5f;
    Info info = Prepared(Indexed(6, 6), 6, p);
    EXPECT_NEAR(info.derived.scale, 1.5833334f, 1e-6f);
    EXPECT_EQ(info.lineLength, 9);
    EXPECT_EQ(info.lineCount, 9);
    ASSERT_TRUE(TakeOutPixels(info));
    // Growing and shrinking again by nearest neighbour gives every pixel back.
    EXPECT_EQ(FirstDifference(info.imageRecords, Indexed(6, 6)), -1);
}

TEST(GridSize, DerivedValues) {
    KRVN_Params p;
    p.block_width = 0.5f;
    p.block_height = 0.5f;
    p.loop = 0.25f;
    p.noise_size = 0.1f;
    Info info = Prepared(Indexed(40, 20), 40, p);
    EXPECT_EQ(info.maxSpanLength, 10);  // 40 × 0.25
    EXPECT_EQ(info.blockLines, 5);      // 20 × 0.25
    EXPECT_EQ(info.lastColumn, 40);     // fill on
    EXPECT_EQ(info.derived.rotationFraction, 0.75f);
    EXPECT_EQ(info.derived.noiseFrequency, 1.0f / (0.1f * 0.1f * 1000.0f));
    p.pixel_scale = 0.5f;  // a frame at half size: the same noise in half the pixels
    EXPECT_EQ(Prepared(Indexed(40, 20), 40, p).derived.noiseFrequency, 2.0f / (0.1f * 0.1f * 1000.0f));
    p.pixel_scale = 1.0f;
    p.fill = false;
    p.block_height = 1.0f;
    Info capped = Prepared(Indexed(4, 20), 4, p);
    EXPECT_EQ(capped.lastColumn, 3);
    EXPECT_EQ(capped.blockLines, 4);  // capped at the line length
}

TEST(Transfer, Angle90RunsLinesAlongColumnsAndBack) {
    KRVN_Params p;
    p.angle = 90.0f;
    Info info = Prepared(Indexed(4, 3), 4, p);
    ASSERT_EQ(info.lineLength, 3);
    ASSERT_EQ(info.lineCount, 4);
    for (int32_t y = 0; y < 4; ++y) {
        for (int32_t x = 0; x < 3; ++x) {
            // Line y is image column 3 − y, from the top.
            EXPECT_EQ(IndexOf(info.lineRecords[x + y * 3]), (3 - y) + x * 4) << x << "," << y;
        }
    }
    ASSERT_TRUE(TakeOutPixels(info));
    EXPECT_EQ(FirstDifference(info.imageRecords, Indexed(4, 3)), -1);
}

TEST(Transfer, ScaledGridSamplesNearestAndClampsAtTheEdges) {
    KRVN_Params p;
    p.resolution = 0.5f;
    Info info = Prepared(Indexed(20, 20), 20, p);
    ASSERT_EQ(info.lineLength, 11);  // scale 0.5625
    const float t = 1.0f / info.derived.scale;
    for (int32_t y = 0; y < info.lineCount; ++y) {
        for (int32_t x = 0; x < info.lineLength; ++x) {
            const int64_t sx = std::min<int64_t>(static_cast<int64_t>(t * (x + 0.5f)), 19);
            const int64_t sy = std::min<int64_t>(static_cast<int64_t>(t * (y + 0.5f)), 19);
            EXPECT_EQ(IndexOf(info.lineRecords[x + y * 11]), sx + sy * 20);
        }
    }
}

TEST(Transfer, AffectBackgroundOffKeepsPixelsOutsideSpans) {
    for (const bool affect : {true, false}) {
        KRVN_Params p;
        p.angle = 90.0f;
        p.affect_background = affect;
        Info info = Prepared(Indexed(4, 3), 4, p);
        for (auto& rec : info.lineRecords) {
            rec.color.green = 0.5f;
        }
        for (int32_t x = 0; x < 3; ++x) {
            info.lineRecords[x].spanWeight = 1.0f;  // line 0: image column 3
        }
        ASSERT_TRUE(TakeOutPixels(info));
        for (int32_t y = 0; y < 3; ++y) {
            for (int32_t x = 0; x < 4; ++x) {
                const bool written = affect || x == 3;
                EXPECT_EQ(info.imageRecords[x + y * 4].color.green, written ? 0.5f : 0.0f) << x << "," << y;
            }
        }
    }
}

// A second preparation in the same context (the next frame) builds the grid in the memory of
// the first, over stale records, and the grid comes out the same.
TEST(Transfer, AGridRebuiltInItsOldMemoryIsTheSame) {
    KRVN_Params p;
    p.angle = 33.0f;
    p.resolution = 0.7f;
    Info info = Prepared(Indexed(9, 7), 9, p);
    const std::vector<PixelRecord> first = info.lineRecords;
    const PixelRecord* memory = info.lineRecords.data();
    for (PixelRecord& r : info.lineRecords) r = Rec(-1.0f, -1.0f, -1.0f);
    ASSERT_TRUE(PrepareSorting(info, 9, 7));
    EXPECT_EQ(info.lineRecords.data(), memory);
    EXPECT_EQ(FirstDifference(info.lineRecords, first), -1);
}

// The sampler reads, for every image pixel, the record TakeOutPixels writes there: scaled,
// turned, both, with the background kept or not, after a sort that marked spans.
TEST(Transfer, GridSamplerReadsWhatTakeOutPixelsWrites) {
    const struct {
        float angle, resolution;
        bool background;
    } looks[] = {
        {0.0f, 0.5f, true}, {0.0f, 0.35f, false}, {33.0f, 1.0f, false}, {-120.0f, 0.6f, true}, {90.0f, 1.0f, true}};
    for (const auto& look : looks) {
        KRVN_Params p;
        p.angle = look.angle;
        p.resolution = look.resolution;
        p.affect_background = look.background;
        p.threshold_high = 0.6f;
        p.effect = 2;  // spans where the luminance is 0.6 or more: most of the indexed records
        p.block_width = 0.3f;
        std::vector<PixelRecord> image = Indexed(23, 17);
        for (size_t i = 0; i < image.size(); ++i) {
            image[i].trigger.green = static_cast<float>((i * 7) % 10) / 10.0f;
            image[i].sortSource.green = image[i].trigger.green;
        }
        Info sampled = Prepared(image, 23, p);
        ASSERT_TRUE(SortAllLinesSequentially(sampled));
        const auto inSpan = std::count_if(sampled.lineRecords.begin(), sampled.lineRecords.end(),
                                          [](const PixelRecord& r) { return r.spanWeight == 1.0f; });
        ASSERT_GT(inSpan, 0);
        ASSERT_LT(inSpan, static_cast<std::ptrdiff_t>(sampled.lineRecords.size()));
        Info written = sampled;
        GridSampler sampler;
        ASSERT_TRUE(SampleGridBack(sampled, sampler));
        ASSERT_TRUE(TakeOutPixels(written));
        for (int32_t y = 0; y < 17; ++y) {
            for (int32_t x = 0; x < 23; ++x) {
                ASSERT_TRUE(SameRecord(sampler.At(x, y), written.imageRecords[static_cast<size_t>(x + y * 23)]))
                    << look.angle << " " << look.resolution << " at " << x << "," << y;
            }
        }
    }
}

TEST(RecordPool, HandsOutTheSmallestFitAndKeepsWithinItsCap) {
    const size_t record = sizeof(PixelRecord);
    RecordPool pool(100 * record);
    pool.Give(std::vector<PixelRecord>(60));
    pool.Give(std::vector<PixelRecord>(30));
    EXPECT_EQ(pool.HeldBytes(), 90 * record);
    EXPECT_TRUE(pool.Take(61).empty());
    EXPECT_EQ(pool.Take(20).capacity(), 30u);
    pool.Give(std::vector<PixelRecord>(50));  // 110 > 100: the 50 stays, the 60 went first
    EXPECT_EQ(pool.HeldBytes(), 50 * record);
    pool.Give(std::vector<PixelRecord>(101));  // alone past the cap: freed
    EXPECT_EQ(pool.HeldBytes(), 50 * record);
    std::vector<PixelRecord> taken = pool.Take(0);
    EXPECT_EQ(taken.size(), 50u);  // the size it came back with
    EXPECT_EQ(pool.HeldBytes(), 0u);
    pool.Give(std::move(taken));
    pool.Release();
    EXPECT_EQ(pool.HeldBytes(), 0u);
    EXPECT_TRUE(pool.Take(1).empty());
}

TEST(NoiseTable, PermutationShuffledWithMersenneTwister) {
    for (const int32_t seed : {0, 1, 4242, 65536, -7}) {
        const auto table = ShuffleNoiseTable(seed);
        std::array<int, 256> seen{};
        for (const uint8_t v : table) {
            ++seen[v];
        }
        for (const int count : seen) {
            EXPECT_EQ(count, 1);
        }
        std::array<uint8_t, 256> expected;
        for (int i = 0; i < 256; ++i) {
            expected[i] = static_cast<uint8_t>(i);
        }
        std::mt19937 twister(static_cast<uint32_t>(seed));
        for (uint32_t i = 1; i < 256; ++i) {
            std::swap(expected[i], expected[twister() % (i + 1)]);
        }
        EXPECT_EQ(table, expected) << seed;
    }
    EXPECT_NE(ShuffleNoiseTable(1), ShuffleNoiseTable(2));
    EXPECT_EQ(Info{}.noiseTable, ShuffleNoiseTable(0));
}

TEST(PrepareSorting, BadSizesAndSettingsFailCleanly) {
    Info zero = Prepared({}, 0, KRVN_Params{});
    EXPECT_EQ(zero.lineCount, 0);
    EXPECT_EQ(zero.gridCount, 0);
    EXPECT_EQ(SortPhaseCount(zero), 0);
    EXPECT_TRUE(SortAllLinesSequentially(zero));
    EXPECT_TRUE(TakeOutPixels(zero));

    Info flat;
    ASSERT_TRUE(PrepareSorting(flat, 5, 0));
    EXPECT_EQ(flat.gridCount, 0);

    Info negative;
    EXPECT_FALSE(PrepareSorting(negative, -1, 4));
    EXPECT_FALSE(negative.Message().empty());

    Info missing;  // records for a huge image were never made
    EXPECT_FALSE(PrepareSorting(missing, 100000, 100000));
    EXPECT_FALSE(missing.Message().empty());

    for (const float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
        KRVN_Params p;
        p.resolution = bad;
        Info info;
        info.settings = sources::CopySettings(p);
        info.imageRecords = Indexed(4, 4);
        EXPECT_FALSE(PrepareSorting(info, 4, 4));
        EXPECT_NE(info.Message().find("resolution"), std::string::npos) << info.Message();
        p.resolution = 1.0f;
        p.angle = bad;
        info.settings = sources::CopySettings(p);
        EXPECT_FALSE(PrepareSorting(info, 4, 4));
    }
}

TEST(PrepareSorting, OutOfRangeSettingsAreBroughtIntoRange) {
    KRVN_Params p;
    p.block_width = 0.0f;
    p.block_height = -3.0f;
    p.feather_start = 7.0f;
    p.random_offset = 1e30f;
    p.stretch_factor = 1e30f;
    p.stretch = true;
    p.resolution = 50.0f;
    p.noise_complexity = 1000;
    Info info = Prepared(Indexed(10, 10), 10, p);
    EXPECT_EQ(info.maxSpanLength, 0);
    EXPECT_EQ(info.blockLines, 1);
    EXPECT_EQ(info.derived.featherStart, 1.0f);
    EXPECT_EQ(info.derived.randomOffset, 1.0f);
    EXPECT_EQ(info.derived.stretchFactor, 10.0f);
    EXPECT_EQ(info.derived.scale, 1.0f);
    EXPECT_EQ(info.derived.noiseComplexity, 8);
}

TEST(PrepareSorting, GridsWiderAndTallerThan65535) {
    // 70000 × 1: one line of 70000 records, sorted as one span (fill on, all inside).
    std::vector<PixelRecord> records(70000);
    for (size_t i = 0; i < records.size(); ++i) {
        const float v = static_cast<float>(i % 997) / 2000.0f;
        records[i] = Rec(v, v, v);
    }
    Info wide = Prepared(records, 70000, KRVN_Params{});
    ASSERT_EQ(wide.lineLength, 70000);
    ASSERT_TRUE(SortAllLinesSequentially(wide)) << wide.Message();
    for (size_t i = 1; i + 1 < records.size(); ++i) {
        ASSERT_GE(SortValue(wide.lineRecords[i - 1], kSortLuminance), SortValue(wide.lineRecords[i], kSortLuminance));
    }
    EXPECT_EQ(wide.lineRecords.back().spanWeight, 0.0f);  // the last record closes the last line

    // 1 × 70000 turned by 90 degrees is a 70000 × 1 grid, built and written back on row threads.
    KRVN_Params turned;
    turned.angle = 90.0f;
    Info tall = Prepared(Indexed(1, 70000), 1, turned);
    EXPECT_EQ(tall.lineLength, 70000);
    EXPECT_EQ(tall.lineCount, 1);
    ASSERT_TRUE(TakeOutPixels(tall));
    EXPECT_EQ(FirstDifference(tall.imageRecords, Indexed(1, 70000)), -1);

    // 1 × 70000 at angle 0: 70000 lines, every one visited.
    Info lines = Prepared(Indexed(1, 70000), 1, KRVN_Params{});
    EXPECT_EQ(lines.lineCount, 70000);
    EXPECT_EQ(SortPhaseSize(lines, 1), 70000);
    EXPECT_TRUE(SortAllLinesSequentially(lines));
}

TEST(ConcurrencyRunRows, EveryRowOnceWhateverTheThreadCount) {
    for (const int threads : {0, 1, 3, 8}) {
        PoolExecutor pool(threads);
        for (const int32_t rows : {0, 1, 5, 70000}) {
            Info info;
            std::vector<std::atomic<int>> seen(static_cast<size_t>(rows));
            const bool ok = RunRowsInParallel(
                [&seen](Info&, int32_t row) {
                    seen[static_cast<size_t>(row)].fetch_add(1);
                    return true;
                },
                info, rows, pool);
            EXPECT_TRUE(ok);
            for (const auto& count : seen) {
                ASSERT_EQ(count.load(), 1) << threads << " threads, " << rows << " rows";
            }
        }
    }
}

// An executor that runs the first `runs` items on this thread and then stops with `code`, as a
// host that cancels in the middle of a loop.
class StoppingExecutor final : public Executor {
public:
    StoppingExecutor(int64_t runs, int32_t code) : runs_(runs), code_(code) {}
    int Workers() override { return 1; }
    int32_t RunItems(int64_t items, void* context, ItemFunction function) override {
        for (int64_t item = 0; item < items; ++item) {
            if (item == runs_) return code_;
            if (const int32_t code = function(context, item, 0)) return code;
        }
        return 0;
    }

private:
    int64_t runs_;
    int32_t code_;
};

TEST(ConcurrencyRunRows, AnExecutorThatStopsFailsTheLoopWithItsCode) {
    Info info;
    std::atomic<int> calls{0};
    StoppingExecutor stopping(4, 7);
    const bool ok = RunRowsInParallel(
        [&calls](Info&, int32_t) {
            calls.fetch_add(1);
            return true;
        },
        info, 8, stopping);
    EXPECT_FALSE(ok);
    EXPECT_EQ(calls.load(), 4);
    EXPECT_EQ(info.loopCode, 7);
    EXPECT_FALSE(info.Message().empty());

    // The same rows on the sort context's own executor, which runs them all.
    SerialExecutor serial;
    info.executor = &serial;
    EXPECT_TRUE(RunRowsInParallel([&calls](Info&, int32_t) { return calls.fetch_add(1) >= 0; }, info, 8));
    EXPECT_EQ(calls.load(), 12);
    EXPECT_EQ(info.loopCode, 0);
}

TEST(ConcurrencyRunRows, ExceptionsFromSeveralRowsLeaveOneMessage) {
    Info info;
    PoolExecutor pool(8);
    const bool ok = RunRowsInParallel(
        [](Info&, int32_t row) -> bool { throw std::runtime_error("row " + std::to_string(row)); }, info, 16, pool);
    EXPECT_TRUE(ok);
    EXPECT_EQ(info.Message().rfind("row ", 0), 0u);
}

}  // namespace
}  // namespace korvane::utils::test
