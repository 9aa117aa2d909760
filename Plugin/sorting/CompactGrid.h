// The compact grid of a plain sort on a turned or scaled grid: each cell one 64-bit word with the
// sort key of its pixel in the high half and, in the low half, where that pixel lies in the image
// and one flag. The grid is built from the keys and breaks of the image's pixels, its lines are
// sorted in place, and the output takes each pixel from the world at the place its cell names. A
// plain sort with a random offset on the image rows (random rows) uses the same words with the
// image as the grid: no build, and its lines sorted one after another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sorting/Executor.h"
#include "sorting/HugePages.h"
#include "sorting/Info.h"
#include "sorting/LineKernel.h"

namespace korvane::utils {

// Low half of a cell: the flag in bit 31, the image row in bits 15..30, the column in bits 0..14.
// The flag is the pixel's break (its trigger closes a span) until the cell's line is sorted, and
// afterwards whether a processed span covered the cell.
constexpr uint64_t kCellFlag = uint64_t{1} << 31;
constexpr int32_t kCompactMaxWidth = 1 << 15;
constexpr int32_t kCompactMaxHeight = 1 << 16;

inline uint64_t PackCell(uint32_t key, bool flag, int32_t x, int32_t y) {
    return (static_cast<uint64_t>(key) << 32) | (flag ? kCellFlag : 0) | (static_cast<uint64_t>(y) << 15) |
           static_cast<uint64_t>(x);
}
inline int32_t CellColumn(uint64_t cell) { return static_cast<int32_t>(cell & 0x7fffu); }
inline int32_t CellRow(uint64_t cell) { return static_cast<int32_t>((cell >> 15) & 0xffffu); }
inline bool CellFlag(uint64_t cell) { return (cell & kCellFlag) != 0; }

// The words of one frame: `keys` and `breaks` the sort key and break (0 or 1) of each of the W × H
// image pixels read from the worlds (index x + y × W), `cells` the line grid (index x + y ×
// lineLength). A cell is PackCell of its pixel's key and break and the pixel's place, which the
// grid build knows from the transform, so the image holds five bytes a pixel rather than a word.
// Every element is written by the passes before it is read, so new memory is not cleared first.
// For random rows (RandomRowsApply) the grid is the image: the words are read straight into
// `cells`, `keys` and `breaks` are left empty, and `spans` holds the spans of each line, found as
// its row is read.
struct CompactGrid {
    UnclearedVector<uint32_t> keys;
    UnclearedVector<uint8_t> breaks;
    UnclearedVector<uint64_t> cells;
    std::vector<std::vector<RowSpan>> spans;
};

// Whether a preparation by PrepareGridSorting can be sorted on a compact grid: a resampled grid
// (angle not 0 or scale not 1), one line per block, the sort output mode and no step but the sort
// itself (no noise, mask gating, stretch, fills, blur, pop, mirror, loop, feathers or random
// offset), and an image small enough for a cell to name its pixels.
bool CompactGridApplies(const Info& info);

// Whether a preparation by PrepareGridSorting can be sorted as random rows: lines that are the
// image rows (angle 0, full resolution, one line per block), the sort output mode and no step but
// the sort itself, with a random offset (RandomOffsetSortLook; noise allowed), and an image small
// enough for a cell to name its pixels. A span may then start in the line before its own, so the
// lines are sorted one after another (SortRandomRows) on the image words themselves.
bool RandomRowsApply(const Info& info);

// CompactGridApplies or RandomRowsApply for a frame of these settings and size, prepared on a copy.
bool CompactGridFits(const SortSettings& settings, int32_t width, int32_t height);

// Sizes `grid` for the prepared image and line grid, keeping memory it already has.
void SizeCompactGrid(CompactGrid& grid, const Info& info);

// Sorts the spans of every line (grid.spans, from FindRandomRowSpans) in the cells, line after line
// in order: a line's first spans reach back into the tail of the line before, which must be sorted
// by then, and a line's spans may overlap. False with a message when the grid does not match a
// preparation where RandomRowsApply holds.
bool SortRandomRows(Info& info, CompactGrid& grid, WorkerScratch& scratch);

// The passes that read along diagonals walk their destination in bands of kGridBandRows rows,
// each band in blocks of kGridBlockColumns columns, so that the source is read one patch at a time.
constexpr int32_t kGridBandRows = 32;
constexpr int32_t kGridBlockColumns = 64;

// The gathers of those passes fetch the sources of the row kGridFetchAhead rows ahead into the
// cache, one in kGridFetchStride columns (a cache line holds eight cells or sixteen image keys, and
// a turned row crosses to a new line of its source every few columns).
constexpr int32_t kGridFetchAhead = 3;
constexpr int32_t kGridFetchStride = 4;

inline void PrefetchRead(const void* address) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(address, 0, 3);
#else
    (void)address;
#endif
}

// Columns [x0, x1) of destination row y through `map`: sx[i] and sy[i] the source column and row
// of column x0 + i, exactly as map.SourceOf gives them, in loops the compiler vectorises.
void SourcesOfRow(const TransferMapping& map, int32_t y, int32_t x0, int32_t x1, int32_t* sx, int32_t* sy);

// Grid rows in bands, each walked in blocks of columns: cell (x, y) takes the key, break and place
// of the pixel the transform in info.transform (direction 1) gives for it. Bands are independent.
int32_t CompactBandCount(int32_t rows);
bool BuildGridBand(const Info& info, CompactGrid& grid, int32_t band, WorkerScratch& scratch);

// Sorts line y of the grid as the line kernel sorts the records of a plain sort, and leaves the
// flag of each cell set where a processed span covered it. Lines are independent. False with a
// message when the grid does not match the preparation.
bool SortGridLine(Info& info, CompactGrid& grid, int32_t y, WorkerScratch& scratch);

// Grid memory kept from one frame to the next (the last frame's, up to the record pool's cap).
CompactGrid TakeCompactGrid();
void GiveCompactGrid(CompactGrid&& grid) noexcept;
size_t CompactGridHeldBytes();
void ReleaseCompactGrid() noexcept;

}  // namespace korvane::utils
