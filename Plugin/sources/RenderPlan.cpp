// The frame's plan: the one place that decides a frame's path, from the core's sizes-only
// preparation, the pixel transfers the depth and channel order have, and the host.
#include "sources/RenderPlan.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <thread>

#include "sorting/CompactGrid.h"
#include "sorting/CurvedPaths.h"
#include "sorting/LineKernel.h"
#include "sources/CoreSettings.h"
#include "sources/PixelTransfer.h"

namespace korvane::render {
namespace {

double WorldPixelBytes(int bit_depth) {
    switch (bit_depth) {
        case 8: return 4.0;
        case 16: return 8.0;
        default: return 16.0;  // float, and the Premiere formats the effect does not read
    }
}

// A grid side for the memory figure: one more than the whole records of `side`, or for settings
// that give no number (which the preparation refuses) one more than the image's side.
double GridSideNeed(float side, double image_side) {
    return std::isfinite(side) ? std::floor(static_cast<double>(side)) + 1.0 : image_side + 1.0;
}

int32_t ClampedSide(int64_t side) {
    return static_cast<int32_t>(std::clamp<int64_t>(side, 0, std::numeric_limits<int32_t>::max()));
}

}  // namespace

double FrameMemoryNeed(int64_t width, int64_t height, const utils::GridGeometry& grid, int bit_depth,
                       bool with_constraint, bool compact) {
    const double w = static_cast<double>(std::max<int64_t>(width, 0));
    const double h = static_cast<double>(std::max<int64_t>(height, 0));
    if (w == 0.0 || h == 0.0) return 0.0;
    const double record = sizeof(utils::PixelRecord);
    const double grid_w = GridSideNeed(grid.length, w);
    const double grid_h = GridSideNeed(grid.lines, h);

    const double worlds = (3.0 + (with_constraint ? 2.0 : 0.0)) * w * h * WorldPixelBytes(bit_depth);
    const double threads = std::max(1u, std::thread::hardware_concurrency());
    if (compact) {
        // A key and a break byte per image pixel and a word per cell; a line's breaks and the radix
        // sort's spare buffer, and an image row's colours, per thread. Random rows hold one word per
        // pixel and at most one span (8 bytes) per two pixels, within the same bound.
        const double word = sizeof(uint64_t);
        const double pixel = sizeof(uint32_t) + 1.0;
        const double scratch = threads * (grid_w * (word + 1.0) + w * sizeof(PF_PixelFloat));
        return w * h * pixel + grid_w * grid_h * word + worlds + scratch;
    }
    const double image_records = w * h * record;
    const double grid_records = grid_w * grid_h * record;
    const double line_scratch = 4.0 * grid_w * record * threads;
    return image_records + grid_records + worlds + line_scratch;
}

double FrameMemoryNeed(int64_t width, int64_t height, float angle_degrees, float resolution, int bit_depth,
                       bool with_constraint, bool compact_grid) {
    utils::SortSettings settings;
    settings.angle = angle_degrees;
    settings.resolution = resolution;
    const utils::GridGeometry grid = utils::GridGeometryOf(settings, ClampedSide(width), ClampedSide(height));
    return FrameMemoryNeed(width, height, grid, bit_depth, with_constraint, compact_grid);
}

RenderPlan MakeRenderPlan(const KRVN_Params& params, const FrameShape& frame, utils::Info& info) {
    RenderPlan plan;
    plan.frame = frame;
    info.settings = sources::CopySettings(params);
    plan.with_constraint = params.has_masks && !frame.premiere;
    plan.grid = utils::GridGeometryOf(info.settings, frame.width, frame.height);
    plan.prepared = utils::PrepareGridSorting(info, frame.width, frame.height);
    if (plan.prepared) {
        plan.resamples = utils::Resamples(info);
        const sources::RowFunctions rows = sources::RowTransfers(frame.bit_depth, frame.bgra);
        const bool output_is_image = frame.output_width == frame.width && frame.output_height == frame.height;
        // A path table names pixels by 32-bit indices.
        const bool path_indices_fit = static_cast<int64_t>(frame.width) * frame.height <=
                                      std::numeric_limits<int32_t>::max();
        if (utils::CurvedPathsApply(info.settings) && path_indices_fit) {
            plan.path = RenderPath::kPaths;
        } else if (rows.readCompact != nullptr && utils::CompactGridApplies(info)) {
            plan.path = RenderPath::kCompactGrid;
        } else if (rows.readCompact != nullptr && utils::RandomRowsApply(info)) {
            plan.path = RenderPath::kRandomRows;
        } else if (rows.read != nullptr && output_is_image &&
                   utils::LinesAreImageRows(info, frame.width, frame.height)) {
            plan.path = RenderPath::kRowsApart;
            plan.compact_rows = utils::PlainSortLook(info);
        }
    } else {
        // The records path prepares again and reports the reason itself.
        info.SetMessage({});
    }
    // A grid scaled but not turned is read back by fill world itself, pixel by pixel and row by
    // row as the grid lies, rather than written into the image records first and read from them
    // again. A turned grid goes back through the banded transfer: read along the image rows, its
    // records lie on diagonals, one cache line each, which costs more than the extra pass.
    plan.sample_back = plan.path == RenderPath::kRecords && info.settings.angle == 0.0f;
    // Paths sort the image's own records in place; the figure of a grid of the image's size covers
    // the paths' heads and block triggers, and the path table takes a pixel index each (and its
    // keys while it is built).
    const utils::GridGeometry image_grid{1.0f, static_cast<float>(frame.width), static_cast<float>(frame.height)};
    plan.memory_need = plan.path == RenderPath::kPaths
                           ? FrameMemoryNeed(frame.width, frame.height, image_grid, frame.bit_depth,
                                             plan.with_constraint, false) +
                                 20.0 * static_cast<double>(frame.width) * static_cast<double>(frame.height)
                           : FrameMemoryNeed(frame.width, frame.height, plan.grid, frame.bit_depth,
                                             plan.with_constraint, plan.compact());
    if (info.settings.intervalMode == utils::kIntervalEdges) {
        // The edges: a plane of trigger values, two of the blur, the strength and a flag per pixel.
        plan.memory_need += 17.0 * std::max(frame.width, 0) * std::max(frame.height, 0);
    }
    return plan;
}

}  // namespace korvane::render
