// GetParams: the conversions into KRVN_Params, mask selection, check-in on every way out, and
// values a host should never send.
#include <cmath>
#include <functional>
#include <limits>

#include "EntrySupport.h"
#include "KRVN_Params.h"

namespace korvane::entry_test {
namespace {

using host::kNoLayer;
using host::Mask;
using host::Path;

// What one GetParams call gave.
struct ReadResult {
    PF_Err err = PF_Err_NONE;
    bool threw = false;
    PF_OutData out{};
};

// Swaps checkout_param for one that lets the test change what the host answered.
std::function<void(A_long, PF_ParamDef&)> g_tamper;
PF_Err (*g_real_checkout)(PF_ProgPtr, A_long, A_long, A_long, A_u_long, PF_ParamDef*) = nullptr;
PF_Err TamperingCheckout(PF_ProgPtr ref, A_long index, A_long time, A_long step, A_u_long scale, PF_ParamDef* def) {
    const PF_Err err = g_real_checkout(ref, index, time, step, scale, def);
    if (err == PF_Err_NONE && g_tamper) g_tamper(index, *def);
    return err;
}

// GetParams needs a live command: the probe runs it when the host sends PF_Cmd_COMPLETELY_GENERAL
// (a command the effect ignores) and hands every other command to EffectMain.
struct Probe {
    KRVN_Params* record = nullptr;
    PF_OutData* out = nullptr;  // nullptr: GetParams gets no out_data
    ReadResult* result = nullptr;
};
Probe g_probe;

PF_Err ProbeMain(PF_Cmd cmd, PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[], PF_LayerDef* output,
                 void* extra) {
    if (cmd != PF_Cmd_COMPLETELY_GENERAL || g_probe.result == nullptr) {
        return EffectMain(cmd, in_data, out_data, params, output, extra);
    }
    if (g_tamper) {
        g_real_checkout = in_data->inter.checkout_param;
        in_data->inter.checkout_param = &TamperingCheckout;
    }
    try {
        g_probe.result->err = GetParams(in_data, g_probe.out, g_probe.record);
    } catch (PF_Err thrown) {
        g_probe.result->err = thrown;
        g_probe.result->threw = true;
    }
    return PF_Err_NONE;
}

class GetParamsTest : public EntryTest {
protected:
    void TearDown() override {
        g_tamper = nullptr;
        g_probe = Probe{};
        EntryTest::TearDown();
    }

    Host& SetUpProbedHost(Personality personality) { return SetUpHost(personality, &ProbeMain); }

    ReadResult Read(Host& h, KRVN_Params* record, bool with_out_data = true) {
        ReadResult result;
        g_probe = Probe{record, with_out_data ? &result.out : nullptr, &result};
        EXPECT_EQ(h.Command(PF_Cmd_COMPLETELY_GENERAL), PF_Err_NONE);
        g_probe = Probe{};
        return result;
    }

