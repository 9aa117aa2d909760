// The editors' descriptions of the filter: Kdenlive's effect description and Shotcut's panel. Each
// lists exactly the plug-in's parameters with the plug-in's types and defaults; its sliders span the
// whole of frei0r's 0 to 1 and show the effect's own range; its lists offer the effect's choices in
// the effect's order, at the values the plug-in maps onto them. The QML is checked by Qt's qmllint,
// and the install rules are checked to put both where the editors read them.

// GCC 12 warns falsely inside <regex> (std::function moved in the automaton) when it inlines it
// under the sanitizers; the warning is for the whole file because <functional> comes in first.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <unistd.h>
#include <OpenImageIO/detail/pugixml/pugixml.hpp>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "FilterParams.h"
#include "Frei0rSupport.h"

namespace korvane::frei0r_test {
namespace {

namespace pugi = OIIO::pugi;

// One parameter as an editor describes it: sliders in shown units (frei0r value = (shown - offset)
// / factor), lists as their frei0r values and labels, checkboxes 0 or 1.
struct Described {
    std::string name, kind;  // kind: "bool", "list" or "animated"
    double dflt = -1, min = 0, max = 0, factor = 1, offset = 0;
    std::vector<double> values;         // lists
    std::vector<std::string> displays;  // lists
};

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> fields;
    std::istringstream in(text);
    for (std::string field; std::getline(in, field, separator);) fields.push_back(field);
    return fields;
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

const params::ParamSpec* RowNamed(const std::string& name) {
    for (const params::ParamSpec* row : frei0r::kFilterRows) {
        if (row->cli_name == name) return row;
    }
    return nullptr;
}

// The checks every editor's description must pass.
void ExpectDescribesThePlugin(const std::vector<Described>& described) {
    Instance fresh(8, 8);
    const std::vector<FrozenParam> frozen = FrozenParams();
    std::map<std::string, int> index_of;
    for (int i = 0; i < static_cast<int>(frozen.size()); ++i) index_of[frozen[i].name] = i;

    std::set<std::string> seen;
    for (const Described& param : described) {
        SCOPED_TRACE(param.name);
        EXPECT_TRUE(seen.insert(param.name).second) << "described twice";
        const auto it = index_of.find(param.name);
        ASSERT_NE(it, index_of.end()) << "not a parameter of the plug-in";
        const params::ParamSpec* row = RowNamed(param.name);
        ASSERT_NE(row, nullptr);
        const frei0r::FilterRange range = frei0r::RangeOf(*row);
        const double plugin_default = fresh.Get(it->second);
        if (frozen[it->second].type == F0R_PARAM_BOOL) {
            EXPECT_EQ(param.kind, "bool");
            EXPECT_EQ(param.dflt, plugin_default);
        } else if (param.kind == "list") {
            EXPECT_EQ(row->type, PF_Param_POPUP);
            ASSERT_EQ(param.values.size(), static_cast<size_t>(range.choices));
            ASSERT_EQ(param.displays.size(), param.values.size());
            for (int c = 0; c < range.choices; ++c) {
                EXPECT_NEAR(param.values[c], c / double(range.choices - 1), 1e-6) << "choice " << c;
                // The label names the effect's choice: "stretch_first" as "Stretch first pixel".
                std::string choice(params::ItemAt(row->cli_values, frei0r::PopupValueOfChoice(*row, c)));
                std::replace(choice.begin(), choice.end(), '_', ' ');
                EXPECT_EQ(Lower(param.displays[c]).rfind(choice, 0), 0u) << param.displays[c] << " is not " << choice;
            }
            EXPECT_NEAR(param.dflt, plugin_default, 1e-6);
        } else {
            ASSERT_EQ(param.kind, "animated");
            EXPECT_NE(row->type, PF_Param_POPUP);
            EXPECT_NEAR((param.min - param.offset) / param.factor, 0.0, 1e-12);
            EXPECT_NEAR((param.max - param.offset) / param.factor, 1.0, 1e-12);
            EXPECT_EQ(param.min, range.lo);
            EXPECT_EQ(param.max, range.hi);
            EXPECT_NEAR((param.dflt - param.offset) / param.factor, plugin_default, 1e-12);
        }
    }
    EXPECT_EQ(seen.size(), frozen.size());
}

TEST(Frei0rKdenlive, DescribesExactlyThePluginParameters) {
    pugi::xml_document doc;
    const std::string path = std::string(KORVANE_SOURCE_DIR) + "/bridges/frei0r/kdenlive/frei0r_korvane.xml";
    const pugi::xml_parse_result parsed = doc.load_file(path.c_str(), pugi::parse_default | pugi::parse_doctype);
    ASSERT_TRUE(parsed) << path << ": " << parsed.description() << " at offset " << parsed.offset;
    const pugi::xml_node effect = doc.child("effect");
    EXPECT_STREQ(effect.attribute("tag").value(), "frei0r.korvane");
    EXPECT_FALSE(std::string(effect.child_value("name")).empty());

    std::vector<Described> described;
    for (const pugi::xml_node param : effect.children("parameter")) {
        Described d;
        d.name = param.attribute("name").value();
        d.kind = param.attribute("type").value();
        EXPECT_FALSE(std::string(param.child_value("name")).empty()) << d.name;
        d.dflt = param.attribute("default").as_double(-1);
        d.min = param.attribute("min").as_double();
        d.max = param.attribute("max").as_double();
        d.factor = param.attribute("factor").as_double(1);
        d.offset = param.attribute("offset").as_double(0);
        for (const std::string& value : Split(param.attribute("paramlist").value(), ';'))
            d.values.push_back(std::stod(value));
        d.displays = Split(param.child_value("paramlistdisplay"), ',');
        described.push_back(d);
    }
    ExpectDescribesThePlugin(described);
}

// ui.qml holds one row per parameter, on one line, in a fixed shape; meta.qml names the service and
// the keyframable properties (the panel's sliders, in frei0r values).
TEST(Frei0rShotcut, PanelDescribesExactlyThePluginParameters) {
    const std::string folder = std::string(KORVANE_SOURCE_DIR) + "/bridges/frei0r/shotcut/";
    const std::string ui = ReadText(folder + "ui.qml"), meta = ReadText(folder + "meta.qml");
    ASSERT_FALSE(ui.empty() || meta.empty()) << "cannot read " << folder;

    const std::regex row_line(
        R"(\{ property: '(\w+)', label: qsTr\('[^']+'\), kind: '(\w+)'(.*), defaultValue: ([-0-9.]+) \})");
    const std::regex number(R"((min|max|factor|offset): ([-0-9.]+))"), choice(R"(qsTr\('([^']+)'\))");
    std::vector<Described> described;
    std::set<std::string> sliders;
    std::istringstream lines(ui);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (!std::regex_search(line, m, row_line)) continue;
        const std::string kind = m[2] == "slider" ? "animated" : m[2] == "check" ? "bool" : m[2].str();
        Described d;
        d.name = m[1];
        d.kind = kind;
        d.dflt = std::stod(m[4]);
        const std::string rest = m[3];
        for (std::sregex_iterator it(rest.begin(), rest.end(), number), end; it != end; ++it) {
            const double v = std::stod((*it)[2]);
            ((*it)[1] == "min" ? d.min : (*it)[1] == "max" ? d.max : (*it)[1] == "factor" ? d.factor : d.offset) = v;
        }
        for (std::sregex_iterator it(rest.begin(), rest.end(), choice), end; it != end; ++it)
            d.displays.push_back((*it)[1]);
        for (size_t c = 0; c < d.displays.size(); ++c) d.values.push_back(c / double(d.displays.size() - 1));
        if (kind == "animated") sliders.insert(d.name);
        described.push_back(d);
    }
    ExpectDescribesThePlugin(described);

