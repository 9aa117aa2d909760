// The core host's copy callback cannot scale: a source of another size is a bad callback argument.
#include "Resample.h"

namespace korvane::host {

PF_Err ResampleWorld(const PF_EffectWorld&, PF_EffectWorld&, int) { return PF_Err_BAD_CALLBACK_PARAM; }

}  // namespace korvane::host
