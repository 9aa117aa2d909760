// The universal render's two world helpers, shared by the render and its source steps.
#include "sources/RenderState.h"

#include "KRVN_Errors.h"
#include "LogsController.h"

namespace korvane::render {

PF_Err CreateBuffer(RenderState& state, PF_EffectWorld& world, A_long width, A_long height) {
    if (state.err != PF_Err_NONE) return state.err;
    state.err = state.world_suite->PF_NewWorld(state.in_data->effect_ref, width, height, true, state.pixel_format,
                                               &world);
    if (log::Logged(state.err)) {
        KRVN_LOG_ERROR("UniversalRender::<lambda_5>::operator ()", "cannot create world " + ErrorText(state.err));
    }
    return state.err;
}

PF_Err CopyBuffer(RenderState& state, PF_EffectWorld* source, PF_EffectWorld* destination) {
    const PF_Err err = state.in_data->utils->copy(state.in_data->effect_ref, source, destination, nullptr, nullptr);
    if (log::Logged(err)) {
        KRVN_LOG_ERROR("UniversalRender::<lambda_7>::operator ()", "cannot copy world " + ErrorText(err));
    }
    return err;
}

}  // namespace korvane::render
