// Curved paths: the frame cut into rings round a centre, rays from it, one spiral or one Hilbert
// curve instead of straight lines. Each pixel lies on exactly one path and is visited once, so a
// sorted path is a permutation of its own pixels; each path is sorted by the line kernel as a line
// of its own length. Paths run over the frame's own pixels: the resolution does not apply to them.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "sorting/Info.h"

namespace korvane::utils {

class Executor;
class WorkerScratch;

// What a path table is made from: the frame's size, the shape, the centre (fractions of the
// width and height, brought into [kMinCentre, kMaxCentre]; not a number: the middle) and the angle.
struct PathShape {
    int32_t shape = kPathCircles;
    int32_t width = 0;
    int32_t height = 0;
    double centreX = 0.5;
    double centreY = 0.5;
    float angle = 0.0f;

    bool operator==(const PathShape&) const = default;
};

// A centre may lie outside the frame, up to eight frames away on either side.
inline constexpr double kMinCentre = -8.0;
inline constexpr double kMaxCentre = 9.0;

PathShape PathShapeOf(const SortSettings& settings, int32_t width, int32_t height);

// The paths of a frame: the image indices (x + y × width) of path p, in their order along it, are
// order[starts[p]] .. order[starts[p + 1] − 1]. Every pixel appears once; no path is empty.
// batches[k] .. batches[k + 1] − 1 are the paths of item k of the sort, a few thousand records each.
//   circles: rings of pixels at the same rounded distance from the centre, ring by ring outwards,
//            each ordered by angle from the angle parameter's direction (clockwise on screen);
//   rays:    angle buckets, enough that a ray is about one pixel wide where it leaves the frame,
//            the first one at the angle parameter's direction, each ordered by distance;
//   spiral:  the circles' order as one path;
//   hilbert: one Hilbert curve over the square of the next power of two that holds the frame,
//            turned by the angle in quarter turns (to the nearest), pixels outside the frame left out.
struct PathTable {
    PathShape key;
    std::vector<int32_t> order;
    std::vector<int64_t> starts;
    std::vector<int32_t> batches;

    int32_t PathCount() const { return static_cast<int32_t>(starts.size()) - 1; }
    int64_t Length(int32_t path) const {
        return starts[static_cast<size_t>(path) + 1] - starts[static_cast<size_t>(path)];
    }
};

// Builds the table, its per-pixel work on `executor`. Null, with the executor's code in `code`,
// when the executor stops one of its loops (a host's cancellation). Throws std::bad_alloc.
std::shared_ptr<const PathTable> MakePathTable(const PathShape& shape, Executor& executor, int32_t& code);

// The table for `shape`, built once and kept for the next frames of the same size, shape, centre
// and angle (the last few tables are kept); null and `code` as MakePathTable. Throws std::bad_alloc.
std::shared_ptr<const PathTable> CachedPathTable(const PathShape& shape, Executor& executor, int32_t& code);

// Whether the settings ask for curved paths (a path shape other than lines that the core knows).
inline bool CurvedPathsApply(const SortSettings& settings) {
    return settings.pathShape >= kPathCircles && settings.pathShape <= kPathHilbert;
}

// Frees the kept tables.
void ReleasePathTables() noexcept;

// How many consecutive paths form a block (their spans cut where the first path's triggers cut,
// at the same fraction along each path): the block height's share of the paths, at least 1.
int32_t BlockPaths(const Info& info, const PathTable& table);

// What paths read of each other, taken before any path is sorted: the first record of every path
// (a fill at a path's end reads the next path's), and with blocks the triggers of each block's
// first path, at their places in the table (other places unused).
struct PathNeighbours {
    std::vector<PixelRecord> heads;
    std::vector<FloatPixel> blockTriggers;
    int32_t blockPaths = 1;
};
void TakePathNeighbours(const Info& info, const PathTable& table, PathNeighbours& neighbours);

// Sorts the paths of batch `item` in place in info.imageRecords: each path's records gathered into
// the worker's buffer, sorted as a line by the kernel, and put back where they came from. Paths of
// different items touch different records and read each other only through `neighbours`, so items
// may run in any order on any worker. False with a message on failure.
bool SortPathBatch(Info& info, const PathTable& table, const PathNeighbours& neighbours, int32_t item,
                   WorkerScratch& scratch);

}  // namespace korvane::utils
