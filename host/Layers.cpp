// Layers of the composition (the input layer and image layers) and the masks each one holds.
#include <algorithm>

#include "HostState.h"

namespace korvane::host {

namespace {

Layer& FindLayer(Host::State& s, int id) {
    if (id < 0 || id >= static_cast<int>(s.layers.size())) throw HostError("no layer " + std::to_string(id));
    return s.layers[id];
}

}  // namespace

int Host::AddLayer(World pixels) {
    if (pixels.empty()) throw HostError("a layer needs pixels");
    Layer& layer = state_->layers.emplace_back();
    layer.host = state_.get();
    layer.id = static_cast<int>(state_->layers.size()) - 1;
    layer.pixels = std::move(pixels);
    return layer.id;
}

World& Host::layer(int id) {
    if (id < 1) throw HostError("the input layer's pixels come with each render");
    return FindLayer(*state_, id).pixels;
}

AEGP_MaskIDVal Host::AddMask(const Mask& mask, int layer_id) {
    Layer& layer = FindLayer(*state_, layer_id);
    Mask m = mask;
    if (m.id == 0) m.id = state_->next_mask_id;
    for (const Layer& l : state_->layers) {
        for (const Mask& other : l.masks) {
            if (other.id == m.id) throw HostError("mask id " + std::to_string(m.id) + " is taken");
        }
    }
    state_->next_mask_id = std::max(state_->next_mask_id, m.id + 1);
    layer.masks.push_back(std::move(m));
    return layer.masks.back().id;
}

const std::vector<Mask>& Host::masks(int layer_id) const { return FindLayer(*state_, layer_id).masks; }

void Host::ClearMasks(int layer_id) { FindLayer(*state_, layer_id).masks.clear(); }

PF_EffectWorld Host::State::LayerPixels(const CallContext& ctx, int layer_id, std::unique_ptr<World>& keep,
                                        std::optional<double> other_time) const {
    const WorldFormat& want = ctx.layer_format;
    if (layer_id == kInputLayer) {
        if (!other_time || !input_at) return ctx.input ? *ctx.input : PF_EffectWorld{};
        World frame = input_at(*other_time);
        if (frame.empty()) return PF_EffectWorld{};
        keep = std::make_unique<World>(frame.depth() == want.depth && frame.order() == want.order
                                           ? std::move(frame)
                                           : frame.Converted(want.depth, want.order));
        if (want.premiere_format != 0) keep->SetPremiereFormat(want.premiere_format);
        return *keep->pf();
    }
    if (layer_id < 1 || layer_id >= static_cast<int>(layers.size())) return PF_EffectWorld{};
    const World& pixels = layers[layer_id].pixels;
    if (pixels.depth() == want.depth && pixels.order() == want.order) return *pixels.pf();
    // A real host renders the layer at the effect's depth; here that is a conversion.
    keep = std::make_unique<World>(pixels.Converted(want.depth, want.order));
    if (want.premiere_format != 0) keep->SetPremiereFormat(want.premiere_format);
    return *keep->pf();
}

PF_LRect Host::State::LayerBounds(const CallContext& ctx, int layer_id) const {
    if (layer_id == kInputLayer) {
        return ctx.input ? PF_LRect{0, 0, ctx.input->width, ctx.input->height} : PF_LRect{};
    }
    if (layer_id < 1 || layer_id >= static_cast<int>(layers.size())) return PF_LRect{};
    const World& pixels = layers[layer_id].pixels;
    return PF_LRect{0, 0, pixels.width(), pixels.height()};
}

}  // namespace korvane::host
