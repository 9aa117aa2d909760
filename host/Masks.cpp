// The mask and path suites: the effect's layer and its masks (AEGP PF Interface, AEGP Layer Mask),
// path checkout and queries (PF Path Query, PF Path Data), and PF_MaskWorldWithPath, which
// rasterises a path with Cairo and multiplies a world by its coverage.
#include <algorithm>
#include <cmath>

#include <cairo.h>

#include "CallbackEntry.h"
#include "HostState.h"
#include "WorldPixels.h"

namespace korvane::host {

namespace {

Layer* FindLayer(Host::State& host, AEGP_LayerH layer_h) {
    for (Layer& l : host.layers) {
        if (&l == layer_h) return &l;
    }
    return nullptr;
}

MaskRef* FindMaskRef(Host::State& host, AEGP_MaskRefH mask_h) {
    const auto it = host.mask_refs.find(mask_h);
    return it == host.mask_refs.end() ? nullptr : it->second.get();
}

OpenPath* FindPath(Host::State& host, PF_PathOutlinePtr path) {
    const auto it = host.paths.find(path);
    return it == host.paths.end() ? nullptr : it->second.get();
}

// Mask references carry no effect_ref; they belong to the call running on this thread.
const CallContext* ThisThreadsCall(const Host::State& host) {
    const CallContext* call = CurrentCall();
    return call && call->host == &host ? call : nullptr;
}

// ---- AEGP PF Interface Suite 1

A_Err GetEffectLayer(PF_ProgPtr ref, AEGP_LayerH* layer_h) {
    const auto [ctx, entry_err] = EnterCall(ref, "AEGP_GetEffectLayer", A_Err_PARAMETER);
    if (entry_err) return entry_err;
    if (!layer_h) return A_Err_PARAMETER;
    *layer_h = &ctx->host->layers.front();
    return A_Err_NONE;
}

// ---- AEGP Layer Mask Suite 5 and 7

A_Err GetLayerNumMasks(AEGP_LayerH layer_h, A_long* count) {
    const auto [host, entry_err] = EnterHost("AEGP_GetLayerNumMasks");
    if (entry_err) return entry_err;
    Layer* layer = FindLayer(*host, layer_h);
    if (!layer || !count) return A_Err_PARAMETER;
    *count = static_cast<A_long>(layer->masks.size());
    return A_Err_NONE;
}

A_Err GetLayerMaskByIndex(AEGP_LayerH layer_h, A_long index, AEGP_MaskRefH* mask_h) {
    const auto [host, entry_err] = EnterHost("AEGP_GetLayerMaskByIndex");
    if (entry_err) return entry_err;
    Layer* layer = FindLayer(*host, layer_h);
    if (!layer || !mask_h) return A_Err_PARAMETER;
    *mask_h = nullptr;
    if (index < 0 || index >= static_cast<A_long>(layer->masks.size())) return A_Err_PARAMETER;
    auto ref = std::make_unique<MaskRef>();
    ref->host = host;
    ref->creator = ThisThreadsCall(*host);
    ref->cmd = ref->creator ? ref->creator->cmd : 0;
    ref->id = layer->masks[index].id;
    *mask_h = ref.get();
    std::lock_guard lock(host->mutex);
    host->mask_refs.emplace(ref.get(), std::move(ref));
    return A_Err_NONE;
}

A_Err DisposeMask(AEGP_MaskRefH mask_h) {
    const auto [host, entry_err] = EnterHost("AEGP_DisposeMask");
    if (entry_err) return entry_err;
    std::lock_guard lock(host->mutex);
    if (!host->mask_refs.erase(mask_h)) {
        host->leak_messages.push_back("AEGP_DisposeMask of a mask reference the host did not hand out");
        return A_Err_PARAMETER;
    }
    return A_Err_NONE;
}

A_Err GetMaskID(AEGP_MaskRefH mask_h, AEGP_MaskIDVal* id) {
    const auto [host, entry_err] = EnterHost("AEGP_GetMaskID");
    if (entry_err) return entry_err;
    std::lock_guard lock(host->mutex);
    MaskRef* ref = FindMaskRef(*host, mask_h);
    if (!ref || !id) return A_Err_PARAMETER;
    *id = ref->id;
    return A_Err_NONE;
}

// ---- PF Path Query Suite 1

PF_Err NumPaths(PF_ProgPtr ref, A_long* count) {
    CallContext* ctx = ResolveCall(ref);
    if (!ctx || !count) return PF_Err_BAD_CALLBACK_PARAM;
    *count = static_cast<A_long>(ctx->host->layers.front().masks.size());
    return PF_Err_NONE;
}

PF_Err PathInfo(PF_ProgPtr ref, A_long index, PF_PathID* id) {
    CallContext* ctx = ResolveCall(ref);
    if (!ctx || !id) return PF_Err_BAD_CALLBACK_PARAM;
    const auto& masks = ctx->host->layers.front().masks;
    if (index < 0 || index >= static_cast<A_long>(masks.size())) return PF_Err_INVALID_INDEX;
    *id = static_cast<PF_PathID>(masks[index].id);
    return PF_Err_NONE;
}

PF_Err CheckoutPath(PF_ProgPtr ref, PF_PathID id, A_long, A_long, A_u_long, PF_PathOutlinePtr* path) {
    const auto [ctx, entry_err] = EnterCall(ref, "PF_CheckoutPath");
    if (entry_err) return entry_err;
    Host::State& host = *ctx->host;
    if (!path) return PF_Err_BAD_CALLBACK_PARAM;
    *path = nullptr;
    const auto& masks = host.layers.front().masks;
    const auto mask = std::find_if(masks.begin(), masks.end(),
                                   [id](const Mask& m) { return static_cast<PF_PathID>(m.id) == id; });
    if (mask == masks.end()) return PF_Err_BAD_CALLBACK_PARAM;
    auto open = std::make_unique<OpenPath>();
    open->host = &host;
    open->creator = ctx;
    open->cmd = ctx->cmd;
    open->id = id;
    open->path = mask->path;
    *path = open.get();
    std::lock_guard lock(host.mutex);
    host.paths.emplace(open.get(), std::move(open));
    return PF_Err_NONE;
}

PF_Err CheckinPath(PF_ProgPtr ref, PF_PathID id, PF_Boolean, PF_PathOutlinePtr path) {
    const auto [ctx, entry_err] = EnterCall(ref, "PF_CheckinPath");
    if (entry_err) return entry_err;
    Host::State& host = *ctx->host;
    std::lock_guard lock(host.mutex);
    OpenPath* open = FindPath(host, path);
    if (!open || open->id != id) {
        host.leak_messages.push_back("PF_CheckinPath of path " + std::to_string(id) + " that is not checked out");
        return PF_Err_BAD_CALLBACK_PARAM;
    }
    host.paths.erase(path);
    return PF_Err_NONE;
}

// ---- PF Path Data Suite 1

// The anchor points of the first sub-path, with tangents relative to their anchor.
std::vector<PF_PathVertex> Vertices(const Path& path) {
    std::vector<PF_PathVertex> v;
    for (const PathSegment& s : path.segments()) {
        using K = PathSegment::Kind;
        if (s.kind == K::Move) {
            if (!v.empty()) break;
            v.push_back({s.to.x, s.to.y, 0, 0, 0, 0});
            continue;
        }
        if (s.kind == K::Close || v.empty()) {
            if (s.kind == K::Close) break;
            continue;
        }
        PF_PathVertex& prev = v.back();
        PF_PathVertex next{s.to.x, s.to.y, 0, 0, 0, 0};
        PathPoint c1 = s.c1, c2 = s.c2;
        if (s.kind == K::Quad) {
            c1 = {prev.x + 2.0 / 3.0 * (s.c1.x - prev.x), prev.y + 2.0 / 3.0 * (s.c1.y - prev.y)};
            c2 = {s.to.x + 2.0 / 3.0 * (s.c1.x - s.to.x), s.to.y + 2.0 / 3.0 * (s.c1.y - s.to.y)};
        }
        if (s.kind == K::Cubic || s.kind == K::Quad) {
            prev.tan_out_x = c1.x - prev.x;
            prev.tan_out_y = c1.y - prev.y;
            next.tan_in_x = c2.x - s.to.x;
            next.tan_in_y = c2.y - s.to.y;
        }
        v.push_back(next);
    }
    return v;
}

PF_Err PathIsOpen(PF_ProgPtr ref, PF_PathOutlinePtr path, PF_Boolean* open) {
    const auto [ctx, entry_err] = EnterCall(ref, "PF_PathIsOpen");
    if (entry_err) return entry_err;
    Host::State& host = *ctx->host;
    std::lock_guard lock(host.mutex);
    OpenPath* p = FindPath(host, path);
    if (!p || !open) return PF_Err_BAD_CALLBACK_PARAM;
    *open = p->path.closed() ? 0 : 1;
    return PF_Err_NONE;
}

PF_Err PathNumSegments(PF_ProgPtr ref, PF_PathOutlinePtr path, A_long* count) {
    CallContext* ctx = ResolveCall(ref);
    if (!ctx) return PF_Err_BAD_CALLBACK_PARAM;
    std::lock_guard lock(ctx->host->mutex);
    OpenPath* p = FindPath(*ctx->host, path);
    if (!p || !count) return PF_Err_BAD_CALLBACK_PARAM;
    const auto n = static_cast<A_long>(Vertices(p->path).size());
    *count = std::max<A_long>(0, p->path.closed() ? n : n - 1);
    return PF_Err_NONE;
}

PF_Err PathVertexInfo(PF_ProgPtr ref, PF_PathOutlinePtr path, A_long which, PF_PathVertex* vertex) {
    CallContext* ctx = ResolveCall(ref);
    if (!ctx) return PF_Err_BAD_CALLBACK_PARAM;
    std::lock_guard lock(ctx->host->mutex);
    OpenPath* p = FindPath(*ctx->host, path);
    if (!p || !vertex) return PF_Err_BAD_CALLBACK_PARAM;
    const auto v = Vertices(p->path);
    if (which < 0 || which >= static_cast<A_long>(v.size())) return PF_Err_INVALID_INDEX;
    *vertex = v[which];
    return PF_Err_NONE;
}

// ---- AEGP Mask Suite 1

void TracePath(cairo_t* cr, const Path& path) {
    double cx = 0.0, cy = 0.0;
    for (const PathSegment& s : path.segments()) {
        switch (s.kind) {
            case PathSegment::Kind::Move: cairo_move_to(cr, s.to.x, s.to.y); break;
            case PathSegment::Kind::Line: cairo_line_to(cr, s.to.x, s.to.y); break;
            case PathSegment::Kind::Cubic: cairo_curve_to(cr, s.c1.x, s.c1.y, s.c2.x, s.c2.y, s.to.x, s.to.y); break;
            case PathSegment::Kind::Quad:
                cairo_get_current_point(cr, &cx, &cy);
                cairo_curve_to(cr, cx + 2.0 / 3.0 * (s.c1.x - cx), cy + 2.0 / 3.0 * (s.c1.y - cy),
                               s.to.x + 2.0 / 3.0 * (s.c1.x - s.to.x), s.to.y + 2.0 / 3.0 * (s.c1.y - s.to.y), s.to.x,
                               s.to.y);
                break;
            case PathSegment::Kind::Close: cairo_close_path(cr); break;
        }
    }
}

PF_Err MaskWorldWithPath(PF_ProgPtr ref, PF_PathOutlinePtr mask, PF_FpLong feather_x, PF_FpLong feather_y,
                         PF_Boolean invert, PF_FpLong opacity, PF_Quality /*quality*/, PF_EffectWorld* world,
                         PF_Rect* /*bbox*/) {
    const auto [ctx, entry_err] = EnterCall(ref, "PF_MaskWorldWithPath");
    if (entry_err) return entry_err;
    Host::State& host = *ctx->host;
    if (!world || !world->data || world->width <= 0 || world->height <= 0) return PF_Err_BAD_CALLBACK_PARAM;
    if (feather_x != 0.0 || feather_y != 0.0) return PF_Err_BAD_CALLBACK_PARAM;  // feathering is not offered
    Path path;
    {
        std::lock_guard lock(host.mutex);
        OpenPath* open = FindPath(host, mask);
        if (!open) return PF_Err_BAD_CALLBACK_PARAM;
        path = open->path;
    }

    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_A8, world->width, world->height);
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(surface);
        return PF_Err_OUT_OF_MEMORY;
    }
    cairo_t* cr = cairo_create(surface);
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_DEFAULT);
    cairo_set_fill_rule(cr, CAIRO_FILL_RULE_WINDING);
    TracePath(cr, path);
    cairo_fill(cr);
    cairo_destroy(cr);
    cairo_surface_flush(surface);

    const unsigned char* coverage = cairo_image_surface_get_data(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    const WorldFormat f = FormatOf(*world);
    const double gain = std::clamp(opacity, 0.0, 1.0);
    for (A_long y = 0; y < world->height; ++y) {
        char* row = static_cast<char*>(world->data) + static_cast<size_t>(world->rowbytes) * y;
        const unsigned char* cov = coverage + static_cast<size_t>(stride) * y;
        for (A_long x = 0; x < world->width; ++x) {
            double k = cov[x] / 255.0;
            if (invert) k = 1.0 - k;
            k *= gain;
            void* px = row + static_cast<size_t>(x) * f.PixelBytes();
            for (int i = 0; i < 4; ++i) WriteChannel(px, f.depth, i, ReadChannel(px, f.depth, i) * k);
        }
    }
    cairo_surface_destroy(surface);
    return PF_Err_NONE;
}

}  // namespace

const AEGP_PFInterfaceSuite1 kPFInterfaceSuite = {&GetEffectLayer};
const AEGP_LayerMaskSuite5 kLayerMaskSuite = {&GetLayerNumMasks, &GetLayerMaskByIndex, &DisposeMask, &GetMaskID};
const PF_PathQuerySuite1 kPathQuerySuite = {&NumPaths, &PathInfo, &CheckoutPath, &CheckinPath};
const PF_PathDataSuite1 kPathDataSuite = {&PathIsOpen, &PathNumSegments, &PathVertexInfo};
const PF_MaskSuite1 kMaskSuite = {&MaskWorldWithPath};

}  // namespace korvane::host
