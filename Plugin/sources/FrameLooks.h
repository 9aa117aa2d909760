// The looks that read the whole frame before any line is cut: the automatic band from percentiles
// of the frame's trigger values, and the edges of the trigger image for the edges interval mode.
#pragma once

#include "korvane/sdk/Effect.h"
#include "sorting/AutoThreshold.h"
#include "sorting/Info.h"
#include "sources/PixelTransfer.h"

namespace korvane::sources {

// Whether the settings need the frame's trigger values before the lines are cut.
bool NeedsTriggerValues(const utils::SortSettings& settings);

// Reads every pixel's trigger value (utils::BandValue of the record `rows.read` fills from the
// worlds, no noise) on info.executor, then puts the automatic band into info.settings' thresholds
// when it is on, and in the edges mode points info.edgeFlags at the frame's flags (held with the
// executor's scratch, valid while it lives and runs no other frame). Nothing for other looks or a depth
// without row reads. The executor's code when it stops the loop (a cancel); an allocation failure
// gives PF_Err_OUT_OF_MEMORY.
// With `others`, the automatic band is that of the frame's histogram and `others` summed.
PF_Err PrepareFrameLooks(const RecordFillContext& fill, const RowFunctions& rows, utils::Info& info,
                         const utils::TriggerHistogram* others = nullptr);

// Adds the trigger values of another frame's worlds to `histogram`, read as PrepareFrameLooks reads
// the frame's own (`fill` holds that frame's input as the sorting world and, when a trigger layer is
// in use, that layer at the same time; worlds of the frame's size; no noise): the automatic band
// smoothed over frames sums them. The executor's code when it stops the loop; an allocation failure
// gives PF_Err_OUT_OF_MEMORY.
PF_Err AddTriggerHistogram(const RecordFillContext& fill, const RowFunctions& rows, utils::Info& info,
                           utils::TriggerHistogram& histogram);

}  // namespace korvane::sources
