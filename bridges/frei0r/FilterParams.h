// The filter's parameters: the rows of the effect's parameter table that a frei0r filter can carry
// (sliders, angles, popups, checkboxes; no layers, masks, buttons or groups), in table order, then
// the look table's rows the same way, and the mapping of frei0r's [0, 1] doubles onto each one's values.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "LookTable.h"
#include "ParamTable.h"

namespace korvane::frei0r {

constexpr bool IsFilterParam(const params::ParamSpec& row) {
    if (row.ae_only) return false;       // the mask path and its checkbox
    if (row.other_frames) return false;  // a filter sees one frame at a time
    switch (row.type) {
        case PF_Param_FLOAT_SLIDER:
        case PF_Param_SLIDER:
        case PF_Param_ANGLE:
        case PF_Param_POPUP:
        case PF_Param_CHECKBOX: return true;
        default: return false;
    }
}

constexpr int CountFilterParams(const auto& table) {
    int n = 0;
    for (const params::ParamSpec& row : table) n += IsFilterParam(row) ? 1 : 0;
    return n;
}

// The registered parameters come first; the looks follow them, so that every earlier position stays
// where editors (and ffmpeg, which passes values by position) keep it.
inline constexpr int kRegisteredFilterCount = CountFilterParams(params::kParams);
inline constexpr int kFilterParamCount = kRegisteredFilterCount + CountFilterParams(params::kLookParams);

// Filter index -> table row (the parameter table's, then the look table's), generated from the tables.
constexpr std::array<const params::ParamSpec*, kFilterParamCount> MakeFilterRows() {
    std::array<const params::ParamSpec*, kFilterParamCount> rows{};
    std::size_t n = 0;
    for (const params::ParamSpec& row : params::kParams) {
        if (IsFilterParam(row)) rows[n++] = &row;
    }
    for (const params::ParamSpec& row : params::kLookParams) {
        if (IsFilterParam(row)) rows[n++] = &row;
    }
    return rows;
}

inline constexpr std::array<const params::ParamSpec*, kFilterParamCount> kFilterRows = MakeFilterRows();

// What a double in [0, 1] spans for a row, in the effect's units.
struct FilterRange {
    double lo = 0, hi = 1;
    int choices = 0;  // popups: selectable values (a separator is not one); 0 otherwise
};

constexpr FilterRange RangeOf(const params::ParamSpec& row) {
    switch (row.type) {
        case PF_Param_ANGLE: return {-180.0, 180.0, 0};
        case PF_Param_POPUP: {
            int selectable = 0;
            for (int v = 1; v <= params::CountItems(row.cli_values); ++v)
                selectable += params::ItemAt(row.cli_values, v).empty() ? 0 : 1;
            return {1.0, row.valid_max, selectable};
        }
        case PF_Param_CHECKBOX: return {0.0, 1.0, 0};
        default:
            // A default outside the valid range (the noise seed's 0) stays reachable.
            return {row.dephault < row.valid_min ? row.dephault : row.valid_min,
                    row.dephault > row.valid_max ? row.dephault : row.valid_max, 0};
    }
}

// The popup value (1-based, as the host stores it) of the nth selectable choice (0-based).
constexpr int PopupValueOfChoice(const params::ParamSpec& row, int choice) {
    for (int v = 1, seen = 0; v <= params::CountItems(row.cli_values); ++v) {
        if (params::ItemAt(row.cli_values, v).empty()) continue;
        if (seen++ == choice) return v;
    }
    return static_cast<int>(row.dephault);
}

// The effect's value (user units: degrees, percent, 1-based popup values, 0/1) for a frei0r value,
// which must already be finite and in [0, 1].
double EffectValue(const params::ParamSpec& row, double normalized);
// The frei0r value of the effect's default.
double DefaultValue(const params::ParamSpec& row);
// A value as the host handed it: non-finite -> the default, outside [0, 1] -> clamped.
double Sanitize(const params::ParamSpec& row, double value);
// frei0r's type of a row: F0R_PARAM_BOOL for checkboxes, F0R_PARAM_DOUBLE otherwise.
int Frei0rType(const params::ParamSpec& row);
// What the parameter does, its units, range and default, and how [0, 1] maps onto it.
const std::string& Explanation(int filter_index);

}  // namespace korvane::frei0r
