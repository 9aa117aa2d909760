// Properties on random lines and random looks: spans are sorted permutations, nothing outside
// spans changes, empty selections change nothing, the keyed sort orders like the comparator, and
// the phase plan on many threads gives the bytes of the one-thread order.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <random>
#include <thread>

#include "SortingTestSupport.h"
#include "sorting/CompactGrid.h"
#include "sorting/LineKernel.h"
#include "sorting/RadixSort.h"

namespace korvane::utils::test {
namespace {

// The scratch of the one worker the tests below sort on, kept from call to call as an executor's is.
WorkerScratch& TestScratch() {
    static WorkerScratch scratch;
    return scratch;
}

// In the edges mode, edge flags on a share of the records (the frame's flags as the effect marks
// them; the core only reads them).
void MarkRandomEdges(std::mt19937& g, const KRVN_Params& p, std::vector<PixelRecord>& records) {
    if (p.look.interval != kIntervalEdges) return;
    for (PixelRecord& rec : records) rec.edge = Chance(g, 0.15) ? 1 : 0;
}

KRVN_Params RandomLook(std::mt19937& g) {
    KRVN_Params p;
    p.trigger = Pick(g, 0, 10);
    p.effect = Pick(g, 1, 2);
    p.sort_key = Pick(g, 0, 11);
    p.mode = Pick(g, 1, 8);
    p.blur = Chance(g, 0.3) ? Pick(g, 1, 4) : 0;
    p.random_seed = Pick(g, 0, 65536);
    p.angle = Chance(g, 0.7) ? 0.0f : Uniform(g, -360.0f, 360.0f);
    p.threshold_low = Uniform(g, 0.0f, 0.6f);
    p.threshold_high = Uniform(g, 0.3f, 1.0f);
    p.feather_start = Chance(g, 0.3) ? Uniform(g, 0.0f, 1.0f) : 0.0f;
    p.feather_end = Chance(g, 0.3) ? Uniform(g, 0.0f, 1.0f) : 0.0f;
    p.resolution = Chance(g, 0.7) ? 1.0f : Uniform(g, 0.0f, 1.0f);
    p.animate_growth = Chance(g, 0.6) ? 1.0f : Uniform(g, 0.0f, 2.0f);
    p.offset = Chance(g, 0.7) ? 0.0f : Uniform(g, 0.0f, 1.0f);
    p.random_offset = Chance(g, 0.7) ? 0.0f : Uniform(g, 0.0f, 1.0f);
    p.loop = Chance(g, 0.7) ? 0.0f : Uniform(g, -1.0f, 1.0f);
    p.block_width = Chance(g, 0.6) ? 1.0f : Uniform(g, 0.0f, 1.0f);
    p.block_height = Chance(g, 0.5) ? 0.0f : Uniform(g, 0.0f, 1.0f);
    p.pop = Chance(g, 0.7) ? 0.0f : Uniform(g, 0.0f, 1.0f);
    p.noise_amount = Chance(g, 0.7) ? 0.0f : Uniform(g, 0.0f, 1.0f);
    p.noise_size = Uniform(g, 0.0f, 0.3f);
    p.noise_complexity = Pick(g, 0, 9);
    p.noise_seed = Pick(g, 0, 65536);
    p.stretch = Chance(g, 0.3);
    p.stretch_factor = Uniform(g, 0.0f, 3.0f);
    p.priority = Pick(g, 1, 2);
    p.fill = Chance(g, 0.5);
    p.reverse = Chance(g, 0.5);
    p.mirror = Chance(g, 0.2);
    p.preserve_alpha = Chance(g, 0.3);
    p.affect_background = Chance(g, 0.5);
    p.has_masks = Chance(g, 0.2);
    // Interval modes with short spans and fast waves, so that small frames see many cuts.
    p.look.interval = Chance(g, 0.6) ? 1 : Pick(g, 2, 4);
    p.look.span_length = Uniform(g, 0.5f, 12.0f);
    p.look.span_seed = Pick(g, 0, 65536);
    p.look.wave_length = Uniform(g, 0.5f, 40.0f);
    p.look.wave_amplitude = Uniform(g, 0.0f, 1.5f);
    p.look.wave_phase = Uniform(g, -360.0f, 360.0f);
    p.look.wave_drift = Uniform(g, -30.0f, 30.0f);
    return p;
}

TEST(SortProperties, ThresholdsThatSelectNothingChangeNothing) {
    std::mt19937 g(99);
    for (int round = 0; round < 200; ++round) {
        KRVN_Params p = RandomLook(g);
        p.random_offset = Chance(g, 0.5) ? 0.0f : 1.0f;
        p.has_masks = false;
        p.angle = 0.0f;
        p.resolution = 1.0f;
        p.effect = 1;
        p.threshold_low = Uniform(g, 0.0f, 1.0f);
        p.threshold_high = p.threshold_low;  // an empty range: every pixel breaks
        const int32_t width = Pick(g, 1, 30);
        const auto input = RandomRecords(g, static_cast<size_t>(width) * Pick(g, 1, 5), false);
        Info info = Prepared(input, width, p);
        ASSERT_TRUE(SortAllLinesSequentially(info));
        ASSERT_EQ(FirstDifference(info.lineRecords, input), -1) << "round " << round;
    }
}

// Runs the phase plan on one thread with the items of every phase in reverse order: a line that
// still depended on a neighbour of its own phase would see that neighbour already sorted.
bool RunPlanBackwards(Info& info) {
    for (int phase = 0; phase < SortPhaseCount(info); ++phase) {
        for (int64_t item = SortPhaseSize(info, phase) - 1; item >= 0; --item) {
            if (!SortPhaseItem(info, phase, item)) return false;
        }
    }
    return true;
}

// Runs the phase plan with the items of every phase shuffled and spread over `threads` threads.
bool RunPlanOnThreads(Info& info, int threads, std::mt19937& g) {
    bool ok = true;
    for (int phase = 0; phase < SortPhaseCount(info); ++phase) {
        std::vector<int64_t> items(static_cast<size_t>(SortPhaseSize(info, phase)));
        for (size_t i = 0; i < items.size(); ++i) items[i] = static_cast<int64_t>(i);
        std::shuffle(items.begin(), items.end(), g);
        std::atomic<size_t> next{0};
        std::atomic<bool> failed{false};
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t) {
            pool.emplace_back([&] {
                for (size_t i = next.fetch_add(1); i < items.size(); i = next.fetch_add(1)) {
                    if (!SortPhaseItem(info, phase, items[i])) failed = true;
                }
            });
        }
        for (auto& thread : pool) thread.join();
        ok = ok && !failed;
    }
    return ok;
}

// Looks where lines meet most: the fill option on, fills at the line ends, masks, blocks.
KRVN_Params MeetingLook(std::mt19937& g) {
    KRVN_Params p = RandomLook(g);
    p.fill = true;
    p.mode = Pick(g, 1, 4);
    p.has_masks = Chance(g, 0.5);
    p.block_height = Chance(g, 0.3) ? 0.0f : Uniform(g, 0.3f, 1.0f);
    p.animate_growth = 1.0f;
    p.offset = 0.0f;
    p.random_offset = 0.0f;
    p.threshold_low = 0.0f;
    p.threshold_high = Uniform(g, 0.5f, 1.0f);
    return p;
}

// When the lines of a look are the image rows sorted apart, each row sorted from its own buffer,
// with the next row's unsorted head beside it and in reverse order, comes out as the grid's line
// sorted in order does. Returns whether the look sorts rows apart.
bool ExpectRowsApartMatch(const std::vector<PixelRecord>& input, int32_t width, int32_t height, const KRVN_Params& p,
                          const Info& sequential) {
    Info rows;
    rows.settings = sources::CopySettings(p);
    const bool apart = LinesAreImageRows(rows, width, height);
    EXPECT_EQ(apart, p.angle == 0.0f && sequential.derived.scale == 1.0f && sequential.blockLines == 1 &&
                         !sequential.derived.randomOffsetOn);
    if (!apart) {
        EXPECT_FALSE(PrepareRowSorting(rows, width, height));
        return false;
    }
    EXPECT_TRUE(PrepareRowSorting(rows, width, height)) << rows.Message();
    EXPECT_TRUE(rows.lineRecords.empty());
    for (int32_t y = height - 1; y >= 0; --y) {
        const auto begin = input.begin() + static_cast<std::ptrdiff_t>(y) * width;
        std::vector<PixelRecord> row(begin, begin + width);
        const PixelRecord* head = y + 1 < height ? &input[static_cast<size_t>(y + 1) * width] : nullptr;
        EXPECT_TRUE(SortRowWithHead(rows, y, row.data(), head)) << rows.Message();
        const auto sorted = sequential.lineRecords.begin() + static_cast<std::ptrdiff_t>(y) * width;
        EXPECT_EQ(FirstDifference(row, std::vector<PixelRecord>(sorted, sorted + width)), -1) << "row " << y;
    }
    return true;
}

void ExpectPlanMatchesOneThread(std::mt19937& g, KRVN_Params (*look)(std::mt19937&), int rounds, int maxWidth,
                                int maxHeight) {
    int randomOffsetLooks = 0;
    int rowsApartLooks = 0;
    for (int round = 0; round < rounds; ++round) {
        const KRVN_Params p = look(g);
        randomOffsetLooks += p.random_offset > 0.0f ? 1 : 0;
        const int32_t width = Pick(g, 1, maxWidth);
        const int32_t height = Pick(g, 1, maxHeight);
        auto input = RandomRecords(g, static_cast<size_t>(width) * height, p.has_masks);
        MarkRandomEdges(g, p, input);
        Info sequential = Prepared(input, width, p);
        Info planned = Prepared(input, width, p);
        Info backwards = Prepared(input, width, p);
        ASSERT_TRUE(SortAllLinesSequentially(sequential)) << sequential.Message();
        ASSERT_TRUE(RunPlanBackwards(backwards)) << backwards.Message();
        ASSERT_EQ(FirstDifference(sequential.lineRecords, backwards.lineRecords), -1)
            << "backwards, round " << round << ": " << width << " x " << height;
        ASSERT_TRUE(RunPlanOnThreads(planned, 4, g)) << planned.Message();
        ASSERT_EQ(FirstDifference(sequential.lineRecords, planned.lineRecords), -1)
            << "round " << round << ": " << width << " x " << height << ", block lines " << sequential.blockLines;
        if (ExpectRowsApartMatch(input, width, height, p, sequential)) ++rowsApartLooks;
        ASSERT_TRUE(TakeOutPixels(sequential));
        ASSERT_TRUE(TakeOutPixels(planned));
        ASSERT_EQ(FirstDifference(sequential.imageRecords, planned.imageRecords), -1) << "round " << round;
    }
    EXPECT_GT(rowsApartLooks, rounds / 8);
    if (look == RandomLook) {
        EXPECT_GT(randomOffsetLooks, rounds / 8);
    }
}

TEST(ConcurrencyPhasePlan, ManyThreadsGiveTheBytesOfOneThreadForEveryLook) {
    std::mt19937 g(31337);
    ExpectPlanMatchesOneThread(g, RandomLook, 400, 24, 14);
}

TEST(ConcurrencyPhasePlan, LinesThatReadTheirNeighbours) {
    std::mt19937 g(4711);
    ExpectPlanMatchesOneThread(g, MeetingLook, 400, 8, 12);
}

// Looks whose rows go through the compact path: angle 0, full resolution, the sort mode and no
// step but the sort, with growth, offsets, thresholds, keys, noise and the fill option left to
// chance.
KRVN_Params PlainRowLook(std::mt19937& g) {
    KRVN_Params p = RandomLook(g);
    p.angle = 0.0f;
    p.resolution = 1.0f;
    p.block_height = 0.0f;
    p.block_width = 1.0f;
    p.random_offset = 0.0f;
    p.mode = 1;
    p.blur = 0;
    p.pop = 0.0f;
    p.mirror = false;
    p.stretch = false;
    p.preserve_alpha = false;
    p.feather_start = 0.0f;
    p.feather_end = 0.0f;
    p.loop = 0.0f;
    p.noise_amount = Chance(g, 0.6) ? 0.0f : Uniform(g, 0.05f, 1.0f);
    p.noise_complexity = Pick(g, 1, 9);
    p.has_masks = false;
    return p;
}

// A block width whose span limit (maxSpanLength, M) is a small share of a line, no noise, and
// triggers that break at distances around the limit along every row: gaps of M - 1 to M + 3 in
// shuffled order, then a stretch without breaks that only the limit cuts. A span of M + 1 cells
// closes whatever the next cell's trigger, so the gaps M + 1 and M + 2 are where a limit one off
// shows. False when no trigger colours of the look break and others do not.
bool PlantBreaksAroundTheLimit(std::mt19937& g, KRVN_Params& p, std::vector<PixelRecord>& input, int32_t width,
                               int32_t height) {
    p.block_width = std::sqrt(Uniform(g, 0.0f, 0.12f));
    p.noise_amount = 0.0f;
    Info probe;
    probe.settings = sources::CopySettings(p);
    if (!PrepareGridSorting(probe, width, height)) return false;
    const int64_t limit = probe.maxSpanLength;
    const TriggerTest test = TriggerTestOf(probe.settings);
    std::vector<FloatPixel> closing;
    std::vector<FloatPixel> open;
    for (int i = 0; i < 4096; ++i) {
        const FloatPixel c{Uniform(g, 0.0f, 1.0f), Uniform(g, 0.0f, 1.0f), Uniform(g, 0.0f, 1.0f),
                           Uniform(g, 0.0f, 1.0f)};
        (test.Breaks(c.red, c.green, c.blue, c.alpha) ? closing : open).push_back(c);
    }
    if (closing.empty() || open.empty()) return false;
    for (int32_t y = 0; y < height; ++y) {
        std::vector<int64_t> gaps;
        for (int64_t gap = limit - 1; gap <= limit + 3; ++gap) {
            if (gap >= 1) gaps.push_back(gap);
        }
        std::shuffle(gaps.begin(), gaps.end(), g);
        std::vector<bool> breaks(static_cast<size_t>(width), false);
        int64_t x = Pick(g, 0, 3);
        for (const int64_t gap : gaps) {
            if (x < width) breaks[static_cast<size_t>(x)] = true;
            x += gap;
        }
        if (x < width) breaks[static_cast<size_t>(x)] = true;
        for (int32_t i = 0; i < width; ++i) {
            const std::vector<FloatPixel>& from = breaks[static_cast<size_t>(i)] ? closing : open;
            input[static_cast<size_t>(y) * width + i].trigger =
                from[static_cast<size_t>(Pick(g, 0, static_cast<int>(from.size()) - 1))];
        }
    }
    return true;
}

// A row of pixels with the trigger test and sort keys the compact path reads, sorted compactly,
// comes out as the grid line the record kernel sorts; any other look is refused. The pixels are
// 16-byte colours, or 4 and 8-byte tags naming the record they came from (the record's colour made
// unique, so that the kernel's output names it too). One round in five has its breaks around the
// span limit of its block width.
TEST(SortProperties, CompactRowsSortLikeTheRecordKernel) {
    std::mt19937 g(2718);
    int compact = 0;
    int noisy = 0;
    int nearLimit = 0;
    for (int round = 0; round < 450; ++round) {
        const size_t pixelBytes = round % 3 == 0 ? 4 : round % 3 == 1 ? 8 : 16;
        KRVN_Params p = round % 10 == 9 ? RandomLook(g) : PlainRowLook(g);
        const bool limited = round % 5 == 2;
        const int32_t width = limited ? Pick(g, 24, 400) : Pick(g, 1, round % 7 == 0 ? 400 : 40);
        const int32_t height = Pick(g, 1, 6);
        auto input = RandomRecords(g, static_cast<size_t>(width) * height, false);
        MarkRandomEdges(g, p, input);
        for (size_t i = 0; i < input.size(); ++i) input[i].color.alpha = static_cast<float>(i);
        if (limited && !PlantBreaksAroundTheLimit(g, p, input, width, height)) continue;
        Info sequential = Prepared(input, width, p);
        ASSERT_TRUE(SortAllLinesSequentially(sequential)) << sequential.Message();
        Info rows;
        rows.settings = sources::CopySettings(p);
        if (!LinesAreImageRows(rows, width, height) || !PrepareRowSorting(rows, width, height)) continue;
        const TriggerTest test = TriggerTestOf(rows.settings);
        std::vector<FloatPixel> colors(static_cast<size_t>(width));
        std::vector<uint32_t> tags(static_cast<size_t>(width) * 2);
        std::vector<uint8_t> breaks(static_cast<size_t>(width));
        std::vector<uint32_t> keys(static_cast<size_t>(width));
        std::vector<float> noise(static_cast<size_t>(width));
        void* pixels = pixelBytes == 16 ? static_cast<void*>(colors.data()) : static_cast<void*>(tags.data());
        if (!CompactRowsApply(rows)) {
            EXPECT_FALSE(SortCompactRow(rows, 0, pixels, pixelBytes, breaks.data(), keys.data(), TestScratch()));
            EXPECT_NE(rows.Message().find("compact"), std::string::npos);
            continue;
        }
        ++compact;
        nearLimit += limited ? 1 : 0;
        EXPECT_FALSE(SortCompactRow(rows, 0, pixels, 12, breaks.data(), keys.data(), TestScratch()));
        if (rows.derived.noiseOn) ++noisy;
        for (int32_t y = height - 1; y >= 0; --y) {
            LineNoiseValues(rows, y, width, noise.data());
            for (int32_t x = 0; x < width; ++x) {
                const PixelRecord& r = input[static_cast<size_t>(y) * width + x];
                colors[x] = r.color;
                // 8 bytes: the index, then its complement, so that both halves travel.
                if (pixelBytes == 4) tags[x] = static_cast<uint32_t>(x);
                if (pixelBytes == 8) {
                    tags[2 * static_cast<size_t>(x)] = static_cast<uint32_t>(x);
                    tags[2 * static_cast<size_t>(x) + 1] = ~static_cast<uint32_t>(x);
                }
                const float n = noise[x];
                breaks[x] = test.Breaks(r.trigger.red + n, r.trigger.green + n, r.trigger.blue + n, r.trigger.alpha) ||
                            r.edge != 0;
                keys[x] = SortableBits(SortValueOf(r.sortSource, rows.settings.sortKey), !rows.settings.reverse);
            }
            ASSERT_TRUE(SortCompactRow(rows, y, pixels, pixelBytes, breaks.data(), keys.data(), TestScratch()))
                << rows.Message();
            for (int32_t x = 0; x < width; ++x) {
                const FloatPixel& want = sequential.lineRecords[static_cast<size_t>(y) * width + x].color;
                FloatPixel got = colors[x];
                if (pixelBytes != 16) {
                    const uint32_t tag = pixelBytes == 4 ? tags[x] : tags[2 * static_cast<size_t>(x)];
                    ASSERT_LT(tag, static_cast<uint32_t>(width)) << "round " << round << ", x " << x;
                    if (pixelBytes == 8) {
                        ASSERT_EQ(tags[2 * static_cast<size_t>(x) + 1], ~tag);
                    }
                    got = input[static_cast<size_t>(y) * width + tag].color;
                }
                ASSERT_EQ(std::memcmp(&got, &want, sizeof want), 0)
                    << "round " << round << ", " << pixelBytes << "-byte pixels, row " << y << ", x " << x << " of "
                    << width;
            }
        }
    }
    EXPECT_GT(compact, 220);
    EXPECT_GT(noisy, 60);
    EXPECT_GT(nearLimit, 60);
}

// A plain look on a turned or scaled grid, sorted on the compact grid built from image keys and
// read back as the output reads it, gives every image pixel the colour the record grid gives it
// after TakeOutPixels, with the background kept or not; other looks are refused.
TEST(SortProperties, CompactGridSortsLikeTheRecordGrid) {
    std::mt19937 g(1618);
    int compact = 0;
    int kept = 0;
    int largeCompact = 0;
    for (int round = 0; round < 300; ++round) {
        KRVN_Params p = round % 10 == 9 ? RandomLook(g) : PlainRowLook(g);
        if (round % 10 != 9) {
            p.angle = Chance(g, 0.8) ? Uniform(g, -360.0f, 360.0f) : 0.0f;
            p.resolution = Chance(g, 0.5) ? 1.0f : Uniform(g, 0.0f, 1.0f);
            p.affect_background = Chance(g, 0.5);
            p.block_width = Chance(g, 0.5) ? 1.0f : Uniform(g, 0.0f, 1.0f);
            // Noise moves with the grid's places, not the image's: the compact grid leaves it out.
            if (Chance(g, 0.8)) p.noise_amount = 0.0f;
        }
        // One round in four is wide and tall enough for grids of several blocks of columns and
        // bands of rows, whose gathers fetch ahead across rows and end in part blocks.
        const bool large = round % 4 == 1;
        const int32_t width = large ? Pick(g, kGridBlockColumns + 1, 3 * kGridBlockColumns) : Pick(g, 1, 40);
        const int32_t height = large ? Pick(g, kGridBandRows + 1, 3 * kGridBandRows) : Pick(g, 1, 30);
        auto input = RandomRecords(g, static_cast<size_t>(width) * height, false);
        MarkRandomEdges(g, p, input);
        Info records = Prepared(input, width, p);
        ASSERT_TRUE(SortAllLinesSequentially(records)) << records.Message();
        ASSERT_TRUE(TakeOutPixels(records)) << records.Message();

        Info info;
        info.settings = sources::CopySettings(p);
        ASSERT_TRUE(PrepareGridSorting(info, width, height)) << info.Message();
        EXPECT_EQ(CompactGridFits(info.settings, width, height), CompactGridApplies(info) || RandomRowsApply(info));
        CompactGrid grid;
        SizeCompactGrid(grid, info);
        // New grid memory is not cleared: whatever it holds must not reach the output.
        std::fill(grid.cells.begin(), grid.cells.end(), uint64_t{0xa5a5a5a5a5a5a5a5});
        std::fill(grid.keys.begin(), grid.keys.end(), 0x5a5a5a5au);
        std::fill(grid.breaks.begin(), grid.breaks.end(), uint8_t{0xa5});
        if (!CompactGridApplies(info)) {
            EXPECT_FALSE(SortGridLine(info, grid, 0, TestScratch()));
            continue;
        }
        ++compact;
        kept += p.affect_background ? 0 : 1;
        largeCompact += large ? 1 : 0;
        const TriggerTest test = TriggerTestOf(info.settings);
        for (int32_t y = 0; y < height; ++y) {
            for (int32_t x = 0; x < width; ++x) {
                const PixelRecord& r = input[static_cast<size_t>(y) * width + x];
                const bool breaks = test.Breaks(r.trigger.red + 0.0f, r.trigger.green + 0.0f, r.trigger.blue + 0.0f,
                                                r.trigger.alpha) ||
                                    r.edge != 0;
                const uint32_t key = SortableBits(SortValueOf(r.sortSource, info.settings.sortKey),
                                                  !info.settings.reverse);
                grid.keys[static_cast<size_t>(y) * width + x] = key;
                grid.breaks[static_cast<size_t>(y) * width + x] = breaks ? 1 : 0;
            }
        }
        SetUpTransform(info, 1);
        // Bands and lines in reverse order: none may depend on another.
        for (int32_t band = CompactBandCount(info.lineCount) - 1; band >= 0; --band) {
            ASSERT_TRUE(BuildGridBand(info, grid, band, TestScratch()));
        }
        for (int32_t y = info.lineCount - 1; y >= 0; --y) {
            ASSERT_TRUE(SortGridLine(info, grid, y, TestScratch())) << info.Message();
        }
        SetUpTransform(info, 2);
        const TransferMapping back(info);
        for (int32_t y = 0; y < height; ++y) {
            for (int32_t x = 0; x < width; ++x) {
                int32_t gx;
                int32_t gy;
                back.SourceOf(x, y, gx, gy);
                const uint64_t cell = grid.cells[static_cast<size_t>(gx) + static_cast<size_t>(gy) * info.lineLength];
                const bool own = !p.affect_background && !CellFlag(cell);
                const size_t from = own ? static_cast<size_t>(y) * width + x
                                        : static_cast<size_t>(CellRow(cell)) * width + CellColumn(cell);
                const FloatPixel& want = records.imageRecords[static_cast<size_t>(y) * width + x].color;
                ASSERT_TRUE(SameBytes(input[from].color, want))
                    << "round " << round << ": " << width << " x " << height << " at " << p.angle << " degrees, x " << x
                    << ", y " << y;
            }
        }
    }
    EXPECT_GT(compact, 150);
    EXPECT_GT(kept, 50);
    EXPECT_GT(largeCompact, 40);
}

// A plain look with a random offset on the image rows, sorted as random rows: each row's spans
// found from its own breaks alone (the rows searched in shuffled order), then sorted line after
// line on the image words, leave every cell the record the record kernel leaves there, for lines
// of one pixel, one-line frames and short lines too, and with breaks around the span limit of the
// block width; other looks are refused.
TEST(SortProperties, RandomRowsSortLikeTheRecordKernel) {
    std::mt19937 g(2953);
    int compact = 0;
    int noisy = 0;
    int reachingBack = 0;
    int thin = 0;
    int nearLimit = 0;
    for (int round = 0; round < 600; ++round) {
        KRVN_Params p = round % 10 == 9 ? RandomLook(g) : PlainRowLook(g);
        if (round % 10 != 9) {
            p.random_offset = Chance(g, 0.2) ? 1.0f : Uniform(g, 0.0005f, 1.0f);
            p.random_seed = Chance(g, 0.1) ? 0 : Pick(g, 1, 65536);
            p.fill = Chance(g, 0.5);
        }
        // 1 × N, N × 1, lines of 2 to 5 pixels, wider frames, and breaks around the span limit.
        const int shape = round % 5;
        const bool limited = shape == 4 && round % 10 != 9;
        const int32_t width = shape == 0   ? 1
                              : shape == 2 ? Pick(g, 2, 5)
                              : limited    ? Pick(g, 24, 300)
                                           : Pick(g, 1, round % 7 == 0 ? 300 : 50);
        const int32_t height = shape == 1 ? 1 : Pick(g, 1, shape == 0 ? 40 : 12);
        auto input = RandomRecords(g, static_cast<size_t>(width) * height, false);
        MarkRandomEdges(g, p, input);
        // Every colour unique, so that a record in the wrong place shows.
        for (size_t i = 0; i < input.size(); ++i) input[i].color.alpha = static_cast<float>(i);
        if (limited && !PlantBreaksAroundTheLimit(g, p, input, width, height)) continue;
        Info sequential = Prepared(input, width, p);
        ASSERT_TRUE(SortAllLinesSequentially(sequential)) << sequential.Message();

        Info info;
        info.settings = sources::CopySettings(p);
        ASSERT_TRUE(PrepareGridSorting(info, width, height)) << info.Message();
        EXPECT_EQ(CompactGridFits(info.settings, width, height), CompactGridApplies(info) || RandomRowsApply(info));
        CompactGrid grid;
        SizeCompactGrid(grid, info);
        if (!RandomRowsApply(info)) {
            EXPECT_FALSE(SortRandomRows(info, grid, TestScratch()));
            continue;
        }
        EXPECT_FALSE(CompactGridApplies(info));
        EXPECT_FALSE(SortGridLine(info, grid, 0, TestScratch()));
        ASSERT_TRUE(grid.keys.empty() && grid.breaks.empty());
        ASSERT_EQ(grid.cells.size(), input.size());
        ASSERT_EQ(grid.spans.size(), static_cast<size_t>(height));
        ++compact;
        nearLimit += limited ? 1 : 0;
        noisy += info.derived.noiseOn ? 1 : 0;
        thin += width == 1 || height == 1 ? 1 : 0;
        const TriggerTest test = TriggerTestOf(info.settings);
        std::vector<int32_t> rows(static_cast<size_t>(height));
        for (int32_t y = 0; y < height; ++y) rows[static_cast<size_t>(y)] = y;
        std::shuffle(rows.begin(), rows.end(), g);
        std::vector<uint8_t> breaks(static_cast<size_t>(width));
        std::vector<float> noise(static_cast<size_t>(width));
        for (const int32_t y : rows) {
            LineNoiseValues(info, y, width, noise.data());
            for (int32_t x = 0; x < width; ++x) {
                const PixelRecord& r = input[static_cast<size_t>(y) * width + x];
                const float n = noise[static_cast<size_t>(x)];
                const bool closes = test.Breaks(r.trigger.red + n, r.trigger.green + n, r.trigger.blue + n,
                                                r.trigger.alpha) ||
                                    r.edge != 0;
                breaks[static_cast<size_t>(x)] = closes ? 1 : 0;
                const uint32_t key = SortableBits(SortValueOf(r.sortSource, info.settings.sortKey),
                                                  !info.settings.reverse);
                grid.cells[static_cast<size_t>(y) * width + x] = PackCell(key, closes, x, y);
            }
            FindRandomRowSpans(info, y, breaks.data(), grid.spans[static_cast<size_t>(y)]);
            for (const RowSpan& span : grid.spans[static_cast<size_t>(y)]) {
                ASSERT_GE(span.count, 2);
                ASSERT_GE(static_cast<int64_t>(y) * width + span.start, 0);
                ASSERT_LE(span.start + span.count, width);
                reachingBack += span.start < 0 ? 1 : 0;
            }
        }
        ASSERT_TRUE(SortRandomRows(info, grid, TestScratch())) << info.Message();
        for (size_t i = 0; i < grid.cells.size(); ++i) {
            const uint64_t cell = grid.cells[i];
            const size_t from = static_cast<size_t>(CellRow(cell)) * width + CellColumn(cell);
            ASSERT_LT(from, input.size());
            ASSERT_TRUE(SameBytes(input[from].color, sequential.lineRecords[i].color))
                << "round " << round << ": " << width << " x " << height << ", random offset " << p.random_offset
                << ", cell " << i;
        }
        // A span that would leave the grid is refused, not sorted.
        if (!grid.spans.back().empty()) {
            grid.spans.back().back().count = width + 1 - grid.spans.back().back().start;
            EXPECT_FALSE(SortRandomRows(info, grid, TestScratch()));
        }
    }
    EXPECT_GT(compact, 350);
    EXPECT_GT(noisy, 80);
    EXPECT_GT(thin, 100);
    EXPECT_GT(reachingBack, 40);
    EXPECT_GT(nearLimit, 45);
}

// The batched mapping of a row gives every column the source SourceOf gives it, both ways, for
// turned, scaled and plain transforms and blocks that start anywhere in the row.
TEST(SortProperties, RowSourcesAreThoseOfTheMapping) {
    std::mt19937 g(99);
    for (int round = 0; round < 200; ++round) {
        KRVN_Params p;
        p.angle = Chance(g, 0.2) ? 0.0f : Uniform(g, -720.0f, 720.0f);
        p.resolution = Chance(g, 0.3) ? 1.0f : Uniform(g, 0.0f, 1.0f);
        Info info;
        info.settings = sources::CopySettings(p);
        const int32_t width = Pick(g, 1, 90);
        const int32_t height = Pick(g, 1, 90);
        ASSERT_TRUE(PrepareGridSorting(info, width, height)) << info.Message();
        if (info.gridCount == 0) continue;
        for (const int32_t direction : {1, 2}) {
            SetUpTransform(info, direction);
            const TransferMapping map(info);
            const int32_t rows = info.transform.destHeight;
            const int32_t columns = info.transform.destWidth;
            std::vector<int32_t> sx(static_cast<size_t>(columns));
            std::vector<int32_t> sy(static_cast<size_t>(columns));
            for (int32_t y = 0; y < rows; ++y) {
                const int32_t x0 = Pick(g, 0, columns - 1);
                SourcesOfRow(map, y, x0, columns, sx.data(), sy.data());
                for (int32_t x = x0; x < columns; ++x) {
                    int32_t wantX;
                    int32_t wantY;
                    map.SourceOf(x, y, wantX, wantY);
                    ASSERT_EQ(sx[static_cast<size_t>(x - x0)], wantX)
                        << "round " << round << ", direction " << direction;
                    ASSERT_EQ(sy[static_cast<size_t>(x - x0)], wantY)
                        << "round " << round << ", direction " << direction;
                }
            }
        }
    }
}

TEST(ConcurrencyPhasePlan, BlockLooksUseEveryPhase) {
    KRVN_Params p;
    p.block_height = 0.5f;
    p.fill = true;
    std::mt19937 g(5);
    const auto input = RandomRecords(g, 16 * 16, false);
    Info info = Prepared(input, 16, p);
    ASSERT_EQ(info.blockLines, 4);
    ASSERT_EQ(SortPhaseCount(info), 3);
    EXPECT_EQ(SortPhaseSize(info, 0), 1);
    EXPECT_EQ(SortPhaseSize(info, 1), 4);
    EXPECT_EQ(SortPhaseSize(info, 2), 12);
    EXPECT_EQ(SortPhaseSize(info, 3), 0);
    EXPECT_FALSE(SortPhaseItem(info, 1, 0));  // phase 0 has not kept the heads yet
    EXPECT_FALSE(SortPhaseItem(info, 2, 12));
    p.block_height = 0.0f;
    EXPECT_EQ(SortPhaseCount(Prepared(input, 16, p)), 2);
    EXPECT_FALSE(info.Message().empty());
    p.block_height = 0.5f;
    p.random_offset = 0.5f;
    Info chained = Prepared(input, 16, p);
    EXPECT_EQ(SortPhaseCount(chained), 1);
    EXPECT_EQ(SortPhaseSize(chained, 0), 1);
}

}  // namespace
}  // namespace korvane::utils::test
