// The trigger-source and sort-source steps: fill a scratch world from the chosen layer, or from the
// input itself when no layer is chosen.
#include "KRVN_Errors.h"
#include "LogsController.h"
#include "sources/RenderState.h"

namespace korvane::render {
namespace {

struct SourceStep {
    A_long param_index;
    PF_EffectWorld& world;
    PF_ParamDef& layer;
    bool KRVN_Params::*use_flag;
    const char* label;
    const char* layer_copy_message;
    const char* final_message;
    bool* is_input_copy;
    bool checkout_failure_returns_at_once;
};

PF_Err RunSourceStep(RenderState& state, const SourceStep& step) {
    PF_InData* in_data = state.in_data;
    PF_Err& err = state.err;
    bool& in_use = state.params->*step.use_flag;
    *step.is_input_copy = false;

    if (in_use) {
        PF_ParamDef& layer = step.layer;
        if (err == PF_Err_NONE) {
            err = in_data->inter.checkout_param(in_data->effect_ref, step.param_index, in_data->current_time,
                                                in_data->time_step, in_data->time_scale, &layer);
            if (err != PF_Err_NONE && step.checkout_failure_returns_at_once) return err;
            if (log::Logged(err)) KRVN_LOG_ERROR(step.label, "cannot checkout param " + ErrorText(err));
        }
        // A parameter without a layer leaves the world as created: transparent black.
        if (layer.u.ld.data != nullptr && err == PF_Err_NONE) {
            err = CopyBuffer(state, &layer.u.ld, &step.world);
            if (log::Logged(err)) KRVN_LOG_ERROR(step.label, step.layer_copy_message + ErrorText(err));
        }
    } else if (err == PF_Err_NONE) {
        err = in_data->utils->copy(in_data->effect_ref, &state.worlds.sorting, &step.world, nullptr, nullptr);
        if (log::Logged(err)) {
            KRVN_LOG_ERROR(step.label, "Can't copy world input layer to the source world " + ErrorText(err));
        }
        *step.is_input_copy = err == PF_Err_NONE;
    }

    if (err != PF_Err_NONE) {
        if (log::Logged(err)) KRVN_LOG_ERROR(step.label, step.final_message + ErrorText(err));
        in_use = false;
        *step.is_input_copy = false;
    } else {
        in_use = true;
    }
    return err;
}

}  // namespace

PF_Err TriggerSourceStep(RenderState& state) {
    return RunSourceStep(state, {15, state.worlds.trigger_source, state.layer_params.trigger_source,
                                 &KRVN_Params::has_trigger_source, "UniversalRender::<lambda_9>::operator ()",
                                 "Can't copy fill trigger source world from source layer ",
                                 "Can't using source fill trigger source world ", &state.trigger_is_input_copy, false});
}

PF_Err SortSourceStep(RenderState& state) {
    return RunSourceStep(state, {17, state.worlds.sort_source, state.layer_params.sort_source,
                                 &KRVN_Params::has_sort_source, "UniversalRender::<lambda_8>::operator ()",
                                 "Can't copy fill sort source world from source layer ",
                                 "Can't using source fill sort source world ", &state.sort_source_is_input_copy, true});
}

}  // namespace korvane::render
