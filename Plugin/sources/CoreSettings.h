// The frame's parameter values as the sorting core's settings: the one place where the effect's
// parameters cross into the core.
#pragma once

#include "KRVN_Params.h"
#include "sorting/Info.h"

namespace korvane::sources {

// The parameter values the core reads, unchanged.
utils::SortSettings CopySettings(const KRVN_Params& params);

}  // namespace korvane::sources
