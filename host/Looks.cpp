// The looks beyond the registered parameters: a value and keyframes per row of the look table, kept
// as registered parameters are, and the look suite that hands them to the effect at a call's time.
#include <cmath>

#include "CallbackEntry.h"
#include "HostState.h"
#include "LookTable.h"

namespace korvane::host {

namespace {

bool HasLookValue(PF_ParamType type) { return type != PF_Param_GROUP_START && type != PF_Param_GROUP_END; }

PF_Err LookValues(PF_ProgPtr effect_ref, A_long first_index, A_long count, PF_FpLong* values) {
    const auto [ctx, entry_err] = EnterCall(effect_ref, "look_values");
    if (entry_err) return entry_err;
    if (values == nullptr || count < 0) return PF_Err_BAD_CALLBACK_PARAM;
    if (first_index < params::KRVN_LOOK_FIRST || count > params::KRVN_LOOK_END - first_index)
        return PF_Err_INVALID_INDEX;
    Host::State& host = *ctx->host;
    for (A_long i = 0; i < count; ++i) {
        const ParamSlot* slot = host.LookSlot(static_cast<int>(first_index + i));
        if (slot == nullptr) {
            values[i] = 0.0;
            continue;
        }
        const double stored = StoredAt(*slot, ctx->time);
        values[i] = slot->def.param_type == PF_Param_ANGLE ? stored / 65536.0 : stored;
    }
    return PF_Err_NONE;
}

}  // namespace

const KRVN_LookSuite1 kLookSuite = {&LookValues};

void Host::State::ResetLookSlots() {
    looks.clear();
    for (const params::ParamSpec& row : params::kLookParams) {
        ParamSlot& slot = looks.emplace_back();
        slot.def.param_type = row.type;
        // Stored units as for registered parameters: angles in 16.16 fixed, the rest as given.
        slot.value = row.type == PF_Param_ANGLE ? std::round(row.dephault * 65536.0) : row.dephault;
    }
}

ParamSlot* Host::State::LookSlot(int index) {
    if (index < params::KRVN_LOOK_FIRST || index >= params::KRVN_LOOK_END) return nullptr;
    ParamSlot& slot = looks[static_cast<std::size_t>(index - params::KRVN_LOOK_FIRST)];
    return HasLookValue(slot.def.param_type) ? &slot : nullptr;
}

}  // namespace korvane::host
