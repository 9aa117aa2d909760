// Helpers for the sorting-core tests that start from the effect's parameters; the rest are the
// core's own (CoreSupport.h).
#pragma once

#include <vector>

#include "CoreSupport.h"
#include "KRVN_Params.h"
#include "sources/CoreSettings.h"

namespace korvane::utils::test {

// Parameters that key on red, inside 0 ≤ red < 0.5, with the fill option off.
inline KRVN_Params RedParams() {
    KRVN_Params p;
    p.trigger = kTriggerRed;
    p.sort_key = kSortRed;
    p.fill = false;
    return p;
}

// A context holding `records` as a width × (size / width) image, prepared at resolution 1 and
// angle 0 unless the parameters say otherwise.
inline Info Prepared(const std::vector<PixelRecord>& records, int32_t width, const KRVN_Params& p) {
    return Prepared(records, width, sources::CopySettings(p));
}

}  // namespace korvane::utils::test
