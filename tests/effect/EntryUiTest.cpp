// The two live behaviours of the parameter panel: greying the mask path while "use all masks" is
// on, and the help button opening the help page.
#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "EntrySupport.h"

namespace korvane::entry_test {
namespace {

class ParamsUI : public EntryTest {};

constexpr A_long kRefreshAndRerender = PF_OutFlag_REFRESH_UI | PF_OutFlag_FORCE_RERENDER;

TEST_F(ParamsUI, UseAllMasksGreysTheMaskPathAndBack) {
    Host& h = SetUpHost(Personality::AfterEffects);
    h.Set(7, 1);
    ASSERT_EQ(h.UpdateParamsUI(), PF_Err_NONE);
    auto updates = h.param_ui_updates();
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0].index, 6);
    EXPECT_EQ(updates[0].def.param_type, PF_Param_PATH);
    EXPECT_EQ(updates[0].def.uu.id, 46);
    EXPECT_EQ(updates[0].def.ui_flags, PF_PUI_DISABLED);
    EXPECT_EQ(h.last_out_data().out_flags & kRefreshAndRerender, kRefreshAndRerender);

    h.Set(7, 0);
    ASSERT_EQ(h.UpdateParamsUI(), PF_Err_NONE);
    updates = h.param_ui_updates();
    ASSERT_EQ(updates.size(), 2u);
    EXPECT_EQ(updates[1].def.ui_flags, 0);
    EXPECT_EQ(h.last_out_data().out_flags & kRefreshAndRerender, kRefreshAndRerender);
}

TEST_F(ParamsUI, PremiereKeepsThePlaceholderInvisible) {
    Host& h = SetUpHost(Personality::Premiere);
    h.Set(7, 1);
    ASSERT_EQ(h.UpdateParamsUI(), PF_Err_NONE);
    h.Set(7, 0);
    ASSERT_EQ(h.UpdateParamsUI(), PF_Err_NONE);
    const auto updates = h.param_ui_updates();
    ASSERT_EQ(updates.size(), 2u);
    EXPECT_EQ(updates[0].def.ui_flags, PF_PUI_INVISIBLE | PF_PUI_DISABLED);
    EXPECT_EQ(updates[1].def.ui_flags, PF_PUI_INVISIBLE);
}

TEST_F(ParamsUI, FailingUpdateIsTheResultAfterTheFlags) {
    Host& h = SetUpHost(Personality::AfterEffects);
    h.FailCall("PF_UpdateParamUI", 1, PF_Err_INVALID_CALLBACK);
    EXPECT_EQ(h.UpdateParamsUI(), PF_Err_INVALID_CALLBACK);
    EXPECT_EQ(h.last_out_data().out_flags & kRefreshAndRerender, kRefreshAndRerender);
    EXPECT_TRUE(AnyLineContains(LogLines(), "PF_Cmd_UPDATE_PARAMS_UI. Code: PF_Err_INVALID_CALLBACK (515)"));
}

// A stand-in xdg-open on PATH that writes the address it was given into a file.
class HelpButton : public EntryTest {
protected:
    void SetUp() override {
        EntryTest::SetUp();
        bin_ = temp_path() / "bin";
        fs::create_directories(bin_);
        capture_ = temp_path() / "opened.txt";
        const fs::path script = bin_ / "xdg-open";
        {
            std::ofstream out(script);
            out << "#!/bin/sh\nprintf '%s' \"$1\" > '" << capture_.string() << ".part'\nmv '" << capture_.string()
                << ".part' '" << capture_.string() << "'\n";
        }
        fs::permissions(script, fs::perms::owner_all);
        const char* old_path = std::getenv("PATH");
        path_ = std::make_unique<ScopedEnv>("PATH",
                                            bin_.string() + ":" + (old_path != nullptr ? old_path : "/usr/bin:/bin"));
    }
    void TearDown() override {
        path_.reset();
        EntryTest::TearDown();
    }

    // The address the stand-in received; waits for the child to finish writing it.
    std::string Opened() const {
        for (int i = 0; i < 1000 && !fs::exists(capture_); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return fs::exists(capture_) ? ReadFile(capture_) : std::string();
    }
    bool NothingOpened() const { return !fs::exists(capture_) && !fs::exists(capture_.string() + ".part"); }

private:
    fs::path bin_, capture_;
    std::unique_ptr<ScopedEnv> path_;
};

TEST_F(HelpButton, OpensTheHelpPageForTheHost) {
    Host& h = SetUpHost(Personality::AfterEffects);
    EXPECT_EQ(h.UserChangedParam(1), PF_Err_NONE);
    EXPECT_EQ(Opened(), "https://korvane.example/help/?from=plugin_linux_ae13_v3.1.0");
}

TEST_F(HelpButton, PremiereAndItsApiVersion) {
    Host& h = SetUpHost(Personality::Premiere);
    h.SetApiVersion(14, 2);
    EXPECT_EQ(h.UserChangedParam(1), PF_Err_NONE);
    EXPECT_EQ(Opened(), "https://korvane.example/help/?from=plugin_linux_premiere14_v3.1.0");
}

TEST_F(HelpButton, OtherParametersOpenNothing) {
    Host& h = SetUpHost(Personality::AfterEffects);
    for (A_long index : {0, 2, 6, 7, 46, 48, 49}) EXPECT_EQ(h.UserChangedParam(index), PF_Err_NONE) << index;
    EXPECT_TRUE(NothingOpened());
}

TEST_F(HelpButton, NoBrowserIsNotAnError) {
    Host& h = SetUpHost(Personality::AfterEffects);
    ScopedEnv empty_path("PATH", (temp_path() / "nowhere").string());
    EXPECT_EQ(h.UserChangedParam(1), PF_Err_NONE);
    EXPECT_TRUE(NothingOpened());
}

}  // namespace
}  // namespace korvane::entry_test
