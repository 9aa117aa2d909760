// The mapping of frei0r values onto the effect's parameters, and the explanations hosts show.
#include "FilterParams.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

extern "C" {
#include <frei0r.h>
}

namespace korvane::frei0r {
namespace {

struct Description {
    std::string_view cli_name;
    std::string_view text;
};

// What each parameter does; the range and mapping are added from the table.
constexpr Description kDescriptions[] = {
    {"threshold_low", "Lower threshold of the trigger value that spans start and end at"},
    {"threshold_high", "Upper threshold of the trigger value"},
    {"effect", "Sort the pixels inside or outside the thresholds"},
    {"angle", "Direction of the sorted lines"},
    {"stretch", "Stretch the spans"},
    {"stretch_factor", "How far spans stretch"},
    {"priority", "Whether sorting or the source decides where spans stretch"},
    {"trigger", "Channel compared with the thresholds"},
    {"sort_key", "Channel the pixels of a span are sorted by"},
    {"fill", "Fill the spans"},
    {"pop", "Raises the saturation, brightness and contrast of the spans"},
    {"blur", "Blur along the spans, in pixels"},
    {"block_width", "Longest span, as a share of the line length"},
    {"block_height", "Lines sorted together as one block, as a share of the line count"},
    {"reverse", "Reverse the sort order"},
    {"mirror", "Mirror each span"},
    {"resolution", "Resolution of the line grid"},
    {"affect_background", "Write the grid back over the pixels outside the spans too"},
    {"loop", "Cyclic shift of each span, as a fraction of a turn"},
    {"animate_growth", "Growth factor of closed spans (100 % leaves them as they are)"},
    {"offset", "Shifts the start of every span"},
    {"random_offset", "Random shift of span starts"},
    {"random_seed", "Seed of the random offsets"},
    {"feather_start", "Share of each span blended back towards the unsorted pixels at its start"},
    {"feather_end", "Share of each span blended back towards the unsorted pixels at its end"},
    {"noise_amount", "Noise added to the trigger values"},
    {"noise_size", "Size of the noise pattern"},
    {"noise_complexity", "Octaves of the noise"},
    {"noise_seed", "Seed of the noise"},
    {"mode", "What is written into the spans"},
    {"preserve_alpha", "Keep the input's alpha channel"},
    // The looks beyond the registered parameters.
    {"interval", "How lines are cut into spans besides the thresholds"},
    {"edge_level", "Edges: edge strength at which a span ends"},
    {"edge_scale", "Edges: scale at which edges are measured, in pixels"},
    {"span_length", "Random and waves: mean span length, in pixels"},
    {"span_seed", "Random: seed of the span lengths"},
    {"wave_length", "Waves: pixels from one longest span to the next"},
    {"wave_amplitude", "Waves: how far span lengths swing around the mean"},
    {"wave_phase", "Waves: where the wave starts"},
    {"wave_drift", "Waves: how far the wave moves on from one line to the next, in degrees"},
    {"auto_threshold", "Take the thresholds from percentiles of the frame's trigger values"},
    {"auto_low", "Automatic thresholds: percentile where the band starts"},
    {"auto_high", "Automatic thresholds: percentile where the band ends"},
    {"path", "What the lines are: straight lines, circles, rays, a spiral or a Hilbert curve"},
    {"centre_x", "Circles, rays and spiral: the centre's x, as a share of the width"},
    {"centre_y", "Circles, rays and spiral: the centre's y, as a share of the height"},
};

constexpr bool EveryParamDescribed() {
    for (const params::ParamSpec* row : kFilterRows) {
        bool found = false;
        for (const Description& d : kDescriptions) found = found || d.cli_name == row->cli_name;
        if (!found) return false;
    }
    return std::size(kDescriptions) == kFilterRows.size();
}
static_assert(EveryParamDescribed(), "every filter parameter needs a description");

std::string Number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

std::string Describe(const params::ParamSpec& row) {
    std::string text;
    for (const Description& d : kDescriptions) {
        if (d.cli_name == row.cli_name) text = d.text;
    }
    const FilterRange range = RangeOf(row);
    const bool percent = row.display_flags & PF_ValueDisplayFlag_PERCENT;
    switch (row.type) {
        case PF_Param_CHECKBOX: return text + "; default " + (row.dephault != 0 ? "on" : "off");
        case PF_Param_POPUP: {
            text += ": ";
            for (int c = 0; c < range.choices; ++c) {
                const int value = PopupValueOfChoice(row, c);
                text += (c ? ", " : "") + Number(range.choices > 1 ? c / double(range.choices - 1) : 0) + " " +
                        std::string(params::ItemAt(row.cli_values, value)) +
                        (value == row.dephault ? " (default)" : "");
            }
            return text;
        }
        case PF_Param_ANGLE:
            return text + "; -180 to 180 degrees (0 to 1), default " + Number(row.dephault) + " degrees (" +
                   Number(DefaultValue(row)) + ")";
        default: {
            const std::string unit = percent ? " %" : "";
            return text + "; " + Number(range.lo) + " to " + Number(range.hi) + unit + " (0 to 1), default " +
                   Number(row.dephault) + unit + (row.type == PF_Param_SLIDER ? ", whole numbers" : "");
        }
    }
}

}  // namespace

double EffectValue(const params::ParamSpec& row, double normalized) {
    const FilterRange range = RangeOf(row);
    switch (row.type) {
        case PF_Param_CHECKBOX: return normalized >= 0.5 ? 1.0 : 0.0;
        case PF_Param_POPUP: {
            const int choice = static_cast<int>(std::lround(normalized * (range.choices - 1)));
            return PopupValueOfChoice(row, std::clamp(choice, 0, range.choices - 1));
        }
        case PF_Param_SLIDER: return std::round(range.lo + normalized * (range.hi - range.lo));
        default: return range.lo + normalized * (range.hi - range.lo);
    }
}

double DefaultValue(const params::ParamSpec& row) {
    const FilterRange range = RangeOf(row);
    if (row.type == PF_Param_POPUP) {
        for (int c = 0; c < range.choices; ++c) {
            if (PopupValueOfChoice(row, c) == row.dephault)
                return range.choices > 1 ? c / double(range.choices - 1) : 0;
        }
        return 0;
    }
    return (row.dephault - range.lo) / (range.hi - range.lo);
}

double Sanitize(const params::ParamSpec& row, double value) {
    if (!std::isfinite(value)) return DefaultValue(row);
    return std::clamp(value, 0.0, 1.0);
}

int Frei0rType(const params::ParamSpec& row) {
    return row.type == PF_Param_CHECKBOX ? F0R_PARAM_BOOL : F0R_PARAM_DOUBLE;
}

const std::string& Explanation(int filter_index) {
    static const std::vector<std::string> texts = [] {
        std::vector<std::string> all;
        for (const params::ParamSpec* row : kFilterRows) all.push_back(Describe(*row));
        return all;
    }();
    return texts[static_cast<std::size_t>(filter_index)];
}

}  // namespace korvane::frei0r
