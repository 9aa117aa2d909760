// The compact grid: built from the image keys and breaks, its lines sorted in place, kept between frames.
#include "sorting/CompactGrid.h"

#include <algorithm>
#include <cstddef>
#include <exception>
#include <mutex>
#include <string>
#include <utility>

#include "sorting/HugePages.h"
#include "sorting/Intervals.h"
#include "sorting/LineKernel.h"
#include "sorting/RadixSort.h"
#include "sorting/RecordPool.h"

namespace korvane::utils {

namespace {

// TransferMapping::ClampedIndex as selects: a NaN fails both comparisons and ends at 0. The top
// index is exact in a float for every side a compact grid allows.
inline int32_t ClampedSelect(float value, float top) {
    const float below = value >= top ? top : value;
    return static_cast<int32_t>(below >= 0.0f ? below : 0.0f);
}

// Cells ahead of the span detection fetched into the cache (the line was written in short
// stretches, one per band, so the hardware's stream detection finds little to follow).
constexpr int64_t kLineFetchAhead = 320;

// A worker's buffers for sorting lines.
struct LineBuffers {
    std::vector<uint64_t> spare;
};

// A worker's image indices and cell places of one block of a band.
struct BlockBuffers {
    std::vector<uint32_t> indices;
    std::vector<uint32_t> places;
};

size_t Bytes(const CompactGrid& grid) {
    size_t spans = grid.spans.capacity() * sizeof(std::vector<RowSpan>);
    for (const std::vector<RowSpan>& line : grid.spans) spans += line.capacity() * sizeof(RowSpan);
    return grid.keys.capacity() * sizeof(uint32_t) + grid.breaks.capacity() + grid.cells.capacity() * sizeof(uint64_t) +
           spans;
}

std::mutex& PoolMutex() {
    static std::mutex mutex;
    return mutex;
}

CompactGrid& Held() {
    static CompactGrid held;
    return held;
}

}  // namespace

bool CompactGridApplies(const Info& info) {
    // The noise follows the grid's places, which the image keys do not know.
    return Resamples(info) && !info.rowsApart && info.imageWidth > 0 && info.imageHeight > 0 &&
           info.imageWidth <= kCompactMaxWidth && info.imageHeight <= kCompactMaxHeight && PlainSortLook(info) &&
           !info.derived.noiseOn;
}

bool RandomRowsApply(const Info& info) {
    return !Resamples(info) && !info.rowsApart && info.imageWidth > 0 && info.imageHeight > 0 &&
           info.imageWidth <= kCompactMaxWidth && info.imageHeight <= kCompactMaxHeight &&
           info.lineLength == info.imageWidth && info.lineCount == info.imageHeight && RandomOffsetSortLook(info);
}

bool CompactGridFits(const SortSettings& settings, int32_t width, int32_t height) {
    Info probe;
    probe.settings = settings;
    return PrepareGridSorting(probe, width, height) && (CompactGridApplies(probe) || RandomRowsApply(probe));
}

void SizeCompactGrid(CompactGrid& grid, const Info& info) {
    const bool randomRows = RandomRowsApply(info);
    const auto pixels = randomRows ? size_t{0} : static_cast<size_t>(std::max<int64_t>(info.imageCount, 0));
    SizeWithHugePages(grid.keys, pixels);
    SizeWithHugePages(grid.breaks, pixels);
    SizeWithHugePages(grid.cells, static_cast<size_t>(std::max<int64_t>(info.gridCount, 0)));
    // Each line keeps the room its spans had in earlier frames.
    grid.spans.resize(randomRows ? static_cast<size_t>(info.lineCount) : 0);
}

void SourcesOfRow(const TransferMapping& map, int32_t y, int32_t x0, int32_t x1, int32_t* sx, int32_t* sy) {
    const int32_t n = x1 - x0;
    const float topX = static_cast<float>(map.sourceWidth - 1);
    const float topY = static_cast<float>(map.sourceHeight - 1);
    if (map.rotated) {
        // The same operations in the same order as SourceOf, with the row's terms taken once.
        const float dy = (static_cast<float>(y) + 0.5f) - map.destCentreY;
        const float sdy = map.st * dy;
        const float kdy = map.kt * dy;
        const float kt = map.kt;
        const float st = map.st;
        const float dcx = map.dcx;
        const float scx = map.scx;
        const float scy = map.scy;
        for (int32_t i = 0; i < n; ++i) {
            const float u = (static_cast<float>(x0 + i) + 0.5f) - dcx;
            sx[i] = ClampedSelect(kt * u - sdy + scx, topX);
            sy[i] = ClampedSelect(st * u + kdy + scy, topY);
        }
    } else if (map.scaled) {
        const float t = map.t;
        const int32_t row = ClampedSelect(t * (static_cast<float>(y) + 0.5f), topY);
        for (int32_t i = 0; i < n; ++i) {
            sx[i] = ClampedSelect(t * (static_cast<float>(x0 + i) + 0.5f), topX);
            sy[i] = row;
        }
    } else {
        const int32_t row = std::min(y, map.sourceHeight - 1);
        for (int32_t i = 0; i < n; ++i) {
            sx[i] = std::min(x0 + i, map.sourceWidth - 1);
            sy[i] = row;
        }
    }
}

int32_t CompactBandCount(int32_t rows) {
    const int64_t n = std::max(rows, 0);
    return static_cast<int32_t>((n + kGridBandRows - 1) / kGridBandRows);
}

bool BuildGridBand(const Info& info, CompactGrid& grid, int32_t band, WorkerScratch& scratch) {
    const TransferMapping map(info);
    const int64_t destWidth = info.lineLength;
    const int64_t first = static_cast<int64_t>(band) * kGridBandRows;
    const int64_t end = std::min<int64_t>(first + kGridBandRows, info.lineCount);
    const auto rows = static_cast<int32_t>(end - first);
    const uint32_t* const keys = grid.keys.data();
    const uint8_t* const breaks = grid.breaks.data();
    // Image indices and places fit in 32 bits: at most 2^15 columns by 2^16 rows.
    const auto imageWidth = static_cast<uint32_t>(map.sourceWidth);
    uint64_t* const cells = grid.cells.data();
    // The block's image indices and cell places, row by row: the pixels of a row a few rows ahead
    // are fetched into the cache while a row is gathered, as a turned block reads a new stretch of
    // several image rows for every row it writes.
    constexpr size_t kBlockCells = static_cast<size_t>(kGridBandRows) * kGridBlockColumns;
    BlockBuffers& block = scratch.Get<BlockBuffers>();
    if (block.indices.size() < kBlockCells || block.places.size() < kBlockCells) {
        block.indices.resize(kBlockCells);
        block.places.resize(kBlockCells);
    }
    std::vector<uint32_t>& indices = block.indices;
    std::vector<uint32_t>& places = block.places;
    int32_t sx[kGridBlockColumns];
    int32_t sy[kGridBlockColumns];
    for (int64_t column = 0; column < destWidth; column += kGridBlockColumns) {
        const auto x0 = static_cast<int32_t>(column);
        const auto blockEnd = static_cast<int32_t>(std::min<int64_t>(column + kGridBlockColumns, destWidth));
        const int32_t n = blockEnd - x0;
        for (int32_t r = 0; r < rows; ++r) {
            SourcesOfRow(map, static_cast<int32_t>(first + r), x0, blockEnd, sx, sy);
            uint32_t* const at = indices.data() + static_cast<ptrdiff_t>(r) * kGridBlockColumns;
            uint32_t* const place = places.data() + static_cast<ptrdiff_t>(r) * kGridBlockColumns;
            for (int32_t i = 0; i < n; ++i) {
                const auto x = static_cast<uint32_t>(sx[i]);
                const auto y = static_cast<uint32_t>(sy[i]);
                at[i] = x + y * imageWidth;
                place[i] = (y << 15) | x;
            }
        }
        for (int32_t r = 0; r < rows; ++r) {
            if (r + kGridFetchAhead < rows) {
                const uint32_t* const ahead = indices.data() +
                                              static_cast<ptrdiff_t>(r + kGridFetchAhead) * kGridBlockColumns;
                for (int32_t i = 0; i < n; i += kGridFetchStride) {
                    PrefetchRead(keys + ahead[i]);
                    PrefetchRead(breaks + ahead[i]);
                }
                PrefetchRead(keys + ahead[n - 1]);
                PrefetchRead(breaks + ahead[n - 1]);
            }
            const uint32_t* const at = indices.data() + static_cast<ptrdiff_t>(r) * kGridBlockColumns;
            const uint32_t* const place = places.data() + static_cast<ptrdiff_t>(r) * kGridBlockColumns;
            uint64_t* const out = cells + (first + r) * destWidth + x0;
            // PackCell of the pixel's key, break and place.
            for (int32_t i = 0; i < n; ++i) {
                const uint32_t index = at[i];
                out[i] = (static_cast<uint64_t>(keys[index]) << 32) | (breaks[index] != 0 ? kCellFlag : 0) | place[i];
            }
        }
    }
    return true;
}

bool SortGridLine(Info& info, CompactGrid& grid, int32_t y, WorkerScratch& scratch) {
    if (y < 0 || y >= info.lineCount || static_cast<int64_t>(grid.cells.size()) != info.gridCount ||
        !CompactGridApplies(info)) {
        info.SetMessage("SortGridLine: line " + std::to_string(y) + " cannot be sorted on the compact grid");
        return false;
    }
    try {
        LineBuffers& buffers = scratch.Get<LineBuffers>();
        const int64_t width = info.lineLength;
        uint64_t* const line = grid.cells.data() + static_cast<int64_t>(y) * width;
        // Indices from the start of the line; the last line's final span ends one cell short, as
        // it does in the record grid, whose last index is lastIndex.
        const int64_t last = info.lastIndex - static_cast<int64_t>(y) * width;
        const int64_t lastColumn = info.lastColumn;
        const int64_t maxSpan = info.maxSpanLength;
        const float g = info.derived.growth;
        const float offset = info.derived.offset;
        LengthCuts lengths(info.settings, y);
        int64_t cutAt = lengths.EndOfSpanAt(0);
        int64_t h = 0;
        int64_t x = 0;
        while (x <= lastColumn) {
            // Every cell is read here, before any span reaches it: its break leaves it, and its
            // flag starts over as "not covered". Before the line end cur is x.
            int64_t cur = x;
            if (x < width) {
                // The cells up to the next break, the first one past the longest span or the
                // interval mode's cut, in a loop of its own: most cells leave the span open.
                const int64_t stop = std::min({width, h + maxSpan + 1, cutAt});
                bool breaks = false;
                for (; x < stop; ++x) {
                    if ((x & 7) == 0) PrefetchRead(line + x + kLineFetchAhead);
                    const uint64_t cell = line[x];
                    line[x] = cell & ~kCellFlag;
                    if (CellFlag(cell)) {
                        breaks = true;
                        break;
                    }
                }
                if (!breaks) {
                    if (x == width) continue;  // the line end closes the last span
                    // A span at its longest or cut ends at this cell, whatever the cell's break.
                    line[x] &= ~kCellFlag;
                }
                cur = x;
            } else {
                cur = std::min(x, last);
            }
            // Growth and offset never lengthen a span, so one shorter than 2 sorts nothing.
            if (cur - h >= 2) {
                const auto [start, end] = PlainSpanBounds(h, cur, g, offset);
                if (end - start >= 2) {
                    // Stable by key: the cells come out in the order the record kernel gives the
                    // records, whatever their low halves.
                    uint64_t* const span = line + start;
                    const auto n = static_cast<size_t>(end - start);
                    SortByHighHalf(span, n, buffers.spare);
                    for (size_t i = 0; i < n; ++i) span[i] |= kCellFlag;
                }
            }
            h = cur;
            cutAt = lengths.EndOfSpanAt(x);
            ++x;
        }
        return true;
    } catch (const std::exception& e) {
        info.SetMessage(e.what());
        return false;
    }
}

bool SortRandomRows(Info& info, CompactGrid& grid, WorkerScratch& scratch) {
    if (!RandomRowsApply(info) || static_cast<int64_t>(grid.cells.size()) != info.gridCount ||
        static_cast<int64_t>(grid.spans.size()) != info.lineCount) {
        info.SetMessage("SortRandomRows: the grid cannot be sorted as random rows");
        return false;
    }
    try {
        LineBuffers& buffers = scratch.Get<LineBuffers>();
        const int64_t width = info.lineLength;
        uint64_t* const cells = grid.cells.data();
        for (int64_t y = 0; y < info.lineCount; ++y) {
            uint64_t* const line = cells + y * width;
            for (const RowSpan& span : grid.spans[static_cast<size_t>(y)]) {
                if (span.count < 0 || span.start < -y * width || span.start + int64_t{span.count} > width) {
                    info.SetMessage("SortRandomRows: a span of line " + std::to_string(y) + " leaves the grid");
                    return false;
                }
                // Stable by key, as the record kernel orders the records: the low halves travel
                // with their keys, so a span that reaches into cells an earlier span moved finds
                // them with the keys they moved with.
                SortByHighHalf(line + span.start, static_cast<size_t>(span.count), buffers.spare);
            }
        }
        return true;
    } catch (const std::exception& e) {
        info.SetMessage(e.what());
        return false;
    }
}

CompactGrid TakeCompactGrid() {
    std::lock_guard lock(PoolMutex());
    CompactGrid taken = std::move(Held());
    Held() = CompactGrid{};
    return taken;
}

void GiveCompactGrid(CompactGrid&& grid) noexcept {
    CompactGrid given = std::move(grid);
    grid = CompactGrid{};
    if (Bytes(given) > RecordPool::kDefaultCapBytes) return;  // freed here, outside the lock
    std::lock_guard lock(PoolMutex());
    std::swap(Held(), given);  // an older grid still held is freed with `given`
}

size_t CompactGridHeldBytes() {
    std::lock_guard lock(PoolMutex());
    return Bytes(Held());
}

void ReleaseCompactGrid() noexcept {
    CompactGrid freed;
    std::lock_guard lock(PoolMutex());
    std::swap(Held(), freed);
}

}  // namespace korvane::utils
