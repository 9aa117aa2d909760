// Parameters: registration capture, defaults, keyframes (linear and hold), angles in 16.16 fixed,
// checkout at a time, layer pixels at the call's depth, and the checkout balance; the looks through
// the look suite.
#include <gtest/gtest.h>

#include <cmath>

#include "HostSupport.h"
#include "LookTable.h"
#include "korvane/sdk/LookSuite.h"

namespace korvane::hostlib_test {
namespace {

class HostLibParams : public HostLibTest {};

TEST_F(HostLibParams, RegistrationAndDefaultsAreRecorded) {
    const auto& reg = host_->registration();
    EXPECT_EQ(reg.calls, 1);
    EXPECT_EQ(reg.name, "Fake ");
    EXPECT_EQ(reg.match_name, "Fake Match");
    EXPECT_EQ(reg.kind, PF_KIND_EFFECT);
    EXPECT_EQ(reg.reserved_info, 8);

    ASSERT_EQ(host_->param_count(), kFakeParamCount);
    EXPECT_EQ(host_->registered(kFloat).uu.id, 11);
    EXPECT_STREQ(host_->registered(kPopup).u.pd.u.namesptr, "One|Two|Three") << "the host keeps its own copy";
    EXPECT_EQ(host_->popup_items(kPopup), "One|Two|Three");
    EXPECT_DOUBLE_EQ(host_->Value(kFloat, 0.0), 12.5);
    EXPECT_EQ(host_->Value(kSlider, 0.0), 4);
    EXPECT_EQ(host_->Value(kPopup, 0.0), 2);
    EXPECT_EQ(host_->Value(kCheckbox, 0.0), 1);
    EXPECT_EQ(host_->Value(kLayer, 0.0), host::kNoLayer);
    EXPECT_EQ(host_->Value(kPath, 0.0), 0);

    EXPECT_THROW(host_->Set(kButton, 1), host::HostError);
    EXPECT_THROW(host_->Set(kFakeParamCount + 1, 1), host::HostError);
    EXPECT_THROW(host_->SetFixed(kFloat, 1), host::HostError);
    EXPECT_THROW(host_->Set(kLayer, 3), host::HostError) << "no such layer";
    EXPECT_THROW(host_->Set(kSlider, 1e12), host::HostError);
}

TEST_F(HostLibParams, AnglesAreStoredInFixedPoint) {
    host_->Set(kAngle, 33.3);
    EXPECT_EQ(host_->FixedValue(kAngle, 0.0), static_cast<PF_Fixed>(std::lround(33.3 * 65536)));
    host_->Set(kAngle, -450.0);
    EXPECT_EQ(host_->FixedValue(kAngle, 0.0), -450 * 65536);
    EXPECT_DOUBLE_EQ(host_->Value(kAngle, 0.0), -450.0);
    host_->SetFixed(kAngle, 1);  // the smallest step, not representable in whole degrees
    EXPECT_EQ(host_->ParamAt(kAngle, 5.0).u.ad.value, 1);
}

TEST_F(HostLibParams, KeyframesInterpolateLinearlyOrHold) {
    host_->SetKeyframe(kFloat, 0.0, 0.0);
    host_->SetKeyframe(kFloat, 2.0, 10.0);
    host_->SetKeyframe(kAngle, 0.0, 0.0);
    host_->SetKeyframe(kAngle, 1.0, 90.0);
    host_->SetKeyframe(kSlider, 0.0, 0.0);
    host_->SetKeyframe(kSlider, 1.0, 3.0);
    host_->SetKeyframe(kPopup, 0.0, 1.0);
    host_->SetKeyframe(kPopup, 1.0, 3.0);
    host_->SetKeyframe(kCheckbox, 0.0, 0.0);
    host_->SetKeyframe(kCheckbox, 1.0, 1.0);

    EXPECT_DOUBLE_EQ(host_->Value(kFloat, -1.0), 0.0) << "before the first key: the first value";
    EXPECT_DOUBLE_EQ(host_->Value(kFloat, 0.5), 2.5);
    EXPECT_DOUBLE_EQ(host_->Value(kFloat, 5.0), 10.0) << "after the last key: the last value";
    EXPECT_EQ(host_->FixedValue(kAngle, 0.5), 45 * 65536);
    EXPECT_EQ(host_->Value(kSlider, 0.5), 2) << "1.5 rounds to nearest";
    EXPECT_EQ(host_->Value(kPopup, 0.99), 1) << "popups hold";
    EXPECT_EQ(host_->Value(kPopup, 1.0), 3);
    EXPECT_EQ(host_->Value(kCheckbox, 0.5), 0) << "checkboxes hold";

    host_->Set(kFloat, 7.0);  // a plain value replaces the keyframes
    EXPECT_DOUBLE_EQ(host_->Value(kFloat, 0.5), 7.0);
    host_->ResetParams();
    EXPECT_DOUBLE_EQ(host_->Value(kFloat, 1.5), 12.5);
}

TEST_F(HostLibParams, CheckoutReadsTheValueAtTheRequestedTime) {
    host_->SetTimeScale(100, 4);
    host_->SetKeyframe(kFloat, 0.0, 0.0);
    host_->SetKeyframe(kFloat, 1.0, 100.0);
    double at_quarter = -1, at_now = -1;
    host_->SetTime(0.5);
    ASSERT_EQ(Inside([&](PF_InData* in) {
                  EXPECT_EQ(in->current_time, 50);
                  EXPECT_EQ(in->time_scale, 100u);
                  PF_ParamDef d{};
                  PF_Err err = PF_CHECKOUT_PARAM(in, kFloat, 25, in->time_step, in->time_scale, &d);
                  at_quarter = d.u.fs_d.value;
                  err = err ? err : PF_CHECKIN_PARAM(in, &d);
                  err = err ? err : PF_CHECKOUT_PARAM(in, kFloat, in->current_time, in->time_step, in->time_scale, &d);
                  at_now = d.u.fs_d.value;
                  return err ? err : PF_CHECKIN_PARAM(in, &d);
              }),
              PF_Err_NONE);
    EXPECT_DOUBLE_EQ(at_quarter, 25.0);
    EXPECT_DOUBLE_EQ(at_now, 50.0);
    EXPECT_TRUE(host_->Leaks().empty());
}

TEST_F(HostLibParams, ParamsArrayCarriesCurrentValuesAndUiFlagsPersist) {
    host_->Set(kCheckbox, 0);
    ASSERT_EQ(Run(
                  [](PF_Cmd, PF_InData* in, PF_OutData*, PF_ParamDef* params[], PF_LayerDef*, void*) {
                      EXPECT_EQ(params[kCheckbox]->u.bd.value, 0);
                      EXPECT_EQ(in->num_params, kFakeParamCount + 1);
                      auto* utils = Acquire<PF_ParamUtilsSuite3>(in, kPFParamUtilsSuite, 3);
                      PF_ParamDef copy = *params[kPath];
                      copy.ui_flags |= PF_PUI_DISABLED;
                      const PF_Err err = utils->PF_UpdateParamUI(in->effect_ref, kPath, &copy);
                      Release(in, kPFParamUtilsSuite, 3);
                      return err;
                  },
                  PF_Cmd_UPDATE_PARAMS_UI),
              PF_Err_NONE);
    ASSERT_EQ(host_->param_ui_updates().size(), 1u);
    EXPECT_EQ(host_->param_ui_updates()[0].index, kPath);
    EXPECT_TRUE(host_->registered(kPath).ui_flags & PF_PUI_DISABLED);
    EXPECT_EQ(Run([](PF_Cmd, PF_InData*, PF_OutData*, PF_ParamDef* params[], PF_LayerDef*, void*) -> PF_Err {
                  return (params[kPath]->ui_flags & PF_PUI_DISABLED) ? PF_Err_NONE : PF_Err_INTERNAL_STRUCT_DAMAGED;
              }),
              PF_Err_NONE);
}

TEST_F(HostLibParams, LayerCheckoutGivesPixelsAtTheRenderDepthOrNone) {
    World layer(6, 5, 8);
    layer.Fill({1.0f, 1.0f, 0.0f, 0.0f});
    const int id = host_->AddLayer(std::move(layer));
    World input(4, 4, 16), output(4, 4, 16);

    PF_EffectWorld seen{};
    int red = -1;
    PF_Err inside = PF_Err_NONE;
    CurrentScript() = [&](PF_Cmd cmd, PF_InData* in, PF_OutData*, PF_ParamDef*[], PF_LayerDef*, void*) -> PF_Err {
        if (cmd != PF_Cmd_SMART_RENDER) return PF_Err_NONE;
        PF_ParamDef d{};
        inside = PF_CHECKOUT_PARAM(in, kLayer, in->current_time, in->time_step, in->time_scale, &d);
        seen = d.u.ld;
        red = seen.data ? static_cast<const PF_Pixel16*>(seen.data)->red : -1;
        return inside ? inside : PF_CHECKIN_PARAM(in, &d);
    };
    ASSERT_EQ(host_->RenderSmart(0.0, 16, input, output), PF_Err_NONE);
    EXPECT_EQ(seen.data, nullptr) << "no layer chosen";

    host_->Set(kLayer, id);
    ASSERT_EQ(host_->RenderSmart(0.0, 16, input, output), PF_Err_NONE);
    ASSERT_NE(seen.data, nullptr);
    EXPECT_EQ(seen.width, 6) << "a layer of another size comes whole";
    EXPECT_EQ(host::FormatOf(seen).depth, 16);
    EXPECT_EQ(red, 32768) << "converted from 8 bits";
    EXPECT_GT(seen.rowbytes, 6 * 8);

    host_->Set(kLayer, host::kInputLayer);
    ASSERT_EQ(host_->RenderSmart(0.0, 16, input, output), PF_Err_NONE);
    EXPECT_EQ(seen.data, input.pf()->data);
    CurrentScript() = nullptr;
    EXPECT_TRUE(host_->Leaks().empty());
}

TEST_F(HostLibParams, PathDefaultsToTheNthMaskAndValuesAreMaskIds) {
    const auto first = host_->AddMask({0, host::Path::Rectangle(0, 0, 2, 2)});
    const auto second = host_->AddMask({0, host::Path::Rectangle(1, 1, 3, 3)});
    EXPECT_NE(first, second);
    host_->Set(kPath, second);
    EXPECT_EQ(host_->ParamAt(kPath, 0.0).u.path_d.path_id, static_cast<PF_PathID>(second));
    EXPECT_THROW(host_->AddMask({first, host::Path::Rectangle(0, 0, 1, 1)}), host::HostError);
}

TEST_F(HostLibParams, UnbalancedAndStrayCheckinsAreReported) {
    ASSERT_EQ(Inside([](PF_InData* in) {
                  PF_ParamDef a{}, b{};
                  PF_CHECKOUT_PARAM(in, kSlider, 0, 1, 1, &a);
                  PF_CHECKOUT_PARAM(in, kPopup, 0, 1, 1, &b);
                  PF_CHECKIN_PARAM(in, &b);
                  PF_ParamDef zero{};
                  PF_CHECKIN_PARAM(in, &zero);      // a layer never checked out: tolerated, but counted
                  return PF_CHECKIN_PARAM(in, &b);  // a second checkin: reported
              }),
              PF_Err_NONE);
    const auto report = host_->Report();
    EXPECT_EQ(report.unbalanced_param_checkouts, 1);
    EXPECT_EQ(report.stray_checkins, 2);
    ASSERT_EQ(report.messages.size(), 2u) << ::testing::PrintToString(report.messages);
    EXPECT_NE(report.messages[0].find("matches no open checkout"), std::string::npos) << report.messages[0];
    EXPECT_NE(report.messages[1].find("parameter 3"), std::string::npos) << report.messages[1];
}

TEST_F(HostLibParams, ALayerCheckedOutWithoutPixelsMustBeCheckedIn) {
    World input(4, 4, 16), output(4, 4, 16);
    auto render_with = [&](bool check_in) {
        CurrentScript() = [check_in](PF_Cmd cmd, PF_InData* in, PF_OutData*, PF_ParamDef*[], PF_LayerDef*,
                                     void*) -> PF_Err {
            if (cmd != PF_Cmd_SMART_RENDER) return PF_Err_NONE;
            PF_ParamDef d{};
            const PF_Err err = PF_CHECKOUT_PARAM(in, kLayer, in->current_time, in->time_step, in->time_scale, &d);
            return err || !check_in ? err : PF_CHECKIN_PARAM(in, &d);
        };
        host_->ClearLeaks();
        EXPECT_EQ(host_->RenderSmart(0.0, 16, input, output), PF_Err_NONE);
        CurrentScript() = nullptr;
        return host_->Report();
    };
    host_->Set(kLayer, host::kNoLayer);
    EXPECT_TRUE(render_with(true).clean());
    const auto left_out = render_with(false);
    EXPECT_EQ(left_out.unbalanced_param_checkouts, 1);
    ASSERT_EQ(left_out.messages.size(), 1u);
    EXPECT_NE(left_out.messages[0].find("parameter " + std::to_string(kLayer)), std::string::npos)
        << left_out.messages[0];
    host_->ClearLeaks();
}

TEST_F(HostLibParams, AddParamOutsideParamsSetupIsRefused) {
    EXPECT_EQ(Inside([](PF_InData* in) {
                  PF_ParamDef d{};
                  d.param_type = PF_Param_CHECKBOX;
                  return in->inter.add_param(in->effect_ref, -1, &d);
              }),
              PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_EQ(host_->param_count(), kFakeParamCount);
}

// The look suite hands over the look table's values at the call's time, in the table's units, under
// both personalities (the effect's tests cover every row); group rows read 0; a range past the
// table is refused whole.
TEST_F(HostLibParams, LookSuiteGivesTheLooksAtTheCallsTime) {
    using namespace params;
    for (Personality personality : {Personality::AfterEffects, Personality::Premiere}) {
        SCOPED_TRACE(host::PersonalityName(personality));
        MakeHost(personality);
        host_->SetKeyframe(KRVN_WAVE_PHASE, 0.0, -90.0);
        host_->SetKeyframe(KRVN_WAVE_PHASE, 2.0, 270.0);
        host_->Set(KRVN_CENTRE_X, 12.5);
        host_->SetTime(1.5);
        std::vector<double> values(kLookCount + 1, -7.0);
        PF_Err past_end = PF_Err_NONE, no_values = PF_Err_NONE;
        ASSERT_EQ(Inside([&](PF_InData* in) {
                      const auto* suite = Acquire<KRVN_LookSuite1>(in, kKorvaneLookSuite, kKorvaneLookSuiteVersion1);
                      if (suite == nullptr) return static_cast<PF_Err>(PF_Err_BAD_CALLBACK_PARAM);
                      const PF_Err err = suite->look_values(in->effect_ref, KRVN_LOOK_FIRST, kLookCount, values.data());
                      past_end = suite->look_values(in->effect_ref, KRVN_LOOK_FIRST + 1, kLookCount, values.data());
                      no_values = suite->look_values(in->effect_ref, KRVN_LOOK_FIRST, 1, nullptr);
                      Release(in, kKorvaneLookSuite, kKorvaneLookSuiteVersion1);
                      return err;
                  }),
                  PF_Err_NONE);
        EXPECT_EQ(past_end, PF_Err_INVALID_INDEX);
        EXPECT_EQ(no_values, PF_Err_BAD_CALLBACK_PARAM);
        const auto at = [&](int index) { return values[static_cast<std::size_t>(index - KRVN_LOOK_FIRST)]; };
        EXPECT_EQ(at(KRVN_WAVE_PHASE), 180.0);
        EXPECT_EQ(at(KRVN_PATH), 1.0);  // the default
        EXPECT_EQ(at(KRVN_CENTRE_X), 12.5);
        EXPECT_EQ(at(KRVN_INTERVAL_GROUP_START), 0.0);
        EXPECT_EQ(values[kLookCount], -7.0) << "written past the count";
        EXPECT_TRUE(host_->Leaks().empty());
    }
}

}  // namespace
}  // namespace korvane::hostlib_test
