// The render commands: smart pre-render and smart render (After Effects), and the legacy render
// (Premiere Pro and hosts without smart render). Each hands the universal render its worlds, the
// frame's parameter record, the bit depth, the pixel format and the channel order.
#include "KRVN_Render.h"

#include <algorithm>
#include <array>
#include <new>
#include <string_view>
#include <vector>

#include "KRVN_Errors.h"
#include "KRVN_Params.h"
#include "LogsController.h"
#include "UniversalRender.h"
#include "korvane/sdk/SuiteHandler.h"
#include "korvane/sdk/Suites.h"
#include "params/ParamTable.h"
#include "sources/RenderState.h"

namespace korvane {
namespace {

// Premiere pixel formats, by their four characters in memory order.
struct PremiereFormatInfo {
    std::string_view formats[6];
    int bits;
    std::string_view layout;
};

constexpr std::array<PremiereFormatInfo, 14> kPremiereFormats{{
    {{"argb", "prgb", "xrgb"}, 8, "ARGB"},
    {{"Argb", "Prgb", "Xrgb"}, 16, "ARGB"},
    {{"ARgb", "PRgb", "XRgb", "ARgL", "PRgL", "XRgL"}, 32, "ARGB"},
    {{"bgra", "bgrp", "bgrx"}, 8, "BGRA"},
    {{"Bgra", "Bgrp", "Bgrx"}, 16, "BGRA"},
    {{"BGra", "BGrp", "BGrx", "BGaL", "BGpL", "BGxL"}, 32, "BGRA"},
    {{"vuya", "vuyp", "vuyx", "vup7", "vux7", "VUYA"}, 8, "VUYA"},
    {{"Vuya"}, 16, "VUYA"},
    {{"VUya", "VUyp", "VUyx", "VUp7", "VUx7", "vUYa"}, 32, "VUYA"},
    {{"uyvy", "uyv7"}, 8, "UYVY"},
    {{"UYvy", "UYv7"}, 32, "UYVY"},
    {{"yuy2", "yuy3"}, 8, "YUYV"},
    {{"v210", "v211", "RGB1"}, 10, "RGB"},
    {{"@PQ2", "@PQ7", "@PQP"}, 12, "RGB"},
}};

// Bits per channel and layout of a Premiere pixel format; 0 and "" for one not in the table.
std::pair<int, std::string_view> DescribePremiereFormat(PrPixelFormat format) {
    for (const PremiereFormatInfo& entry : kPremiereFormats) {
        for (std::string_view chars : entry.formats) {
            if (chars.size() == 4 && PR_PIXEL_FOURCC(chars[0], chars[1], chars[2], chars[3]) == format) {
                return {entry.bits, entry.layout};
            }
        }
    }
    return {0, ""};
}

// Grows `target` to hold `source`; an empty rectangle holds nothing.
void UnionRect(const PF_LRect& source, PF_LRect& target) {
    auto empty = [](const PF_LRect& r) { return r.left >= r.right || r.top >= r.bottom; };
    if (empty(source)) return;
    if (empty(target)) {
        target = source;
        return;
    }
    target.left = std::min(target.left, source.left);
    target.top = std::min(target.top, source.top);
    target.right = std::max(target.right, source.right);
    target.bottom = std::max(target.bottom, source.bottom);
}

void* GlobalData(const PF_OutData* out_data) {
    return out_data != nullptr && out_data->global_data != nullptr ? *out_data->global_data : nullptr;
}

// A parameter record in a host handle, locked while this object lives, disposed of at the end
// unless handed to the host.
class ParamsHandle {
public:
    explicit ParamsHandle(const PF_HandleSuite2* handles) : handles_(handles) {
        handle_ = handles_->host_new_handle(sizeof(KRVN_Params));
        if (handle_ == nullptr) return;
        void* memory = handles_->host_lock_handle(handle_);
        if (memory != nullptr) params_ = new (memory) KRVN_Params{};
    }
    ~ParamsHandle() {
        if (handle_ == nullptr) return;
        if (params_ != nullptr) handles_->host_unlock_handle(handle_);
        if (!handed_over_) handles_->host_dispose_handle(handle_);
    }
    ParamsHandle(const ParamsHandle&) = delete;
    ParamsHandle& operator=(const ParamsHandle&) = delete;

