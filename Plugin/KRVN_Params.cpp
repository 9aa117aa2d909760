// Parameter registration and GetParams: the 48 parameters of the table, and their values for one
// frame read into KRVN_Params together with the closed masks that constrain the effect; GetLook:
// the look table's values from our host's look suite.
#include "KRVN_Params.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "KRVN.h"
#include "LogsController.h"
#include "korvane/sdk/LookSuite.h"
#include "korvane/sdk/SuiteHandler.h"
#include "params/LookTable.h"
#include "params/ParamTable.h"

namespace korvane {
namespace {

using params::ParamSpec;

// A definition for add_param from its table row, starting from a zero-cleared record.
PF_ParamDef MakeDefinition(const ParamSpec& row) {
    PF_ParamDef def;
    std::memset(&def, 0, sizeof def);
    def.param_type = row.type;
    def.uu.id = row.id;
    // Bounded copy; the record was cleared, so the last byte stays NUL.
    std::memcpy(def.name, row.name_gbk, std::min(std::strlen(row.name_gbk), sizeof def.name - 1));
    def.flags = row.flags;
    def.ui_flags = row.ui_flags;
    switch (row.type) {
        case PF_Param_FLOAT_SLIDER: {
            PF_FloatSliderDef& fs = def.u.fs_d;
            fs.valid_min = fs.slider_min = static_cast<PF_FpShort>(row.valid_min);
            fs.valid_max = fs.slider_max = static_cast<PF_FpShort>(row.valid_max);
            fs.value = row.dephault;
            fs.dephault = static_cast<PF_FpShort>(row.dephault);
            fs.precision = row.precision;
            fs.display_flags = row.display_flags;
            fs.curve_tolerance = params::kCurveTolerance;
            break;
        }
        case PF_Param_SLIDER: {
            PF_SliderDef& sd = def.u.sd;
            sd.valid_min = sd.slider_min = static_cast<A_long>(row.valid_min);
            sd.valid_max = sd.slider_max = static_cast<A_long>(row.valid_max);
            sd.value = sd.dephault = static_cast<A_long>(row.dephault);
            break;
        }
        case PF_Param_POPUP:
            def.u.pd.num_choices = row.num_choices;
            def.u.pd.value = static_cast<A_long>(row.dephault);
            def.u.pd.dephault = static_cast<A_short>(row.dephault);
            def.u.pd.u.namesptr = row.items_gbk;
            break;
        case PF_Param_ANGLE: def.u.ad.value = def.u.ad.dephault = static_cast<PF_Fixed>(row.dephault * 65536.0); break;
        case PF_Param_CHECKBOX:
            def.u.bd.value = def.u.bd.dephault = static_cast<A_long>(row.dephault);
            def.u.bd.u.nameptr = row.label_gbk;
            break;
        case PF_Param_BUTTON: def.u.button_d.u.namesptr = row.label_gbk; break;
        default:  // layers (default: none), paths (default: no path), group starts and ends
            break;
    }
    return def;
}

// Degrees from the 16.16 fixed value, as the remainder modulo 360 (keeping the sign).
double FixedDegreesModTurn(PF_Fixed value) { return std::fmod(static_cast<double>(value) * (1.0 / 65536.0), 360.0); }

// Values the host hands over are checked before use: a popup outside its items or a float slider
// that is not a number is replaced by the default and reported; other values are clamped into range.
class Reader {
public:
    explicit Reader(const std::array<PF_ParamDef, params::KRVN_NUM_PARAMS>& defs) : defs_(defs) {}

    PF_Err error() const { return error_; }

    int32_t Popup(int index) {
        const ParamSpec& row = params::kParams[static_cast<std::size_t>(index - 1)];
        const A_long value = defs_[static_cast<std::size_t>(index)].u.pd.value;
        if (value < row.valid_min || value > row.valid_max) {
            Report(index, row, std::to_string(value));
            return static_cast<int32_t>(row.dephault);
        }
        return value;
    }

