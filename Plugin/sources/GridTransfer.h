// A plain sort on a turned or scaled grid without records: the worlds are read into image keys
// and breaks (utils::CompactGrid), the grid is built from them, its lines are sorted, and the
// output is written from the grid, each pass one loop on the render's executor (the host's
// iteration, or under Premiere Pro the process's pool). A plain sort with a
// random offset on the image rows takes the same passes as random rows: the rows are read
// straight into the grid's words, and the lines are sorted one after another.
#pragma once

#include <cstdint>
#include <functional>

#include "korvane/sdk/Effect.h"
#include "korvane/sdk/Suites.h"
#include "sorting/CompactGrid.h"
#include "sorting/CurvedPaths.h"
#include "sources/PixelTransfer.h"
#include "sources/RenderPlan.h"

namespace korvane::sources {

// The passes, in order:
enum GridPass : int {
    kReadImage = 0,    // image row i of the worlds into image keys and breaks
    kBuildGrid = 1,    // band i of grid rows from the image keys (transform direction 1 set up)
    kSortLines = 2,    // grid line i
    kWriteOutput = 3,  // band i of output rows from the grid (transform direction 2 set up)
};

// What every pass reads. `fill` names the worlds as the record fill does (its records unused),
// `output` the world written; output pixels beyond the image are left as they are.
struct GridRun {
    RecordFillContext fill;
    PF_EffectWorld* output = nullptr;
    RowFunctions rows{};
    CompactKeys keys;
    utils::Info* info = nullptr;
    utils::CompactGrid* grid = nullptr;
    int bit_depth = 8;
    // utils::RandomRowsApply: the image words are the grid, there is nothing to build, and the
    // line sort is one item that sorts every line in order. At 8 bits each word carries its pixel
    // in the low half instead of its place, and the output copies the low halves.
    bool random_rows = false;
};

// Items in `pass` (0 for a pass that has nothing to do).
int64_t GridPassSize(const GridRun& run, int pass);

// Runs item `item` of `pass` with the buffers of the worker's `scratch`. False with the reason in
// the message of Info.
bool RunGridItem(const GridRun& run, int pass, int64_t item, utils::WorkerScratch& scratch);

// Every item of `pass` on `executor`. A failure is returned (an item's
// PF_Err_INTERNAL_STRUCT_DAMAGED, or the executor's own code); its reason is in the message of Info.
PF_Err RunGridPass(const GridRun& run, int pass, utils::Executor& executor);

// The frame a render hands to the compact grid once its worlds are made: `fill` names "sorting"
// and the source worlds as the record fill does.
struct GridFrame {
    PF_InData* in_data = nullptr;
    PF_EffectWorld* input = nullptr;
    PF_EffectWorld* output = nullptr;
    RecordFillContext fill;
};

// The rest of a render whose plan takes the compact grid (RenderPath::kCompactGrid) or random rows
// (RenderPath::kRandomRows), on the sizes the plan prepared on `info`, in place of fill pixels vector, the sort
// preparation, the line sort, the transfer back and fill world, at their progress points (`progress` returns true for a
// cancel): the worlds into image keys, the grid built from them, its lines sorted, the output written from it, each
// pass on info.executor. `err` is the render's shared code: each pass runs only while it is zero and leaves its outcome
// there. The grid's memory comes from and goes back to the frames' pool. A failure or cancel while the output is
// written shows the unsorted input again.
PF_Err SortOnCompactGrid(const render::RenderPlan& plan, const GridFrame& frame, utils::Info& info, PF_Err& err,
                         const std::function<bool(A_long)>& progress);

// The rest of a render whose plan takes the paths (RenderPath::kPaths) and whose look
// utils::CompactPathsApply allows, in place of the records: the worlds into image keys and breaks,
// the words gathered along `table`'s paths, each path walked for its spans, the spans sorted, and
// the output written from the words, each pass on info.executor, at the progress points of the
// records' path. `err` as SortOnCompactGrid's; the output must be the image's size. A failure or
// cancel while the output is written shows the unsorted input again.
PF_Err SortOnCompactPaths(const render::RenderPlan& plan, const GridFrame& frame, const utils::PathTable& table,
                          utils::Info& info, PF_Err& err, const std::function<bool(A_long)>& progress);

}  // namespace korvane::sources
