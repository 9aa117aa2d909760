// The line kernel's walk along one line of a plain look, over the line's break flags alone: what
// compact rows and compact paths share.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "sorting/Info.h"
#include "sorting/Intervals.h"

namespace korvane::utils {

// Where a walk ends, in columns from the line's start: `width` cells, reads clamped at `last` (the
// grid's last record: one short of the end on the grid's last line), columns up to `lastColumn`,
// spans at most `maxSpan` long, and `line` the line the interval modes' lengths are drawn for.
struct LineWalk {
    int64_t width = 0;
    int64_t last = 0;
    int64_t lastColumn = 0;
    int64_t maxSpan = 0;
    int32_t line = 0;
};

// Line y of the prepared grid.
inline LineWalk GridLineWalk(const Info& info, int32_t y) {
    return {info.lineLength, info.lastIndex - static_cast<int64_t>(y) * info.lineLength, info.lastColumn,
            info.maxSpanLength, y};
}

// The first column in [x, end) whose break flag is set, or end; eight flags at a time.
inline int64_t NextBreak(const uint8_t* breaks, int64_t x, int64_t end) {
    if constexpr (std::endian::native == std::endian::little) {
        for (; x + 8 <= end; x += 8) {
            uint64_t word;
            std::memcpy(&word, breaks + x, 8);
            if (word != 0) {
                return x + std::countr_zero(word) / 8;
            }
        }
    }
    while (x < end && breaks[x] == 0) {
        ++x;
    }
    return x;
}

// close(h, cur) for each span [h, cur) the line kernel closes along the line, in order. Up to
// `plainEnd` a column reads its own flag, so after a column that leaves the span open the next ones
// are skipped to the next set flag, the span's length limit or the interval mode's cut.
template <typename Close>
void WalkLine(const SortSettings& settings, const LineWalk& walk, const uint8_t* breaks, Close&& close) {
    const int64_t width = walk.width;
    const int64_t last = walk.last;
    const int64_t lastColumn = walk.lastColumn;
    const int64_t maxSpan = walk.maxSpan;
    const int64_t plainEnd = std::min({width, last + 1, lastColumn + 1});
    LengthCuts lengths(settings, walk.line);
    int64_t cutAt = lengths.EndOfSpanAt(0);
    int64_t h = 0;
    for (int64_t x = 0; x <= lastColumn; ++x) {
        const int64_t cur = std::min(x, last);
        if (x < width && cur - h <= maxSpan && breaks[cur] == 0 && x < cutAt) {
            if (x < plainEnd) {
                x = NextBreak(breaks, x + 1, std::min({plainEnd, h + maxSpan + 1, cutAt})) - 1;
            }
            continue;
        }
        close(h, cur);
        h = cur;
        cutAt = lengths.EndOfSpanAt(x);
    }
}

}  // namespace korvane::utils
