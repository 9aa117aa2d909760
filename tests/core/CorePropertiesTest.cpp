// Properties of the sorting core on its own, from its own settings: what a sort does to a span,
// the keyed sort against the comparator, the radix sort's stability, the curved paths' tables and
// what sorting along them does, where the interval modes cut lines and the share of pixels the
// automatic band holds.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "CoreSupport.h"
#include "sorting/AutoThreshold.h"
#include "sorting/CompactPaths.h"
#include "sorting/CurvedPaths.h"
#include "sorting/Executor.h"
#include "sorting/Intervals.h"
#include "sorting/KeyMath.h"
#include "sorting/LineKernel.h"
#include "sorting/RadixSort.h"

namespace korvane::utils::test {
namespace {

// Marks [start, end) of a sorted span as in a span and checks its keys come out high to low, NaN
// keys after every number.
void ExpectKeysInOrder(const std::vector<PixelRecord>& records, int64_t start, int64_t end, int32_t sortKey,
                       std::vector<bool>& inSpan, int round) {
    float previous = std::numeric_limits<float>::infinity();
    bool sawNaN = false;
    for (int64_t i = start; i < end; ++i) {
        inSpan[static_cast<size_t>(i)] = true;
        const float key = SortValue(records[static_cast<size_t>(i)], sortKey);
        if (std::isnan(key)) {
            sawNaN = true;
            continue;
        }
        ASSERT_FALSE(sawNaN) << "a NaN key came before a number, round " << round;
        ASSERT_LE(key, previous) << "round " << round;
        previous = key;
    }
}

// A sort-only look: spans are found from positions and weights (reverse off).
TEST(SortProperties, SpansArePermutationsInKeyOrderAndTheRestIsUntouched) {
    std::mt19937 g(20261208);
    for (int round = 0; round < 300; ++round) {
        SortSettings s;
        s.triggerKey = Pick(g, 1, 9);
        s.sortKey = Pick(g, 1, 10);
        s.thresholdMode = Pick(g, 1, 2);
        s.thresholdLow = Uniform(g, 0.0f, 0.5f);
        s.thresholdHigh = Uniform(g, 0.4f, 1.0f);
        s.blockWidth = Chance(g, 0.5) ? 1.0f : Uniform(g, 0.0f, 1.0f);
        s.fillLineEnd = Chance(g, 0.5);
        const int32_t width = Chance(g, 0.8) ? Pick(g, 1, 40) : Pick(g, 128, 400);  // both sorts
        const int32_t height = Pick(g, 1, 4);
        const auto input = RandomRecords(g, static_cast<size_t>(width) * height, false);
        Info info = Prepared(input, width, s);
        ASSERT_TRUE(SortAllLinesSequentially(info));
        const auto& out = info.lineRecords;
        std::vector<bool> inSpan(out.size(), false);
        for (const auto& [start, end] : ProcessedSpans(out, 0, info.gridCount)) {
            ASSERT_GE(end - start, 2);
            std::vector<PixelRecord> before(input.begin() + start, input.begin() + end);
            std::vector<PixelRecord> after(out.begin() + start, out.begin() + end);
            for (auto& rec : after) {
                rec.spanPosition = 0.0f;
                rec.spanWeight = 0.0f;
            }
            ASSERT_EQ(FirstDifference(SortedByBytes(before), SortedByBytes(after)), -1) << "round " << round;
            ExpectKeysInOrder(out, start, end, s.sortKey, inSpan, round);
        }
        for (size_t i = 0; i < out.size(); ++i) {
            if (!inSpan[i]) {
                ASSERT_TRUE(SameRecord(out[i], input[i])) << "round " << round << " index " << i;
            }
        }
    }
}

TEST(SortProperties, KeyedSortOrdersLikeTheComparator) {
    std::mt19937 g(7);
    for (int round = 0; round < 200; ++round) {
        SortSettings s;
        s.sortKey = Pick(g, 0, 11);
        s.reverse = Chance(g, 0.5);
        s.thresholdHigh = 2.0f;
        s.fillLineEnd = true;
        auto input = RandomRecords(g, static_cast<size_t>(Chance(g, 0.5) ? Pick(g, 2, 127) : Pick(g, 128, 700)), false);
        for (auto& rec : input) {  // NaN keys have no comparator order; NaN triggers cut spans short
            for (FloatPixel* px : {&rec.sortSource, &rec.trigger}) {
                for (float* c : {&px->alpha, &px->red, &px->green, &px->blue}) {
                    if (std::isnan(*c)) *c = 0.5f;
                }
            }
        }
        const int32_t width = static_cast<int32_t>(input.size());
        Info keyed = Prepared(input, width, s);
        Info compared = Prepared(input, width, s);
        compared.derived.comparatorSort = true;
        ASSERT_TRUE(SortAllLinesSequentially(keyed));
        ASSERT_TRUE(SortAllLinesSequentially(compared));
        for (size_t i = 0; i < input.size(); ++i) {
            ASSERT_EQ(SortValue(keyed.lineRecords[i], s.sortKey), SortValue(compared.lineRecords[i], s.sortKey))
                << "round " << round << " index " << i;
        }
    }
}

TEST(SortProperties, RadixSortIsStableByTheHighHalf) {
    std::mt19937 g(11);
    std::vector<uint64_t> spare;
    for (int round = 0; round < 600; ++round) {
        const size_t n = static_cast<size_t>(Chance(g, 0.3) ? Pick(g, 0, 70) : Pick(g, 64, 3000));
        // Few distinct keys give long runs of ties; some rounds share all but one key byte; some
        // lie close together across byte boundaries (0x3fffff.. next to 0x400000..), at the ends
        // of the key range, or all equal.
        const uint32_t keyMask = Chance(g, 0.5) ? 0x7u : Chance(g, 0.5) ? 0x00ff0000u : 0xffffffffu;
        const int spread = Pick(g, 0, 5);
        const uint32_t centre = Chance(g, 0.5) ? 0x40000000u : g();
        std::vector<uint64_t> values(n);
        for (uint64_t& v : values) {
            uint32_t key = g() & keyMask;
            if (spread == 1) key = centre + (g() % 513u) - 256u;  // wraps round 0 too
            if (spread == 2) key = centre + (g() % (1u << Pick(g, 8, 24))) - (1u << 7);
            if (spread == 3) key = Chance(g, 0.5) ? 0u : Chance(g, 0.5) ? 0xffffffffu : g();
            if (spread == 4) key = centre;
            v = (static_cast<uint64_t>(key) << 32) | g();
        }
        std::vector<uint64_t> expected = values;
        std::stable_sort(expected.begin(), expected.end(),
                         [](uint64_t a, uint64_t b) { return (a >> 32) < (b >> 32); });
        SortByHighHalf(values.data(), values.size(), spare);
        ASSERT_EQ(values, expected) << "round " << round << ", " << n << " values";
    }
}

// ---- Curved paths

constexpr double kTurn = 6.283185307179586;

struct Geometry {
    double distance;
    double angle;  // [0, 2π), from the angle parameter's direction
};

Geometry GeometryOf(const PathShape& shape, int64_t index) {
    const double dx = static_cast<double>(index % shape.width) + 0.5 - shape.centreX * shape.width;
    const double dy = static_cast<double>(index / shape.width) + 0.5 - shape.centreY * shape.height;
    double angle = std::atan2(dy, dx) - static_cast<double>(shape.angle) * (kTurn / 360.0);
    angle -= kTurn * std::floor(angle / kTurn);
    return {std::hypot(dx, dy), angle < kTurn ? angle : 0.0};
}

// Frames of every awkward size with centres inside, on the edge and outside the frame, and strips.
std::vector<PathShape> Shapes(std::mt19937& g, int32_t shape) {
    std::vector<PathShape> shapes;
    const std::pair<int32_t, int32_t> sizes[] = {{1, 1}, {1, 9}, {9, 1}, {7, 5}, {16, 16}, {33, 20}};
    for (const auto& [w, h] : sizes) {
        for (const auto& [cx, cy] : {std::pair{0.5, 0.5}, {0.0, 0.0}, {1.0, 0.3}, {-1.5, 2.5}}) {
            SortSettings s;
            s.pathShape = shape;
            s.centreX = static_cast<float>(cx);
            s.centreY = static_cast<float>(cy);
            s.angle = Chance(g, 0.5) ? 0.0f : Uniform(g, -359.0f, 359.0f);
            shapes.push_back(PathShapeOf(s, w, h));
        }
    }
    // Strips: a frame's pixels a tiny part of the curve's square.
    for (const auto& [w, h] : {std::pair{4099, 3}, {3, 4099}, {65536, 1}}) {
        SortSettings s;
        s.pathShape = shape;
        s.angle = 90.0f * static_cast<float>(Pick(g, 0, 3));
        shapes.push_back(PathShapeOf(s, w, h));
    }
    SortSettings odd;
    odd.pathShape = shape;
    odd.centreX = std::numeric_limits<float>::quiet_NaN();
    odd.centreY = 1e30f;
    shapes.push_back(PathShapeOf(odd, Pick(g, 1, 50), Pick(g, 1, 50)));
    return shapes;
}

// Where point (x, y) of an n × n square comes along the Hilbert curve (n a power of two).
int64_t HilbertIndex(int64_t n, int64_t x, int64_t y) {
    int64_t d = 0;
    for (int64_t s = n / 2; s > 0; s /= 2) {
        const int64_t rx = (x & s) > 0 ? 1 : 0;
        const int64_t ry = (y & s) > 0 ? 1 : 0;
        d += s * s * ((3 * rx) ^ ry);
        if (ry == 0) {
            if (rx == 1) {
                x = n - 1 - x;
                y = n - 1 - y;
            }
            std::swap(x, y);
        }
    }
    return d;
}

// Where pixel `index` of a frame comes along its turned Hilbert curve.
int64_t CurvePlace(const PathShape& shape, int64_t index) {
    int64_t n = 1;
    while (n < std::max(shape.width, shape.height)) n *= 2;
    const int64_t x = index % shape.width;
    const int64_t y = index / shape.width;
    switch (((static_cast<int64_t>(std::nearbyint(shape.angle / 90.0f)) % 4) + 4) % 4) {
        case 1: return HilbertIndex(n, y, n - 1 - x);
        case 2: return HilbertIndex(n, n - 1 - x, n - 1 - y);
        case 3: return HilbertIndex(n, n - 1 - y, x);
        default: return HilbertIndex(n, x, y);
    }
}

TEST(CurvedPaths, EveryPixelLiesOnOnePathAndPathsFollowTheirShape) {
    std::mt19937 g(20261209);
    SerialExecutor executor;
    for (const int32_t kind : {kPathCircles, kPathRays, kPathSpiral, kPathHilbert}) {
        for (const PathShape& shape : Shapes(g, kind)) {
            int32_t code = 0;
            const auto table = MakePathTable(shape, executor, code);
            ASSERT_NE(table, nullptr);
            const int64_t count = static_cast<int64_t>(shape.width) * shape.height;
            ASSERT_EQ(static_cast<int64_t>(table->order.size()), count);
            std::vector<int> seen(static_cast<size_t>(count), 0);
            for (const int32_t index : table->order) ++seen[static_cast<size_t>(index)];
            ASSERT_EQ(std::count(seen.begin(), seen.end(), 1), count) << "kind " << kind;
            ASSERT_EQ(table->starts.back(), count);
            ASSERT_EQ(table->batches.back(), table->PathCount());
            if (kind == kPathSpiral || kind == kPathHilbert) {
                ASSERT_EQ(table->PathCount(), 1);
            }
            double farthest = 0.0;
            for (int64_t i = 0; i < count; ++i) farthest = std::max(farthest, GeometryOf(shape, i).distance);
            const double rayWidth = kTurn / std::ceil(kTurn * (farthest + 1.0));
            for (int32_t p = 0; p < table->PathCount(); ++p) {
                ASSERT_GT(table->Length(p), 0);
                const int32_t* path = table->order.data() + table->starts[static_cast<size_t>(p)];
                const Geometry first = GeometryOf(shape, path[0]);
                for (int64_t i = 1; i < table->Length(p); ++i) {
                    const Geometry a = GeometryOf(shape, path[i - 1]);
                    const Geometry b = GeometryOf(shape, path[i]);
                    if (kind == kPathCircles) {
                        // One ring: the same rounded distance, walked by angle.
                        ASSERT_EQ(std::floor(b.distance + 0.5), std::floor(first.distance + 0.5));
                        ASSERT_LE(a.angle, b.angle);
                    } else if (kind == kPathRays) {
                        // One ray: a narrow bucket of angles, walked outwards.
                        ASSERT_LT(b.angle - first.angle, 4.0 * rayWidth) << "ray " << p;
                        ASSERT_LE(a.distance, b.distance);
                    } else if (kind == kPathSpiral) {
                        ASSERT_LE(std::floor(a.distance + 0.5), std::floor(b.distance + 0.5));
                    } else {
                        // The frame's pixels in the order the whole curve visits them.
                        ASSERT_LT(CurvePlace(shape, path[i - 1]), CurvePlace(shape, path[i])) << "at " << i;
                        if ((shape.width & (shape.width - 1)) == 0 && shape.width == shape.height) {
                            // A square of a power of two holds the whole curve: each step is to a neighbour.
                            const int32_t step = std::abs(path[i] - path[i - 1]);
                            ASSERT_TRUE(step == 1 || step == shape.width) << "at " << i;
                        }
                    }
                }
            }
        }
    }
}

// Records of a random image prepared for paths: the derived settings without a grid.
Info PreparedForPaths(const std::vector<PixelRecord>& records, int32_t width, int32_t height,
                      const SortSettings& settings) {
    Info info;
    info.settings = settings;
    EXPECT_TRUE(PrepareGridSorting(info, width, height)) << info.Message();
    info.imageRecords = records;
    return info;
}

std::vector<PixelRecord> SortedAlongPaths(Info& info, const PathTable& table, Executor& executor) {
    PathNeighbours neighbours;
    TakePathNeighbours(info, table, neighbours);
    const int32_t code = executor.Run(static_cast<int64_t>(table.batches.size()) - 1, [&](int64_t item, int worker) {
        return SortPathBatch(info, table, neighbours, static_cast<int32_t>(item), executor.Scratch(worker)) ? 0 : 1;
    });
    EXPECT_EQ(code, 0) << info.Message();
    return info.imageRecords;
}

// The image index of the pixel each place of the image takes when the paths are sorted as words,
// from the keys and breaks of info.imageRecords as the worlds' reader computes them.
std::vector<uint32_t> SortedAsWords(Info& info, const PathTable& table, Executor& executor) {
    const TriggerTest test = TriggerTestOf(info.settings);
    std::vector<uint32_t> keys;
    std::vector<uint8_t> breaks;
    for (const PixelRecord& r : info.imageRecords) {
        keys.push_back(SortableBits(SortValueOf(r.sortSource, info.settings.sortKey), !info.settings.reverse));
        const FloatPixel& t = r.trigger;
        breaks.push_back(test.Breaks(t.red, t.green, t.blue, t.alpha) || r.edge != 0 ? 1 : 0);
    }
    CompactPaths paths;
    SizeCompactPaths(paths, table);
    for (int64_t chunk = 0; chunk < PathChunkCount(table); ++chunk) {
        GatherPathWords(table, keys.data(), breaks.data(), paths, chunk);
    }
    int32_t code = executor.Run(static_cast<int64_t>(paths.batchSpans.size()), [&](int64_t item, int) {
        return FindPathSpans(info, table, paths, static_cast<int32_t>(item)) ? 0 : 1;
    });
    EXPECT_EQ(code, 0) << info.Message();
    PlanPathSorts(paths);
    code = executor.Run(static_cast<int64_t>(paths.items.size()) - 1, [&](int64_t item, int worker) {
        SortPathSpans(paths, item, executor.Scratch(worker));
        return 0;
    });
    EXPECT_EQ(code, 0);
    std::vector<uint32_t> sources(table.order.size());
    for (size_t i = 0; i < table.order.size(); ++i) {
        sources[static_cast<size_t>(table.order[i])] = static_cast<uint32_t>(paths.words[i]);
    }
    return sources;
}

// What a sort along the paths does to each of them, as the line's sort does to a line: every
// span a permutation of its records in key order, every record outside spans untouched.
TEST(SortProperties, SortedPathsArePermutationsInKeyOrderAndTheRestIsUntouched) {
    std::mt19937 g(20261210);
    SerialExecutor executor;
    int compact = 0;
    for (int round = 0; round < 160; ++round) {
        SortSettings s;
        s.pathShape = Pick(g, kPathCircles, kPathHilbert);
        s.centreX = Uniform(g, -1.0f, 2.0f);
        s.centreY = Uniform(g, -1.0f, 2.0f);
        s.angle = Uniform(g, -360.0f, 360.0f);
        s.triggerKey = Pick(g, 1, 9);
        s.sortKey = Pick(g, 1, 10);
        s.thresholdLow = Uniform(g, 0.0f, 0.5f);
        s.thresholdHigh = Uniform(g, 0.4f, 1.0f);
        s.blockHeight = Chance(g, 0.3) ? Uniform(g, 0.0f, 1.0f) : 0.0f;
        s.blockWidth = Chance(g, 0.2) ? Uniform(g, 0.05f, 1.0f) : 1.0f;
        s.fillLineEnd = Chance(g, 0.5);
        s.growth = Chance(g, 0.2) ? Uniform(g, 0.2f, 2.0f) : 1.0f;
        s.offset = Chance(g, 0.2) ? Uniform(g, 0.0f, 1.0f) : 0.0f;
        s.intervalMode = Pick(g, kIntervalThreshold, kIntervalWaves);
        s.spanLength = Uniform(g, 1.0f, 20.0f);
        const int32_t width = Pick(g, 1, 40);
        const int32_t height = Pick(g, 1, 30);
        auto input = RandomRecords(g, static_cast<size_t>(width) * height, false);
        if (s.intervalMode == kIntervalEdges) {
            for (PixelRecord& r : input) r.edge = Chance(g, 0.1) ? 1 : 0;
        }
        Info info = PreparedForPaths(input, width, height, s);
        int32_t code = 0;
        const auto table = MakePathTable(PathShapeOf(s, width, height), executor, code);
        ASSERT_NE(table, nullptr);
        // A plain look gives the same pixels sorted as words as sorted as records.
        const bool words = CompactPathsApply(info, *table);
        const std::vector<uint32_t> sources = words ? SortedAsWords(info, *table, executor) : std::vector<uint32_t>();
        const auto out = SortedAlongPaths(info, *table, executor);
        for (size_t i = 0; i < sources.size(); ++i) {
            ASSERT_TRUE(SameBytes(out[i].color, input[sources[i]].color)) << "round " << round << " pixel " << i;
        }
        compact += words ? 1 : 0;
        for (int32_t p = 0; p < table->PathCount(); ++p) {
            const int32_t* places = table->order.data() + table->starts[static_cast<size_t>(p)];
            std::vector<PixelRecord> before;
            std::vector<PixelRecord> after;
            for (int64_t i = 0; i < table->Length(p); ++i) {
                before.push_back(input[static_cast<size_t>(places[i])]);
                after.push_back(out[static_cast<size_t>(places[i])]);
            }
            std::vector<bool> inSpan(after.size(), false);
            for (const auto& [start, end] : ProcessedSpans(after, 0, static_cast<int64_t>(after.size()))) {
                std::vector<PixelRecord> was(before.begin() + start, before.begin() + end);
                std::vector<PixelRecord> is(after.begin() + start, after.begin() + end);
                for (auto* records : {&was, &is}) {
                    for (auto& rec : *records) rec = {rec.color, {}, rec.sortSource, 0.0f, 0.0f, rec.inMask};
                }
                ASSERT_EQ(FirstDifference(SortedByBytes(was), SortedByBytes(is)), -1) << "round " << round;
                ExpectKeysInOrder(after, start, end, s.sortKey, inSpan, round);
            }
            for (size_t i = 0; i < after.size(); ++i) {
                if (!inSpan[i]) {
                    ASSERT_TRUE(SameBytes(after[i].color, before[i].color)) << "round " << round << " path " << p;
                }
            }
        }
    }
    EXPECT_GT(compact, 40);
}

// Every look along every shape gives the same records on one worker and on many, whatever the
// order in which the paths run.
TEST(ConcurrencyPhasePlan, PathsGiveTheBytesOfOneThreadOnMany) {
    std::mt19937 g(20261211);
    SerialExecutor one;
    PoolExecutor many(0);
    for (int round = 0; round < 40; ++round) {
        SortSettings s;
        s.pathShape = Pick(g, kPathCircles, kPathHilbert);
        s.centreX = Uniform(g, -0.5f, 1.5f);
        s.centreY = Uniform(g, -0.5f, 1.5f);
        s.outputMode = Pick(g, kModeSort, kModeStretchLast);
        s.thresholdHigh = Uniform(g, 0.3f, 1.0f);
        s.randomOffset = Chance(g, 0.5) ? Uniform(g, 0.0f, 1.0f) : 0.0f;
        s.randomSeed = Pick(g, 0, 1000);
        s.noiseAmount = Chance(g, 0.5) ? Uniform(g, 0.0f, 1.0f) : 0.0f;
        s.blockHeight = Chance(g, 0.5) ? Uniform(g, 0.0f, 1.0f) : 0.0f;
        s.blockWidth = Chance(g, 0.5) ? Uniform(g, 0.1f, 1.0f) : 1.0f;
        s.blur = Chance(g, 0.3) ? Pick(g, 1, 5) : 0;
        s.maskGating = Chance(g, 0.3);
        s.stretch = Chance(g, 0.3);
        const int32_t width = Pick(g, 50, 200);
        const int32_t height = Pick(g, 50, 150);
        const auto input = RandomRecords(g, static_cast<size_t>(width) * height, s.maskGating);
        int32_t code = 0;
        const auto table = MakePathTable(PathShapeOf(s, width, height), many, code);
        ASSERT_NE(table, nullptr);
        int32_t serialCode = 0;
        const auto serialTable = MakePathTable(PathShapeOf(s, width, height), one, serialCode);
        ASSERT_EQ(serialTable->order, table->order);
        Info a = PreparedForPaths(input, width, height, s);
        Info b = PreparedForPaths(input, width, height, s);
        ASSERT_EQ(FirstDifference(SortedAlongPaths(a, *table, one), SortedAlongPaths(b, *table, many)), -1)
            << "round " << round;
    }
}

// A picture of flat patches (a few random rectangles over a random ground) with a little grain, so
// that the trigger image has edges of every strength and long stretches without any.
std::vector<PixelRecord> PatchRecords(std::mt19937& g, int32_t width, int32_t height) {
    std::vector<float> plane(static_cast<size_t>(width) * height, Uniform(g, 0.0f, 1.0f));
    for (int patch = Pick(g, 1, 6); patch > 0; --patch) {
        const int32_t x0 = Pick(g, 0, width - 1);
        const int32_t y0 = Pick(g, 0, height - 1);
        const int32_t x1 = Pick(g, x0, width - 1);
        const int32_t y1 = Pick(g, y0, height - 1);
        const float v = Uniform(g, 0.0f, 1.0f);
        for (int32_t y = y0; y <= y1; ++y) {
            for (int32_t x = x0; x <= x1; ++x) plane[static_cast<size_t>(x + y * width)] = v;
        }
    }
    std::vector<PixelRecord> records(plane.size());
    for (size_t i = 0; i < records.size(); ++i) {
        const float v = std::clamp(plane[i] + Uniform(g, -0.02f, 0.02f), 0.0f, 1.0f);
        records[i] = Rec(v, Uniform(g, 0.0f, 1.0f), Uniform(g, 0.0f, 1.0f));
    }
    return records;
}

// The edges mode on turned and scaled grids: an edge pixel (strength above the level) starts a
// span or lies outside every span, never strictly inside one, whatever the band.
TEST(IntervalProperties, NoEdgePixelLiesStrictlyInsideASpan) {
    std::mt19937 g(5150);
    SerialExecutor serial;
    int64_t edgePixels = 0;
    int64_t spanCount = 0;
    for (int round = 0; round < 120; ++round) {
        const int32_t width = Pick(g, 4, 70);
        const int32_t height = Pick(g, 4, 50);
        SortSettings s;
        s.intervalMode = kIntervalEdges;
        s.triggerKey = kTriggerRed;
        s.sortKey = Pick(g, 1, 10);
        s.edgeLevel = Uniform(g, 0.02f, 0.6f);
        s.edgeScale = Uniform(g, 0.5f, 4.5f);
        s.thresholdLow = Chance(g, 0.5) ? 0.0f : Uniform(g, 0.0f, 0.3f);
        s.thresholdHigh = Chance(g, 0.5) ? 2.0f : Uniform(g, 0.5f, 1.0f);
        const float angles[] = {0.0f, 33.0f, 90.0f, -47.0f, 180.0f, Uniform(g, -360.0f, 360.0f)};
        s.angle = angles[round % 6];
        s.resolution = Chance(g, 0.7) ? 1.0f : Uniform(g, 0.3f, 1.0f);
        auto input = PatchRecords(g, width, height);
        std::vector<float> values(input.size());
        for (size_t i = 0; i < input.size(); ++i) values[i] = BandValue(input[i].trigger, s);
        EdgeBuffers edges;
        EdgeFlags(values.data(), width, height, s.edgeScale, s.edgeLevel, serial, edges);
        const std::vector<uint8_t>& flags = edges.flags;
        for (size_t i = 0; i < input.size(); ++i) input[i].edge = flags[i];
        Info info = Prepared(input, width, s);
        const std::vector<PixelRecord> grid = info.lineRecords;
        ASSERT_TRUE(SortAllLinesSequentially(info)) << info.Message();
        for (const auto& [start, end] : ProcessedSpans(info.lineRecords, 0, info.gridCount)) {
            ++spanCount;
            for (int64_t i = start + 1; i < end; ++i) {
                ASSERT_EQ(grid[static_cast<size_t>(i)].edge, 0)
                    << "round " << round << ": an edge inside the span [" << start << ", " << end << ")";
            }
        }
        for (const uint8_t f : flags) edgePixels += f;
    }
    EXPECT_GT(edgePixels, 1000);
    EXPECT_GT(spanCount, 1000);
}

// A step from 0 to 1 has strength 1 beside it at every scale, and a flat picture none.
TEST(IntervalProperties, EdgeStrengthOfAStepIsOneAndOfAFlatPictureZero) {
    SerialExecutor serial;
    constexpr int32_t kWidth = 40;
    constexpr int32_t kHeight = 30;
    std::vector<float> step(static_cast<size_t>(kWidth) * kHeight);
    for (int32_t y = 0; y < kHeight; ++y) {
        for (int32_t x = 0; x < kWidth; ++x) step[static_cast<size_t>(x + y * kWidth)] = x < 20 ? 0.0f : 1.0f;
    }
    for (const float scale : {1.0f, 2.0f, 3.0f, 5.0f}) {
        std::vector<float> strength;
        EdgeStrength(step.data(), kWidth, kHeight, scale, serial, strength);
        const int32_t s = static_cast<int32_t>(scale);
        for (int32_t y = 0; y < kHeight; ++y) {
            EXPECT_NEAR(strength[static_cast<size_t>(19 + y * kWidth)], 1.0f, 1e-5f) << "scale " << scale;
            EXPECT_NEAR(strength[static_cast<size_t>(20 + y * kWidth)], 1.0f, 1e-5f) << "scale " << scale;
            for (int32_t x = 0; x < kWidth; ++x) {
                const float v = strength[static_cast<size_t>(x + y * kWidth)];
                EXPECT_LE(v, 1.0f + 1e-5f);
                if (x < 20 - 2 * s || x >= 20 + 2 * s) {
                    EXPECT_EQ(v, 0.0f) << "x " << x << ", scale " << scale;
                }
            }
        }
    }
    const std::vector<float> flat(static_cast<size_t>(kWidth) * kHeight, 0.37f);
    EdgeBuffers edges;
    EdgeFlags(flat.data(), kWidth, kHeight, 2.0f, 0.0f, serial, edges);
    EXPECT_EQ(std::count(edges.flags.begin(), edges.flags.end(), 1), 0);
}

// Spans of a row whose band selects everything, so that the interval mode alone cuts it: each
// processed span as [start, end) columns, every other cell a span of one.
std::vector<std::pair<int64_t, int64_t>> RowSpans(Info& rows, int32_t y, std::vector<PixelRecord>& row) {
    for (size_t x = 0; x < row.size(); ++x) row[x] = Red(static_cast<float>(x % 7) * 0.1f);
    EXPECT_TRUE(SortRowWithHead(rows, y, row.data(), nullptr)) << rows.Message();
    return ProcessedSpans(row, 0, static_cast<int64_t>(row.size()));
}

// Random lengths over a 1920 × 1080 frame: the mean span is the asked one within 10 %, no span is
// longer than 2 · mean − 1, and the lengths follow the seed.
TEST(IntervalProperties, RandomSpansAverageTheAskedLength) {
    constexpr int32_t kWidth = 1920;
    constexpr int32_t kHeight = 1080;
    for (const float mean : {3.0f, 16.0f, 64.0f, 150.5f}) {
        SortSettings s;
        s.intervalMode = kIntervalRandom;
        s.triggerKey = kTriggerRed;
        s.thresholdHigh = 2.0f;
        s.spanLength = mean;
        s.spanSeed = static_cast<int32_t>(mean * 7.0f);
        Info rows;
        rows.settings = s;
        ASSERT_TRUE(PrepareRowSorting(rows, kWidth, kHeight)) << rows.Message();
        std::vector<PixelRecord> row(kWidth);
        int64_t spans = 0;
        for (int32_t y = 0; y < kHeight; ++y) {
            int64_t covered = 0;
            for (const auto& [start, end] : RowSpans(rows, y, row)) {
                ASSERT_LE(end - start, static_cast<int64_t>(2.0f * mean - 1.0f)) << "mean " << mean;
                covered += end - start;
                ++spans;
            }
            spans += kWidth - covered;  // the spans of one cell, which nothing processes
        }
        const double measured = static_cast<double>(kWidth) * kHeight / static_cast<double>(spans);
        EXPECT_NEAR(measured, mean, 0.1 * mean) << "mean " << mean;
    }
    // Another seed cuts elsewhere; the same seed the same way on any line order.
    SortSettings s;
    s.intervalMode = kIntervalRandom;
    s.thresholdHigh = 2.0f;
    s.triggerKey = kTriggerRed;
    Info a;
    a.settings = s;
    Info b;
    b.settings = s;
    b.settings.spanSeed = 1;
    ASSERT_TRUE(PrepareRowSorting(a, kWidth, 8) && PrepareRowSorting(b, kWidth, 8));
    std::vector<PixelRecord> row(kWidth);
    const auto first = RowSpans(a, 5, row);
    EXPECT_NE(first, RowSpans(b, 5, row));
    RowSpans(a, 2, row);
    EXPECT_EQ(first, RowSpans(a, 5, row));
}

// Waves: the span starting at column x of line y has the wave's length there (cut by the line's
// end), between spanLength · (1 − amplitude) and spanLength · (1 + amplitude); a whole turn of the
// phase gives the same spans.
TEST(IntervalProperties, WaveSpansFollowTheWave) {
    std::mt19937 g(1234);
    for (int round = 0; round < 60; ++round) {
        SortSettings s;
        s.intervalMode = kIntervalWaves;
        s.triggerKey = kTriggerRed;
        s.thresholdHigh = 2.0f;
        s.spanLength = Uniform(g, 2.0f, 40.0f);
        s.waveAmplitude = Chance(g, 0.2) ? 0.0f : Uniform(g, 0.0f, 0.9f);
        s.waveLength = Uniform(g, 5.0f, 500.0f);
        s.wavePhase = static_cast<float>(Pick(g, -360, 360));  // a whole turn more is exact
        s.waveDrift = Uniform(g, -20.0f, 20.0f);
        const int32_t width = Pick(g, 50, 600);
        Info rows;
        rows.settings = s;
        ASSERT_TRUE(PrepareRowSorting(rows, width, 12)) << rows.Message();
        Info turned;
        turned.settings = s;
        turned.settings.wavePhase += 360.0f;
        ASSERT_TRUE(PrepareRowSorting(turned, width, 12)) << turned.Message();
        std::vector<PixelRecord> row(static_cast<size_t>(width));
        for (int32_t y = 0; y < 12; ++y) {
            const auto spans = RowSpans(rows, y, row);
            int64_t x = 0;
            for (const auto& [start, end] : spans) {
                while (x < start) x += WaveSpanLength(s, x, y);  // spans of one cell before it
                ASSERT_EQ(start, x) << "round " << round << ", line " << y;
                const int64_t length = WaveSpanLength(s, start, y);
                // The frame's last cell closes the last span without joining it.
                const int64_t lineEnd = y == 11 ? width - 1 : width;
                EXPECT_EQ(end, std::min<int64_t>(start + length, lineEnd)) << "round " << round << ", line " << y;
                EXPECT_GE(length, static_cast<int64_t>(s.spanLength * (1.0f - s.waveAmplitude)) - 1);
                EXPECT_LE(length, static_cast<int64_t>(s.spanLength * (1.0f + s.waveAmplitude)) + 1);
                x = end;
            }
            EXPECT_EQ(spans, RowSpans(turned, y, row)) << "round " << round;
        }
    }
}

// Channels as a world of the depth holds them: 8 and 16-bit steps, or floats partly out of [0, 1].
float ChannelAtDepth(std::mt19937& g, int depth) {
    if (depth == 8) return static_cast<float>(Pick(g, 0, 255)) / 255.0f;
    if (depth == 16) return static_cast<float>(Pick(g, 0, 32768)) / 32768.0f;
    return Chance(g, 0.1) ? Uniform(g, -0.5f, 1.5f) : Uniform(g, 0.0f, 1.0f);
}

// The automatic band holds the asked share of the frame's pixels, within the share of the
// histogram bins at its two ends, at every depth and trigger key, clamped or not; at autoHigh = 1
// the highest value is inside.
TEST(AutoThresholdProperties, TheBandHoldsTheAskedShare) {
    std::mt19937 g(8086);
    for (int round = 0; round < 150; ++round) {
        const int depth = round % 3 == 0 ? 8 : round % 3 == 1 ? 16 : 32;
        SortSettings s;
        s.autoThreshold = true;
        s.triggerKey = Pick(g, 1, 9);
        s.clampTrigger = depth != 32 || Chance(g, 0.5);
        s.autoLow = Chance(g, 0.2) ? 0.0f : Uniform(g, 0.0f, 1.0f);
        s.autoHigh = Chance(g, 0.3) ? 1.0f : Uniform(g, s.autoLow, 1.0f);
        const int count = Pick(g, 1, 30000);
        std::vector<float> values(static_cast<size_t>(count));
        std::vector<FloatPixel> pixels(values.size());
        TriggerHistogram histogram;
        for (size_t i = 0; i < values.size(); ++i) {
            do {  // hue has no value for some colours out of range, and NaN is in no band
                pixels[i] = {ChannelAtDepth(g, depth), ChannelAtDepth(g, depth), ChannelAtDepth(g, depth),
                             ChannelAtDepth(g, depth)};
                values[i] = BandValue(pixels[i], s);
            } while (std::isnan(values[i]));
            histogram.Add(values[i]);
        }
        ApplyAutoBand(s, histogram);
        const TriggerTest test = TriggerTestOf(s);
        int64_t inside = 0;
        for (const FloatPixel& p : pixels) inside += test.Breaks(p.red, p.green, p.blue, p.alpha) ? 0 : 1;
        // The bins of the values at the two percentiles bound the error.
        std::vector<float> sorted = values;
        std::sort(sorted.begin(), sorted.end());
        const auto binShare = [&](double q) {
            const size_t at = std::min(sorted.size() - 1, static_cast<size_t>(q * static_cast<double>(count)));
            const int32_t bin = TriggerHistogram::BinOf(sorted[at]);
            return static_cast<double>(histogram.Count(bin)) / count;
        };
        const double share = static_cast<double>(inside) / count;
        const double asked = static_cast<double>(s.autoHigh) - static_cast<double>(s.autoLow);
        EXPECT_NEAR(share, asked, binShare(s.autoLow) + binShare(s.autoHigh) + 1.0 / count)
            << "round " << round << ", " << depth << " bits, key " << s.triggerKey << ", band [" << s.thresholdLow
            << ", " << s.thresholdHigh << ")";
        if (s.autoHigh == 1.0f && s.thresholdHigh > s.thresholdLow) {
            EXPECT_EQ(s.thresholdHigh, std::numeric_limits<float>::max());
            const size_t top = static_cast<size_t>(std::max_element(values.begin(), values.end()) - values.begin());
            EXPECT_FALSE(test.Breaks(pixels[top].red, pixels[top].green, pixels[top].blue, pixels[top].alpha))
                << "round " << round;
        }
    }
}

}  // namespace
}  // namespace korvane::utils::test
