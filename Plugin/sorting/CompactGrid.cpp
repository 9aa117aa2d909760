// The compact grid: built from the image words, its lines sorted in place, kept between frames.
#include "sorting/CompactGrid.h"

#include <algorithm>
#include <exception>
#include <mutex>
#include <string>
#include <utility>

#include <sys/mman.h>

#include "sorting/RadixSort.h"
#include "sorting/RecordPool.h"

namespace korvane::utils {

namespace {

// Grows `words` to `count`, asking fresh memory of more than a few huge pages to be backed by them.
void SizeWords(std::vector<uint64_t>& words, size_t count) {
    if (words.capacity() >= count) {
        words.resize(count);
        return;
    }
    std::vector<uint64_t>().swap(words);
    words.reserve(count);
#ifdef MADV_HUGEPAGE
    constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
    const auto begin = reinterpret_cast<uintptr_t>(words.data());
    const uintptr_t end = begin + count * sizeof(uint64_t);
    const uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
    const uintptr_t last = end & ~(kHugePage - 1);
    if (last > first) {
        madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
    }
#endif
    words.resize(count);
}

// The span [h, cur) after the growth animation, as the line kernel grows it.
std::pair<int64_t, int64_t> Grown(int64_t h, int64_t cur, float g) {
    const int64_t len = cur - h;
    if (g > 1.0f) {
        const int64_t start = h + len - static_cast<int64_t>((2.0f - g) * static_cast<float>(len));
        return {start, start + len};
    }
    if (g < 1.0f) return {h, h + static_cast<int64_t>(g * static_cast<float>(len))};
    return {h, cur};
}

struct LineBuffers {
    std::vector<uint8_t> breaks;
    std::vector<uint64_t> spare;
};

size_t Bytes(const CompactGrid& grid) {
    return (grid.image.capacity() + grid.cells.capacity()) * sizeof(uint64_t);
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
    const SortSettings& s = info.settings;
    const DerivedSettings& d = info.derived;
    return Resamples(info) && !info.rowsApart && info.imageWidth > 0 && info.imageHeight > 0 &&
           info.imageWidth <= kCompactMaxWidth && info.imageHeight <= kCompactMaxHeight && info.blockLines == 1 &&
           s.outputMode == kModeSort && !s.maskGating && !s.mirror && !d.noiseOn && !d.copyNeeded && !d.stretchOn &&
           !d.blurOn && !d.popOn && !d.featherStartOn && !d.featherEndOn && !d.randomOffsetOn && !d.comparatorSort &&
           !(d.rotationFraction > 0.0f);
}

bool CompactGridFits(const SortSettings& settings, int32_t width, int32_t height) {
    Info probe;
    probe.settings = settings;
    return PrepareGridSorting(probe, width, height) && CompactGridApplies(probe);
}

void SizeCompactGrid(CompactGrid& grid, const Info& info) {
    SizeWords(grid.image, static_cast<size_t>(std::max<int64_t>(info.imageCount, 0)));
    SizeWords(grid.cells, static_cast<size_t>(std::max<int64_t>(info.gridCount, 0)));
}

int32_t CompactBandCount(int32_t rows) {
    const int64_t n = std::max(rows, 0);
    return static_cast<int32_t>((n + kTransferBandRows - 1) / kTransferBandRows);
}

bool BuildGridBand(const Info& info, CompactGrid& grid, int32_t band) {
    const TransferMapping map(info);
    const int64_t destWidth = info.lineLength;
    const int64_t first = static_cast<int64_t>(band) * kTransferBandRows;
    const int64_t end = std::min<int64_t>(first + kTransferBandRows, info.lineCount);
    const uint64_t* const image = grid.image.data();
    const int64_t imageWidth = map.sourceWidth;
    uint64_t* const cells = grid.cells.data();
    for (int64_t column = 0; column < destWidth; column += kTransferBlockColumns) {
        const auto blockEnd = static_cast<int32_t>(std::min<int64_t>(column + kTransferBlockColumns, destWidth));
        for (int64_t row = first; row < end; ++row) {
            uint64_t* const out = cells + row * destWidth;
            for (auto x = static_cast<int32_t>(column); x < blockEnd; ++x) {
                int32_t sx;
                int32_t sy;
                map.SourceOf(x, static_cast<int32_t>(row), sx, sy);
                out[x] = image[sx + sy * imageWidth];
            }
        }
    }
    return true;
}

bool SortGridLine(Info& info, CompactGrid& grid, int32_t y) {
    if (y < 0 || y >= info.lineCount || static_cast<int64_t>(grid.cells.size()) != info.gridCount ||
        !CompactGridApplies(info)) {
        info.SetMessage("SortGridLine: line " + std::to_string(y) + " cannot be sorted on the compact grid");
        return false;
    }
    try {
        thread_local LineBuffers buffers;
        const int64_t width = info.lineLength;
        uint64_t* const line = grid.cells.data() + static_cast<int64_t>(y) * width;
        // The breaks leave the cells, whose flag then starts over as "not covered".
        std::vector<uint8_t>& breaks = buffers.breaks;
        breaks.resize(static_cast<size_t>(width));
        for (int64_t x = 0; x < width; ++x) {
            breaks[static_cast<size_t>(x)] = CellFlag(line[x]) ? 1 : 0;
            line[x] &= ~kCellFlag;
        }
        // Indices from the start of the line; the last line's final span ends one cell short, as
        // it does in the record grid, whose last index is lastIndex.
        const int64_t last = info.lastIndex - static_cast<int64_t>(y) * width;
        const int64_t lastColumn = info.lastColumn;
        const int64_t maxSpan = info.maxSpanLength;
        const float g = info.derived.growth;
        const float offset = info.derived.offset;
        int64_t h = 0;
        for (int64_t x = 0; x <= lastColumn; ++x) {
            const int64_t cur = std::min(x, last);
            if (x < width && cur - h <= maxSpan && breaks[static_cast<size_t>(cur)] == 0) {
                continue;
            }
            const int64_t len = cur - h;
            const auto [start0, end0] = Grown(h, cur, g);
            const int64_t shift =
                len >= 1 && offset > 0.0f ? static_cast<int64_t>(offset * static_cast<float>(len)) : 0;
            const int64_t start = start0 + shift;
            const int64_t end = std::min(cur, end0 + shift);
            if (end - start >= 2) {
                // Stable by key: the cells come out in the order the record kernel gives the
                // records, whatever their low halves.
                uint64_t* const span = line + start;
                const auto n = static_cast<size_t>(end - start);
                SortByHighHalf(span, n, buffers.spare);
                for (size_t i = 0; i < n; ++i) span[i] |= kCellFlag;
            }
            h = cur;
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
