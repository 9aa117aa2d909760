// The universal render: one sorted frame from the input world into the output world, shared by the
// smart render and the legacy render. Also the per-line entry the host's iteration calls.
#pragma once

#include <cstdint>
#include <span>

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

// Another frame of the input near the frame's time, whose trigger values join the frame's in the
// automatic band (smoothing over frames): its input layer and, when a trigger layer is in use, that
// layer at the same time, as the host gave them. A null world or null data: the host has no such frame,
// and the frame is left out.
struct NeighbourFrame {
    PF_EffectWorld* input = nullptr;
    PF_EffectWorld* trigger = nullptr;
};

// How many frames on each side the automatic band of these parameters reads: 0 unless it is on.
inline int SmoothingFrames(const KRVN_Params& params) {
    return params.look.auto_threshold ? params.look.auto_smooth : 0;
}

PF_Err UniversalRender(PF_InData* in_data, PF_LayerDef* input, PF_OutData* out_data, PF_LayerDef* output,
                       KRVN_Params* params, int bit_depth, PF_PixelFormat pixel_format, bool bgra, void* global_data,
                       std::span<const NeighbourFrame> neighbours = {});

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
