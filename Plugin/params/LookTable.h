// Looks beyond the registered parameters: interval modes, automatic thresholds and curved paths.
// The effect never registers these rows. A host that offers the look suite (ours) hands their
// values over; any other host leaves every one at its default, and the defaults give the frames the
// registered parameters alone give. The CLI, the preview, the page and the frei0r filter read this
// table as they read the parameter table.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "ParamTable.h"

namespace korvane::params {

// Look indices follow the registered parameters with a gap, so that no index means both.
enum LookIndex : int {
    KRVN_LOOK_FIRST = 101,
    KRVN_INTERVAL_GROUP_START = KRVN_LOOK_FIRST,
    KRVN_INTERVAL,
    KRVN_EDGE_LEVEL,
    KRVN_EDGE_SCALE,
    KRVN_SPAN_LENGTH,
    KRVN_SPAN_SEED,
    KRVN_WAVE_LENGTH,
    KRVN_WAVE_AMPLITUDE,
    KRVN_WAVE_PHASE,
    KRVN_WAVE_DRIFT,
    KRVN_INTERVAL_GROUP_END,
    KRVN_AUTO_GROUP_START,
    KRVN_AUTO_THRESHOLD,
    KRVN_AUTO_LOW,
    KRVN_AUTO_HIGH,
    KRVN_AUTO_SMOOTH,
    KRVN_AUTO_GROUP_END,
    KRVN_PATH_GROUP_START,
    KRVN_PATH,
    KRVN_CENTRE_X,
    KRVN_CENTRE_Y,
    KRVN_PATH_GROUP_END,
    KRVN_LOOK_END  // one past the last look index
};

inline constexpr int kLookCount = KRVN_LOOK_END - KRVN_LOOK_FIRST;

enum class IntervalChoice : int { Threshold = 1, Edges, Random, Waves };
enum class PathChoice : int { Lines = 1, Circles, Rays, Spiral, Hilbert };

// Rows in the parameter table's shape. Ids are 0 (never registered, never stored by a host project);
// names are ASCII, so their GBK bytes are the same text.
// clang-format off
inline constexpr std::array<ParamSpec, kLookCount> kLookParams{{
    {KRVN_INTERVAL_GROUP_START, 0, PF_Param_GROUP_START, "Intervals", "Intervals", "",
     0.0, 0.0, 0.0, 0, 0, PF_ParamFlag_START_COLLAPSED, 0,
     0, "", "", "", "", "", false},
    {KRVN_INTERVAL, 0, PF_Param_POPUP, "Interval", "Interval", "interval",
     1.0, 4.0, 1.0, 0, 0, 0, 0,
     5, "Threshold|Edges|Random|Waves", "Threshold|Edges|Random|Waves", "", "", "threshold|edges|random|waves", false},
    {KRVN_EDGE_LEVEL, 0, PF_Param_FLOAT_SLIDER, "Edge level", "Edge level", "edge_level",
     0.0, 1.0, 0.1, 3, 0, 0, 0,
     0, "", "", "", "", "", false},
    {KRVN_EDGE_SCALE, 0, PF_Param_FLOAT_SLIDER, "Edge scale", "Edge scale", "edge_scale",
     0.5, 20.0, 1.0, 1, 0, 0, 0,
     0, "", "", "", "", "", false},
    {KRVN_SPAN_LENGTH, 0, PF_Param_FLOAT_SLIDER, "Span length", "Span length", "span_length",
     2.0, 4000.0, 64.0, 0, 0, 0, 0,
     0, "", "", "", "", "", false},
    {KRVN_SPAN_SEED, 0, PF_Param_SLIDER, "Span seed", "Span seed", "span_seed",
     0.0, 100000.0, 0.0, 0, 0, 0, 0,
     0, "", "", "", "", "", false},
    {KRVN_WAVE_LENGTH, 0, PF_Param_FLOAT_SLIDER, "Wavelength", "Wavelength", "wave_length",
     2.0, 10000.0, 400.0, 0, 0, 0, 0,
     0, "", "", "", "", "", false},
    {KRVN_WAVE_AMPLITUDE, 0, PF_Param_FLOAT_SLIDER, "Wave amplitude", "Wave amplitude", "wave_amplitude",
     0.0, 100.0, 50.0, 1, PF_ValueDisplayFlag_PERCENT, 0, 0,
     0, "", "", "", "", "", false},
    {KRVN_WAVE_PHASE, 0, PF_Param_ANGLE, "Wave phase", "Wave phase", "wave_phase",
     -32768.0, 32767.0, 0.0, 0, 0, 0, 0,
     0, "", "", "", "", "", false},
    {KRVN_WAVE_DRIFT, 0, PF_Param_FLOAT_SLIDER, "Wave drift", "Wave drift", "wave_drift",
     -180.0, 180.0, 2.0, 2, 0, 0, 0,
     0, "", "", "", "", "", false},
    {KRVN_INTERVAL_GROUP_END, 0, PF_Param_GROUP_END, "", "", "",
     0.0, 0.0, 0.0, 0, 0, 0, 0,
     0, "", "", "", "", "", false},
    {KRVN_AUTO_GROUP_START, 0, PF_Param_GROUP_START, "Automatic thresholds", "Automatic thresholds", "",
     0.0, 0.0, 0.0, 0, 0, PF_ParamFlag_START_COLLAPSED, 0,
     0, "", "", "", "", "", false},
    {KRVN_AUTO_THRESHOLD, 0, PF_Param_CHECKBOX, "Automatic", "Automatic", "auto_threshold",
     0.0, 1.0, 0.0, 0, 0, 0, 0,
     0, "", "", "", "", "", false},
    {KRVN_AUTO_LOW, 0, PF_Param_FLOAT_SLIDER, "Band from", "Band from", "auto_low",
     0.0, 100.0, 70.0, 1, PF_ValueDisplayFlag_PERCENT, 0, 0,
     0, "", "", "", "", "", false},
    {KRVN_AUTO_HIGH, 0, PF_Param_FLOAT_SLIDER, "Band to", "Band to", "auto_high",
     0.0, 100.0, 100.0, 1, PF_ValueDisplayFlag_PERCENT, 0, 0,
     0, "", "", "", "", "", false},
    {KRVN_AUTO_SMOOTH, 0, PF_Param_SLIDER, "Smoothing", "Smoothing", "auto_smooth",
     0.0, 12.0, 0.0, 0, 0, 0, 0,
     0, "", "", "", "", "", false, true},
    {KRVN_AUTO_GROUP_END, 0, PF_Param_GROUP_END, "", "", "",
     0.0, 0.0, 0.0, 0, 0, 0, 0,
     0, "", "", "", "", "", false},
    {KRVN_PATH_GROUP_START, 0, PF_Param_GROUP_START, "Paths", "Paths", "",
     0.0, 0.0, 0.0, 0, 0, PF_ParamFlag_START_COLLAPSED, 0,
     0, "", "", "", "", "", false},
    {KRVN_PATH, 0, PF_Param_POPUP, "Path", "Path", "path",
     1.0, 5.0, 1.0, 0, 0, 0, 0,
     6, "Lines|Circles|Rays|Spiral|Hilbert curve", "Lines|Circles|Rays|Spiral|Hilbert curve", "", "", "lines|circles|rays|spiral|hilbert", false},
    {KRVN_CENTRE_X, 0, PF_Param_FLOAT_SLIDER, "Centre X", "Centre X", "centre_x",
     -100.0, 200.0, 50.0, 1, PF_ValueDisplayFlag_PERCENT, 0, 0,
     0, "", "", "", "", "", false},
    {KRVN_CENTRE_Y, 0, PF_Param_FLOAT_SLIDER, "Centre Y", "Centre Y", "centre_y",
     -100.0, 200.0, 50.0, 1, PF_ValueDisplayFlag_PERCENT, 0, 0,
     0, "", "", "", "", "", false},
    {KRVN_PATH_GROUP_END, 0, PF_Param_GROUP_END, "", "", "",
     0.0, 0.0, 0.0, 0, 0, 0, 0,
     0, "", "", "", "", "", false},
}};
// clang-format on

// The look row at `index`; nullptr outside KRVN_LOOK_FIRST..KRVN_LOOK_END − 1.
constexpr const ParamSpec* FindLook(int index) {
    if (index < KRVN_LOOK_FIRST || index >= KRVN_LOOK_END) return nullptr;
    return &kLookParams[static_cast<std::size_t>(index - KRVN_LOOK_FIRST)];
}

// The look row with this CLI name; nullptr when none has it.
constexpr const ParamSpec* FindLookByCliName(std::string_view cli_name) {
    if (cli_name.empty()) return nullptr;
    for (const ParamSpec& row : kLookParams) {
        if (cli_name == row.cli_name) return &row;
    }
    return nullptr;
}

// What each look parameter does, for people, as Description does for the registered ones.
// clang-format off
constexpr std::string_view LookDescription(int index) {
    switch (index) {
    case KRVN_INTERVAL:
        return "how lines are cut into spans besides the band (a span needs both): threshold: the band alone; edges: "
               "spans end at edges of the trigger image; random: seeded lengths around span_length; waves: lengths "
               "following a wave along the lines";
    case KRVN_EDGE_LEVEL: return "edges: a span ends where the trigger's edge strength (0-1) rises above this level";
    case KRVN_EDGE_SCALE: return "edges: the scale at which edges are measured, pixels; larger finds only broad edges";
    case KRVN_SPAN_LENGTH: return "random and waves: the mean length of a span, pixels of the line";
    case KRVN_SPAN_SEED: return "random: seed of the span lengths: another seed, another pattern";
    case KRVN_WAVE_LENGTH: return "waves: pixels along a line from one longest span to the next";
    case KRVN_WAVE_AMPLITUDE: return "waves: how far span lengths swing around span_length, percent of it";
    case KRVN_WAVE_PHASE: return "waves: where the wave starts, degrees; animate it to make the waves travel";
    case KRVN_WAVE_DRIFT: return "waves: how much the wave moves on from one line to the next, degrees";
    case KRVN_AUTO_THRESHOLD:
        return "take the band from the picture: threshold_low and threshold_high become the auto_low and auto_high "
               "percentiles of the frame's trigger values";
    case KRVN_AUTO_LOW: return "automatic: the band starts at this percentile of the trigger (70 with 100: the brightest 30 percent)";
    case KRVN_AUTO_HIGH: return "automatic: the band ends at this percentile of the trigger; 100 includes the highest value";
    case KRVN_AUTO_SMOOTH:
        return "automatic: frames on each side whose trigger values join the frame's in the percentiles, so that the "
               "band follows the picture's brightness smoothly; 0 takes the frame alone. Needs the CLI's other "
               "frames (image sequences, clips): the preview, the page and the frei0r filter leave it out";
    case KRVN_PATH:
        return "what the lines are: straight lines at the angle, circles round the centre, rays from it, one spiral, "
               "or one Hilbert curve through every pixel";
    case KRVN_CENTRE_X: return "circles, rays and spiral: the centre's x, percent of the frame's width from the left";
    case KRVN_CENTRE_Y: return "circles, rays and spiral: the centre's y, percent of the frame's height from the top";
    default: return "";
    }
}
// clang-format on

namespace detail {

constexpr bool LookRowsInOrder() {
    for (std::size_t i = 0; i < kLookParams.size(); ++i) {
        if (kLookParams[i].index != KRVN_LOOK_FIRST + static_cast<int>(i)) return false;
    }
    return true;
}
static_assert(LookRowsInOrder(), "look rows out of index order");

constexpr bool LookNamesUnique() {
    for (const ParamSpec& row : kLookParams) {
        if (row.cli_name[0] == '\0') continue;
        if (FindParamByCliName(row.cli_name) != nullptr) return false;
        if (FindLookByCliName(row.cli_name) != &row) return false;
        if (LookDescription(row.index).empty()) return false;
    }
    return true;
}
static_assert(LookNamesUnique(), "a look name repeats a parameter's or another look's, or has no description");

static_assert(PopupValue(kLookParams[KRVN_INTERVAL - KRVN_LOOK_FIRST], "waves") ==
              static_cast<int>(IntervalChoice::Waves));
static_assert(PopupValue(kLookParams[KRVN_PATH - KRVN_LOOK_FIRST], "hilbert") == static_cast<int>(PathChoice::Hilbert));

}  // namespace detail

}  // namespace korvane::params
