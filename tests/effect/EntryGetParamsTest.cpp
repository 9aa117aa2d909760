// GetParams: the conversions into KRVN_Params, mask selection, check-in on every way out, and
// values a host should never send. GetLook: the look suite's values into KRVN_Look.
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <random>

#include "EntrySupport.h"
#include "KRVN_Params.h"
#include "korvane/sdk/LookSuite.h"
#include "params/LookTable.h"

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
    KRVN_Look* look = nullptr;  // set: the probe runs GetLook instead
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
        g_probe.result->err = g_probe.look != nullptr ? GetLook(in_data, g_probe.look)
                                                      : GetParams(in_data, g_probe.out, g_probe.record);
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

    ReadResult ReadLook(Host& h, KRVN_Look* look) {
        ReadResult result;
        g_probe = Probe{nullptr, nullptr, &result, look};
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

// A look field back in the table's units (percent sliders 0..100), by look index.
double LookField(const KRVN_Look& look, int index) {
    using namespace params;
    switch (index) {
        case KRVN_INTERVAL: return look.interval;
        case KRVN_EDGE_LEVEL: return look.edge_level;
        case KRVN_EDGE_SCALE: return look.edge_scale;
        case KRVN_SPAN_LENGTH: return look.span_length;
        case KRVN_SPAN_SEED: return look.span_seed;
        case KRVN_WAVE_LENGTH: return look.wave_length;
        case KRVN_WAVE_AMPLITUDE: return look.wave_amplitude * 100.0;
        case KRVN_WAVE_PHASE: return look.wave_phase;
        case KRVN_WAVE_DRIFT: return look.wave_drift;
        case KRVN_AUTO_THRESHOLD: return look.auto_threshold ? 1 : 0;
        case KRVN_AUTO_LOW: return look.auto_low * 100.0;
        case KRVN_AUTO_HIGH: return look.auto_high * 100.0;
        case KRVN_AUTO_SMOOTH: return look.auto_smooth;
        case KRVN_PATH: return look.path;
        case KRVN_CENTRE_X: return look.centre_x * 100.0;
        case KRVN_CENTRE_Y: return look.centre_y * 100.0;
        default: ADD_FAILURE() << "look " << index << " has no field"; return 0;
    }
}

bool HasValue(const params::ParamSpec& row) {
    return row.type != PF_Param_GROUP_START && row.type != PF_Param_GROUP_END;
}

void ExpectSameLook(const KRVN_Look& got, const KRVN_Look& want) {
    for (const params::ParamSpec& row : params::kLookParams) {
        if (HasValue(row)) {
            EXPECT_EQ(LookField(got, row.index), LookField(want, row.index)) << row.cli_name;
        }
    }
}

// The defaults of the record are the table's, whether the host offers the look suite or not; without
// it nothing is logged and nothing fails.
TEST_F(GetParamsTest, LookDefaultsWithAndWithoutTheSuite) {
    for (Personality personality : {Personality::AfterEffects, Personality::Premiere}) {
        for (bool missing : {false, true}) {
            SCOPED_TRACE(std::string(host::PersonalityName(personality)) + (missing ? ", no look suite" : ""));
            Host& h = SetUpProbedHost(personality);
            h.SetSuiteMissing(kKorvaneLookSuite, kKorvaneLookSuiteVersion1, missing);
            KRVN_Look look;
            look.interval = look.path = -1;
            look.centre_x = 7.0f;
            const std::size_t logged = LogLines().size();
            ASSERT_EQ(ReadLook(h, &look).err, PF_Err_NONE);
            ExpectSameLook(look, KRVN_Look{});
            for (const params::ParamSpec& row : params::kLookParams) {
                if (HasValue(row)) {
                    EXPECT_FLOAT_EQ(LookField(KRVN_Look{}, row.index), row.dephault) << row.cli_name;
                }
            }
            EXPECT_EQ(h.suite_acquires(kKorvaneLookSuite, 1), missing ? 0 : 1);
            EXPECT_EQ(h.suite_releases(kKorvaneLookSuite, 1), h.suite_acquires(kKorvaneLookSuite, 1));
            EXPECT_EQ(LogLines().size(), logged);
        }
    }
}

// Every look row: a value inside the range arrives (as float, percent sliders as fractions, whole
// numbers whole); values beyond either end arrive clamped; a float that is not a number gives the default.
TEST_F(GetParamsTest, LookValuesArriveConvertedAndClamped) {
    Host& h = SetUpProbedHost(Personality::AfterEffects);
    const std::size_t logged = LogLines().size();
    std::mt19937 random(5);
    for (int round = 0; round < 20; ++round) {
        std::map<int, double> want;
        for (const params::ParamSpec& row : params::kLookParams) {
            if (!HasValue(row)) continue;
            std::uniform_real_distribution<double> pick(row.valid_min - 0.25 * (row.valid_max - row.valid_min),
                                                        row.valid_max + 0.25 * (row.valid_max - row.valid_min));
            double value = pick(random);
            if (row.type != PF_Param_FLOAT_SLIDER) value = std::round(value);
            if (row.type == PF_Param_ANGLE) {  // its range is all that 16.16 fixed holds
                value = std::round(std::clamp(value, row.valid_min, row.valid_max) * 65536.0) / 65536.0;
            }
            h.Set(row.index, value);
            const double clamped = std::clamp(value, row.valid_min, row.valid_max);
            const bool percent = (row.display_flags & PF_ValueDisplayFlag_PERCENT) != 0;
            want[row.index] = percent ? static_cast<float>(clamped / 100.0) * 100.0
                                      : static_cast<double>(static_cast<float>(clamped));
        }
        KRVN_Look look;
        ASSERT_EQ(ReadLook(h, &look).err, PF_Err_NONE);
        for (const auto& [index, value] : want)
            EXPECT_EQ(LookField(look, index), value) << params::FindLook(index)->cli_name << " round " << round;
    }
    h.Set(params::KRVN_CENTRE_X, std::numeric_limits<double>::quiet_NaN());
    h.Set(params::KRVN_SPAN_LENGTH, std::numeric_limits<double>::infinity());
    KRVN_Look look;
    ASSERT_EQ(ReadLook(h, &look).err, PF_Err_NONE);
    EXPECT_EQ(look.centre_x, KRVN_Look{}.centre_x);
    EXPECT_EQ(look.span_length, KRVN_Look{}.span_length);
    EXPECT_EQ(LogLines().size(), logged);  // values are the host's to keep in range: no complaint
}

// Keyframes at the command's time: linear for sliders and angles, held for popups and checkboxes;
// ResetParams brings the defaults back. A failing suite call is the command's error.
TEST_F(GetParamsTest, LookKeyframesAtTheTimeAndSuiteFailures) {
    Host& h = SetUpProbedHost(Personality::Premiere);
    h.SetKeyframe(params::KRVN_WAVE_PHASE, 0.0, 0.0);
    h.SetKeyframe(params::KRVN_WAVE_PHASE, 2.0, 360.0);
    h.SetKeyframe(params::KRVN_CENTRE_Y, 0.0, 20.0);
    h.SetKeyframe(params::KRVN_CENTRE_Y, 2.0, 80.0);
    h.SetKeyframe(params::KRVN_PATH, 0.0, 1.0);
    h.SetKeyframe(params::KRVN_PATH, 2.0, 3.0);
    h.SetKeyframe(params::KRVN_AUTO_THRESHOLD, 1.5, 1.0);
    h.SetTime(1.0);
    KRVN_Look look;
    ASSERT_EQ(ReadLook(h, &look).err, PF_Err_NONE);
    EXPECT_EQ(look.wave_phase, 180.0f);
    EXPECT_EQ(look.centre_y, 0.5f);
    EXPECT_EQ(look.path, 1);
    EXPECT_TRUE(look.auto_threshold);  // held back from the first key
    EXPECT_EQ(h.Value(params::KRVN_WAVE_PHASE, 1.0), 180.0);
    h.SetTime(2.0);
    ASSERT_EQ(ReadLook(h, &look).err, PF_Err_NONE);
    EXPECT_EQ(look.path, 3);
    EXPECT_EQ(look.wave_phase, 360.0f);

    h.FailCall("look_values", 1, PF_Err_OUT_OF_MEMORY);
    EXPECT_EQ(ReadLook(h, &look).err, PF_Err_OUT_OF_MEMORY);
    EXPECT_EQ(h.suite_releases(kKorvaneLookSuite, 1), h.suite_acquires(kKorvaneLookSuite, 1));

    h.ResetParams();
    ASSERT_EQ(ReadLook(h, &look).err, PF_Err_NONE);
    ExpectSameLook(look, KRVN_Look{});
    EXPECT_THROW(h.Set(params::KRVN_INTERVAL_GROUP_START, 1), host::HostError);
    EXPECT_THROW(h.Set(params::KRVN_LOOK_END, 1), host::HostError);
}

}  // namespace
}  // namespace korvane::entry_test
