// Curved paths of a plain look on words: gather, walk, sort.
#include "sorting/CompactPaths.h"

#include <algorithm>
#include <exception>
#include <mutex>
#include <string>
#include <utility>

#include "sorting/LineKernel.h"
#include "sorting/LineWalk.h"
#include "sorting/RadixSort.h"

namespace korvane::utils {
namespace {

// A worker's spare words for the radix sort.
struct PathSortScratch {
    std::vector<uint64_t> spare;
};

std::mutex& KeptMutex() {
    static std::mutex mutex;
    return mutex;
}

CompactPaths& Kept() {
    static CompactPaths kept;
    return kept;
}

}  // namespace

bool CompactPathsApply(const Info& info, const PathTable& table) {
    return PlainSortLook(info) && !info.derived.noiseOn && BlockPaths(info, table) == 1;
}

void SizeCompactPaths(CompactPaths& paths, const PathTable& table) {
    paths.words.resize(table.order.size());
    paths.breaks.resize(table.order.size());
    const size_t batches = table.batches.empty() ? 0 : table.batches.size() - 1;
    paths.batchSpans.resize(batches);
    for (std::vector<PathSpan>& spans : paths.batchSpans) spans.clear();
    paths.spans.clear();
    paths.items.clear();
}

int64_t PathChunkCount(const PathTable& table) {
    return (static_cast<int64_t>(table.order.size()) + kPathWordsPerItem - 1) / kPathWordsPerItem;
}

void GatherPathWords(const PathTable& table, const uint32_t* keys, const uint8_t* breaks, CompactPaths& paths,
                     int64_t item) {
    const int64_t first = item * kPathWordsPerItem;
    const int64_t end = std::min(first + kPathWordsPerItem, static_cast<int64_t>(table.order.size()));
    const int32_t* const order = table.order.data();
    uint64_t* const words = paths.words.data();
    uint8_t* const flags = paths.breaks.data();
    for (int64_t i = first; i < end; ++i) {
        const auto place = static_cast<uint32_t>(order[i]);
        words[i] = (static_cast<uint64_t>(keys[place]) << 32) | place;
        flags[i] = breaks[place];
    }
}

bool FindPathSpans(Info& info, const PathTable& table, CompactPaths& paths, int32_t item) {
    if (item < 0 || static_cast<size_t>(item) >= paths.batchSpans.size() || paths.breaks.size() != table.order.size()) {
        info.SetMessage("FindPathSpans: batch " + std::to_string(item) + " is not one of this frame's");
        return false;
    }
    try {
        std::vector<PathSpan>& spans = paths.batchSpans[static_cast<size_t>(item)];
        spans.clear();
        const SortSettings& s = info.settings;
        const float g = info.derived.growth;
        const float offset = info.derived.offset;
        const int32_t count = table.PathCount();
        for (int32_t p = table.batches[static_cast<size_t>(item)]; p < table.batches[static_cast<size_t>(item) + 1];
             ++p) {
            // A path is a line of its own length; only the last path's reads stop one short of
            // its end, as the kernel's do where no next path's head follows.
            const int64_t length = table.Length(p);
            const int64_t first = table.starts[static_cast<size_t>(p)];
            const LineWalk walk{length, p + 1 < count ? length : length - 1, s.fillLineEnd ? length : length - 1,
                                static_cast<int32_t>(static_cast<float>(length) * info.derived.blockWidthSquared), p};
            WalkLine(s, walk, paths.breaks.data() + first, [&](int64_t h, int64_t cur) {
                if (cur - h < 2) return;
                const auto [start, end] = PlainSpanBounds(h, cur, g, offset);
                if (end - start >= 2) spans.push_back({first + start, end - start});
            });
        }
        return true;
    } catch (const std::exception& e) {
        info.SetMessage(e.what());
        return false;
    }
}

void PlanPathSorts(CompactPaths& paths) {
    paths.spans.clear();
    for (const std::vector<PathSpan>& spans : paths.batchSpans) {
        paths.spans.insert(paths.spans.end(), spans.begin(), spans.end());
    }
    paths.items.assign(1, 0);
    int64_t held = 0;
    const auto count = static_cast<int64_t>(paths.spans.size());
    for (int64_t k = 0; k < count; ++k) {
        held += paths.spans[static_cast<size_t>(k)].count;
        if (held >= kPathWordsPerItem || k + 1 == count) {
            paths.items.push_back(k + 1);
            held = 0;
        }
    }
}

void SortPathSpans(CompactPaths& paths, int64_t item, WorkerScratch& scratch) {
    std::vector<uint64_t>& spare = scratch.Get<PathSortScratch>().spare;
    for (int64_t k = paths.items[static_cast<size_t>(item)]; k < paths.items[static_cast<size_t>(item) + 1]; ++k) {
        const PathSpan& span = paths.spans[static_cast<size_t>(k)];
        SortByHighHalf(paths.words.data() + span.start, static_cast<size_t>(span.count), spare);
    }
}

CompactPaths TakeCompactPaths() {
    std::lock_guard lock(KeptMutex());
    return std::exchange(Kept(), CompactPaths{});
}

void GiveCompactPaths(CompactPaths&& paths) noexcept {
    std::lock_guard lock(KeptMutex());
    Kept() = std::move(paths);
}

void ReleaseCompactPaths() noexcept {
    std::lock_guard lock(KeptMutex());
    Kept() = CompactPaths{};
}

}  // namespace korvane::utils
