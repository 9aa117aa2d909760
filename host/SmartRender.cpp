// Frame renders: the smart path (pre-render with checkout_layer, then smart render with the
// layer-pixel and output callbacks and the pre-render data) and the legacy PF_Cmd_RENDER.
#include <algorithm>

#include "CallbackEntry.h"
#include "HostState.h"

namespace korvane::host {

namespace {

PF_LRect Intersect(const PF_LRect& a, const PF_LRect& b) {
    PF_LRect r{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
               std::min(a.bottom, b.bottom)};
    if (r.left >= r.right || r.top >= r.bottom) r = PF_LRect{};
    return r;
}

PF_Err CheckoutLayer(PF_ProgPtr ref, A_long index, A_long checkout_id, const PF_RenderRequest* req, A_long what_time,
                     A_long /*time_step*/, A_u_long time_scale, PF_CheckoutResult* result) {
    const auto [ctx, entry_err] = EnterCall(ref, "checkout_layer");
    if (entry_err) return entry_err;
    Host::State& host = *ctx->host;
    if (!result || !ctx->frame || ctx->cmd != PF_Cmd_SMART_PRE_RENDER) return PF_Err_BAD_CALLBACK_PARAM;
    if (index < 0 || index >= static_cast<A_long>(host.params.size())) return PF_Err_INVALID_INDEX;
    if (host.params[index].def.param_type != PF_Param_LAYER) return PF_Err_BAD_CALLBACK_PARAM;

    const double seconds = host.Seconds(what_time, time_scale);
    const int layer_id = index == 0 ? kInputLayer : host.LayerAt(index, seconds);
    const PF_LRect bounds = host.LayerBounds(*ctx, layer_id);
    *result = PF_CheckoutResult{};
    result->max_result_rect = bounds;
    result->result_rect = req ? Intersect(req->rect, bounds) : bounds;
    result->par = {1, 1};
    result->ref_width = bounds.right;
    result->ref_height = bounds.bottom;
    LayerCheckout& checkout = ctx->frame->checkouts[checkout_id];
    checkout = LayerCheckout{};
    checkout.layer_id = layer_id;
    checkout.other_time = host.OtherTime(*ctx, seconds);
    ++ctx->frame->report->layer_checkouts;
    return PF_Err_NONE;
}

PF_Err CheckoutLayerPixels(PF_ProgPtr ref, A_long checkout_id, PF_EffectWorld** pixels) {
    const auto [ctx, entry_err] = EnterCall(ref, "checkout_layer_pixels");
    if (entry_err) return entry_err;
    if (!pixels || !ctx->frame || ctx->cmd != PF_Cmd_SMART_RENDER) return PF_Err_BAD_CALLBACK_PARAM;
    *pixels = nullptr;
    const auto it = ctx->frame->checkouts.find(checkout_id);
    if (it == ctx->frame->checkouts.end()) return PF_Err_BAD_CALLBACK_PARAM;  // not checked out at pre-render
    LayerCheckout& checkout = it->second;
    if (!checkout.world.data) {
        try {
            checkout.world = ctx->host->LayerPixels(*ctx, checkout.layer_id, checkout.converted, checkout.other_time);
        } catch (const std::exception&) {
            return PF_Err_INTERNAL_STRUCT_DAMAGED;  // the input provider failed
        }
    }
    if (checkout.world.data) *pixels = &checkout.world;
    checkout.pixels_out = true;
    ++ctx->frame->report->layer_pixel_checkouts;
    return PF_Err_NONE;
}

PF_Err CheckinLayerPixels(PF_ProgPtr ref, A_long checkout_id) {
    const auto [ctx, entry_err] = EnterCall(ref, "checkin_layer_pixels");
    if (entry_err) return entry_err;
    if (!ctx->frame || ctx->cmd != PF_Cmd_SMART_RENDER) return PF_Err_BAD_CALLBACK_PARAM;
    const auto it = ctx->frame->checkouts.find(checkout_id);
    if (it == ctx->frame->checkouts.end()) return PF_Err_BAD_CALLBACK_PARAM;
    it->second.pixels_out = false;
    ++ctx->frame->report->layer_pixel_checkins;
    return PF_Err_NONE;
}

PF_Err CheckoutOutput(PF_ProgPtr ref, PF_EffectWorld** output) {
    const auto [ctx, entry_err] = EnterCall(ref, "checkout_output");
    if (entry_err) return entry_err;
    if (!output || !ctx->frame || ctx->cmd != PF_Cmd_SMART_RENDER || !ctx->output) return PF_Err_BAD_CALLBACK_PARAM;
    std::lock_guard lock(ctx->mutex);
    *output = &ctx->handed_worlds.emplace_back(*ctx->output);
    ++ctx->frame->report->output_checkouts;
    return PF_Err_NONE;
}

void CheckRenderWorlds(int depth, const World& input, const World& output) {
    if (depth != 8 && depth != 16 && depth != 32) {
        throw HostError("render depth must be 8, 16 or 32, not " + std::to_string(depth));
    }
    if (input.empty() || output.empty()) throw HostError("render needs an input and an output world");
    if (input.depth() != depth || output.depth() != depth || input.order() != ChannelOrder::ARGB ||
        output.order() != ChannelOrder::ARGB) {
        throw HostError("smart render worlds must be ARGB at the render depth " + std::to_string(depth));
    }
    if (input.width() != output.width() || input.height() != output.height()) {
        throw HostError("smart render input and output must have the same size");
    }
}

}  // namespace

const PF_PreRenderCallbacks kPreRenderCallbacks = {&CheckoutLayer};
const PF_SmartRenderCallbacks kSmartRenderCallbacks = {&CheckoutLayerPixels, &CheckinLayerPixels, &CheckoutOutput};

PF_Err Host::RenderSmart(double time, int depth, const World& input, World& output, SmartRenderReport* report) {
    CheckRenderWorlds(depth, input, output);
    State& s = *state_;
    SmartRenderReport local;
    SmartRenderReport& rep = report ? *report : local;
    rep = SmartRenderReport{};
    FrameState frame;
    frame.report = &rep;
    const PF_EffectWorld input_def = *input.pf();
    const WorldFormat format{depth, ChannelOrder::ARGB, 0};

    PF_RenderRequest request{};
    request.rect = s.request.value_or(PF_LRect{0, 0, input.width(), input.height()});
    request.field = PF_Field_FRAME;
    request.channel_mask = PF_ChannelMask_ARGB;

    PF_PreRenderInput pre_input{};
    pre_input.output_request = request;
    pre_input.bitdepth = static_cast<A_short>(depth);
    PF_PreRenderOutput pre_output{};
    PF_PreRenderCallbacks pre_cb = kPreRenderCallbacks;
    PF_PreRenderExtra pre_extra{&pre_input, &pre_output, &pre_cb};
    {
        CallContext ctx;
        ctx.depth = depth;
        ctx.layer_format = format;
        ctx.input = &input_def;
        ctx.frame = &frame;
        s.BeginCall(ctx, PF_Cmd_SMART_PRE_RENDER, time);
        rep.pre_render = s.Dispatch(ctx, nullptr, &pre_extra);
        s.FinishCall(ctx, rep.pre_render);
    }
    rep.pre_render_output = pre_output;
    PF_Err result = rep.pre_render;

    if (result == PF_Err_NONE) {
        PF_SmartRenderInput render_input{};
        render_input.output_request = request;
        render_input.bitdepth = static_cast<A_short>(depth);
        render_input.pre_render_data = pre_output.pre_render_data;
        PF_SmartRenderCallbacks render_cb = kSmartRenderCallbacks;
        PF_SmartRenderExtra render_extra{&render_input, &render_cb};
        CallContext ctx;
        ctx.depth = depth;
        ctx.layer_format = format;
        ctx.input = &input_def;
        ctx.output = output.pf();
        ctx.frame = &frame;
        s.BeginCall(ctx, PF_Cmd_SMART_RENDER, time);
        rep.render = s.Dispatch(ctx, nullptr, &render_extra);
        rep.rendered = true;
        // Layer pixels left checked out are released with the frame, as a real host does.
        const auto open = std::count_if(frame.checkouts.begin(), frame.checkouts.end(),
                                        [](const auto& c) { return c.second.pixels_out; });
        {
            std::lock_guard lock(s.mutex);
            s.open_layer_checkouts += static_cast<int>(open);
        }
        s.FinishCall(ctx, rep.render);
        result = rep.render;
    }

    // The host owns the pre-render data once the effect hands it over, and frees it after the frame.
    if (void* data = pre_output.pre_render_data) {
        CallContext cleanup;
        cleanup.host = &s;
        LiveCall live(cleanup);
        if (pre_output.delete_pre_render_data_func) {
            pre_output.delete_pre_render_data_func(data);
            rep.pre_render_data_disposed = true;
        } else if (s.DisposeHandle(static_cast<PF_Handle>(data)) == PF_Err_NONE) {
            rep.pre_render_data_disposed = true;
        }
    }
    return result;
}

PF_Err Host::RenderLegacy(double time, const World& input, World& output) {
    if (input.empty() || output.empty()) throw HostError("render needs an input and an output world");
    State& s = *state_;
    const PF_EffectWorld input_def = *input.pf();
    PF_EffectWorld output_def = *output.pf();
    CallContext ctx;
    ctx.depth = output.depth();
    ctx.layer_format = output.format();
    ctx.input = &input_def;
    ctx.output = &output_def;
    s.BeginCall(ctx, PF_Cmd_RENDER, time);
    const PF_Err err = s.Dispatch(ctx, &output_def, nullptr);
    s.FinishCall(ctx, err);
    return err;
}

}  // namespace korvane::host
