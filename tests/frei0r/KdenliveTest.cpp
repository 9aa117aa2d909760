// The Kdenlive effect description: well-formed, and it lists exactly the plug-in's parameters with
// the plug-in's types and defaults, its sliders spanning the whole of frei0r's 0 to 1.
#include <OpenImageIO/detail/pugixml/pugixml.hpp>

#include <map>
#include <set>
#include <sstream>

#include "Frei0rSupport.h"

namespace korvane::frei0r_test {
namespace {

namespace pugi = OIIO::pugi;

size_t CountFields(const std::string& text, char separator) {
    std::istringstream in(text);
    std::string field;
    size_t n = 0;
    while (std::getline(in, field, separator)) ++n;
    return n;
}

TEST(Frei0rKdenlive, DescribesExactlyThePluginParameters) {
    pugi::xml_document doc;
    const std::string path = std::string(KORVANE_SOURCE_DIR) + "/bridges/frei0r/kdenlive/frei0r_korvane.xml";
    const pugi::xml_parse_result parsed = doc.load_file(path.c_str(), pugi::parse_default | pugi::parse_doctype);
    ASSERT_TRUE(parsed) << path << ": " << parsed.description() << " at offset " << parsed.offset;
    const pugi::xml_node effect = doc.child("effect");
    EXPECT_STREQ(effect.attribute("tag").value(), "frei0r.korvane");
    EXPECT_FALSE(std::string(effect.child_value("name")).empty());

    std::map<std::string, int> index_of;
    Instance fresh(8, 8);
    const std::vector<FrozenParam> frozen = FrozenParams();
    for (int i = 0; i < static_cast<int>(frozen.size()); ++i) index_of[frozen[i].name] = i;

    std::set<std::string> described;
    for (const pugi::xml_node param : effect.children("parameter")) {
        const std::string name = param.attribute("name").value(), type = param.attribute("type").value();
        SCOPED_TRACE(name);
        EXPECT_TRUE(described.insert(name).second) << "described twice";
        const auto it = index_of.find(name);
        ASSERT_NE(it, index_of.end()) << "not a parameter of the plug-in";
        EXPECT_FALSE(std::string(param.child_value("name")).empty());
        const double dflt = param.attribute("default").as_double(-1);
        const double plugin_default = fresh.Get(it->second);
        if (frozen[it->second].type == F0R_PARAM_BOOL) {
            EXPECT_EQ(type, "bool");
            EXPECT_EQ(dflt, plugin_default);
        } else if (type == "list") {
            const std::string values = param.attribute("paramlist").value();
            EXPECT_EQ(CountFields(values, ';'), CountFields(param.child_value("paramlistdisplay"), ','));
            EXPECT_NEAR(dflt, plugin_default, 1e-6);
        } else {
            ASSERT_EQ(type, "animated");
            const double factor = param.attribute("factor").as_double(1), offset = param.attribute("offset").as_double(0);
            EXPECT_NEAR((param.attribute("min").as_double() - offset) / factor, 0.0, 1e-12);
            EXPECT_NEAR((param.attribute("max").as_double() - offset) / factor, 1.0, 1e-12);
            EXPECT_NEAR((dflt - offset) / factor, plugin_default, 1e-12);
        }
    }
    EXPECT_EQ(described.size(), frozen.size());
}

}  // namespace
}  // namespace korvane::frei0r_test
