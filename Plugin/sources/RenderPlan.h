// The plan of one frame, made once before any pixel moves: which path the frame takes, the line
// grid's geometry, whether the grid is sampled back, and the memory the frame needs. The render
// carries it out; each path is one strategy that takes the plan.
#pragma once

#include <cstdint>

#include "KRVN_Params.h"
#include "korvane/sdk/Effect.h"
#include "sorting/Info.h"

namespace korvane::render {

enum class RenderPath {
    // Every pixel a record, the records onto the line grid, the grid sorted and written back.
    kRecords,
    // The lines are the image rows and never reach each other: each row read, sorted and written
    // in one item (as compact rows when the look is a plain sort, else by the record kernel).
    kRowsApart,
    // A plain sort on a turned or scaled grid, on the compact grid's words.
    kCompactGrid,
    // A plain sort with a random offset on the image rows, on the compact grid's words.
    kRandomRows,
    // Curved paths (circles, rays, spiral, Hilbert curve) on the image records: each path
    // gathered, sorted by the line kernel and scattered back (sorting/CurvedPaths.h).
    kPaths,
};

// What the plan is made from besides the parameters: the frame's sizes, depth and host.
struct FrameShape {
    int32_t width = 0;  // the input's, which every record and scratch world has
    int32_t height = 0;
    int32_t output_width = 0;
    int32_t output_height = 0;
    int bit_depth = 8;
    bool bgra = false;
    bool premiere = false;  // the host iterates on the calling thread and draws no masks
};

struct RenderPlan {
    RenderPath path = RenderPath::kRecords;
    FrameShape frame;
    // The settings are finite and the grid's sizes fit: the core's sizes-only preparation of the
    // render's context succeeded. A frame that fails it takes the records path, whose preparation
    // then reports why.
    bool prepared = false;
    utils::GridGeometry grid;
    // The grid is turned or scaled rather than the image itself.
    bool resamples = false;
    // Records path: the grid goes back by SampleGridBack (fill world reads a scaled grid directly)
    // rather than by TakeOutPixels; only for an unturned grid.
    bool sample_back = false;
    // Rows apart: the look is a plain sort, so rows are sorted as compact rows.
    bool compact_rows = false;
    // The masks are drawn into a constraint world (After Effects only).
    bool with_constraint = false;
    // Bytes the frame needs at its peak (FrameMemoryNeed).
    double memory_need = 0.0;

    bool compact() const { return path == RenderPath::kCompactGrid || path == RenderPath::kRandomRows; }
};

// Copies the parameters into info.settings (the one copy of the frame), prepares the sizes and
// derived values on `info` (utils::PrepareGridSorting) and decides the rest from them.
RenderPlan MakeRenderPlan(const KRVN_Params& params, const FrameShape& frame, utils::Info& info);

// Bytes one frame needs at its peak: image records, line grid, scratch worlds and the per-line
// scratch from the grid's size; with `compact`, the image keys and breaks, grid words and their
// scratch instead of records. In double so that absurd sizes do not overflow.
double FrameMemoryNeed(int64_t width, int64_t height, const utils::GridGeometry& grid, int bit_depth,
                       bool with_constraint, bool compact);

// The plan's figure.
inline double FrameMemoryNeed(const RenderPlan& plan) { return plan.memory_need; }

// The figure for a frame of these sizes, angle and resolution, all else at its default.
double FrameMemoryNeed(int64_t width, int64_t height, float angle_degrees, float resolution, int bit_depth,
                       bool with_constraint, bool compact_grid = false);

}  // namespace korvane::render
