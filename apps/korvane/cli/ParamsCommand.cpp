// `korvane params`: the parameters as the effect registered them, then the look table's rows.
#include <iconv.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Effect.h"
#include "Errors.h"
#include "LookTable.h"
#include "ParamTable.h"
#include "cli/Commands.h"
#include "cli/ParamSettings.h"

namespace korvane::cli {
namespace {

// The host stores names in GBK; a terminal wants UTF-8.
std::string gbkToUtf8(const std::string& gbk) {
    if (gbk.empty()) return gbk;
    iconv_t cd = iconv_open("UTF-8", "GBK");
    if (cd == reinterpret_cast<iconv_t>(-1)) return gbk;
    std::string in = gbk;
    std::string out(gbk.size() * 4 + 4, '\0');
    char* src = in.data();
    char* dst = out.data();
    std::size_t src_left = in.size();
    std::size_t dst_left = out.size();
    const std::size_t result = iconv(cd, &src, &src_left, &dst, &dst_left);
    iconv_close(cd);
    if (result == static_cast<std::size_t>(-1)) return gbk;
    out.resize(out.size() - dst_left);
    return out;
}

std::string rangeText(const params::ParamSpec& row) {
    switch (row.type) {
        case PF_Param_POPUP: {
            std::string names;
            const int n = params::CountItems(row.cli_values);
            for (int p = 1; p <= n; ++p) {
                const std::string_view item = params::ItemAt(row.cli_values, p);
                names += (p > 1 ? "|" : "") + std::string(item.empty() ? "-" : item);
            }
            return names;
        }
        case PF_Param_CHECKBOX: return "off|on";
        case PF_Param_FLOAT_SLIDER:
        case PF_Param_SLIDER:
        case PF_Param_ANGLE: return describeRange(row);
        case PF_Param_PATH: return "--mask number";
        case PF_Param_LAYER:
            return std::string("--") + (row.index == params::KRVN_TRIGGER_SOURCE ? "trigger-source" : "sort-source");
        default: return "";
    }
}

// Columns UTF-8 text takes on a terminal, counting each CJK character as two.
std::size_t columns(const std::string& text) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const std::size_t length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        count += length >= 3 ? 2 : 1;
        i += length;
    }
    return count;
}

std::string pad(const std::string& text, std::size_t width) {
    const std::size_t used = columns(text);
    return used >= width ? text + " " : text + std::string(width - used, ' ');
}

constexpr std::size_t kWidth = 100;  // columns of a listing line
constexpr std::size_t kIndent = 10;  // where a parameter's values and description start: under its name

// `text` in lines of at most kWidth columns, each indented by kIndent, broken between words.
std::string wrap(const std::string& text) {
    std::string lines, line;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(' ', start);
        if (end == std::string::npos) end = text.size();
        const std::string word = text.substr(start, end - start);
        if (!line.empty() && kIndent + columns(line) + 1 + columns(word) > kWidth) {
            lines += std::string(kIndent, ' ') + line + "\n";
            line.clear();
        }
        if (!word.empty()) line += (line.empty() ? "" : " ") + word;
        start = end + 1;
    }
    if (!line.empty()) lines += std::string(kIndent, ' ') + line + "\n";
    return lines;
}

}  // namespace

int runParams(const ParamsOptions& options) {
    const bool premiere = options.host == "premiere";
    const host::Personality personality = premiere ? host::Personality::Premiere : host::Personality::AfterEffects;
    std::unique_ptr<host::Host> host = openEffect(options.effect.empty() ? defaultEffectPath() : options.effect,
                                                  personality);

    // One line of facts per parameter, then what it takes and what it does, wrapped beneath it.
    std::printf("%s%s%s%s%s%s%s\n", pad("index", 6).c_str(), pad("id", 4).c_str(), pad("name", 19).c_str(),
                pad("type", 10).c_str(), pad("default", 14).c_str(), pad("shown", 9).c_str(), "UI name");
    std::printf("%s", wrap("values: the range or choices; then what it does").c_str());
    for (int index = 1; index <= host->param_count(); ++index) {
        const PF_ParamDef& def = host->registered(index);
        const params::ParamSpec& row = *params::FindParam(index, premiere);
        std::string name = gbkToUtf8(def.name);
        if (name.empty() && def.param_type == PF_Param_CHECKBOX && def.u.bd.u.nameptr)
            name = "(" + gbkToUtf8(def.u.bd.u.nameptr) + ")";
        const bool settable = isSettable(row) && !(premiere && row.ui_flags & PF_PUI_INVISIBLE);
        const bool described = settable || row.type == PF_Param_LAYER;
        std::string dflt;
        if (settable || row.type == PF_Param_PATH)
            dflt = row.type == PF_Param_PATH ? "none" : formatValue(row, row.dephault);
        const bool hidden = (def.ui_flags & PF_PUI_INVISIBLE) != 0;
        std::string line = pad(std::to_string(index), 6) + pad(std::to_string(def.uu.id), 4) +
                           pad(described ? row.cli_name : "-", 19) + pad(typeName(def.param_type), 10) + pad(dflt, 14) +
                           pad(hidden ? "hidden" : "visible", 9) + name;
        line.erase(line.find_last_not_of(' ') + 1);
        std::printf("%s\n", line.c_str());
        if (described)
            std::printf("%s%s", wrap("values: " + rangeText(row)).c_str(),
                        wrap(std::string(params::Description(index))).c_str());
    }
    // The looks: no disk id, never registered; this host hands them to the effect through its look suite.
    std::printf("%s", wrap("looks beyond the registered parameters (not registered, no disk id; --set takes them as "
                           "it takes the parameters above):")
                          .c_str());
    for (const params::ParamSpec& row : params::kLookParams) {
        const bool settable = isSettable(row);
        std::string line = pad(std::to_string(row.index), 6) + pad("-", 4) + pad(settable ? row.cli_name : "-", 19) +
                           pad(typeName(row.type), 10) + pad(settable ? formatValue(row, row.dephault) : "", 14) +
                           pad("look", 9) + row.name;
        line.erase(line.find_last_not_of(' ') + 1);
        std::printf("%s\n", line.c_str());
        if (settable)
            std::printf("%s%s", wrap("values: " + rangeText(row)).c_str(),
                        wrap(std::string(params::LookDescription(row.index))).c_str());
    }
    host->GlobalSetdown();
    return kExitOk;
}

}  // namespace korvane::cli
