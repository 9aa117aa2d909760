// A plan that runs the lines of the grid in phases so that the result is the same bytes as
// SortAllLinesSequentially whatever the threads and the order of items within a phase.
//
// Phases run one after another; the items of one phase may run at once on any threads. The render
// calls the host's iteration once per phase with SortPhaseSize(phase) iterations and calls
// SortPhaseItem for each; false means the item failed and the reason is in the message of Info.
#pragma once

#include <cstdint>

#include "sorting/Info.h"

namespace korvane::utils {

int SortPhaseCount(const Info& info);
int64_t SortPhaseSize(const Info& info, int phase);
bool SortPhaseItem(Info& info, int phase, int64_t item);

// Lines 0 .. lineCount − 1 in order on the calling thread, stopping at the first failure.
bool SortAllLinesSequentially(Info& info);

}  // namespace korvane::utils
