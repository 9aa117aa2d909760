// Compact rows: rows sorted apart in the plain sort, carried as the world's own pixels with a
// break flag and a sort key each, instead of records; and the spans of a row with a random offset,
// found from its breaks for random rows (CompactGrid.h).
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "sorting/Executor.h"
#include "sorting/Intervals.h"
#include "sorting/LineKernelInternal.h"
#include "sorting/LineWalk.h"
#include "sorting/RadixSort.h"

namespace korvane::utils {

namespace {

// The steps of a plain sort, whatever the random offset and the interval mode (the edges join the
// breaks as the compact paths read them, the lengths cut the walk along each line).
bool PlainSortSteps(const Info& info) {
    const SortSettings& s = info.settings;
    const DerivedSettings& d = info.derived;
    return info.blockLines == 1 && s.outputMode == kModeSort && !s.maskGating && !s.mirror && !d.copyNeeded &&
           !d.stretchOn && !d.blurOn && !d.popOn && !d.featherStartOn && !d.featherEndOn && !d.comparatorSort &&
           !(d.rotationFraction > 0.0f);
}

}  // namespace

bool PlainSortLook(const Info& info) { return PlainSortSteps(info) && !info.derived.randomOffsetOn; }

bool RandomOffsetSortLook(const Info& info) { return PlainSortSteps(info) && info.derived.randomOffsetOn; }

bool CompactRowsApply(const Info& info) { return info.rowsApart && PlainSortLook(info); }

namespace {

// A worker's buffers for compact rows, kept for its next rows.
struct CompactScratch {
    std::vector<uint64_t> order;
    std::vector<uint64_t> orderSpare;
    std::vector<unsigned char> copy;
};

// The pixels of span [start, start + n) ordered by key as SortSpan orders the records; the span's
// keys are those the row was read with, since no earlier span of the row reaches into it. A 4-byte
// pixel travels in the low half of its sort value, so the sorted values are the sorted span; wider
// pixels are gathered by the sorted indices.
void SortPackedSpan(CompactScratch& scratch, unsigned char* pixels, const uint32_t* keys, int64_t start, int64_t n) {
    std::vector<uint64_t>& order = scratch.order;
    order.resize(static_cast<size_t>(n));
    unsigned char* span = pixels + start * 4;
    const uint32_t* spanKeys = keys + start;
    for (int64_t i = 0; i < n; ++i) {
        uint32_t pixel;
        std::memcpy(&pixel, span + i * 4, 4);
        order[static_cast<size_t>(i)] = (static_cast<uint64_t>(spanKeys[i]) << 32) | pixel;
    }
    SortByHighHalf(order.data(), order.size(), scratch.orderSpare);
    for (int64_t i = 0; i < n; ++i) {
        const auto pixel = static_cast<uint32_t>(order[static_cast<size_t>(i)]);
        std::memcpy(span + i * 4, &pixel, 4);
    }
}

template <size_t Bytes>
void SortGatheredSpan(CompactScratch& scratch, unsigned char* pixels, const uint32_t* keys, int64_t start, int64_t n) {
    std::vector<uint64_t>& order = scratch.order;
    order.resize(static_cast<size_t>(n));
    const uint32_t* spanKeys = keys + start;
    for (int64_t i = 0; i < n; ++i) {
        order[static_cast<size_t>(i)] = (static_cast<uint64_t>(spanKeys[i]) << 32) | static_cast<uint64_t>(i);
    }
    SortByHighHalf(order.data(), order.size(), scratch.orderSpare);
    unsigned char* span = pixels + start * static_cast<int64_t>(Bytes);
    scratch.copy.assign(span, span + n * static_cast<int64_t>(Bytes));
    const unsigned char* source = scratch.copy.data();
    for (int64_t i = 0; i < n; ++i) {
        std::memcpy(span + i * static_cast<int64_t>(Bytes),
                    source + (order[static_cast<size_t>(i)] & 0xffffffffu) * Bytes, Bytes);
    }
}

}  // namespace

void FindRandomRowSpans(const Info& info, int32_t y, const uint8_t* breaks, std::vector<RowSpan>& spans) {
    spans.clear();
    const DerivedSettings& d = info.derived;
    const int64_t lineStart = static_cast<int64_t>(y) * info.lineLength;
    LineRandom random;
    random.Seed(LineSeed(info.settings.randomSeed, y));
    // After each processed span the generator starts over from the same first draw of the
    // settings' seed, reduced by the number of spans processed so far.
    LineRandom reseed;
    reseed.Seed(static_cast<uint32_t>(info.settings.randomSeed));
    const int64_t firstDraw = reseed.Next();
    int64_t processed = 0;
    WalkLine(info.settings, GridLineWalk(info, y), breaks, [&](int64_t h, int64_t cur) {
        // Every span closed draws an offset, however short; only one of 2 or more is processed.
        const auto [shifted, end] = ClosedSpanBounds(h, cur, d.growth, d.offset, d.randomOffset, &random);
        // Nothing moves back before the first cell of the grid.
        const int64_t start = std::max(shifted, -lineStart);
        if (end - start >= 2) {
            ++processed;
            random.Seed(static_cast<uint32_t>(firstDraw % processed));
            spans.push_back({static_cast<int32_t>(start), static_cast<int32_t>(end - start)});
        }
    });
}

bool SortCompactRow(Info& info, int32_t y, void* pixels, size_t pixelBytes, const uint8_t* breaks, const uint32_t* keys,
                    WorkerScratch& workerScratch) {
    if (pixels == nullptr || breaks == nullptr || keys == nullptr || y < 0 || y >= info.lineCount ||
        !(pixelBytes == 4 || pixelBytes == 8 || pixelBytes == 16) || !CompactRowsApply(info)) {
        info.SetMessage("SortRow: line " + std::to_string(y) + " cannot be sorted as a compact row");
        return false;
    }
    const auto sortSpan = pixelBytes == 4   ? &SortPackedSpan
                          : pixelBytes == 8 ? &SortGatheredSpan<8>
                                            : &SortGatheredSpan<16>;
    auto* row = static_cast<unsigned char*>(pixels);
    try {
        CompactScratch& scratch = workerScratch.Get<CompactScratch>();
        const float g = info.derived.growth;
        const float offset = info.derived.offset;
        WalkLine(info.settings, GridLineWalk(info, y), breaks, [&](int64_t h, int64_t cur) {
            // Growth and offset never lengthen a span, so one shorter than 2 sorts nothing.
            if (cur - h < 2) return;
            const auto [start, end] = PlainSpanBounds(h, cur, g, offset);
            if (end - start >= 2) {
                sortSpan(scratch, row, keys, start, end - start);
            }
        });
        return true;
    } catch (const std::exception& e) {
        info.SetMessage(e.what());
        return false;
    }
}

}  // namespace korvane::utils
