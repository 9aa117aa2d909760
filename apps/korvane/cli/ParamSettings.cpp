// Parsing and checking parameter values given by name.
#include "cli/ParamSettings.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "Errors.h"
#include "cli/ReadNumber.h"

namespace korvane::cli {
namespace {

using params::ParamSpec;

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string trim(const std::string& s) {
    const std::size_t a = s.find_first_not_of(" \t");
    if (a == std::string::npos) return {};
    const std::size_t b = s.find_last_not_of(" \t");
    return s.substr(a, b - a + 1);
}

bool parseNumber(const std::string& text, double& value) {
    const char* begin = text.data();
    const char* end = begin + text.size();
    if (begin != end && *begin == '+') ++begin;
    const auto [ptr, ec] = readDouble(begin, end, value);
    return begin != end && ec == std::errc() && ptr == end && std::isfinite(value);
}

std::string formatNumber(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g", value);
    return buffer;
}

bool isPercent(const ParamSpec& row) { return (row.display_flags & PF_ValueDisplayFlag_PERCENT) != 0; }

std::string popupNames(const ParamSpec& row) {
    std::string names;
    const int n = params::CountItems(row.cli_values);
    for (int p = 1; p <= n; ++p) {
        const std::string_view item = params::ItemAt(row.cli_values, p);
        if (item.empty()) continue;
        if (!names.empty()) names += ", ";
        names += item;
    }
    return names;
}

std::size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = up;
        }
    }
    return row[b.size()];
}

// One value of a parameter in user units (popups 1-based, checkboxes 0/1). Throws UsageError.
double parseValue(const ParamSpec& row, const std::string& raw, const std::string& where) {
    const std::string text = trim(raw);
    const std::string range = describeRange(row);
    double value = 0;
    switch (row.type) {
        case PF_Param_CHECKBOX: {
            const std::string t = lower(text);
            if (t == "1" || t == "on" || t == "true" || t == "yes") return 1;
            if (t == "0" || t == "off" || t == "false" || t == "no") return 0;
            throw UsageError(where + ": '" + text + "' is not a checkbox value (0/1, on/off, true/false)");
        }
        case PF_Param_POPUP: {
            const int named = params::PopupValue(row, lower(text));
            if (named > 0) return named;
            if (parseNumber(text, value) && value == std::floor(value) && value >= row.valid_min &&
                value <= row.valid_max) {
                if (!params::ItemAt(row.cli_values, static_cast<int>(value)).empty()) return value;
                throw UsageError(where + ": " + text + " is the separator line of the list, not a choice; " +
                                 row.cli_name + " takes " + popupNames(row));
            }
            throw UsageError(where + ": '" + text + "' is not one of " + popupNames(row) + " (or " + range + ")");
        }
        case PF_Param_PATH:
            if (!parseNumber(text, value) || value != std::floor(value) || value < 0)
                throw UsageError(where + ": '" + text + "' is not a mask number (1 for the first --mask, 0 for none)");
            return value;
        case PF_Param_SLIDER:
            if (!parseNumber(text, value) || value != std::floor(value))
                throw UsageError(where + ": '" + text + "' is not a whole number; " + row.cli_name + " takes " + range);
            break;
        default:
            if (!parseNumber(text, value))
                throw UsageError(where + ": '" + text + "' is not a number; " + row.cli_name + " takes " + range);
            break;
    }
    // A parameter's own default is always accepted, even where it lies outside the slider.
    if (value != row.dephault && (value < row.valid_min || value > row.valid_max))
        throw UsageError(where + ": " + text + " is out of range; " + row.cli_name + " takes " + range);
    return value;
}

}  // namespace

bool isSettable(const ParamSpec& row) {
    switch (row.type) {
        case PF_Param_FLOAT_SLIDER:
        case PF_Param_SLIDER:
        case PF_Param_ANGLE:
        case PF_Param_CHECKBOX:
        case PF_Param_POPUP:
        case PF_Param_PATH: return row.cli_name[0] != '\0';
        default: return false;
    }
}

