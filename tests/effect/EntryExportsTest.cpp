// The loadable module: what it exports, and that the host can drive it through dlopen.
#include <stdio.h>

#include <set>

#include "EntrySupport.h"

namespace korvane::entry_test {
namespace {

class Module : public EntryTest {};

TEST_F(Module, ExportsExactlyTheTwoEntryPoints) {
    const std::string command = std::string("nm -D --defined-only '") + KORVANE_EFFECT_PATH + "'";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> symbols;
    char line[4096];
    while (fgets(line, sizeof line, pipe) != nullptr) {
        std::istringstream fields(line);
        std::string address, type, name;
        if (fields >> address >> type >> name) symbols.insert(name);
    }
    ASSERT_EQ(pclose(pipe), 0) << command;
    EXPECT_EQ(symbols, (std::set<std::string>{"EffectMain", "PluginDataEntryFunction"}));
}

TEST_F(Module, LoadsAndSetsUpThroughDlopen) {
    for (Personality personality : {Personality::AfterEffects, Personality::Premiere}) {
        auto h = Host::Load(KORVANE_EFFECT_PATH, personality);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(h->registration().match_name, "ZV Korvane");
        EXPECT_EQ(h->Setup(), PF_Err_NONE);
        EXPECT_EQ(h->param_count(), 48);
        EXPECT_EQ(h->my_version(), 1605633u);
        EXPECT_EQ(h->GlobalSetdown(), PF_Err_NONE);
        EXPECT_TRUE(h->Leaks().empty());
    }
}

}  // namespace
}  // namespace korvane::entry_test