    EXPECT_NE(meta.find("mlt_service: 'frei0r.korvane'"), std::string::npos);
    EXPECT_NE(meta.find("objectName: 'korvane'"), std::string::npos) << "the install folder's name";
    EXPECT_NE(meta.find("qml: 'ui.qml'"), std::string::npos);
    std::set<std::string> keyframed;
    const std::regex parameter(
        R"(Parameter \{ name: qsTr\('[^']+'\); property: '(\w+)'; isCurve: true; minimum: 0; maximum: 1 \})");
    for (std::sregex_iterator it(meta.begin(), meta.end(), parameter), end; it != end; ++it)
        EXPECT_TRUE(keyframed.insert((*it)[1]).second) << (*it)[1];
    EXPECT_EQ(keyframed, sliders);
    std::smatch simple;
    ASSERT_TRUE(std::regex_search(meta, simple, std::regex(R"(simpleProperties: \[([^\]]*)\])")));
    std::set<std::string> simple_names;
    const std::string list = simple[1];
    const std::regex quoted(R"('(\w+)')");
    for (std::sregex_iterator it(list.begin(), list.end(), quoted), end; it != end; ++it) simple_names.insert((*it)[1]);
    EXPECT_EQ(simple_names, sliders) << "simpleProperties";
}

TEST(Frei0rShotcut, PanelIsValidQml) {
    if (Shell("command -v qmllint") != 0) GTEST_SKIP() << "no qmllint (Debian: qtdeclarative5-dev-tools)";
    const std::string folder = std::string(KORVANE_SOURCE_DIR) + "/bridges/frei0r/shotcut/";
    for (const char* file : {"meta.qml", "ui.qml"}) {
        std::string err;
        EXPECT_EQ(Shell("QT_SELECT=qt5 qmllint " + Quoted(folder + file) + " 1>&2", &err), 0) << file << ": " << err;
    }
}

// `cmake --install` puts the description and the panel where Kdenlive and Shotcut read them.
TEST(Frei0rShotcut, InstallPutsThePanelWhereShotcutLooks) {
    const std::filesystem::path prefix = std::filesystem::temp_directory_path() /
                                         ("korvane-install-" + std::to_string(::getpid()));
    std::string err;
    ASSERT_EQ(Shell("cmake --install " KORVANE_BINARY_DIR " --component frei0r --prefix " + Quoted(prefix.string()),
                    &err),
              0)
        << err;
    for (const char* installed :
         {"lib/frei0r-1/korvane.so", "share/kdenlive/effects/frei0r_korvane.xml",
          "share/shotcut/qml/filters/korvane/meta.qml", "share/shotcut/qml/filters/korvane/ui.qml"})
        EXPECT_TRUE(std::filesystem::is_regular_file(prefix / installed)) << installed;
    std::filesystem::remove_all(prefix);
}

}  // namespace
}  // namespace korvane::frei0r_test
