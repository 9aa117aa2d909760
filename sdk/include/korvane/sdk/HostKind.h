// Which host is calling, read from in_data->appl_id: the one place the effect tells its hosts apart.
#pragma once

#include <string>

#include "korvane/sdk/Effect.h"

namespace korvane {

inline bool IsAfterEffects(const PF_InData* in_data) {
    return in_data != nullptr && static_cast<A_u_long>(in_data->appl_id) == PF_APPL_ID_AE;
}

inline bool IsPremiere(const PF_InData* in_data) {
    return in_data != nullptr && static_cast<A_u_long>(in_data->appl_id) == PF_APPL_ID_PREMIERE;
}

// "ae13", "premiere13", or just the major API version for another host; "" without in_data.
inline std::string HostTag(const PF_InData* in_data) {
    if (in_data == nullptr) return "";
    const char* name = IsAfterEffects(in_data) ? "ae" : IsPremiere(in_data) ? "premiere" : "";
    return name + std::to_string(in_data->version.major);
}

}  // namespace korvane