    static void ExpectNoMasks(const KRVN_Params& p) {
        EXPECT_FALSE(p.has_masks);
        for (int id : p.mask_ids) ASSERT_EQ(id, 0);
    }
};

TEST_F(GetParamsTest, DefaultsInBothHosts) {
    for (Personality personality : {Personality::AfterEffects, Personality::Premiere}) {
        SCOPED_TRACE(host::PersonalityName(personality));
        Host& h = SetUpProbedHost(personality);
        KRVN_Params p;
        p.trigger = p.sort_key = p.mode = -1;
        ASSERT_EQ(Read(h, &p).err, PF_Err_NONE);
        EXPECT_EQ(p.trigger, 7);
        EXPECT_EQ(p.effect, 1);
        EXPECT_EQ(p.sort_key, 8);
        EXPECT_EQ(p.mode, 1);
        EXPECT_EQ(p.priority, 2);
        EXPECT_EQ(p.threshold_high, 0.5f);
        EXPECT_EQ(p.resolution, 1.0f);
        EXPECT_EQ(p.block_width, 1.0f);
        EXPECT_EQ(p.animate_growth, 1.0f);
        EXPECT_EQ(p.noise_size, 10.0f * 0.01f);
        EXPECT_EQ(p.stretch_factor, 2.0f);
        EXPECT_EQ(p.noise_complexity, 4);
        EXPECT_EQ(p.noise_seed, 0);  // the registered default, below the slider's minimum
        EXPECT_TRUE(p.fill);
        EXPECT_TRUE(p.affect_background);
        EXPECT_FALSE(p.stretch || p.reverse || p.mirror || p.preserve_alpha);
        EXPECT_EQ(p.const_zero, 0.0f);
        EXPECT_EQ(p.const_one, 1.0f);
        EXPECT_FALSE(p.has_trigger_source);
        EXPECT_FALSE(p.has_sort_source);
        ExpectNoMasks(p);
    }
}

TEST_F(GetParamsTest, Conversions) {
    Host& h = SetUpProbedHost(Personality::AfterEffects);
    h.Set(5, -450.0);  // angle
    h.Set(31, 720.0);  // loop
    h.Set(22, 37.9);   // blur
    h.Set(27, 33.3);   // resolution, percent
    h.Set(2, 0.1);     // lower threshold
    h.Set(14, 9);      // trigger: hue
    h.Set(16, 7);      // sort: XOR
    h.Set(46, 7);      // mode: map
    h.Set(4, 2);       // outside thresholds
    h.Set(35, 1234);   // random seed
    h.Set(25, 1);      // reverse
    KRVN_Params p;
    ASSERT_EQ(Read(h, &p).err, PF_Err_NONE);
    EXPECT_EQ(p.angle, -90.0f);
    EXPECT_EQ(p.loop, 0.0f);
    EXPECT_EQ(p.blur, 37);
    EXPECT_EQ(p.resolution, static_cast<float>(33.3) * 0.01f);  // single precision, not 0.333 rounded once
    EXPECT_NE(p.resolution, static_cast<float>(33.3 * 0.01));
    EXPECT_EQ(p.threshold_low, static_cast<float>(0.1));
    EXPECT_EQ(p.trigger, 9);
    EXPECT_EQ(p.sort_key, 7);
    EXPECT_EQ(p.mode, 7);
    EXPECT_EQ(p.effect, 2);
    EXPECT_EQ(p.random_seed, 1234);
    EXPECT_TRUE(p.reverse);

    h.Set(5, 405.0);
    h.Set(31, -450.0);
    ASSERT_EQ(Read(h, &p).err, PF_Err_NONE);
    EXPECT_EQ(p.angle, 45.0f);
    EXPECT_EQ(p.loop, -0.25f);  // a fraction of a turn that keeps its sign
}

// A downsampled frame: the blur radius shrinks with it (the noise follows pixel_scale when the
// settings are derived); factors a host should not send leave full size.
TEST_F(GetParamsTest, DownsampleScalesThePixelMeasures) {
    Host& h = SetUpProbedHost(Personality::AfterEffects);
    h.Set(22, 37.9);  // blur
    const struct {
        PF_RationalScale x, y;
        int32_t blur;
        float scale;
    } cases[] = {
        {{1, 1}, {1, 1}, 37, 1.0f},           {{1, 2}, {1, 2}, 18, 0.5f}, {{1, 2}, {1, 8}, 9, 0.25f},
        {{480, 1920}, {270, 1080}, 9, 0.25f}, {{1, 0}, {1, 0}, 37, 1.0f}, {{3, 2}, {3, 2}, 37, 1.0f},
        {{-1, 2}, {0, 2}, 37, 1.0f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.x.num) + "/" + std::to_string(c.x.den) + " " + std::to_string(c.y.num) + "/" +
                     std::to_string(c.y.den));
        h.SetInDataHook([&](PF_InData& in) {
            in.downsample_x = c.x;
            in.downsample_y = c.y;
        });
        KRVN_Params p;
        ASSERT_EQ(Read(h, &p).err, PF_Err_NONE);
        EXPECT_EQ(p.blur, c.blur);
        EXPECT_FLOAT_EQ(p.pixel_scale, c.scale);
    }
}

TEST_F(GetParamsTest, SourceLayersCountOnlyInAfterEffects) {
    Host& ae = SetUpProbedHost(Personality::AfterEffects);
    ae.Set(15, ae.AddLayer(host::World(4, 3)));
    ae.Set(17, kNoLayer);
    KRVN_Params p;
    ASSERT_EQ(Read(ae, &p).err, PF_Err_NONE);
    EXPECT_TRUE(p.has_trigger_source);
    EXPECT_FALSE(p.has_sort_source);

    Host& pr = SetUpProbedHost(Personality::Premiere);
    pr.Set(15, pr.AddLayer(host::World(4, 3)));
    pr.Set(17, pr.AddLayer(host::World(4, 3)));
    ASSERT_EQ(Read(pr, &p).err, PF_Err_NONE);
    EXPECT_FALSE(p.has_trigger_source);
    EXPECT_FALSE(p.has_sort_source);
    EXPECT_FALSE(p.has_masks);
}

TEST_F(GetParamsTest, UseAllMasksTakesTheClosedOnes) {
    Host& h = SetUpProbedHost(Personality::AfterEffects);
    const auto first = h.AddMask(Mask{0, Path::Rectangle(0, 0, 10, 10)});
    h.AddMask(Mask{0, Path().MoveTo(0, 0).LineTo(8, 8)});  // open
    const auto third = h.AddMask(Mask{0, Path::Rectangle(2, 2, 6, 6)});
    h.Set(7, 1);
    KRVN_Params p;
    ASSERT_EQ(Read(h, &p).err, PF_Err_NONE);
    EXPECT_TRUE(p.has_masks);
    EXPECT_EQ(p.mask_ids[0], first);
    EXPECT_EQ(p.mask_ids[1], third);
    for (int i = 2; i < KRVN_MAX_MASKS; ++i) ASSERT_EQ(p.mask_ids[i], 0);
}

TEST_F(GetParamsTest, KeepsTheFirst99ClosedMasks) {
    Host& h = SetUpProbedHost(Personality::AfterEffects);
    std::vector<AEGP_MaskIDVal> ids;
    for (int i = 0; i < 120; ++i) ids.push_back(h.AddMask(Mask{0, Path::Rectangle(i, 0, i + 1, 1)}));
    h.Set(7, 1);
    KRVN_Params p;
    ASSERT_EQ(Read(h, &p).err, PF_Err_NONE);
    EXPECT_TRUE(p.has_masks);
    for (int i = 0; i < KRVN_MAX_MASKS; ++i) ASSERT_EQ(p.mask_ids[i], ids[static_cast<std::size_t>(i)]) << i;
}

TEST_F(GetParamsTest, ChosenPathCountsOnlyWhenClosed) {
    Host& h = SetUpProbedHost(Personality::AfterEffects);
    const auto closed = h.AddMask(Mask{0, Path::Rectangle(0, 0, 10, 10)});
    const auto open = h.AddMask(Mask{0, Path().MoveTo(0, 0).LineTo(8, 8)});
    KRVN_Params p;
    ASSERT_EQ(Read(h, &p).err, PF_Err_NONE);
    ExpectNoMasks(p);  // no path chosen, use-all off

    h.Set(6, closed);
    ASSERT_EQ(Read(h, &p).err, PF_Err_NONE);
    EXPECT_TRUE(p.has_masks);
    EXPECT_EQ(p.mask_ids[0], closed);
    EXPECT_EQ(p.mask_ids[1], 0);

    h.Set(6, open);
    ASSERT_EQ(Read(h, &p).err, PF_Err_NONE);
    ExpectNoMasks(p);
}

TEST_F(GetParamsTest, NoMasksGivesAllZero) {
    Host& h = SetUpProbedHost(Personality::AfterEffects);
    h.Set(7, 1);
    KRVN_Params p;
    std::fill(std::begin(p.mask_ids), std::end(p.mask_ids), 42);
    p.has_masks = true;
    ASSERT_EQ(Read(h, &p).err, PF_Err_NONE);
    ExpectNoMasks(p);
}

TEST_F(GetParamsTest, MaskErrorEndsCollectionButFillsTheRecord) {
    Host& h = SetUpProbedHost(Personality::AfterEffects);
    const auto first = h.AddMask(Mask{0, Path::Rectangle(0, 0, 10, 10)});
    h.AddMask(Mask{0, Path::Rectangle(0, 0, 5, 5)});
    h.AddMask(Mask{0, Path::Rectangle(0, 0, 4, 4)});
    h.Set(7, 1);
    h.Set(22, 12.0);
    h.FailCall("AEGP_GetMaskID", 2, PF_Err_OUT_OF_MEMORY);
    KRVN_Params p;
    ASSERT_EQ(Read(h, &p).err, PF_Err_OUT_OF_MEMORY);
    EXPECT_EQ(p.blur, 12);
    EXPECT_EQ(p.mask_ids[0], first);
    EXPECT_EQ(p.mask_ids[1], 0);
}

TEST_F(GetParamsTest, MissingMaskSuiteGives516AndAMessage) {
    Host& h = SetUpProbedHost(Personality::AfterEffects);
    h.AddMask(Mask{0, Path::Rectangle(0, 0, 10, 10)});
    h.Set(7, 1);
    h.Set(22, 5.0);
    h.SetSuiteMissing("AEGP Mask Suite", 1);
    KRVN_Params p;
    const ReadResult r = Read(h, &p);
    EXPECT_EQ(r.err, PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_FALSE(r.threw);
    EXPECT_EQ(std::string(r.out.return_msg), "Could not load Mask suite");
    EXPECT_TRUE(r.out.out_flags & PF_OutFlag_DISPLAY_ERROR_MESSAGE);
    EXPECT_EQ(p.blur, 5);
    ExpectNoMasks(p);
}

TEST_F(GetParamsTest, FailingCheckoutChecksInWhatWasCheckedOut) {
    Host& h = SetUpProbedHost(Personality::AfterEffects);
    const long checkins = h.call_count("checkin_param");
    h.FailCall("checkout_param", 10, PF_Err_INVALID_INDEX);
    KRVN_Params p;
    EXPECT_EQ(Read(h, &p).err, PF_Err_INVALID_INDEX);
    EXPECT_EQ(h.call_count("checkin_param") - checkins, 9);
    const auto report = h.Report();
    EXPECT_EQ(report.unbalanced_param_checkouts, 0);
    EXPECT_EQ(report.stray_checkins, 0);
}

TEST_F(GetParamsTest, MissingInterfaceSuiteThrows13AfterCheckingIn) {
    Host& h = SetUpProbedHost(Personality::AfterEffects);
    const long checkins = h.call_count("checkin_param");
    h.SetSuiteMissing("AEGP PF Interface Suite", 1);
    KRVN_Params p;
    const ReadResult r = Read(h, &p);
    EXPECT_TRUE(r.threw);
    EXPECT_EQ(r.err, A_Err_MISSING_SUITE);
    EXPECT_EQ(std::string(r.out.return_msg), "Not able to acquire AEFX Suite.");
    EXPECT_EQ(h.call_count("checkin_param") - checkins, 48);
    EXPECT_EQ(h.Report().unbalanced_param_checkouts, 0);
}

TEST_F(GetParamsTest, MissingPathSuiteThrows516AfterCheckingIn) {
    Host& h = SetUpProbedHost(Personality::AfterEffects);
    h.AddMask(Mask{0, Path::Rectangle(0, 0, 10, 10)});
    h.Set(7, 1);
    h.SetSuiteMissing("PF Path Data Suite", 1);
    KRVN_Params p;
    const ReadResult r = Read(h, &p);
    EXPECT_TRUE(r.threw);
    EXPECT_EQ(r.err, PF_Err_BAD_CALLBACK_PARAM);
    const auto report = h.Report();
    EXPECT_EQ(report.unbalanced_param_checkouts, 0);
    EXPECT_EQ(report.live_mask_refs, 0);
    EXPECT_EQ(report.open_paths, 0);
}

TEST_F(GetParamsTest, PopupOutsideItsItemsIsRefusedAndDefaulted) {
    Host& h = SetUpProbedHost(Personality::AfterEffects);
    g_tamper = [](A_long index, PF_ParamDef& def) {
        if (index == 14) def.u.pd.value = 12;
        if (index == 46) def.u.pd.value = 0;
    };
    KRVN_Params p;
    EXPECT_EQ(Read(h, &p).err, PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_EQ(p.trigger, 7);
    EXPECT_EQ(p.mode, 1);
    const auto lines = LogLines();
    EXPECT_TRUE(AnyLineContains(lines, ":GetParams] :: parameter 14 (trigger) has value 12"));
    EXPECT_TRUE(AnyLineContains(lines, ":GetParams] :: parameter 46 (mode) has value 0"));
}

TEST_F(GetParamsTest, NaNSliderIsRefusedAndOutOfRangeValuesAreClamped) {
    Host& h = SetUpProbedHost(Personality::AfterEffects);
    g_tamper = [](A_long index, PF_ParamDef& def) {
        if (index == 27) def.u.fs_d.value = std::numeric_limits<double>::quiet_NaN();
        if (index == 22) def.u.fs_d.value = 1e12;   // blur: would not fit an integer
        if (index == 42) def.u.sd.value = 1000000;  // noise complexity
    };
    KRVN_Params p;
    EXPECT_EQ(Read(h, &p).err, PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_EQ(p.resolution, 1.0f);
    EXPECT_EQ(p.blur, 100);
    EXPECT_EQ(p.noise_complexity, 8);
    EXPECT_TRUE(AnyLineContains(LogLines(), ":GetParams] :: parameter 27 (resolution) has value NaN"));
}

TEST_F(GetParamsTest, RefusesMissingRecords) {
    KRVN_Params p;
    PF_OutData out{};
    PF_InData in{};
    EXPECT_EQ(GetParams(nullptr, &out, &p), PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_EQ(GetParams(&in, &out, &p), PF_Err_BAD_CALLBACK_PARAM);  // no checkout callbacks
    Host& h = SetUpProbedHost(Personality::AfterEffects);
    const PF_Err err = Read(h, nullptr, false).err;
    EXPECT_EQ(err, PF_Err_BAD_CALLBACK_PARAM);
}

}  // namespace
}  // namespace korvane::entry_test
