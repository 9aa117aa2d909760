// The prologue every host callback runs before its own checks: find the call (or the host) it
// belongs to, then count the callback by name and take the fault a test planned for it.
#pragma once

#include <string_view>

#include "HostState.h"

namespace korvane::host {

struct CallEntry {
    CallContext* ctx = nullptr;
    PF_Err err = PF_Err_NONE;  // when set, the callback returns it at once
};

// For callbacks that carry an effect_ref. An effect_ref of no live call gives `unknown_ref`
// (AEGP callbacks answer A_Err_PARAMETER).
inline CallEntry EnterCall(PF_ProgPtr ref, std::string_view name, PF_Err unknown_ref = PF_Err_BAD_CALLBACK_PARAM) {
    CallContext* ctx = ResolveCall(ref);
    if (!ctx) return {nullptr, unknown_ref};
    return {ctx, ctx->host->Hit(name)};
}

struct HostEntry {
    Host::State* host = nullptr;
    PF_Err err = PF_Err_NONE;  // when set, the callback returns it at once
};

// For the AEGP callbacks, which carry no effect_ref: the host of the call running on this thread.
// Without one the answer is A_Err_GENERIC.
inline HostEntry EnterHost(std::string_view name) {
    Host::State* host = CurrentHost();
    if (!host) return {nullptr, A_Err_GENERIC};
    return {host, host->Hit(name)};
}

}  // namespace korvane::host