    KRVN_Params* params() const { return params_; }
    PF_Handle HandOver() {
        handed_over_ = true;
        return handle_;
    }

private:
    const PF_HandleSuite2* handles_;
    PF_Handle handle_ = nullptr;
    KRVN_Params* params_ = nullptr;
    bool handed_over_ = false;
};

// The automatic band smoothed over frames reads the input, and the trigger layer when one is in
// use, at the times of the frames on each side: k time steps from the frame's own, k = -n..n, 0 aside.
constexpr A_long kTriggerLayer = params::KRVN_TRIGGER_SOURCE;

A_long NeighbourTime(const PF_InData* in_data, int k) { return in_data->current_time + k * in_data->time_step; }

template <typename Fn>
void ForEachNeighbour(const KRVN_Params& params, Fn fn) {
    const int n = SmoothingFrames(params);
    for (int k = -n; k <= n; ++k) {
        if (k != 0) fn(k);
    }
}

// The pre-render's checkout id of neighbour k's input or trigger layer (0 is the frame's input).
A_long NeighbourCheckoutId(int k, bool trigger) { return 1000 + 2 * (k + 100) + (trigger ? 1 : 0); }

// Pre-render: the neighbours' layers checked out under their own ids (their rectangles add nothing
// to the frame's).
PF_Err CheckoutNeighbourLayers(PF_InData* in_data, PF_PreRenderExtra* extra, const KRVN_Params& params) {
    PF_RenderRequest request = extra->input->output_request;
    request.channel_mask = PF_ChannelMask_ARGB;
    PF_Err err = PF_Err_NONE;
    ForEachNeighbour(params, [&](int k) {
        for (const bool trigger : {false, true}) {
            if (err != PF_Err_NONE || (trigger && !params.has_trigger_source)) continue;
            PF_CheckoutResult checkout{};
            err = extra->cb->checkout_layer(in_data->effect_ref, trigger ? kTriggerLayer : 0,
                                            NeighbourCheckoutId(k, trigger), &request, NeighbourTime(in_data, k),
                                            in_data->time_step, in_data->time_scale, &checkout);
        }
    });
    if (log::Logged(err)) KRVN_LOG_ERROR("PreRender", "Can't checkout a neighbouring frame's layer " + ErrorText(err));
    return err;
}

}  // namespace

PF_Err PreRender(PF_InData* in_data, PF_OutData* out_data, PF_PreRenderExtra* extra) {
    SuiteCache suites(in_data->pica_basicP);

    PF_RenderRequest request = extra->input->output_request;
    request.channel_mask = PF_ChannelMask_ARGB;
    PF_CheckoutResult checkout{};
    const PF_Err err = extra->cb->checkout_layer(in_data->effect_ref, 0, 0, &request, in_data->current_time,
                                                 in_data->time_step, in_data->time_scale, &checkout);
    if (err != PF_Err_NONE) {
        if (log::Logged(err)) KRVN_LOG_ERROR("PreRender", "Can't checkout effect's layer " + ErrorText(err));
        return err;
    }
    UnionRect(checkout.result_rect, extra->output->result_rect);
    UnionRect(checkout.max_result_rect, extra->output->max_result_rect);

    ParamsHandle handle(suites.Get<PF_HandleSuite2>(kPFHandleSuite, kPFHandleSuiteVersion2));
    if (handle.params() == nullptr) {
        KRVN_LOG_ERROR("PreRender", "cannot allocate the parameter record " + ErrorText(PF_Err_OUT_OF_MEMORY));
        return PF_Err_OUT_OF_MEMORY;
    }
    PF_Err params_err = GetParams(in_data, out_data, handle.params());
    if (params_err == PF_Err_NONE) params_err = GetLook(in_data, &handle.params()->look);
    if (params_err != PF_Err_NONE) return params_err;
    if (const PF_Err neighbours_err = CheckoutNeighbourLayers(in_data, extra, *handle.params());
        neighbours_err != PF_Err_NONE)
        return neighbours_err;
    extra->output->pre_render_data = handle.HandOver();
    return PF_Err_NONE;
}

PF_Err SmartRender(PF_InData* in_data, PF_OutData* out_data, PF_SmartRenderExtra* extra) {
    SuiteCache suites(in_data->pica_basicP);
    const auto* handles = suites.Get<PF_HandleSuite2>(kPFHandleSuite, kPFHandleSuiteVersion2);

    auto data = static_cast<PF_Handle>(extra->input->pre_render_data);
    auto* params = data != nullptr ? static_cast<KRVN_Params*>(handles->host_lock_handle(data)) : nullptr;
    if (params == nullptr) return PF_Err_INTERNAL_STRUCT_DAMAGED;
    render::ScopeExit unlock([&] { handles->host_unlock_handle(data); });

    PF_EffectWorld* input = nullptr;
    PF_Err err = extra->cb->checkout_layer_pixels(in_data->effect_ref, 0, &input);
    if (err == PF_Interrupt_CANCEL) return err;
    if (err != PF_Err_NONE) {
        KRVN_LOG_ERROR("SmartRender", "PreRender: input world error " + ErrorText(err));
        KRVN_LOG_ERROR("SmartRender", "PreRender: output world error" + ErrorText(err));
        return err;
    }
    PF_Err checkin_err = PF_Err_NONE;
    {
        // The neighbours' pixels go back before the frame's input, every one that came out.
        std::vector<A_long> neighbour_ids;
        std::vector<NeighbourFrame> neighbours;
        render::ScopeExit checkin([&] {
            for (const A_long id : neighbour_ids) {
                const PF_Err neighbour_err = extra->cb->checkin_layer_pixels(in_data->effect_ref, id);
                if (checkin_err == PF_Err_NONE) checkin_err = neighbour_err;
            }
            const PF_Err input_err = extra->cb->checkin_layer_pixels(in_data->effect_ref, 0);
            if (checkin_err == PF_Err_NONE) checkin_err = input_err;
        });
        try {
            neighbour_ids.reserve(4 * static_cast<size_t>(SmoothingFrames(*params)));
            neighbours.reserve(neighbour_ids.capacity());
        } catch (const std::bad_alloc&) {
            return PF_Err_OUT_OF_MEMORY;
        }
        ForEachNeighbour(*params, [&](int k) {
            NeighbourFrame& frame = neighbours.emplace_back();
            for (const bool trigger : {false, true}) {
                if (err != PF_Err_NONE || (trigger && !params->has_trigger_source)) continue;
                const A_long id = NeighbourCheckoutId(k, trigger);
                err = extra->cb->checkout_layer_pixels(in_data->effect_ref, id,
                                                       trigger ? &frame.trigger : &frame.input);
                if (err == PF_Err_NONE) neighbour_ids.push_back(id);
            }
        });
        if (err != PF_Err_NONE) {
            if (log::Logged(err)) KRVN_LOG_ERROR("SmartRender", "a neighbouring frame's world error " + ErrorText(err));
            return err;
        }

        PF_EffectWorld* output = nullptr;
        err = extra->cb->checkout_output(in_data->effect_ref, &output);
        if (err != PF_Err_NONE) {
            if (log::Logged(err)) KRVN_LOG_ERROR("SmartRender", "PreRender: output world error" + ErrorText(err));
            return err;
        }

        const int bit_depth = extra->input->bitdepth;
        PF_PixelFormat format = 0;
        switch (bit_depth) {
            case 8: format = PF_PixelFormat_ARGB32; break;
            case 16: format = PF_PixelFormat_ARGB64; break;
            case 32: format = PF_PixelFormat_ARGB128; break;
            default:
                KRVN_LOG_ERROR("SmartRender", "Unsupported bit depth " + std::to_string(bit_depth) + " " +
                                                  ErrorText(PF_Err_BAD_CALLBACK_PARAM));
                return PF_Err_BAD_CALLBACK_PARAM;
        }
        err = UniversalRender(in_data, input, out_data, output, params, bit_depth, format, false, GlobalData(out_data),
                              neighbours);
    }
    return err != PF_Err_NONE ? err : checkin_err;
}

PF_Err LegacyRender(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[], PF_LayerDef* output) {
    SuiteCache suites(in_data->pica_basicP);
    PF_LayerDef* input = params != nullptr && params[0] != nullptr ? &params[0]->u.ld : nullptr;

    // The record stays locked for the frame and is disposed of after it.
    ParamsHandle handle(suites.Get<PF_HandleSuite2>(kPFHandleSuite, kPFHandleSuiteVersion2));
    if (handle.params() == nullptr) {
        KRVN_LOG_ERROR("LegacyRender", "cannot allocate the parameter record " + ErrorText(PF_Err_OUT_OF_MEMORY));
        return PF_Err_OUT_OF_MEMORY;
    }
    PF_Err params_err = GetParams(in_data, out_data, handle.params());
    if (params_err == PF_Err_NONE) params_err = GetLook(in_data, &handle.params()->look);

    int bit_depth = 8;
    PF_PixelFormat format = PF_PixelFormat_ARGB32;
    bool bgra = false;
    if (IsPremiere(in_data)) {
        ScopedSuite<PF_PixelFormatSuite1> pixel_formats(in_data, out_data, kPFPixelFormatSuite,
                                                        kPFPixelFormatSuiteVersion1);
        PrPixelFormat premiere_format = 0;
        if (output != nullptr) pixel_formats->GetPixelFormat(output, &premiere_format);
        const auto [bits, layout] = DescribePremiereFormat(premiere_format);
        bit_depth = bits;
        bgra = layout != "ARGB";
        format = premiere_format;
    } else if (output != nullptr && (output->world_flags & PF_WorldFlag_DEEP)) {
        // A deep-colour host may send 16-bit worlds to the legacy render too: reading them as 8-bit
        // wrote half-width pixels over the output.
        bit_depth = 16;
        format = PF_PixelFormat_ARGB64;
    } else {
        log::LogLine("Rendering in an old version of AE. Using 8bits");
    }

    if (params_err != PF_Err_NONE) return params_err;

    // The neighbours' layers through checkout_param, each checked in after the render.
    const KRVN_Params& record = *handle.params();
    std::vector<PF_ParamDef> defs;
    std::vector<NeighbourFrame> neighbours;
    try {
        defs.reserve(4 * static_cast<size_t>(SmoothingFrames(record)));  // addresses stay put
        neighbours.reserve(defs.capacity());
    } catch (const std::bad_alloc&) {
        return PF_Err_OUT_OF_MEMORY;
    }
    PF_Err err = PF_Err_NONE;
    PF_Err checkin_err = PF_Err_NONE;
    {
        render::ScopeExit checkin([&] {
            for (PF_ParamDef& def : defs) {
                const PF_Err def_err = in_data->inter.checkin_param(in_data->effect_ref, &def);
                if (checkin_err == PF_Err_NONE) checkin_err = def_err;
            }
        });
        ForEachNeighbour(record, [&](int k) {
            NeighbourFrame& frame = neighbours.emplace_back();
            for (const bool trigger : {false, true}) {
                if (err != PF_Err_NONE || (trigger && !record.has_trigger_source)) continue;
                PF_ParamDef& def = defs.emplace_back();
                err = in_data->inter.checkout_param(in_data->effect_ref, trigger ? kTriggerLayer : 0,
                                                    NeighbourTime(in_data, k), in_data->time_step, in_data->time_scale,
                                                    &def);
                if (err != PF_Err_NONE) {
                    defs.pop_back();  // nothing to check in
                } else {
                    (trigger ? frame.trigger : frame.input) = &def.u.ld;
                }
            }
        });
        if (err != PF_Err_NONE) {
            if (log::Logged(err))
                KRVN_LOG_ERROR("LegacyRender", "cannot checkout a neighbouring frame " + ErrorText(err));
            return err;
        }
        err = UniversalRender(in_data, input, out_data, output, handle.params(), bit_depth, format, bgra,
                              GlobalData(out_data), neighbours);
    }
    return err != PF_Err_NONE ? err : checkin_err;
}

}  // namespace korvane
