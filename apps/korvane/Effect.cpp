// Loading the effect and checking its registration against the parameter table.
#include "Effect.h"

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "Errors.h"
#include "ParamTable.h"
#include "korvane/sdk/ErrorNames.h"
#include "platform/Platform.h"

namespace korvane::cli {
namespace {

using params::ParamSpec;

std::string describeMismatch(const PF_ParamDef& def, const ParamSpec& row) {
    if (def.param_type != row.type)
        return "type " + std::to_string(def.param_type) + " instead of " + std::to_string(row.type);
    if (def.uu.id != row.id) return "disk id " + std::to_string(def.uu.id) + " instead of " + std::to_string(row.id);
    auto differ = [](double registered, double table) { return registered != table; };
    auto range = [](double lo, double hi, double dflt) {
        char text[96];
        std::snprintf(text, sizeof text, "%g to %g, default %g", lo, hi, dflt);
        return std::string(text);
    };
    switch (row.type) {
        case PF_Param_FLOAT_SLIDER: {
            const PF_FloatSliderDef& f = def.u.fs_d;
            if (differ(f.valid_min, static_cast<float>(row.valid_min)) ||
                differ(f.valid_max, static_cast<float>(row.valid_max)) ||
                differ(f.dephault, static_cast<float>(row.dephault)))
                return range(f.valid_min, f.valid_max, f.dephault) + " instead of " +
                       range(row.valid_min, row.valid_max, row.dephault);
            break;
        }
        case PF_Param_SLIDER: {
            const PF_SliderDef& s = def.u.sd;
            if (differ(s.valid_min, row.valid_min) || differ(s.valid_max, row.valid_max) ||
                differ(s.dephault, row.dephault))
                return range(s.valid_min, s.valid_max, s.dephault) + " instead of " +
                       range(row.valid_min, row.valid_max, row.dephault);
            break;
        }
        case PF_Param_POPUP:
            if (def.u.pd.num_choices != row.num_choices || differ(def.u.pd.dephault, row.dephault))
                return std::to_string(def.u.pd.num_choices) + " choices, default " + std::to_string(def.u.pd.dephault) +
                       " instead of " + std::to_string(row.num_choices) + ", default " +
                       std::to_string(static_cast<int>(row.dephault));
            break;
        case PF_Param_CHECKBOX:
            if (differ(def.u.bd.dephault, row.dephault))
                return "default " + std::to_string(def.u.bd.dephault) + " instead of " +
                       std::to_string(static_cast<int>(row.dephault));
            break;
        case PF_Param_ANGLE:
            if (differ(def.u.ad.dephault / 65536.0, row.dephault))
                return "default " + std::to_string(def.u.ad.dephault / 65536.0) + " instead of " +
                       std::to_string(row.dephault);
            break;
        default: break;
    }
    return {};
}

void checkRegistration(const host::Host& host, bool premiere) {
    const int count = host.param_count();
    if (count != params::KRVN_NUM_PARAMS - 1)
        throw EffectError("the effect registered " + std::to_string(count) + " parameters; the CLI's table has " +
                          std::to_string(params::KRVN_NUM_PARAMS - 1));
    for (int index = 1; index <= count; ++index) {
        const ParamSpec& row = *params::FindParam(index, premiere);
        const std::string mismatch = describeMismatch(host.registered(index), row);
        if (!mismatch.empty())
            throw EffectError("the effect registered parameter " + std::to_string(index) + " (" + row.cli_name +
                              ") with " + mismatch + " from the CLI's table; rebuild both from the same sources");
    }
}

}  // namespace

std::string defaultEffectPath() {
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return "Korvane.so";
    return (self.parent_path() / "Korvane.so").string();
}

std::unique_ptr<host::Host> openEffect(const std::string& path, host::Personality personality) {
    if (!std::filesystem::exists(path))
        throw UsageError("cannot load effect '" + path + "': no such file (choose one with --effect PATH)");
    std::unique_ptr<host::Host> host;
    try {
        host = host::Host::Load(path, personality);
    } catch (const host::HostError& e) {
        throw UsageError("cannot load effect '" + path + "': " + e.what());
    }
    if (host->registration().result != PF_Err_NONE)
        throwEffectError(*host, host->registration().result, "registration");
    if (const PF_Err err = host->GlobalSetup(); err != PF_Err_NONE) throwEffectError(*host, err, "global set-up");
    if (const PF_Err err = host->ParamsSetup(); err != PF_Err_NONE) throwEffectError(*host, err, "parameter set-up");
    checkRegistration(*host, personality == host::Personality::Premiere);
    return host;
}

std::string logFilePath() { return platform::TempFolder() + "com.tsy.Korvane.log"; }

void throwEffectError(const host::Host& host, PF_Err err, const std::string& during) {
    std::string message = "effect error during " + during + ": " + sdk::ErrorText(err);
    const std::string detail = host.last_return_msg();
    if (!detail.empty()) message += ": " + detail;
    throw EffectError(message + "; log: " + logFilePath());
}

}  // namespace korvane::cli
