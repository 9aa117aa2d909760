// Command dispatch, global set-up and set-down, About, and the error mapping of EffectMain.
#include <stdexcept>

#include "EntrySupport.h"
#include "KRVN_Errors.h"

namespace korvane::entry_test {
namespace {

class Dispatch : public EntryTest {};
class ErrorMapping : public EntryTest {};
class GlobalSetup : public EntryTest {};

int CountMatching(const std::vector<std::string>& lines, const std::string& text) {
    return CountErrorLines(lines, "KRVN", "EffectMain", text);
}

TEST_F(GlobalSetup, AfterEffectsDeclaresVersionFlagsAndRegistersWithAegp) {
    Host& h = MakeHost(Personality::AfterEffects);
    ASSERT_EQ(h.GlobalSetup(), PF_Err_NONE);
    EXPECT_EQ(h.my_version(), 1605633u);
    EXPECT_EQ(h.out_flags(), (1 << 6) | (1 << 25));
    const A_long flags2 = (1 << 0) | (1 << 3) | (1 << 10) | (1 << 12) | (1 << 27);
    EXPECT_EQ(h.out_flags2() & flags2, flags2);
    EXPECT_NE(h.global_data(), nullptr);
    EXPECT_EQ(h.aegp_registered_name(), "Korvane ");
    EXPECT_EQ(h.clear_pixel_format_calls(), 0);

    const auto lines = LogLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_NE(lines[0].find("[KORVN] Welcome!"), std::string::npos);
    EXPECT_NE(lines[1].find("[KORVN] Korvane , v3.1.0 in ae13"), std::string::npos);
}

TEST_F(GlobalSetup, PremiereAsksForBgraOnlyAndSkipsAegp) {
    Host& h = MakeHost(Personality::Premiere);
    ASSERT_EQ(h.GlobalSetup(), PF_Err_NONE);
    EXPECT_EQ(h.clear_pixel_format_calls(), 1);
    EXPECT_EQ(h.supported_pixel_formats(), std::vector<PrPixelFormat>{PrPixelFormat_BGRA_4444_8u});
    EXPECT_NE(h.global_data(), nullptr);
    EXPECT_EQ(h.aegp_registered_name(), "");
    EXPECT_EQ(h.call_count("AEGP_RegisterWithAEGP"), 0);
    EXPECT_TRUE(AnyLineContains(LogLines(), "Korvane , v3.1.0 in premiere13"));
}

TEST_F(GlobalSetup, MissingPixelFormatSuiteFailsWithMessage) {
    Host& h = MakeHost(Personality::Premiere);
    h.SetSuiteMissing("PF Pixel Format Suite", 1);
    EXPECT_EQ(h.GlobalSetup(), A_Err_MISSING_SUITE);
    EXPECT_EQ(h.last_return_msg(), "Not able to acquire AEFX Suite.");
    EXPECT_TRUE(h.last_out_data().out_flags & PF_OutFlag_DISPLAY_ERROR_MESSAGE);
    const auto lines = LogLines();
    EXPECT_EQ(CountMatching(lines, ("Try Catch Exception code at event PF_Cmd_GLOBAL_SETUP is "
                                    "PF_Err?UNKNOWN (13)")),
              1);
}

TEST_F(GlobalSetup, FailedAllocationStillSucceeds) {
    Host& h = MakeHost(Personality::AfterEffects);
    h.FailCall("host_new_handle", 1, PF_Err_OUT_OF_MEMORY);
    EXPECT_EQ(h.GlobalSetup(), PF_Err_NONE);
    EXPECT_EQ(h.global_data(), nullptr);
    EXPECT_EQ(h.call_count("AEGP_RegisterWithAEGP"), 0);
}

TEST_F(GlobalSetup, SetdownReleasesGlobalDataAndSaysSo) {
    Host& h = MakeHost(Personality::AfterEffects);
    ASSERT_EQ(h.GlobalSetup(), PF_Err_NONE);
    EXPECT_EQ(h.GlobalSetdown(), PF_Err_NONE);
    EXPECT_EQ(h.Report().live_handles, 0);
    EXPECT_TRUE(AnyLineContains(LogLines(), "[KORVN] plugin setdown"));
}

TEST_F(Dispatch, AboutNamesTheEffectAndItsMajorVersion) {
    Host& h = MakeHost(Personality::AfterEffects);
    EXPECT_EQ(h.About(), PF_Err_NONE);
    const std::string msg = h.last_return_msg();
    EXPECT_EQ(msg.rfind("Korvane ", 0), 0u) << msg;
    EXPECT_NE(msg.find("v3"), std::string::npos) << msg;
}

TEST_F(Dispatch, CommandsOutsideTheTableDoNothing) {
    Host& h = SetUpHost(Personality::AfterEffects);
    const std::string log_before = ReadFile(log_path());
    const A_long flags_before = h.out_flags();
    for (PF_Cmd cmd : std::initializer_list<PF_Cmd>{PF_Cmd_UNUSED_0,
                                                    PF_Cmd_SEQUENCE_SETUP,
                                                    PF_Cmd_SEQUENCE_RESETUP,
                                                    PF_Cmd_SEQUENCE_FLATTEN,
                                                    PF_Cmd_SEQUENCE_SETDOWN,
                                                    PF_Cmd_DO_DIALOG,
                                                    PF_Cmd_FRAME_SETUP,
                                                    PF_Cmd_FRAME_SETDOWN,
                                                    PF_Cmd_EVENT,
                                                    PF_Cmd_GET_EXTERNAL_DEPENDENCIES,
                                                    PF_Cmd_COMPLETELY_GENERAL,
                                                    PF_Cmd_QUERY_DYNAMIC_FLAGS,
                                                    PF_Cmd_AUDIO_RENDER,
                                                    PF_Cmd_AUDIO_SETUP,
                                                    PF_Cmd_AUDIO_SETDOWN,
                                                    PF_Cmd_ARBITRARY_CALLBACK,
                                                    PF_Cmd_RESERVED1,
                                                    PF_Cmd_RESERVED2,
                                                    PF_Cmd_RESERVED3,
                                                    PF_Cmd_GET_FLATTENED_SEQUENCE_DATA,
                                                    PF_Cmd_TRANSLATE_PARAMS_TO_PREFS,
                                                    PF_Cmd_RESERVED4,
                                                    PF_Cmd_SMART_RENDER_GPU,
                                                    PF_Cmd_GPU_DEVICE_SETUP,
                                                    PF_Cmd_GPU_DEVICE_SETDOWN,
                                                    PF_Cmd_NUM_CMDS,
                                                    35,
                                                    1000,
                                                    -1}) {
        SCOPED_TRACE(cmd);
        EXPECT_EQ(h.Command(cmd), PF_Err_NONE);
        EXPECT_EQ(h.last_return_msg(), "");
    }
    EXPECT_EQ(h.out_flags(), flags_before);
    EXPECT_EQ(ReadFile(log_path()), log_before);
}

TEST_F(Dispatch, NullRecordsAreRefusedWithoutCrashing) {
    PF_OutData out{};
    PF_InData in{};
    for (PF_Cmd cmd :
         {PF_Cmd_ABOUT, PF_Cmd_GLOBAL_SETUP, PF_Cmd_GLOBAL_SETDOWN, PF_Cmd_PARAMS_SETUP, PF_Cmd_RENDER,
          PF_Cmd_USER_CHANGED_PARAM, PF_Cmd_UPDATE_PARAMS_UI, PF_Cmd_SMART_PRE_RENDER, PF_Cmd_SMART_RENDER}) {
        SCOPED_TRACE(cmd);
        EXPECT_EQ(EffectMain(cmd, nullptr, nullptr, nullptr, nullptr, nullptr), PF_Err_BAD_CALLBACK_PARAM);
    }
    // in_data without callbacks or suites.
    EXPECT_EQ(EffectMain(PF_Cmd_PARAMS_SETUP, &in, &out, nullptr, nullptr, nullptr), PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_EQ(EffectMain(PF_Cmd_GLOBAL_SETUP, &in, &out, nullptr, nullptr, nullptr), PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_EQ(PluginDataEntryFunction(nullptr, nullptr), PF_Err_BAD_CALLBACK_PARAM);
}

TEST_F(ErrorMapping, HandlerErrorIsLoggedAndReturned) {
    Host& h = MakeHost(Personality::AfterEffects);
    ASSERT_EQ(h.GlobalSetup(), PF_Err_NONE);
    h.FailCall("add_param", 1, PF_Err_INVALID_INDEX);
    EXPECT_EQ(h.ParamsSetup(), PF_Err_INVALID_INDEX);
    EXPECT_EQ(CountMatching(LogLines(), ("PF_Cmd_PARAMS_SETUP. Code: PF_Err_INVALID_INDEX (513)")), 1);
}

TEST_F(ErrorMapping, CancelIsReturnedSilently) {
    Host& h = MakeHost(Personality::AfterEffects);
    ASSERT_EQ(h.GlobalSetup(), PF_Err_NONE);
    const std::string before = ReadFile(log_path());
    h.FailCall("add_param", 3, PF_Interrupt_CANCEL);
    EXPECT_EQ(h.ParamsSetup(), PF_Interrupt_CANCEL);
    EXPECT_EQ(ReadFile(log_path()), before);
}

// The hook swaps add_param for one that throws, so that the throw passes through the handler.
template <typename Thrower>
void ThrowFromAddParam(Host& h) {
    h.SetInDataHook([](PF_InData& in_data) {
        in_data.inter.add_param = [](PF_ProgPtr, A_long, PF_ParamDefPtr) -> PF_Err {
            Thrower::Throw();
            return PF_Err_NONE;
        };
    });
}
struct ThrowsInteger {
    [[noreturn]] static void Throw() { throw static_cast<PF_Err>(7); }
};
struct ThrowsStandard {
    [[noreturn]] static void Throw() { throw std::runtime_error("boom"); }
};
struct ThrowsOther {
    struct Odd {};
    [[noreturn]] static void Throw() { throw Odd{}; }
};

TEST_F(ErrorMapping, ThrownIntegerBecomesTheResult) {
    Host& h = MakeHost(Personality::AfterEffects);
    ASSERT_EQ(h.GlobalSetup(), PF_Err_NONE);
    ThrowFromAddParam<ThrowsInteger>(h);
    EXPECT_EQ(h.ParamsSetup(), 7);
    EXPECT_EQ(CountMatching(LogLines(), ("Try Catch Exception code at event PF_Cmd_PARAMS_SETUP is "
                                         "PF_Err?UNKNOWN (7)")),
              1);
}

struct ThrowsCancel {
    [[noreturn]] static void Throw() { throw static_cast<PF_Err>(PF_Interrupt_CANCEL); }
};

// A thrown cancel is returned like a returned one: without a line.
TEST_F(ErrorMapping, ThrownCancelIsReturnedSilently) {
    Host& h = MakeHost(Personality::AfterEffects);
    ASSERT_EQ(h.GlobalSetup(), PF_Err_NONE);
    ThrowFromAddParam<ThrowsCancel>(h);
    const size_t lines = LogLines().size();
    EXPECT_EQ(h.ParamsSetup(), PF_Interrupt_CANCEL);
    EXPECT_EQ(LogLines().size(), lines);
}

TEST_F(ErrorMapping, StandardExceptionBecomes512) {
    Host& h = MakeHost(Personality::AfterEffects);
    ASSERT_EQ(h.GlobalSetup(), PF_Err_NONE);
    ThrowFromAddParam<ThrowsStandard>(h);
    EXPECT_EQ(h.ParamsSetup(), PF_Err_INTERNAL_STRUCT_DAMAGED);
    EXPECT_EQ(CountMatching(LogLines(), ("Try Catch Exception at event PF_Cmd_PARAMS_SETUP. Error is boom")), 1);
}

TEST_F(ErrorMapping, OtherExceptionBecomes512) {
    Host& h = MakeHost(Personality::AfterEffects);
    ASSERT_EQ(h.GlobalSetup(), PF_Err_NONE);
    ThrowFromAddParam<ThrowsOther>(h);
    EXPECT_EQ(h.ParamsSetup(), PF_Err_INTERNAL_STRUCT_DAMAGED);
    EXPECT_EQ(CountMatching(LogLines(), ("Try Catch Uknown Exception at event PF_Cmd_PARAMS_SETUP")), 1);
}

TEST_F(ErrorMapping, SuiteMissingFromTheCacheGives516) {
    Host& h = SetUpHost(Personality::AfterEffects);
    h.SetSuiteMissing("PF Param Utils Suite", 3);
    EXPECT_EQ(h.UpdateParamsUI(), PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_EQ(CountMatching(LogLines(), ("Try Catch Exception code at event PF_Cmd_UPDATE_PARAMS_UI is "
                                         "PF_Err_BAD_CALLBACK_PARAM (516)")),
              1);
    EXPECT_TRUE(h.param_ui_updates().empty());
}

TEST_F(ErrorMapping, MissingBasicSuiteGives516) {
    Host& h = SetUpHost(Personality::AfterEffects);
    h.SetNullBasicSuite(true);
    EXPECT_EQ(h.UpdateParamsUI(), PF_Err_BAD_CALLBACK_PARAM);
    Host& fresh = MakeHost(Personality::AfterEffects);
    fresh.SetNullBasicSuite(true);
    EXPECT_EQ(fresh.GlobalSetup(), PF_Err_BAD_CALLBACK_PARAM);
    h.SetNullBasicSuite(false);
    fresh.SetNullBasicSuite(false);
}

TEST_F(ErrorMapping, ErrorTextAndCommandNames) {
    EXPECT_EQ(ErrorText(PF_Err_OUT_OF_MEMORY), "PF_Err_OUT_OF_MEMORY (4)");
    EXPECT_EQ(ErrorText(PF_Err_CANNOT_PARSE_KEYFRAME_TEXT), "PF_Err_CANNOT_PARSE_KEYFRAME_TEXT (518)");
    EXPECT_EQ(ErrorText(519), "PF_Err?UNKNOWN (519)");
    EXPECT_EQ(ErrorText(-1), "PF_Err?UNKNOWN (-1)");
    EXPECT_EQ(CommandName(PF_Cmd_ABOUT), "PF_Cmd_ABOUT");
    EXPECT_EQ(CommandName(PF_Cmd_SMART_RENDER), "PF_Cmd_SMART_RENDER");
    EXPECT_EQ(CommandName(PF_Cmd_GPU_DEVICE_SETDOWN), "PF_Cmd_GPU_DEVICE_SETDOWN");
    EXPECT_EQ(CommandName(PF_Cmd_NUM_CMDS), "PF_Cmd_NUM_CMDS");
    EXPECT_EQ(CommandName(35), "PF_Cmd?UNKNOWN (35)");
}

}  // namespace
}  // namespace korvane::entry_test
