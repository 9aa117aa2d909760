// Curved paths of a plain look without records: each place along the paths one 64-bit word, the
// sort key of its pixel in the high half and the pixel's image index in the low half. The words
// are gathered from the image's keys and breaks in the paths' order, each path is walked over its
// breaks as the line kernel walks it, the spans found are sorted in the words, and the output
// takes each pixel from the image at the index its word names.
#pragma once

#include <cstdint>
#include <vector>

#include "sorting/CurvedPaths.h"
#include "sorting/Executor.h"
#include "sorting/HugePages.h"
#include "sorting/Info.h"

namespace korvane::utils {

// Whether the paths of `table`, for a frame prepared by PrepareGridSorting, can be sorted as words:
// a plain look (PlainSortLook) without noise, each path its own block.
bool CompactPathsApply(const Info& info, const PathTable& table);

// One span to sort: `count` words from place `start` of the table's order.
struct PathSpan {
    int64_t start;
    int64_t count;
};

// The words of a frame's paths, place i of the table's order at words[i] (its pixel's break at
// breaks[i]); the spans each batch of paths found, all of them joined in order, and the sort's
// items: spans items[k] .. items[k + 1] − 1 are item k, about kPathWordsPerItem words each.
struct CompactPaths {
    UnclearedVector<uint64_t> words;
    UnclearedVector<uint8_t> breaks;
    std::vector<std::vector<PathSpan>> batchSpans;
    std::vector<PathSpan> spans;
    std::vector<int64_t> items;
};

// Places per item of the gather and of the output, and words per item of the sort.
constexpr int64_t kPathWordsPerItem = int64_t{1} << 16;

// Sizes `paths` for `table`, keeping memory it already has. Throws std::bad_alloc.
void SizeCompactPaths(CompactPaths& paths, const PathTable& table);

// Items of the gather and of the output: runs of kPathWordsPerItem places.
int64_t PathChunkCount(const PathTable& table);

// Places of chunk `item`: the words and breaks of their pixels, from the image's keys and breaks
// (index x + y × width).
void GatherPathWords(const PathTable& table, const uint32_t* keys, const uint8_t* breaks, CompactPaths& paths,
                     int64_t item);

// The spans the line kernel processes along each path of batch `item`, from the gathered breaks.
// Batches are independent. False with a message when `paths` does not match the table.
bool FindPathSpans(Info& info, const PathTable& table, CompactPaths& paths, int32_t item);

// Joins the batches' spans in order and cuts them into the sort's items. Throws std::bad_alloc.
void PlanPathSorts(CompactPaths& paths);

// Sorts the spans of item `item` in their words, stable by key. Items are independent.
void SortPathSpans(CompactPaths& paths, int64_t item, WorkerScratch& scratch);

// Word memory kept from one frame to the next (the last frame's).
CompactPaths TakeCompactPaths();
void GiveCompactPaths(CompactPaths&& paths) noexcept;
void ReleaseCompactPaths() noexcept;

}  // namespace korvane::utils
