// The state one universal render shares among its steps: the host records, the frame's parameter
// values, the named scratch worlds and checked-out layer parameters, and one error code that every
// step reads first and writes its outcome into.
#pragma once

#include <map>
#include <optional>
#include <string>
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

inline constexpr const char* kSortingWorld = "sorting";
inline constexpr const char* kTriggerSourceWorld = "trigger_source";
inline constexpr const char* kSortSourceWorld = "sort_source";
inline constexpr const char* kConstraintWorld = "constraint";
inline constexpr const char* kConstraintMaskWorld = "constraint_mask";

struct RenderState {
    PF_InData* in_data = nullptr;
    PF_OutData* out_data = nullptr;
    KRVN_Params* params = nullptr;
    PF_LayerDef* input = nullptr;
    PF_PixelFormat pixel_format = 0;
    const PF_WorldSuite2* world_suite = nullptr;

    // Entries are created zeroed; a world whose data pointer is set was created by the render.
    std::map<std::string, PF_EffectWorld> worlds;
    std::map<std::string, PF_ParamDef> layer_params;

    PF_Err err = PF_Err_NONE;

    // Set by a source step that copied "sorting" into its world: the world then holds the same
    // pixels as "sorting", so the pixel transfer may take them from there.
    bool trigger_is_input_copy = false;
    bool sort_source_is_input_copy = false;

    PF_EffectWorld& World(const char* name) { return worlds[name]; }
};

// Creates the named world at the given size with the render's pixel format, cleared, when the shared
// code is zero; the result becomes the shared code and is returned.
PF_Err CreateBuffer(RenderState& state, const char* name, A_long width, A_long height);

// The host's whole-world copy; returns its result without touching the shared code.
PF_Err CopyBuffer(RenderState& state, PF_EffectWorld* source, PF_EffectWorld* destination);

// The source-layer steps (trigger source: parameter 15, sort source: parameter 17). Each returns
// the shared code and leaves its use flag in the parameters true on success, false on failure.
PF_Err TriggerSourceStep(RenderState& state);
PF_Err SortSourceStep(RenderState& state);

// Renders every selected mask into the "constraint" world.
PF_Err ConstraintMaskStep(RenderState& state);

}  // namespace korvane::render
