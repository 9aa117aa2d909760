#include "preview/Look.h"

#include <cmath>
#include <nlohmann/json.hpp>

#include "Errors.h"
#include "ParamTable.h"
#include "cli/SvgPath.h"

namespace korvane::cli {

using nlohmann::json;

Look parseLook(const std::string& body) {
    if (body.size() > kMaxLookBody) throw BadLook{"body", "the body is larger than 1 MiB"};
    json parsed;
    try {
        parsed = json::parse(body.empty() ? std::string("{}") : body);
    } catch (const json::exception&) {
        throw BadLook{"body", "not valid JSON"};
    }
    if (!parsed.is_object())
        throw BadLook{"body", "expected an object {\"params\": {...}, \"time\": s, \"width\": px}"};
    Look look;
    for (const auto& [key, value] : parsed.items()) {
        if (key == "params") {
            if (!value.is_object()) throw BadLook{"params", "expected an object of NAME: VALUE"};
            for (const auto& [name, v] : value.items()) {
                if (v.is_string() && v.get<std::string>().find('@') != std::string::npos)
                    throw BadLook{"params." + name, "keyframes are for the command line; give one value"};
                try {
                    look.settings.set(name, v, "params");
                } catch (const UsageError& e) {
                    throw BadLook{"params." + name, e.what()};
                }
            }
        } else if (key == "masks") {
            if (!value.is_array()) throw BadLook{"masks", "expected a list of SVG path data"};
            for (std::size_t i = 0; i < value.size(); ++i) {
                const std::string field = "masks[" + std::to_string(i) + "]";
                if (!value[i].is_string()) throw BadLook{field, "expected SVG path data"};
                try {
                    parseSvgPath(value[i].get<std::string>());
                } catch (const PathSyntaxError& e) {
                    throw BadLook{field,
                                  "cannot parse path at character " + std::to_string(e.position) + ": " + e.message};
                }
                look.masks.push_back(value[i].get<std::string>());
            }
        } else if (key == "time") {
            if (!value.is_number() || !std::isfinite(value.get<double>()) || value.get<double>() < 0)
                throw BadLook{"time", "expected seconds, a number >= 0"};
            look.time = value.get<double>();
        } else if (key == "width") {
            if (!value.is_number_integer() || value.get<long long>() < 1 || value.get<long long>() > kMaxLookWidth)
                throw BadLook{"width", "expected a whole number of pixels, 1 to " + std::to_string(kMaxLookWidth)};
            look.width = static_cast<int>(value.get<long long>());
        } else {
            // An empty name is still named, so that the error says which part is at fault.
            throw BadLook{key.empty() ? "\"\"" : key, "unknown field; expected params, masks, time or width"};
        }
    }
    const auto& chosen = look.settings.byIndex();
    if (const auto it = chosen.find(params::KRVN_MASK);
        it != chosen.end() && it->second.keys[0].value > static_cast<double>(look.masks.size()))
        throw BadLook{"params.mask",
                      "there " + std::string(look.masks.size() == 1
                                                 ? "is 1 mask"
                                                 : "are " + std::to_string(look.masks.size()) + " masks")};
    return look;
}

}  // namespace korvane::cli
