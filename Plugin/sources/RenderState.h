// The state one universal render shares among its steps: the host records, the frame's parameter
// values, the scratch worlds and checked-out layer parameters, and one error code that every
// step reads first and writes its outcome into.
#pragma once

#include <optional>
#include <utility>

#include "KRVN_Params.h"
#include "korvane/sdk/Effect.h"
#include "korvane/sdk/HostKind.h"
#include "korvane/sdk/SuiteHandler.h"
#include "korvane/sdk/Suites.h"

namespace korvane::render {

// Runs a function when the scope is left, whichever way.
template <typename Fn>
class ScopeExit {
public:
    explicit ScopeExit(Fn fn) : fn_(std::move(fn)) {}
    ~ScopeExit() { fn_(); }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;

private:
    Fn fn_;
};

// The render's scratch worlds. Members are zeroed; a world whose data pointer is set was created by
// the render. Release disposes them in member order.
struct RenderWorlds {
    PF_EffectWorld constraint{};
    PF_EffectWorld constraint_mask{};
    PF_EffectWorld sort_source{};
    PF_EffectWorld sorting{};
    PF_EffectWorld trigger_source{};
    // Another frame's input and trigger layer brought to the frame's size, when the host gave them
    // at another size (the automatic band smoothed over frames).
    PF_EffectWorld neighbour_input{};
    PF_EffectWorld neighbour_trigger{};
};

// The layer parameters a render may check out (only the two sources are), checked in by Release
// in member order.
struct CheckedOutLayers {
    PF_ParamDef constraint{};
    PF_ParamDef constraint_mask{};
    PF_ParamDef sort_source{};
    PF_ParamDef trigger_source{};
};

struct RenderState {
    PF_InData* in_data = nullptr;
    PF_OutData* out_data = nullptr;
    KRVN_Params* params = nullptr;
    PF_LayerDef* input = nullptr;
    PF_PixelFormat pixel_format = 0;
    const PF_WorldSuite2* world_suite = nullptr;

    RenderWorlds worlds;
    CheckedOutLayers layer_params;
    // Set once the render has got past its first progress call; until then Release has nothing to
    // check in or dispose.
    bool scratch_in_use = false;

    PF_Err err = PF_Err_NONE;

    // Set by a source step that copied the sorting world into its own: the world then holds the same
    // pixels as the sorting world, so the pixel transfer may take them from there.
    bool trigger_is_input_copy = false;
    bool sort_source_is_input_copy = false;
};

// The render's steps carry one error code: each runs only while the shared code (state.err) is zero,
// stores its outcome there and returns it, and the render assigns what each returns, so no result
// is dropped unseen ([[nodiscard]]).

// Creates one of the state's worlds at the given size with the render's pixel format, cleared, when the shared
// code is zero; the result becomes the shared code and is returned.
[[nodiscard]] PF_Err CreateBuffer(RenderState& state, PF_EffectWorld& world, A_long width, A_long height);

// The host's whole-world copy; returns its result without touching the shared code.
[[nodiscard]] PF_Err CopyBuffer(RenderState& state, PF_EffectWorld* source, PF_EffectWorld* destination);

// The source-layer steps (trigger source: parameter 15, sort source: parameter 17). Each returns
// the shared code and leaves its use flag in the parameters true on success, false on failure.
[[nodiscard]] PF_Err TriggerSourceStep(RenderState& state);
[[nodiscard]] PF_Err SortSourceStep(RenderState& state);

// Renders every selected mask into the constraint world.
[[nodiscard]] PF_Err ConstraintMaskStep(RenderState& state);

}  // namespace korvane::render