    // The host's double narrowed to float, or the finite double for callers that truncate.
    double SliderDouble(int index) {
        const ParamSpec& row = params::kParams[static_cast<std::size_t>(index - 1)];
        const double value = defs_[static_cast<std::size_t>(index)].u.fs_d.value;
        if (std::isnan(value)) {
            Report(index, row, "NaN");
            return row.dephault;
        }
        return std::clamp(value, row.valid_min, row.valid_max);
    }
    float Slider(int index) { return static_cast<float>(SliderDouble(index)); }
    float Percent(int index) { return Slider(index) * 0.01f; }

    int32_t IntSlider(int index) {
        const ParamSpec& row = params::kParams[static_cast<std::size_t>(index - 1)];
        const double low = std::min(row.valid_min, row.dephault);  // a default may sit below the range
        const A_long value = defs_[static_cast<std::size_t>(index)].u.sd.value;
        return static_cast<int32_t>(std::clamp<double>(value, low, row.valid_max));
    }

    bool Checkbox(int index) const { return defs_[static_cast<std::size_t>(index)].u.bd.value != 0; }
    PF_Fixed Angle(int index) const { return defs_[static_cast<std::size_t>(index)].u.ad.value; }

private:
    void Report(int index, const ParamSpec& row, const std::string& value) {
        KRVN_LOG_ERROR("GetParams", "parameter " + std::to_string(index) + " (" + row.cli_name + ") has value " +
                                        value + ", outside its range; the default is used");
        if (error_ == PF_Err_NONE) error_ = PF_Err_BAD_CALLBACK_PARAM;
    }

