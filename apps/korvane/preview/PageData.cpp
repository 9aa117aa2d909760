#include "preview/PageData.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#include "LookTable.h"
#include "ParamTable.h"

namespace korvane::cli {

using nlohmann::json;

namespace {

// A group's English name, beside the registered UI name as a parameter's CLI name is.
const char* groupName(int index) {
    switch (index) {
        case params::KRVN_STRETCH_GROUP_START: return "Stretch";
        case params::KRVN_TRIGGER_GROUP_START: return "Trigger & comparator";
        case params::KRVN_APPEARANCE_GROUP_START: return "Appearance";
        case params::KRVN_STREAKS_GROUP_START: return "Streaks";
        case params::KRVN_NOISE_GROUP_START: return "Noise";
        case params::KRVN_OUTPUT_GROUP_START: return "Output";
        default: return "";
    }
}

}  // namespace

std::string shellWord(const std::string& word) {
    const bool plain = !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("@%_+=:,./-#", c) != nullptr;
    });
    if (plain && word[0] != '#') return word;
    std::string quoted = "'";
    for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

json paramTable() {
    json list = json::array();
    std::string group, group_name;
    const auto rows = [] {
        std::vector<const params::ParamSpec*> all;
        for (const params::ParamSpec& row : params::kParams) all.push_back(&row);
        for (const params::ParamSpec& row : params::kLookParams) all.push_back(&row);
        return all;
    }();
    for (const params::ParamSpec* row_pointer : rows) {
        const params::ParamSpec& row = *row_pointer;
        const bool look = isLook(row);
        if (row.type == PF_Param_GROUP_START) {
            group = row.name;
            group_name = look ? row.name : groupName(row.index);
        }
        if (row.type == PF_Param_GROUP_END) {
            group.clear();
            group_name.clear();
        }
        if (!isSettable(row) || row.other_frames) continue;
        json item = {{"index", row.index},
                     {"name", row.cli_name},
                     {"label", row.name},
                     {"type", typeName(row.type)},
                     {"default", row.dephault},
                     {"default_text", formatValue(row, row.dephault)},
                     {"group", group},
                     {"group_name", group_name},
                     {"look", look},
                     {"description",
                      std::string(look ? params::LookDescription(row.index) : params::Description(row.index))}};
        if (row.type != PF_Param_PATH) {
            item["min"] = row.valid_min;
            item["max"] = row.valid_max;
            item["range"] = describeRange(row);
            item["precision"] = row.precision;
        }
        if (row.type == PF_Param_POPUP) {
            json choices = json::array();
            for (int p = 1; p <= params::CountItems(row.cli_values); ++p)
                choices.push_back(std::string(params::ItemAt(row.cli_values, p)));
            item["choices"] = choices;
        }
        list.push_back(item);
    }
    return list;
}

std::string lookArguments(const Look& look) {
    std::string line;
    for (const std::string& mask : look.masks) line += " --mask " + shellWord(mask);
    for (const auto& [index, setting] : look.settings.byIndex())
        line += " --set " +
                shellWord(std::string(setting.row->cli_name) + "=" + formatValue(*setting.row, setting.keys[0].value));
    return line;
}

}  // namespace korvane::cli
