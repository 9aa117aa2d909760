// The line kernel behind SortLine, with the next line's head supplied by the caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "sorting/Executor.h"
#include "sorting/Info.h"
#include "sorting/KeyMath.h"

namespace korvane::utils {

// Sorts line y. When nextHead is not null, every read of the first record of line y + 1 (the
// classification at x = line length and a fill at the line end) reads *nextHead instead of the
// grid, so that the line does not depend on whether line y + 1 has run.
bool SortLineWithHead(Info& info, int32_t y, const PixelRecord* nextHead);

// Sorts line y held apart from the grid: `row` holds its line length records and nextHead the
// first record of line y + 1 as it was before any line was sorted (null on the last line). Only
// for a preparation where LinesAreImageRows holds, so that no line reads or writes another; the
// records come out as SortLineWithHead leaves them in the grid.
bool SortRowWithHead(Info& info, int32_t y, PixelRecord* row, const PixelRecord* nextHead);

// Sorts one path held apart (CurvedPaths.h) as a line of its own length: `records` holds its
// `length` records, and nextHead the first record of the next path as it was before any path was
// sorted (null for the last path). Its noise and random offsets are those of line `index`; spans
// stay within the path. Triggers are read from the path's own records.
bool SortPathWithHead(Info& info, int32_t index, PixelRecord* records, int64_t length, const PixelRecord* nextHead);

// The trigger test of the settings, as span detection applies it.
inline TriggerTest TriggerTestOf(const SortSettings& s) {
    return {s.triggerKey, s.thresholdMode, s.thresholdLow, s.thresholdHigh, s.clampTrigger};
}

// Whether the rows of a preparation by PrepareRowSorting can be sorted as compact rows: the sort
// output mode with no step but the sort itself (no mask gating, stretch, fills, blur, pop, mirror,
// loop or feathers), so that a record needs only its colour, whether its trigger closes a span
// (with noise, of the trigger colour plus the noise of LineNoiseValues), and its sort key, each
// known when the row is read.
bool CompactRowsApply(const Info& info);

// Whether the look is a plain sort: the sort output mode with no step but the sort itself (no mask
// gating, stretch, fills, blur, pop, mirror, loop, feathers or random offset) and one line per
// block, so that a span needs of each pixel only its break, its key and the pixel itself. Noise on
// the trigger is allowed. What compact rows and the compact grid both require.
bool PlainSortLook(const Info& info);

// PlainSortLook but for the random offset, which is on: a span may start in the line before its
// own, so the lines meet and are sorted in line order.
bool RandomOffsetSortLook(const Info& info);

// The noise the line kernel adds to each channel of the trigger colour of columns [0, count) of
// line y before the trigger test: 0 everywhere when the noise is off.
void LineNoiseValues(const Info& info, int32_t y, int64_t count, float* noise);

// Sorts row y as SortRowWithHead sorts it, for a preparation where CompactRowsApply holds: the
// row's lineLength pixels of pixelBytes bytes each (4, 8 or 16: one pixel of 8, 16 or 32 bits,
// in whatever channel order, moved whole and never read), breaks[x] non-zero where the trigger of
// pixel x closes a span, and keys[x] the SortableBits of the sort key of pixel x (descending unless
// reversed). Only the pixels move. False with a message when the preparation or the pixel size
// does not allow it.
bool SortCompactRow(Info& info, int32_t y, void* pixels, size_t pixelBytes, const uint8_t* breaks, const uint32_t* keys,
                    WorkerScratch& scratch);

// One span a line processes: `count` cells from `start`, counted from the line's first cell (below
// 0 where a random offset moved the span back into the line before).
struct RowSpan {
    int32_t start;
    int32_t count;
};

// The spans line y processes, in the order the line kernel processes them, with the bounds it gives
// them, for a preparation where RandomOffsetSortLook holds: breaks[x] non-zero where the trigger of
// column x of the line closes a span (noise included). They depend on the line's breaks and the
// settings alone, not on any other line, so lines may be searched in any order.
void FindRandomRowSpans(const Info& info, int32_t y, const uint8_t* breaks, std::vector<RowSpan>& spans);

// The per-line generator of random offsets: the classic 15-bit linear congruential generator
// with seed, draw, seed as the only operations.
class LineRandom {
public:
    void Seed(uint32_t seed) { state_ = seed; }
    int32_t Next() {
        state_ = state_ * 214013u + 2531011u;
        return static_cast<int32_t>((state_ >> 16) & 0x7fffu);
    }

private:
    uint32_t state_ = 1;
};

// The bounds [start, end) of the span [h, cur) after the growth animation: above 1 the span
// slides in from its end, below 1 it is cut short.
inline std::pair<int64_t, int64_t> GrownSpan(int64_t h, int64_t cur, float g) {
    const int64_t len = cur - h;
    if (g > 1.0f) {
        const int64_t start = h + len - static_cast<int64_t>((2.0f - g) * static_cast<float>(len));
        return {start, start + len};
    }
    if (g < 1.0f) return {h, h + static_cast<int64_t>(g * static_cast<float>(len))};
    return {h, cur};
}

// The bounds [start, end) a span [h, cur) gets as it closes: grown, moved on by offset × its
// length and, with a random offset (random not null), moved back by a draw of the line's generator
// (one draw for every span of 1 cell or more), then cut at cur. The start may lie before the line,
// or before the grid's first cell: the caller clamps it.
inline std::pair<int64_t, int64_t> ClosedSpanBounds(int64_t h, int64_t cur, float growth, float offset,
                                                    float randomOffset, LineRandom* random) {
    const int64_t len = cur - h;
    const auto [start0, end0] = GrownSpan(h, cur, growth);
    int64_t shift = len >= 1 && offset > 0.0f ? static_cast<int64_t>(offset * static_cast<float>(len)) : 0;
    if (len >= 1 && random != nullptr) {
        const int64_t r = random->Next();
        shift -= static_cast<int64_t>(static_cast<float>(r % len - len) * -0.5f * randomOffset);
    }
    return {start0 + shift, end0 + shift < cur ? end0 + shift : cur};
}

// The bounds the plain sort gives the span [h, cur) of a line with no random offset.
inline std::pair<int64_t, int64_t> PlainSpanBounds(int64_t h, int64_t cur, float growth, float offset) {
    return ClosedSpanBounds(h, cur, growth, offset, 0.0f, nullptr);
}

// Seed of line y's generator before its first span.
uint32_t LineSeed(int32_t randomSeed, int32_t y);

}  // namespace korvane::utils
