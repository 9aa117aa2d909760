// The universal render: one sorted frame from the input world into the output world, shared by the
// smart render and the legacy render. Also the per-line entry the host's iteration calls.
#pragma once

#include <cstdint>

#include "KRVN_Params.h"
#include "korvane/sdk/Effect.h"
#include "sources/RenderPlan.h"  // FrameMemoryNeed

namespace korvane {
namespace utils {
struct Info;
}
namespace sources {
struct RowSortContext;
}

PF_Err UniversalRender(PF_InData* in_data, PF_LayerDef* input, PF_OutData* out_data, PF_LayerDef* output,
                       KRVN_Params* params, int bit_depth, PF_PixelFormat pixel_format, bool bgra, void* global_data);

// What each iteration of the sorting stage receives: the sort context and the phase of its line
// plan, or, for lines sorted apart, the rows to read, sort and write.
struct SortPhaseRef {
    utils::Info* info;
    int phase;
    const sources::RowSortContext* rows = nullptr;
};

// An item of the sorting stage's loop: refcon is a SortPhaseRef; runs item i of its phase of the
// line plan, or row i from the worlds to the output with the scratch of worker `thread_index` of
// info.executor.
PF_Err PixelSortIterate(void* refcon, A_long thread_index, A_long i, A_long iterations);

}  // namespace korvane
