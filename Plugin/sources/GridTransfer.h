// A plain sort on a turned or scaled grid without records: the worlds are read into image words
// (utils::CompactGrid), the grid is built from them, its lines are sorted, and the output is
// written from the grid, each pass through the host's iteration.
#pragma once

#include <cstdint>

#include "korvane/sdk/Effect.h"
#include "korvane/sdk/Suites.h"
#include "sorting/CompactGrid.h"
#include "sources/PixelTransfer.h"

namespace korvane::sources {

// The passes, in order:
enum GridPass : int {
    kReadImage = 0,  // image row i of the worlds into image words
    kBuildGrid = 1,  // band i of grid rows from the image words (transform direction 1 set up)
    kSortLines = 2,  // grid line i
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
};

// Items in `pass` (0 for a pass that has nothing to do).
int64_t GridPassSize(const GridRun& run, int pass);

// Runs item `item` of `pass`. False with the reason in the message of Info.
bool RunGridItem(const GridRun& run, int pass, int64_t item);

// iterate_generic callback: refcon is a GridPassRef.
struct GridPassRef {
    const GridRun* run;
    int pass;
};
PF_Err GridPassIterate(void* refcon, A_long thread_index, A_long i, A_long iterations);

// Every item of `pass` through `iterate`, or one by one on this thread when it is null (Premiere
// Pro). The first failure is returned; its reason is in the message of Info.
PF_Err RunGridPass(const GridRun& run, int pass, const PF_Iterate8Suite1* iterate);

}  // namespace korvane::sources
