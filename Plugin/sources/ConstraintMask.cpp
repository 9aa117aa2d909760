// The constraint build: every selected closed mask of the layer is rendered into "constraint_mask"
// and added onto "constraint", whose alpha then says where spans may form.
#include "KRVN_Errors.h"
#include "LogsController.h"
#include "sources/RenderState.h"

namespace korvane::render {
namespace {
constexpr const char* kLabel = "UniversalRender::<lambda_10>::operator ()";
}  // namespace

PF_Err ConstraintMaskStep(RenderState& state) {
    PF_InData* in_data = state.in_data;
    PF_Err& err = state.err;

    std::optional<ReportedSuite<PF_MaskSuite1>> mask_suite;
    if (err == PF_Err_NONE) {
        mask_suite.emplace(in_data, state.out_data, kPFMaskSuite, kPFMaskSuiteVersion1, "Could not load Mask suite");
        err = mask_suite->result();
    }
    // The path suite is acquired when the first path is checked out.
    SuiteCache suites(in_data->pica_basicP);

    PF_EffectWorld& constraint = state.worlds.constraint;
    PF_EffectWorld& mask_world = state.worlds.constraint_mask;
    const PF_Pixel opaque_white{255, 255, 255, 255};

    for (int i = 0; i < KRVN_MAX_MASKS; ++i) {
        const PF_PathID id = static_cast<PF_PathID>(state.params->mask_ids[i]);
        if (id == 0) break;

        const PF_PathQuerySuite1* paths = nullptr;
        PF_PathOutlinePtr path = nullptr;
        bool checked_out = false;
        if (err == PF_Err_NONE) {
            paths = suites.Get<PF_PathQuerySuite1>(kPFPathQuerySuite, kPFPathQuerySuiteVersion1);
            err = paths->PF_CheckoutPath(in_data->effect_ref, id, in_data->current_time, in_data->time_step,
                                         in_data->time_scale, &path);
            checked_out = err == PF_Err_NONE;
            if (log::Logged(err)) KRVN_LOG_ERROR(kLabel, "Checkout Path Error " + ErrorText(err));
        }
        {
            // The path goes back to the host on every way out of this pass.
            ScopeExit checkin([&] {
                if (!checked_out) return;
                const PF_Err checkin_err = paths->PF_CheckinPath(in_data->effect_ref, id, false, path);
                if (checkin_err != PF_Err_NONE && err == PF_Err_NONE) err = checkin_err;
            });

            in_data->utils->fill(in_data->effect_ref, &opaque_white, nullptr, &mask_world);

            if (err == PF_Err_NONE) {
                err = (*mask_suite)
                          ->PF_MaskWorldWithPath(in_data->effect_ref, path, 0.0, 0.0, false, 1.0, in_data->quality,
                                                 &mask_world, nullptr);
                if (log::Logged(err)) KRVN_LOG_ERROR(kLabel, "cannot create constraint world " + ErrorText(err));
            }

            const PF_Rect whole{0, 0, mask_world.width, mask_world.height};
            PF_CompositeMode add{};
            add.xfer = PF_Xfer_ADD;
            add.opacity = 255;
            add.rgb_only = false;
            in_data->utils->transfer_rect(in_data->effect_ref, PF_Quality_HI, PF_MF_Alpha_PREMUL, PF_Field_FRAME,
                                          &whole, &mask_world, &add, nullptr, 0, 0, &constraint);
        }
    }
    return err;
}

}  // namespace korvane::render
