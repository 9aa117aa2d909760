// Fault injection, cancellation at a progress call, missing suites, and the leak and balance
// report (worlds, handles, checkouts, suites, paths, mask references).
#include <gtest/gtest.h>

#include "HostSupport.h"

namespace korvane::hostlib_test {
namespace {

class HostLibFaults : public HostLibTest {
protected:
    PF_Err Fill(PF_InData* in, World& w) {
        const PF_Pixel c{255, 1, 2, 3};
        return in->utils->fill(in->effect_ref, &c, nullptr, w.pf());
    }
};

TEST_F(HostLibFaults, FaultFiresOnTheNthCallOnly) {
    World w(2, 2, 8);
    host_->FailCall("fill", 2, 1234);
    std::vector<PF_Err> results;
    ASSERT_EQ(Inside([&](PF_InData* in) {
                  for (int i = 0; i < 4; ++i) results.push_back(Fill(in, w));
                  return PF_Err_NONE;
              }),
              PF_Err_NONE);
    EXPECT_EQ(results, (std::vector<PF_Err>{0, 1234, 0, 0}));
    EXPECT_EQ(host_->call_count("fill"), 4);

    host_->FailCall("fill", 1, PF_Err_OUT_OF_MEMORY, true);
    results.clear();
    Inside([&](PF_InData* in) {
        for (int i = 0; i < 3; ++i) results.push_back(Fill(in, w));
        return PF_Err_NONE;
    });
    EXPECT_EQ(results, (std::vector<PF_Err>(3, PF_Err_OUT_OF_MEMORY)));
    host_->ClearFaults();
    EXPECT_EQ(Inside([&](PF_InData* in) { return Fill(in, w); }), PF_Err_NONE);
}

TEST_F(HostLibFaults, AddParamFaultStopsRegistration) {
    host_->FailCall("add_param", 3, PF_Err_OUT_OF_MEMORY);
    EXPECT_EQ(host_->ParamsSetup(), PF_Err_OUT_OF_MEMORY);
    EXPECT_EQ(host_->param_count(), 2);
    EXPECT_EQ(host_->ParamsSetup(), PF_Err_NONE);
    EXPECT_EQ(host_->param_count(), kFakeParamCount);
}

TEST_F(HostLibFaults, SuiteFaultsAndMissingSuites) {
    host_->FailCall("host_new_handle", 1, 1);
    host_->SetSuiteMissing(kPFWorldSuite, 2);
    ASSERT_EQ(Inside([](PF_InData* in) {
                  auto* handles = Acquire<PF_HandleSuite2>(in, kPFHandleSuite, 2);
                  EXPECT_EQ(handles->host_new_handle(16), nullptr);
                  PF_Handle h = handles->host_new_handle(16);
                  EXPECT_NE(h, nullptr);
                  handles->host_dispose_handle(h);
                  Release(in, kPFHandleSuite, 2);
                  EXPECT_EQ(Acquire<PF_WorldSuite2>(in, kPFWorldSuite, 2), nullptr);
                  auto* v1 = Acquire<PF_WorldSuite1>(in, kPFWorldSuite, 1);
                  EXPECT_NE(v1, nullptr);
                  Release(in, kPFWorldSuite, 1);
                  EXPECT_EQ(Acquire<PF_WorldSuite1>(in, "No Such Suite", 1), nullptr);
                  return PF_Err_NONE;
              }),
              PF_Err_NONE);
    host_->SetNullBasicSuite(true);
    EXPECT_EQ(Inside([](PF_InData* in) { return in->pica_basicP ? PF_Err_INTERNAL_STRUCT_DAMAGED : PF_Err_NONE; }),
              PF_Err_NONE);
    EXPECT_TRUE(host_->Leaks().empty()) << ::testing::PrintToString(host_->Leaks());
}

TEST_F(HostLibFaults, CancelAtTheNthProgressCallAndAfter) {
    std::vector<std::pair<A_long, A_long>> heard;
    host_->SetProgressListener([&](A_long current, A_long total) { heard.push_back({current, total}); });
    host_->CancelAtProgress(3);
    std::vector<PF_Err> results;
    Inside([&](PF_InData* in) {
        for (A_long i = 1; i <= 4; ++i) results.push_back(PF_PROGRESS(in, i, 4));
        results.push_back(in->inter.abort(in->effect_ref));
        return PF_Err_NONE;
    });
    EXPECT_EQ(results, (std::vector<PF_Err>{0, 0, PF_Interrupt_CANCEL, PF_Interrupt_CANCEL, PF_Interrupt_CANCEL}));
    EXPECT_EQ(heard.size(), 4u);
    EXPECT_EQ(heard[1], (std::pair<A_long, A_long>{2, 4}));
    EXPECT_TRUE(host_->cancelled());
    host_->ResetCancel();
    EXPECT_EQ(Inside([](PF_InData* in) { return PF_PROGRESS(in, 1, 1); }), PF_Err_NONE);
}

TEST_F(HostLibFaults, LeftBehindWorldIsALeakUnderAfterEffects) {
    ASSERT_EQ(Inside([](PF_InData* in) {
                  auto* worlds = Acquire<PF_WorldSuite2>(in, kPFWorldSuite, 2);
                  PF_EffectWorld kept{}, freed{};
                  PF_Err err = worlds->PF_NewWorld(in->effect_ref, 5, 4, true, PF_PixelFormat_ARGB128, &kept);
                  err = err ? err : worlds->PF_NewWorld(in->effect_ref, 3, 3, true, PF_PixelFormat_ARGB32, &freed);
                  EXPECT_GT(kept.rowbytes, 5 * 16);
                  err = err ? err : worlds->PF_DisposeWorld(in->effect_ref, &freed);
                  EXPECT_EQ(worlds->PF_DisposeWorld(in->effect_ref, &freed), PF_Err_BAD_CALLBACK_PARAM);
                  Release(in, kPFWorldSuite, 2);
                  return err;
              }),
              PF_Err_NONE);
    const auto leaks = host_->Leaks();
    ASSERT_EQ(leaks.size(), 2u) << ::testing::PrintToString(leaks);
    EXPECT_NE(leaks[0].find("disposed twice"), std::string::npos);
    EXPECT_NE(leaks[1].find("world 5x4 at 32 bits"), std::string::npos);
    EXPECT_EQ(host_->Report().live_worlds, 0) << "the host frees what the call left";
    host_->ClearLeaks();
    EXPECT_TRUE(host_->Leaks().empty());
}

TEST_F(HostLibFaults, PremiereReclaimsTheEffectsWorlds) {
    MakeHost(Personality::Premiere);
    ASSERT_EQ(Inside([](PF_InData* in) {
                  auto* worlds = Acquire<PF_WorldSuite2>(in, kPFWorldSuite, 2);
                  PF_EffectWorld w{};
                  const PF_Err err = worlds->PF_NewWorld(in->effect_ref, 5, 4, true, host::PremiereFormat("v210"), &w);
                  Release(in, kPFWorldSuite, 2);
                  return err;
              }),
              PF_Err_NONE);
    EXPECT_TRUE(host_->Leaks().empty());
    EXPECT_EQ(host_->Report().reclaimed_worlds, 1);
}

TEST_F(HostLibFaults, LeakedHandleSuiteAndMaskReferenceAreReported) {
    host_->AddMask({0, host::Path::Rectangle(0, 0, 1, 1)});
    ASSERT_EQ(Inside([](PF_InData* in) {
                  auto* handles = Acquire<PF_HandleSuite2>(in, kPFHandleSuite, 2);
                  handles->host_new_handle(24);  // never disposed, suite never released
                  auto* pf = Acquire<AEGP_PFInterfaceSuite1>(in, kAEGPPFInterfaceSuite, 1);
                  auto* masks = Acquire<AEGP_LayerMaskSuite5>(in, kAEGPLayerMaskSuite, 5);
                  AEGP_LayerH layer = nullptr;
                  AEGP_MaskRefH mask = nullptr;
                  pf->AEGP_GetEffectLayer(in->effect_ref, &layer);
                  masks->AEGP_GetLayerMaskByIndex(layer, 0, &mask);
                  Release(in, kAEGPPFInterfaceSuite, 1);
                  Release(in, kAEGPLayerMaskSuite, 5);
                  return PF_Err_NONE;
              }),
              PF_Err_NONE);
    const auto report = host_->Report();
    EXPECT_EQ(report.live_handles, 1);
    EXPECT_EQ(report.unreleased_suites, 1);
    EXPECT_EQ(host_->suite_acquires(kPFHandleSuite, 2), 1);
    EXPECT_EQ(host_->suite_releases(kPFHandleSuite, 2), 0);
    EXPECT_EQ(report.messages.size(), 3u) << ::testing::PrintToString(report.messages);
}

TEST_F(HostLibFaults, GlobalDataTravelsAndSetdownMustFreeIt) {
    CurrentScript() = [](PF_Cmd cmd, PF_InData* in, PF_OutData* out, PF_ParamDef*[], PF_LayerDef*, void*) -> PF_Err {
        auto* handles = Acquire<PF_HandleSuite2>(in, kPFHandleSuite, 2);
        if (cmd == PF_Cmd_GLOBAL_SETUP) {
            out->my_version = PF_VERSION(3, 1, 0, PF_Stage_DEVELOP, 1);
            out->out_flags2 = PF_OutFlag2_SUPPORTS_SMART_RENDER;
            out->global_data = handles->host_new_handle(8);
        } else if (cmd == PF_Cmd_ABOUT) {
            EXPECT_EQ(in->global_data, out->global_data);
            EXPECT_NE(in->global_data, nullptr);
            std::strcpy(out->return_msg, "about");
        } else if (cmd == PF_Cmd_GLOBAL_SETDOWN) {
            handles->host_dispose_handle(in->global_data);
        }
        Release(in, kPFHandleSuite, 2);
        return PF_Err_NONE;
    };
    ASSERT_EQ(host_->GlobalSetup(), PF_Err_NONE);
    EXPECT_EQ(host_->my_version(), 1605633u);
    EXPECT_EQ(host_->out_flags2(), PF_OutFlag2_SUPPORTS_SMART_RENDER);
    ASSERT_EQ(host_->About(), PF_Err_NONE);
    EXPECT_EQ(host_->last_return_msg(), "about");
    EXPECT_EQ(host_->Report().live_handles, 1);
    ASSERT_EQ(host_->GlobalSetdown(), PF_Err_NONE);
    EXPECT_EQ(host_->global_data(), nullptr);
    EXPECT_TRUE(host_->Leaks().empty()) << ::testing::PrintToString(host_->Leaks());
}

}  // namespace
}  // namespace korvane::hostlib_test
