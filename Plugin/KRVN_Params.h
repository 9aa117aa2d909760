// The parameter values of one frame, read by GetParams and GetLook and handed to every render step.
#pragma once

#include <cstdint>

#include "korvane/sdk/Effect.h"

constexpr int KRVN_MAX_MASKS = 99;

// The look values a host offering the look suite hands over (the look table's rows), in the units
// the core takes: fractions for percent sliders, degrees for angles, 1-based popup values. A host
// without the suite leaves the defaults, which give the registered looks.
struct KRVN_Look {
    int32_t interval = 1;
    float edge_level = 0.1f;
    float edge_scale = 1.0f;
    float span_length = 64.0f;
    int32_t span_seed = 0;
    float wave_length = 400.0f;
    float wave_amplitude = 0.5f;
    float wave_phase = 0.0f;
    float wave_drift = 2.0f;
    bool auto_threshold = false;
    float auto_low = 0.7f;
    float auto_high = 1.0f;
    int32_t auto_smooth = 0;  // frames on each side whose trigger values join the band's histogram
    int32_t path = 1;
    float centre_x = 0.5f;
    float centre_y = 0.5f;
};

struct KRVN_Params {
    int32_t trigger = 7;   // 1..9, TriggerKey
    int32_t effect = 1;    // 1 inside thresholds, 2 outside
    int32_t sort_key = 8;  // 1..10, SortKey
    int32_t mode = 1;      // OutputMode
    int32_t blur = 0;      // pixels
    int32_t random_seed = 0;
    float angle = 0.0f;  // degrees, (-360, 360)
    float threshold_low = 0.0f;
    float threshold_high = 0.5f;
    float feather_start = 0.0f;  // fractions 0..1 from here on unless noted
    float feather_end = 0.0f;
    float resolution = 1.0f;
    float animate_growth = 1.0f;  // 0..2
    float offset = 0.0f;
    float random_offset = 0.0f;
    float loop = 0.0f;  // fraction of a turn, (-1, 1)
    float block_width = 1.0f;
    float block_height = 0.0f;
    float pop = 0.0f;
    float const_zero = 0.0f;
    float const_one = 1.0f;
    float noise_amount = 0.0f;
    float noise_size = 0.1f;
    bool stretch = false;
    float stretch_factor = 2.0f;
    int32_t priority = 2;  // 1 sort, 2 source
    int32_t noise_complexity = 4;
    int32_t noise_seed = 0;
    bool fill = true;
    bool reverse = false;
    bool mirror = false;
    bool preserve_alpha = false;
    bool affect_background = true;
    int32_t mask_ids[KRVN_MAX_MASKS] = {};
    bool has_masks = false;
    bool has_trigger_source = false;
    bool has_sort_source = false;
    float pixel_scale = 1.0f;  // the host's downsample factor (preview size / full size); 1 at full size
    KRVN_Look look;
};

namespace korvane {

// Reads parameters 1..48 at the frame's time into `record`, and selects the constraint masks.
PF_Err GetParams(PF_InData* in_data, PF_OutData* out_data, KRVN_Params* record);

// Reads the look values at the frame's time through the look suite into `look`, in its units,
// each clamped into its row's range (a value that is not a number gives the default). A host
// without the suite leaves every default, silently; an error of the suite's call is returned.
PF_Err GetLook(PF_InData* in_data, KRVN_Look* look);

}  // namespace korvane