const char* typeName(PF_ParamType type) {
    switch (type) {
        case PF_Param_LAYER: return "layer";
        case PF_Param_SLIDER: return "integer";
        case PF_Param_ANGLE: return "angle";
        case PF_Param_CHECKBOX: return "checkbox";
        case PF_Param_POPUP: return "popup";
        case PF_Param_FLOAT_SLIDER: return "float";
        case PF_Param_PATH: return "path";
        case PF_Param_GROUP_START: return "group";
        case PF_Param_GROUP_END: return "group end";
        case PF_Param_BUTTON: return "button";
        default: return "other";
    }
}

std::vector<std::string> settableNames() {
    std::vector<std::string> names;
    for (const ParamSpec& row : params::kParams)
        if (isSettable(row)) names.emplace_back(row.cli_name);
    for (const ParamSpec& row : params::kLookParams)
        if (isSettable(row)) names.emplace_back(row.cli_name);
    return names;
}

const ParamSpec* findByCliName(std::string_view name) {
    const ParamSpec* row = params::FindParamByCliName(name);
    return row != nullptr ? row : params::FindLookByCliName(name);
}

bool isLook(const ParamSpec& row) { return params::FindLook(row.index) == &row; }

std::vector<std::string> closestNames(const std::string& name) {
    std::vector<std::pair<std::size_t, std::string>> scored;
    const std::string wanted = lower(name);
    for (const std::string& candidate : settableNames()) {
        std::size_t score = editDistance(wanted, candidate);
        if (wanted.size() >= 3 && candidate.find(wanted) != std::string::npos) score = std::min<std::size_t>(score, 1);
        if (score <= std::max<std::size_t>(2, wanted.size() / 3)) scored.emplace_back(score, candidate);
    }
    std::stable_sort(scored.begin(), scored.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> best;
    for (std::size_t i = 0; i < scored.size() && i < 3; ++i) best.push_back(scored[i].second);
    return best;
}

std::string describeRange(const ParamSpec& row) {
    switch (row.type) {
        case PF_Param_CHECKBOX: return "0/1, on/off, true/false";
        case PF_Param_POPUP: return formatNumber(row.valid_min) + " to " + formatNumber(row.valid_max);
        case PF_Param_PATH: return "a --mask number, 0 for none";
        case PF_Param_ANGLE: return formatNumber(row.valid_min) + " to " + formatNumber(row.valid_max) + " degrees";
        default:
            return formatNumber(std::min(row.valid_min, row.dephault)) + " to " +
                   formatNumber(std::max(row.valid_max, row.dephault)) + (isPercent(row) ? " percent" : "");
    }
}

std::string formatValue(const ParamSpec& row, double value) {
    switch (row.type) {
        case PF_Param_CHECKBOX: return value != 0 ? "on" : "off";
        case PF_Param_POPUP: {
            const std::string_view name = params::ItemAt(row.cli_values, static_cast<int>(value));
            return name.empty() ? formatNumber(value) : std::string(name);
        }
        default: return formatNumber(value);
    }
}

void ParamSettings::set(const std::string& assignment, const std::string& origin) {
    const std::size_t eq = assignment.find('=');
    if (eq == std::string::npos)
        throw UsageError(origin + " '" + assignment + "': expected NAME=VALUE, e.g. --set angle=90");
    set(trim(assignment.substr(0, eq)), assignment.substr(eq + 1), origin);
}

void ParamSettings::set(const std::string& name, const std::string& value, const std::string& origin) {
    const ParamSpec* row = findByCliName(name);
    if (row == nullptr || !isSettable(*row)) {
        std::string message = origin + ": ";
        if (row != nullptr && row->type == PF_Param_LAYER) {
            std::string option = row->cli_name;
            std::replace(option.begin(), option.end(), '_', '-');
            message += "'" + name + "' is chosen with --" + option + " IMAGE";
        } else if (row != nullptr)
            message += "'" + name + "' has no value to set";
        else {
            message += "unknown parameter '" + name + "'";
            const std::vector<std::string> close = closestNames(name);
            if (close.empty()) {
                message += " (see 'korvane params')";
            } else {
                message += "; closest: ";
                for (std::size_t i = 0; i < close.size(); ++i) message += (i ? ", " : "") + close[i];
            }
        }
        throw UsageError(message);
    }
    const std::string where = origin + " " + name + "=" + value;
    if (premiere_ && row->ae_only)
        throw UsageError(where + ": '" + name + "' needs --host ae (Premiere Pro has no masks)");

    ParamSetting setting;
    setting.row = row;
    if (value.find('@') == std::string::npos) {
        setting.keys.push_back({-1, parseValue(*row, value, where)});
    } else {
        if (row->flags & PF_ParamFlag_CANNOT_TIME_VARY)
            throw UsageError(where + ": '" + name + "' cannot change over time");
        std::stringstream list(value);
        std::string item;
        while (std::getline(list, item, ',')) {
            const std::size_t at = item.find('@');
            std::string when = at == std::string::npos ? std::string() : trim(item.substr(at + 1));
            const bool in_seconds = !when.empty() && when.back() == 's';
            if (in_seconds) when.pop_back();
            double number = 0;
            if (at == std::string::npos || !parseNumber(when, number) || number < 0 || number > 1e9 ||
                (!in_seconds && number != std::floor(number)))
                throw UsageError(where + ": keyframe '" + trim(item) +
                                 "' is not VALUE@FRAME or VALUE@SECONDSs, e.g. angle=0@0,90@48 or angle=0@0s,90@2.5s");
            Key key{in_seconds ? 0 : static_cast<long>(number), parseValue(*row, item.substr(0, at), where),
                    in_seconds ? number : -1};
            for (const Key& other : setting.keys)
                if (other.frame == key.frame && other.seconds == key.seconds)
                    throw UsageError(where + ": " + (in_seconds ? "time " + when + "s" : "frame " + when) +
                                     " has two keyframes");
            setting.keys.push_back(key);
        }
        if (setting.keys.empty()) throw UsageError(where + ": no keyframes");
    }
    settings_[row->index] = std::move(setting);
}

void ParamSettings::set(const std::string& name, const nlohmann::json& value, const std::string& origin) {
    std::string value_text;
    if (value.is_string())
        value_text = value.get<std::string>();
    else if (value.is_boolean())
        value_text = value.get<bool>() ? "on" : "off";
    else if (value.is_number())
        value_text = value.dump();
    else
        throw UsageError(origin + ": '" + name + "' must be a number, true/false or text");
    set(name, value_text, origin);
}

void ParamSettings::loadPreset(const std::string& path_or_json) {
    // The name of a file holding a JSON object, or the JSON itself: text that is not a file's name
    // is JSON when it parses, or when it opens as JSON does (then a parse error says where).
    std::error_code error;
    const bool is_file = std::filesystem::exists(path_or_json, error);
    const std::size_t first = path_or_json.find_first_not_of(" \t\r\n");
    const bool meant_as_json = first != std::string::npos &&
                               std::string_view("{[\"").find(path_or_json[first]) != std::string_view::npos;
    if (!is_file && !meant_as_json && !nlohmann::json::accept(path_or_json))
        throw UsageError("cannot read preset '" + path_or_json + "': no such file");
    const std::string origin = is_file ? "preset '" + path_or_json + "'" : "--preset";
    std::string text = path_or_json;
    if (is_file) {
        if (std::filesystem::is_directory(path_or_json, error))
            throw UsageError("cannot read preset '" + path_or_json + "': it is a folder");
        std::ifstream file(path_or_json);
        if (!file) throw UsageError("cannot read preset '" + path_or_json + "': not readable");
        std::stringstream content;
        content << file.rdbuf();
        text = content.str();
    }
    nlohmann::json preset;
    std::string last_key;
    try {
        preset = nlohmann::json::parse(text, [&](int, nlohmann::json::parse_event_t event, nlohmann::json& parsed) {
            if (event == nlohmann::json::parse_event_t::key) last_key = parsed.get<std::string>();
            return true;
        });
    } catch (const nlohmann::json::out_of_range&) {
        throw UsageError(origin + (last_key.empty() ? ": a number is too large"
                                                    : ": the value of '" + last_key + "' is too large a number"));
    } catch (const nlohmann::json::exception& e) {
        std::string what = e.what();
        const std::size_t tag = what.find("] ");
        if (tag != std::string::npos) what = what.substr(tag + 2);
        throw UsageError(origin + ": not valid JSON: " + what);
    }
    if (!preset.is_object())
        throw UsageError(origin + ": a JSON " + preset.type_name() +
                         " is not a JSON object of NAME: VALUE, e.g. {\"angle\": 90}");
    for (const auto& [name, value] : preset.items()) set(name, value, origin);
}

}  // namespace korvane::cli
