// Worlds the effect makes and disposes of through "PF World Suite" 1 and 2 and the Premiere
// "PF Pixel Format Suite", tracked per call.
#include <iterator>

#include "CallbackEntry.h"
#include "WorldPixels.h"

namespace korvane::host {

namespace {

// The storage for a pixel format. One value can name two formats: the After Effects 'argb' (a
// multi-character constant) is the Premiere "bgra" (bytes low to high). Each host reads a value in
// its own terms first. Under Premiere a format outside the table gets 8-bit storage (its pixels are
// opaque to the host); under After Effects it is refused.
std::optional<WorldFormat> StorageFor(PF_PixelFormat format, Personality personality) {
    const int bits = PremiereFormatBits(format);
    const auto premiere = [&]() -> std::optional<WorldFormat> {
        const std::string layout = PremiereFormatLayout(format);
        const int depth = bits == 16 ? 16 : bits == 32 ? 32 : 8;
        return WorldFormat{depth, layout == "ARGB" ? ChannelOrder::ARGB : ChannelOrder::BGRA, format};
    };
    if (personality == Personality::Premiere && bits != 0) return premiere();
    if (format == PF_PixelFormat_ARGB32) return WorldFormat{8, ChannelOrder::ARGB, PremiereFormat("argb")};
    if (format == PF_PixelFormat_ARGB64) return WorldFormat{16, ChannelOrder::ARGB, PremiereFormat("Argb")};
    if (format == PF_PixelFormat_ARGB128) return WorldFormat{32, ChannelOrder::ARGB, PremiereFormat("ARgb")};
    if (bits == 0 && personality != Personality::Premiere) return std::nullopt;
    return premiere();
}

PF_Err NewWorldCommon(PF_ProgPtr ref, const char* name, A_long width, A_long height, PF_PixelFormat format,
                      PF_EffectWorld* world) {
    const auto [ctx, entry_err] = EnterCall(ref, name);
    if (entry_err) return entry_err;
    const auto storage = StorageFor(format, ctx->host->personality);
    if (!storage) return PF_Err_BAD_CALLBACK_PARAM;
    return ctx->host->NewWorld(ctx, width, height, *storage, world);
}

PF_Err DisposeCommon(PF_ProgPtr ref, const char* name, PF_EffectWorld* world) {
    const auto [ctx, entry_err] = EnterCall(ref, name);
    if (entry_err) return entry_err;
    return ctx->host->DisposeWorld(world);
}

PF_Err GetAeFormat(const char* name, const PF_EffectWorld* world, PF_PixelFormat* format) {
    if (Host::State* host = CurrentHost()) {
        if (const PF_Err fault = host->Hit(name)) return fault;
    }
    if (!world || !format) return PF_Err_BAD_CALLBACK_PARAM;
    *format = FormatOf(*world).AeFormat();
    return PF_Err_NONE;
}

// Suite 1
PF_Err NewWorld1(PF_ProgPtr ref, A_long width, A_long height, PF_Boolean /*clear*/, PF_EffectWorld* world) {
    return NewWorldCommon(ref, "new_world", width, height, PF_PixelFormat_ARGB32, world);
}
PF_Err DisposeWorld1(PF_ProgPtr ref, PF_EffectWorld* world) { return DisposeCommon(ref, "dispose_world", world); }
PF_Err GetPixelFormat1(const PF_EffectWorld* world, PF_PixelFormat* format) {
    return GetAeFormat("get_pixel_format", world, format);
}

// Suite 2 (new worlds are always cleared)
PF_Err NewWorld2(PF_ProgPtr ref, A_long width, A_long height, PF_Boolean /*clear*/, PF_PixelFormat format,
                 PF_EffectWorld* world) {
    return NewWorldCommon(ref, "PF_NewWorld", width, height, format, world);
}
PF_Err DisposeWorld2(PF_ProgPtr ref, PF_EffectWorld* world) { return DisposeCommon(ref, "PF_DisposeWorld", world); }
PF_Err GetPixelFormat2(const PF_EffectWorld* world, PF_PixelFormat* format) {
    return GetAeFormat("PF_GetPixelFormat", world, format);
}

// PF Pixel Format Suite 1
PF_Err AddSupportedPixelFormat(PF_ProgPtr ref, PrPixelFormat format) {
    const auto [ctx, entry_err] = EnterCall(ref, "AddSupportedPixelFormat");
    if (entry_err) return entry_err;
    std::lock_guard lock(ctx->host->mutex);
    ctx->host->supported_formats.push_back(format);
    return PF_Err_NONE;
}

PF_Err ClearSupportedPixelFormats(PF_ProgPtr ref) {
    const auto [ctx, entry_err] = EnterCall(ref, "ClearSupportedPixelFormats");
    if (entry_err) return entry_err;
    std::lock_guard lock(ctx->host->mutex);
    ctx->host->supported_formats.clear();
    ++ctx->host->clear_format_calls;
    return PF_Err_NONE;
}

PF_Err NewWorldOfPixelFormat(PF_ProgPtr ref, A_u_long width, A_u_long height, PF_WorldFlags /*flags*/,
                             PrPixelFormat format, PF_EffectWorld* world) {
    return NewWorldCommon(ref, "NewWorldOfPixelFormat", static_cast<A_long>(width), static_cast<A_long>(height), format,
                          world);
}

PF_Err DisposePrWorld(PF_ProgPtr ref, PF_EffectWorld* world) { return DisposeCommon(ref, "DisposeWorld", world); }

PF_Err GetPrPixelFormat(PF_EffectWorld* world, PrPixelFormat* format) {
    if (Host::State* host = CurrentHost()) {
        if (const PF_Err fault = host->Hit("GetPixelFormat")) return fault;
    }
    if (!world || !format) return PF_Err_BAD_CALLBACK_PARAM;
    *format = FormatOf(*world).premiere_format;
    return PF_Err_NONE;
}

}  // namespace

const PF_WorldSuite1 kWorldSuite1 = {&NewWorld1, &DisposeWorld1, &GetPixelFormat1};
const PF_WorldSuite2 kWorldSuite2 = {&NewWorld2, &DisposeWorld2, &GetPixelFormat2};
const PF_PixelFormatSuite1 kPixelFormatSuite = {&AddSupportedPixelFormat, &ClearSupportedPixelFormats,
                                                &NewWorldOfPixelFormat, &DisposePrWorld, &GetPrPixelFormat};

WorldStorage WorldStorageCache::Take(size_t bytes) {
    for (auto it = buffers_.rbegin(); it != buffers_.rend(); ++it) {
        if (it->bytes() != bytes) continue;
        WorldStorage storage = std::move(*it);
        buffers_.erase(std::next(it).base());
        held_ -= bytes;
        return storage;
    }
    return WorldStorage();
}

void WorldStorageCache::Give(WorldStorage storage) {
    if (storage.empty() || storage.bytes() > kMaxBytes) return;
    held_ += storage.bytes();
    buffers_.push_back(std::move(storage));
    while (held_ > kMaxBytes || buffers_.size() > kMaxBuffers) {
        held_ -= buffers_.front().bytes();
        buffers_.pop_front();
    }
}

PF_Err Host::State::NewWorld(CallContext* ctx, A_long width, A_long height, const WorldFormat& format,
                             PF_EffectWorld* world) {
    if (!world || width <= 0 || height <= 0) return PF_Err_BAD_CALLBACK_PARAM;
    WorldStorage reuse;
    {
        std::lock_guard lock(mutex);
        reuse = world_storage.Take(World::StorageBytes(width, height, format));
    }
    WorldRecord record;
    try {
        record.world = World(width, height, format, std::move(reuse));
    } catch (const std::bad_alloc&) {
        return PF_Err_OUT_OF_MEMORY;
    }
    record.creator = ctx;
    record.cmd = ctx ? ctx->cmd : 0;
    *world = *record.world.pf();
    std::lock_guard lock(mutex);
    worlds.emplace(world->data, std::move(record));
    return PF_Err_NONE;
}

PF_Err Host::State::DisposeWorld(PF_EffectWorld* world) {
    if (!world) return PF_Err_BAD_CALLBACK_PARAM;
    std::lock_guard lock(mutex);
    const auto it = worlds.find(world->data);
    if (it == worlds.end()) {
        leak_messages.push_back("dispose of a world the host did not make (or disposed twice)");
        return PF_Err_BAD_CALLBACK_PARAM;
    }
    world_storage.Give(it->second.world.ReleaseStorage());
    worlds.erase(it);
    world->data = nullptr;
    return PF_Err_NONE;
}

}  // namespace korvane::host
