// The look suite: our host's own suite (no other host offers it), through which the effect reads
// the looks beyond its registered parameters (the look table's rows) at the render's time.
#pragma once

#include "korvane/sdk/Effect.h"

#ifdef __cplusplus
extern "C" {
#endif

#define kKorvaneLookSuite "Korvane Look Suite"
#define kKorvaneLookSuiteVersion1 1
typedef struct {
    // Writes the values of look indices first_index .. first_index + count - 1, at the time of the
    // call behind effect_ref, in the units the look table gives (float sliders as shown, percent
    // sliders 0..100; angles in degrees; integer sliders, 1-based popups and 0/1 checkboxes as whole
    // numbers; group rows 0). An index outside the look table answers PF_Err_INVALID_INDEX and
    // writes nothing.
    PF_Err (*look_values)(PF_ProgPtr effect_ref, A_long first_index, A_long count, PF_FpLong* values);
} KRVN_LookSuite1;

#ifdef __cplusplus
}
#endif
