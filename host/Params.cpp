// Parameters: registration through add_param, values and keyframes at a time, and the
// checkout_param / checkin_param callbacks with their balance tracking.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

#include "CallbackEntry.h"
#include "HostState.h"
#include "LookTable.h"

namespace korvane::host {

namespace {

constexpr A_long kLayerDefaultMyself = -1;  // a layer parameter whose default is the effect's own layer

bool Interpolates(PF_ParamType type) {
    return type == PF_Param_FLOAT_SLIDER || type == PF_Param_ANGLE || type == PF_Param_SLIDER;
}

bool HasValue(PF_ParamType type) {
    switch (type) {
        case PF_Param_FLOAT_SLIDER:
        case PF_Param_ANGLE:
        case PF_Param_SLIDER:
        case PF_Param_POPUP:
        case PF_Param_CHECKBOX:
        case PF_Param_LAYER:
        case PF_Param_PATH: return true;
        default: return false;
    }
}

void InitValue(ParamSlot& slot) {
    const PF_ParamDef& d = slot.def;
    slot.keys.clear();
    slot.default_path = false;
    switch (d.param_type) {
        case PF_Param_FLOAT_SLIDER: slot.value = d.u.fs_d.dephault; break;
        case PF_Param_ANGLE: slot.value = d.u.ad.dephault; break;
        case PF_Param_SLIDER: slot.value = d.u.sd.dephault; break;
        case PF_Param_POPUP: slot.value = d.u.pd.dephault; break;
        case PF_Param_CHECKBOX: slot.value = d.u.bd.dephault; break;
        case PF_Param_LAYER: slot.value = d.u.ld.dephault == kLayerDefaultMyself ? kInputLayer : kNoLayer; break;
        case PF_Param_PATH:
            slot.value = d.u.path_d.dephault;
            slot.default_path = d.u.path_d.dephault > 0;
            break;
        default: slot.value = 0.0; break;
    }
}

}  // namespace

double StoredAt(const ParamSlot& slot, double t) {
    const auto& keys = slot.keys;
    if (keys.empty()) return slot.value;
    if (t <= keys.front().first) return keys.front().second;
    if (t >= keys.back().first) return keys.back().second;
    const auto next = std::upper_bound(keys.begin(), keys.end(), t,
                                       [](double time, const auto& key) { return time < key.first; });
    const auto prev = next - 1;
    if (!Interpolates(slot.def.param_type)) return prev->second;
    const double f = (t - prev->first) / (next->first - prev->first);
    const double v = prev->second + (next->second - prev->second) * f;
    return slot.def.param_type == PF_Param_FLOAT_SLIDER ? v : static_cast<double>(std::llround(v));
}

namespace {

PF_Fixed ToFixed(double degrees) {
    const double v = std::round(degrees * 65536.0);
    if (!(v >= INT32_MIN && v <= INT32_MAX)) throw HostError("angle out of the 16.16 fixed range");
    return static_cast<PF_Fixed>(v);
}

}  // namespace

void Host::State::ResetParamSlots() {
    ResetLookSlots();
    params.clear();
    ParamSlot input;
    input.def.param_type = PF_Param_LAYER;
    input.value = kInputLayer;
    params.push_back(std::move(input));
}

int Host::State::LayerAt(int index, double t) const { return static_cast<int>(StoredAt(params.at(index), t)); }

PF_ParamDef Host::State::ValueAt(int index, double t) const {
    const ParamSlot& slot = params.at(index);
    PF_ParamDef d = slot.def;
    const double v = StoredAt(slot, t);
    switch (d.param_type) {
        case PF_Param_FLOAT_SLIDER: d.u.fs_d.value = v; break;
        case PF_Param_ANGLE: d.u.ad.value = static_cast<PF_Fixed>(v); break;
        case PF_Param_SLIDER: d.u.sd.value = static_cast<A_long>(v); break;
        case PF_Param_POPUP: d.u.pd.value = static_cast<A_long>(v); break;
        case PF_Param_CHECKBOX: d.u.bd.value = static_cast<A_long>(v); break;
        case PF_Param_LAYER: d.u.ld = PF_LayerDef{}; break;
        case PF_Param_PATH: {
            PF_PathID id = static_cast<PF_PathID>(v);
            if (slot.default_path) {
                const auto& masks = layers.front().masks;
                const size_t nth = static_cast<size_t>(v);
                id = nth >= 1 && nth <= masks.size() ? static_cast<PF_PathID>(masks[nth - 1].id) : 0;
            }
            d.u.path_d.path_id = id;
            break;
        }
        default: break;
    }
    return d;
}

// ---- The host's parameter API

namespace {

// A registered parameter's slot, or a look's (indices of the look table, which nothing registers).
ParamSlot& SlotWithValue(Host::State& s, int index) {
    ParamSlot* look = s.LookSlot(index);
    if (look == nullptr && (index < 1 || index >= static_cast<int>(s.params.size()))) {
        throw HostError("no parameter at index " + std::to_string(index) + " (registered: " +
                        std::to_string(s.params.size() - 1) + "; looks: " + std::to_string(params::KRVN_LOOK_FIRST) +
                        " to " + std::to_string(params::KRVN_LOOK_END - 1) + ")");
    }
    ParamSlot& slot = look != nullptr ? *look : s.params[index];
    if (!HasValue(slot.def.param_type)) {
        throw HostError("parameter " + std::to_string(index) + " of type " + std::to_string(slot.def.param_type) +
                        " has no value");
    }
    return slot;
}

double ToStored(const Host::State& s, const ParamSlot& slot, double value) {
    const PF_ParamType type = slot.def.param_type;
    if (type == PF_Param_FLOAT_SLIDER) return value;  // any double, NaN included, reaches the effect
    if (type == PF_Param_ANGLE) return ToFixed(value);
    const double v = std::round(value);
    if (!(v >= INT32_MIN && v <= INT32_MAX)) throw HostError("value out of the 32-bit range");
    if (type == PF_Param_LAYER && v != kNoLayer && (v < 0 || v >= static_cast<double>(s.layers.size()))) {
        throw HostError("no layer " + std::to_string(static_cast<long>(v)));
    }
    if (type == PF_Param_PATH && v < 0) throw HostError("mask ids are not negative");
    return v;
}

void InsertKey(ParamSlot& slot, double t, double stored) {
    auto it = std::lower_bound(slot.keys.begin(), slot.keys.end(), t,
                               [](const auto& key, double time) { return key.first < time; });
    if (it != slot.keys.end() && it->first == t)
        it->second = stored;
    else
        slot.keys.insert(it, {t, stored});
    slot.default_path = false;
}

void RequireAngle(const ParamSlot& slot, int index) {
    if (slot.def.param_type != PF_Param_ANGLE) {
        throw HostError("parameter " + std::to_string(index) + " is not an angle");
    }
}

}  // namespace

int Host::param_count() const { return static_cast<int>(state_->params.size()) - 1; }

const PF_ParamDef& Host::registered(int index) const {
    if (index < 0 || index >= static_cast<int>(state_->params.size())) {
        throw HostError("no parameter at index " + std::to_string(index));
    }
    return state_->params[index].def;
}

std::string Host::popup_items(int index) const {
    const PF_ParamDef& d = registered(index);
    return d.param_type == PF_Param_POPUP ? state_->params[index].strings : std::string();
}

void Host::Set(int index, double value) {
    ParamSlot& slot = SlotWithValue(*state_, index);
    slot.value = ToStored(*state_, slot, value);
    slot.keys.clear();
    slot.default_path = false;
}

void Host::SetFixed(int index, PF_Fixed value) {
    ParamSlot& slot = SlotWithValue(*state_, index);
    RequireAngle(slot, index);
    slot.value = value;
    slot.keys.clear();
}

void Host::SetKeyframe(int index, double time, double value) {
    ParamSlot& slot = SlotWithValue(*state_, index);
    InsertKey(slot, time, ToStored(*state_, slot, value));
}

void Host::SetKeyframeFixed(int index, double time, PF_Fixed value) {
    ParamSlot& slot = SlotWithValue(*state_, index);
    RequireAngle(slot, index);
    InsertKey(slot, time, value);
}

void Host::ClearKeyframes(int index) { SlotWithValue(*state_, index).keys.clear(); }

void Host::ResetParams() {
    for (size_t i = 1; i < state_->params.size(); ++i) InitValue(state_->params[i]);
    state_->ResetLookSlots();
}

double Host::Value(int index, double time) const {
    const ParamSlot& slot = SlotWithValue(*state_, index);
    if (slot.def.param_type == PF_Param_PATH) return state_->ValueAt(index, time).u.path_d.path_id;
    const double v = StoredAt(slot, time);
    return slot.def.param_type == PF_Param_ANGLE ? v / 65536.0 : v;
}

PF_Fixed Host::FixedValue(int index, double time) const {
    const ParamSlot& slot = SlotWithValue(*state_, index);
    RequireAngle(slot, index);
    return static_cast<PF_Fixed>(StoredAt(slot, time));
}

PF_ParamDef Host::ParamAt(int index, double time) const {
    registered(index);
    return state_->ValueAt(index, time);
}

// ---- Callbacks

PF_Err AddParam(PF_ProgPtr ref, A_long index, PF_ParamDefPtr def) {
    const auto [ctx, entry_err] = EnterCall(ref, "add_param");
    if (entry_err) return entry_err;
    Host::State& host = *ctx->host;
    if (!def || ctx->cmd != PF_Cmd_PARAMS_SETUP) return PF_Err_BAD_CALLBACK_PARAM;
    if (index != -1 && index != static_cast<A_long>(host.params.size())) return PF_Err_INVALID_INDEX;

    ParamSlot& slot = host.params.emplace_back();
    slot.def = *def;
    const char* text = nullptr;
    switch (def->param_type) {
        case PF_Param_POPUP: text = def->u.pd.u.namesptr; break;
        case PF_Param_CHECKBOX: text = def->u.bd.u.nameptr; break;
        case PF_Param_BUTTON: text = def->u.button_d.u.namesptr; break;
        default: break;
    }
    if (text) {
        slot.strings = text;
        switch (def->param_type) {
            case PF_Param_POPUP: slot.def.u.pd.u.namesptr = slot.strings.c_str(); break;
            case PF_Param_CHECKBOX: slot.def.u.bd.u.nameptr = slot.strings.c_str(); break;
            default: slot.def.u.button_d.u.namesptr = slot.strings.c_str(); break;
        }
    }
    InitValue(slot);
    return PF_Err_NONE;
}

PF_Err CheckoutParam(PF_ProgPtr ref, A_long index, A_long what_time, A_long /*time_step*/, A_u_long time_scale,
                     PF_ParamDef* param) {
    const auto [ctx, entry_err] = EnterCall(ref, "checkout_param");
    if (entry_err) return entry_err;
    Host::State& host = *ctx->host;
    if (!param) return PF_Err_BAD_CALLBACK_PARAM;
    if (index < 0 || index >= static_cast<A_long>(host.params.size())) return PF_Err_INVALID_INDEX;

    const double t = host.Seconds(what_time, time_scale);
    ParamCheckout record;
    record.index = index;
    record.address = param;
    try {
        if (index == 0) {
            *param = host.params[0].def;
            param->u.ld = host.LayerPixels(*ctx, kInputLayer, record.pixels, host.OtherTime(*ctx, t));
        } else {
            *param = host.ValueAt(index, t);
            if (param->param_type == PF_Param_LAYER) {
                param->u.ld = host.LayerPixels(*ctx, host.LayerAt(index, t), record.pixels, host.OtherTime(*ctx, t));
            }
        }
    } catch (const std::exception&) {
        return PF_Err_INTERNAL_STRUCT_DAMAGED;  // the input provider failed
    }
    record.id = param->uu.id;
    record.type = param->param_type;
    record.data = param->param_type == PF_Param_LAYER ? param->u.ld.data : nullptr;
    std::lock_guard lock(ctx->mutex);
    ctx->checkouts.push_back(std::move(record));
    return PF_Err_NONE;
}

PF_Err CheckinParam(PF_ProgPtr ref, PF_ParamDef* param) {
    const auto [ctx, entry_err] = EnterCall(ref, "checkin_param");
    if (entry_err) return entry_err;
    Host::State& host = *ctx->host;
    if (!param) return PF_Err_BAD_CALLBACK_PARAM;

    const auto same = [param](const ParamCheckout& c) {
        return c.open && c.type == param->param_type && c.id == param->uu.id &&
               (c.type != PF_Param_LAYER || c.data == param->u.ld.data);
    };
    std::lock_guard lock(ctx->mutex);
    auto it = std::find_if(ctx->checkouts.begin(), ctx->checkouts.end(),
                           [&](const ParamCheckout& c) { return same(c) && c.address == param; });
    if (it == ctx->checkouts.end()) it = std::find_if(ctx->checkouts.begin(), ctx->checkouts.end(), same);
    if (it == ctx->checkouts.end()) {
        {
            std::lock_guard state_lock(host.mutex);
            ++host.stray_checkins;
        }
        // A zeroed definition is what an effect checks in for a layer it never got to check out
        // (its release step walks every entry); anything else is a second checkin or a definition
        // that never came from this call's checkout_param.
        const bool zeroed = param->uu.id == 0 && param->param_type == PF_Param_LAYER && param->u.ld.data == nullptr;
        if (!zeroed) {
            host.Note("checkin_param of parameter id " + std::to_string(param->uu.id) + " (type " +
                      std::to_string(param->param_type) + ") during " + CommandName(ctx->cmd) +
                      " matches no open checkout");
        }
        return PF_Err_NONE;
    }
    it->open = false;
    it->pixels.reset();
    return PF_Err_NONE;
}

}  // namespace korvane::host
