// Parameter values from the command line and presets, in the units a user sees, checked against the
// shared parameter and look tables: constants and value@frame keyframes.
#pragma once

#include <map>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

#include "LookTable.h"
#include "ParamTable.h"

namespace korvane::cli {

// A keyframe at a frame ("0.3@60") or at a time in seconds ("0.3@2.5s").
struct Key {
    long frame = 0;
    double value = 0;
    double seconds = -1;  // >= 0 for a key given in seconds
    double time(double fps) const { return seconds >= 0 ? seconds : static_cast<double>(frame) / fps; }
};

struct ParamSetting {
    const params::ParamSpec* row = nullptr;
    std::vector<Key> keys;  // one key with frame -1 for a constant; else keyframes in the order given
    bool animated() const { return !(keys.size() == 1 && keys[0].frame < 0); }
};

class ParamSettings {
public:
    explicit ParamSettings(bool premiere) : premiere_(premiere) {}

    // "NAME=VALUE" from --set. `origin` names where it came from in messages. Throws UsageError.
    void set(const std::string& assignment, const std::string& origin = "--set");
    void set(const std::string& name, const std::string& value, const std::string& origin);
    // A preset's value: a number, a boolean or the same text --set takes.
    void set(const std::string& name, const nlohmann::json& value, const std::string& origin);
    // A JSON object of NAME: VALUE (numbers, booleans or the same text --set takes), given inline
    // ("{...}") or as the name of a file holding it. Throws UsageError.
    void loadPreset(const std::string& path_or_json);

    // Settings by parameter index, later settings of a name replacing earlier ones.
    const std::map<int, ParamSetting>& byIndex() const { return settings_; }

private:
    bool premiere_;
    std::map<int, ParamSetting> settings_;
};

// Every name --set accepts, in table order: the registered parameters, then the looks.
std::vector<std::string> settableNames();
// The row of a registered parameter or of a look with this CLI name; nullptr when none has it.
const params::ParamSpec* findByCliName(std::string_view name);
// A row of the look table (values the host hands over through its look suite, never registered).
bool isLook(const params::ParamSpec& row);
// Up to three settable names close to `name` (edit distance or shared part), best first.
std::vector<std::string> closestNames(const std::string& name);

// A value in user units as text: "0.25", "on", "luminance".
std::string formatValue(const params::ParamSpec& row, double value);
// The unit and range of a parameter for messages and listings: "0 to 100 (percent)".
std::string describeRange(const params::ParamSpec& row);

bool isSettable(const params::ParamSpec& row);

// A parameter type as listings name it: "float", "integer", "popup", ...
const char* typeName(PF_ParamType type);

}  // namespace korvane::cli