    const std::array<PF_ParamDef, params::KRVN_NUM_PARAMS>& defs_;
    PF_Err error_ = PF_Err_NONE;
};

// Checks a path out at the current time and tells whether it is closed; checks it in unchanged.
PF_Err PathIsClosed(PF_InData* in_data, SuiteCache& suites, PF_PathID id, bool* closed) {
    *closed = false;
    const auto* query = suites.Get<PF_PathQuerySuite1>(kPFPathQuerySuite, kPFPathQuerySuiteVersion1);
    const auto* data = suites.Get<PF_PathDataSuite1>(kPFPathDataSuite, kPFPathDataSuiteVersion1);
    PF_PathOutlinePtr path = nullptr;
    PF_Err err = query->PF_CheckoutPath(in_data->effect_ref, id, in_data->current_time, in_data->time_step,
                                        in_data->time_scale, &path);
    if (err != PF_Err_NONE) return err;
    PF_Boolean open = true;  // taken as open when the host does not answer
    if (path != nullptr) err = data->PF_PathIsOpen(in_data->effect_ref, path, &open);
    const PF_Err checkin_err = query->PF_CheckinPath(in_data->effect_ref, id, false, path);
    if (err == PF_Err_NONE) err = checkin_err;
    *closed = err == PF_Err_NONE && !open;
    return err;
}

// Every closed mask of the layer, in mask order; stops at the first error.
PF_Err CollectAllClosedMasks(PF_InData* in_data, SuiteCache& suites, AEGP_LayerH layer, std::vector<A_long>* ids) {
    const auto* masks5 = suites.Get<AEGP_LayerMaskSuite5>(kAEGPLayerMaskSuite, kAEGPLayerMaskSuiteVersion5);
    A_long count = 0;
    PF_Err err = masks5->AEGP_GetLayerNumMasks(layer, &count);
    for (A_long index = 0; err == PF_Err_NONE && index < count; ++index) {
        AEGP_MaskRefH mask = nullptr;
        err = masks5->AEGP_GetLayerMaskByIndex(layer, index, &mask);
        if (err != PF_Err_NONE) break;
        AEGP_MaskIDVal id = 0;
        if (mask != nullptr) {
            struct MaskGuard {
                const AEGP_LayerMaskSuite5* suite;
                AEGP_MaskRefH mask;
                A_Err* result;
                ~MaskGuard() {
                    const A_Err dispose_err = suite->AEGP_DisposeMask(mask);
                    if (*result == A_Err_NONE) *result = dispose_err;
                }
            } guard{masks5, mask, &err};
            const auto* masks7 = suites.Get<AEGP_LayerMaskSuite7>(kAEGPLayerMaskSuite, kAEGPLayerMaskSuiteVersion7);
            err = masks7->AEGP_GetMaskID(mask, &id);
        }
        if (err != PF_Err_NONE) break;
        if (id == 0) continue;
        bool closed = false;
        err = PathIsClosed(in_data, suites, static_cast<PF_PathID>(id), &closed);
        if (err == PF_Err_NONE && closed) ids->push_back(id);
    }
    return err;
}

// The ids of the closed masks that constrain the effect (After Effects only).
PF_Err CollectMasks(PF_InData* in_data, PF_OutData* out_data,
                    const std::array<PF_ParamDef, params::KRVN_NUM_PARAMS>& defs, std::vector<A_long>* ids) {
    {
        // Only its presence matters here; the constraint mask acquires it again to draw.
        const ReportedSuite<PF_MaskSuite1> mask_suite(in_data, out_data, kPFMaskSuite, kPFMaskSuiteVersion1,
                                                      "Could not load Mask suite");
        if (const PF_Err err = mask_suite.result()) return err;
    }

    ScopedSuite<AEGP_PFInterfaceSuite1> pf_interface(in_data, out_data, kAEGPPFInterfaceSuite,
                                                     kAEGPPFInterfaceSuiteVersion1);
    SuiteCache suites(in_data->pica_basicP);
    AEGP_LayerH layer = nullptr;
    PF_Err err = pf_interface->AEGP_GetEffectLayer(in_data->effect_ref, &layer);
    if (err != PF_Err_NONE) return err;

    if (defs[params::KRVN_USE_ALL_MASKS].u.bd.value != 0) return CollectAllClosedMasks(in_data, suites, layer, ids);

    const PF_PathID chosen = defs[params::KRVN_MASK].u.path_d.path_id;
    if (chosen == 0) return PF_Err_NONE;
    bool closed = false;
    err = PathIsClosed(in_data, suites, chosen, &closed);
    if (err == PF_Err_NONE && closed) ids->push_back(static_cast<A_long>(chosen));
    return err;
}

// The frame's size relative to full size, from in_data's downsample factors (the mean of the two
// sides); 1 for factors that are missing, not positive or above 1.
double DownsampleScale(const PF_InData& in_data) {
    auto factor = [](const PF_RationalScale& r) {
        if (r.den == 0 || r.num <= 0 || static_cast<A_u_long>(r.num) >= r.den) return 1.0;
        return static_cast<double>(r.num) / static_cast<double>(r.den);
    };
    return std::sqrt(factor(in_data.downsample_x) * factor(in_data.downsample_y));
}

void FillRecord(Reader& read, bool premiere, const std::array<PF_ParamDef, params::KRVN_NUM_PARAMS>& defs,
                const std::vector<A_long>& mask_ids, KRVN_Params* p) {
    using namespace params;
    p->trigger = read.Popup(KRVN_TRIGGER);
    p->effect = read.Popup(KRVN_EFFECT);
    p->sort_key = read.Popup(KRVN_SORT_KEY);
    p->mode = read.Popup(KRVN_MODE);
    p->blur = static_cast<int32_t>(read.SliderDouble(KRVN_BLUR));  // truncated toward zero
    p->random_seed = read.IntSlider(KRVN_RANDOM_SEED);
    p->angle = static_cast<float>(FixedDegreesModTurn(read.Angle(KRVN_ANGLE)));
    p->threshold_low = read.Slider(KRVN_THRESHOLD_LOW);
    p->threshold_high = read.Slider(KRVN_THRESHOLD_HIGH);
    p->feather_start = read.Percent(KRVN_FEATHER_START);
    p->feather_end = read.Percent(KRVN_FEATHER_END);
    p->resolution = read.Percent(KRVN_RESOLUTION);
    p->animate_growth = read.Percent(KRVN_ANIMATE_GROWTH);
    p->offset = read.Percent(KRVN_OFFSET);
    p->random_offset = read.Percent(KRVN_RANDOM_OFFSET);
    p->loop = static_cast<float>(FixedDegreesModTurn(read.Angle(KRVN_LOOP)) * (1.0 / 360.0));
    p->block_width = read.Percent(KRVN_BLOCK_WIDTH);
    p->block_height = read.Percent(KRVN_BLOCK_HEIGHT);
    p->pop = read.Percent(KRVN_POP);
    p->const_zero = 0.0f;
    p->const_one = 1.0f;
    p->noise_amount = read.Percent(KRVN_NOISE_AMOUNT);
    p->noise_size = read.Percent(KRVN_NOISE_SIZE);
    p->stretch = read.Checkbox(KRVN_STRETCH);
    p->stretch_factor = read.Slider(KRVN_STRETCH_FACTOR);
    p->priority = read.Popup(KRVN_PRIORITY);
    p->noise_complexity = read.IntSlider(KRVN_NOISE_COMPLEXITY);
    p->noise_seed = read.IntSlider(KRVN_NOISE_SEED);
    p->fill = read.Checkbox(KRVN_FILL);
    p->reverse = read.Checkbox(KRVN_REVERSE);
    p->mirror = read.Checkbox(KRVN_MIRROR);
    p->preserve_alpha = read.Checkbox(KRVN_PRESERVE_ALPHA);
    p->affect_background = read.Checkbox(KRVN_AFFECT_BACKGROUND);

    std::fill(std::begin(p->mask_ids), std::end(p->mask_ids), 0);
    const std::size_t kept = std::min<std::size_t>(mask_ids.size(), KRVN_MAX_MASKS);
    std::copy_n(mask_ids.begin(), kept, p->mask_ids);
    p->has_masks = kept > 0;
    p->has_trigger_source = !premiere && defs[KRVN_TRIGGER_SOURCE].u.ld.data != nullptr;
    p->has_sort_source = !premiere && defs[KRVN_SORT_SOURCE].u.ld.data != nullptr;
}

// A look value from the suite in its row's units: the default when it is not a number, else
// clamped into the range, whole numbers rounded for integer sliders, popups and checkboxes.
double LookValue(const ParamSpec& row, double value) {
    if (!std::isfinite(value)) return row.dephault;
    value = std::clamp(value, row.valid_min, row.valid_max);
    return row.type == PF_Param_FLOAT_SLIDER || row.type == PF_Param_ANGLE ? value : std::round(value);
}

// The look values, indexed by look index − KRVN_LOOK_FIRST, into the record's units.
void FillLook(const std::array<double, params::kLookCount>& values, KRVN_Look* look) {
    using namespace params;
    auto at = [&](int index) {
        return LookValue(*FindLook(index), values[static_cast<std::size_t>(index - KRVN_LOOK_FIRST)]);
    };
    auto real = [&](int index) { return static_cast<float>(at(index)); };
    auto whole = [&](int index) { return static_cast<int32_t>(at(index)); };
    auto percent = [&](int index) { return static_cast<float>(at(index) / 100.0); };
    look->interval = whole(KRVN_INTERVAL);
    look->edge_level = real(KRVN_EDGE_LEVEL);
    look->edge_scale = real(KRVN_EDGE_SCALE);
    look->span_length = real(KRVN_SPAN_LENGTH);
    look->span_seed = whole(KRVN_SPAN_SEED);
    look->wave_length = real(KRVN_WAVE_LENGTH);
    look->wave_amplitude = percent(KRVN_WAVE_AMPLITUDE);
    look->wave_phase = real(KRVN_WAVE_PHASE);
    look->wave_drift = real(KRVN_WAVE_DRIFT);
    look->auto_threshold = whole(KRVN_AUTO_THRESHOLD) != 0;
    look->auto_low = percent(KRVN_AUTO_LOW);
    look->auto_high = percent(KRVN_AUTO_HIGH);
    look->auto_smooth = whole(KRVN_AUTO_SMOOTH);
    look->path = whole(KRVN_PATH);
    look->centre_x = percent(KRVN_CENTRE_X);
    look->centre_y = percent(KRVN_CENTRE_Y);
}

}  // namespace

PF_Err ParamsSetup(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef*[], PF_LayerDef*) {
    if (in_data == nullptr || out_data == nullptr || in_data->inter.add_param == nullptr) {
        return PF_Err_BAD_CALLBACK_PARAM;
    }
    const bool premiere = IsPremiere(in_data);
    for (int index = 1; index < params::KRVN_NUM_PARAMS; ++index) {
        PF_ParamDef def = MakeDefinition(*params::FindParam(index, premiere));
        if (PF_Err err = PF_ADD_PARAM(in_data, -1, &def)) return err;
    }
    out_data->num_params = params::KRVN_NUM_PARAMS;
    return PF_Err_NONE;
}

PF_Err GetParams(PF_InData* in_data, PF_OutData* out_data, KRVN_Params* record) {
    if (in_data == nullptr || record == nullptr || in_data->inter.checkout_param == nullptr ||
        in_data->inter.checkin_param == nullptr) {
        KRVN_LOG_ERROR("GetParams", "called without in_data, a record or the checkout callbacks");
        return PF_Err_BAD_CALLBACK_PARAM;
    }

    std::array<PF_ParamDef, params::KRVN_NUM_PARAMS> defs;
    std::memset(defs.data(), 0, sizeof(PF_ParamDef) * defs.size());
    struct CheckinGuard {
        PF_InData* in_data;
        std::array<PF_ParamDef, params::KRVN_NUM_PARAMS>& defs;
        int checked_out = 0;
        ~CheckinGuard() {
            for (int index = 1; index <= checked_out; ++index)
                PF_CHECKIN_PARAM(in_data, &defs[static_cast<std::size_t>(index)]);
        }
    } guard{in_data, defs};

    for (int index = 1; index < params::KRVN_NUM_PARAMS; ++index) {
        const PF_Err err = PF_CHECKOUT_PARAM(in_data, index, in_data->current_time, in_data->time_step,
                                             in_data->time_scale, &defs[static_cast<std::size_t>(index)]);
        if (err != PF_Err_NONE) return err;
        guard.checked_out = index;
    }

    const bool premiere = IsPremiere(in_data);
    std::vector<A_long> mask_ids;
    PF_Err err = PF_Err_NONE;
    if (!premiere) err = CollectMasks(in_data, out_data, defs, &mask_ids);

    Reader read(defs);
    FillRecord(read, premiere, defs, mask_ids, record);
    // A host that renders a downsampled preview says so in in_data: what the effect measures in
    // pixels (the blur radius, the noise's features) shrinks with the frame, so that the preview
    // looks like the full-size render. At full size nothing changes.
    const double scale = DownsampleScale(*in_data);
    if (scale != 1.0) {
        record->pixel_scale = static_cast<float>(scale);
        record->blur = static_cast<int32_t>(read.SliderDouble(params::KRVN_BLUR) * scale);
    }
    return err != PF_Err_NONE ? err : read.error();
}

PF_Err GetLook(PF_InData* in_data, KRVN_Look* look) {
    *look = KRVN_Look{};
    const SPBasicSuite* basic = in_data != nullptr ? in_data->pica_basicP : nullptr;
    if (basic == nullptr || basic->AcquireSuite == nullptr) return PF_Err_NONE;
    const void* acquired = nullptr;
    if (basic->AcquireSuite(kKorvaneLookSuite, kKorvaneLookSuiteVersion1, &acquired) != kSPNoError) {
        return PF_Err_NONE;  // another host: the registered looks alone
    }
    struct Release {
        const SPBasicSuite* basic;
        ~Release() {
            if (basic->ReleaseSuite != nullptr) basic->ReleaseSuite(kKorvaneLookSuite, kKorvaneLookSuiteVersion1);
        }
    } release{basic};
    const auto* suite = static_cast<const KRVN_LookSuite1*>(acquired);
    if (suite == nullptr || suite->look_values == nullptr) return PF_Err_NONE;

    std::array<double, params::kLookCount> values{};
    const PF_Err err = suite->look_values(in_data->effect_ref, params::KRVN_LOOK_FIRST, params::kLookCount,
                                          values.data());
    if (err != PF_Err_NONE) return err;
    FillLook(values, look);
    return PF_Err_NONE;
}

}  // namespace korvane
