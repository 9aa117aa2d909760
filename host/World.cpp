// The owning World buffer, Premiere pixel-format names, and the format tags the host writes into
// the reserved fields of every world it hands out.
#include "korvane/host/World.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <random>
#include <stdexcept>
#include <utility>

#include "WorldPixels.h"

namespace korvane::host {

namespace {

constexpr uint8_t kPaddingByte = 0xA5;
constexpr A_long kFormatTag = 0x4B560000;  // "KV" in the high half: the host wrote this world
constexpr A_long kFormatTagMask = 0x7FFF0000;

struct PremiereEntry {
    const char* four;
    int bits;
    const char* layout;
};

constexpr PremiereEntry kPremiereFormats[] = {
    {"argb", 8, "ARGB"},  {"prgb", 8, "ARGB"},  {"xrgb", 8, "ARGB"},  {"Argb", 16, "ARGB"}, {"Prgb", 16, "ARGB"},
    {"Xrgb", 16, "ARGB"}, {"ARgb", 32, "ARGB"}, {"PRgb", 32, "ARGB"}, {"XRgb", 32, "ARGB"}, {"ARgL", 32, "ARGB"},
    {"PRgL", 32, "ARGB"}, {"XRgL", 32, "ARGB"}, {"bgra", 8, "BGRA"},  {"bgrp", 8, "BGRA"},  {"bgrx", 8, "BGRA"},
    {"Bgra", 16, "BGRA"}, {"Bgrp", 16, "BGRA"}, {"Bgrx", 16, "BGRA"}, {"BGra", 32, "BGRA"}, {"BGrp", 32, "BGRA"},
    {"BGrx", 32, "BGRA"}, {"BGaL", 32, "BGRA"}, {"BGpL", 32, "BGRA"}, {"BGxL", 32, "BGRA"}, {"vuya", 8, "VUYA"},
    {"vuyp", 8, "VUYA"},  {"vuyx", 8, "VUYA"},  {"vup7", 8, "VUYA"},  {"vux7", 8, "VUYA"},  {"VUYA", 8, "VUYA"},
    {"Vuya", 16, "VUYA"}, {"VUya", 32, "VUYA"}, {"VUyp", 32, "VUYA"}, {"VUyx", 32, "VUYA"}, {"VUp7", 32, "VUYA"},
    {"VUx7", 32, "VUYA"}, {"vUYa", 32, "VUYA"}, {"uyvy", 8, "UYVY"},  {"uyv7", 8, "UYVY"},  {"UYvy", 32, "UYVY"},
    {"UYv7", 32, "UYVY"}, {"yuy2", 8, "YUYV"},  {"yuy3", 8, "YUYV"},  {"v210", 10, "RGB"},  {"v211", 10, "RGB"},
    {"RGB1", 10, "RGB"},  {"@PQ2", 12, "RGB"},  {"@PQ7", 12, "RGB"},  {"@PQP", 12, "RGB"},
};

const PremiereEntry* FindPremiere(PrPixelFormat format) {
    for (const auto& e : kPremiereFormats) {
        if (PremiereFormat(e.four) == format) return &e;
    }
    return nullptr;
}

PrPixelFormat DefaultPremiereFormat(int depth, ChannelOrder order) {
    if (order == ChannelOrder::BGRA) {
        return PremiereFormat(depth == 8 ? "bgra" : depth == 16 ? "Bgra" : "BGra");
    }
    return PremiereFormat(depth == 8 ? "argb" : depth == 16 ? "Argb" : "ARgb");
}

void CheckFormat(const WorldFormat& f) {
    if (f.depth != 8 && f.depth != 16 && f.depth != 32) {
        throw std::invalid_argument("world depth must be 8, 16 or 32, not " + std::to_string(f.depth));
    }
}

}  // namespace

PrPixelFormat PremiereFormat(std::string_view four) {
    PrPixelFormat v = 0;
    for (size_t i = 0; i < 4 && i < four.size(); ++i) {
        v |= static_cast<PrPixelFormat>(static_cast<uint8_t>(four[i])) << (8 * i);
    }
    return v;
}

std::string PremiereFormatText(PrPixelFormat format) {
    std::string s(4, ' ');
    for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((format >> (8 * i)) & 0xFF);
    return s;
}

int PremiereFormatBits(PrPixelFormat format) {
    const auto* e = FindPremiere(format);
    return e ? e->bits : 0;
}

std::string PremiereFormatLayout(PrPixelFormat format) {
    const auto* e = FindPremiere(format);
    return e ? e->layout : "";
}

PF_PixelFormat WorldFormat::AeFormat() const {
    if (order == ChannelOrder::BGRA) return premiere_format;
    return depth == 8 ? PF_PixelFormat_ARGB32 : depth == 16 ? PF_PixelFormat_ARGB64 : PF_PixelFormat_ARGB128;
}

WorldFormat FormatOf(const PF_EffectWorld& world) {
    WorldFormat f;
    if ((world.reserved_long1 & kFormatTagMask) == kFormatTag) {
        const int code = world.reserved_long1 & 0xF;
        f.depth = code == 1 ? 8 : code == 2 ? 16 : 32;
        f.order = (world.reserved_long1 & 0x10) ? ChannelOrder::BGRA : ChannelOrder::ARGB;
        f.premiere_format = static_cast<PrPixelFormat>(world.reserved_long3);
        return f;
    }
    f.depth = (world.world_flags & PF_WorldFlag_DEEP) ? 16 : 8;
    f.premiere_format = DefaultPremiereFormat(f.depth, f.order);
    return f;
}

void TagWorld(PF_EffectWorld& world, const WorldFormat& f) {
    const A_long code = f.depth == 8 ? 1 : f.depth == 16 ? 2 : 3;
    world.reserved_long1 = kFormatTag | code | (f.order == ChannelOrder::BGRA ? 0x10 : 0);
    world.reserved_long3 = static_cast<A_long>(f.premiere_format);
    world.world_flags = PF_WorldFlag_WRITEABLE | (f.depth == 16 ? PF_WorldFlag_DEEP : 0);
}

A_long PaddedRowbytes(A_long width, int pixel_bytes) {
    const int64_t packed = int64_t{std::max<A_long>(width, 0)} * pixel_bytes;
    return static_cast<A_long>((packed + 63) / 64 * 64 + 64);
}

double ReadChannel(const void* pixel, int depth, int i) {
    switch (depth) {
        case 8: return static_cast<const uint8_t*>(pixel)[i];
        case 16: return static_cast<const uint16_t*>(pixel)[i];
        default: return static_cast<const float*>(pixel)[i];
    }
}

void WriteChannel(void* pixel, int depth, int i, double code) {
    if (depth != 32 && std::isnan(code)) code = 0.0;
    switch (depth) {
        case 8: static_cast<uint8_t*>(pixel)[i] = static_cast<uint8_t>(std::clamp(std::lround(code), 0L, 255L)); break;
        case 16:
            static_cast<uint16_t*>(pixel)[i] = static_cast<uint16_t>(std::clamp(std::lround(code), 0L, 32768L));
            break;
        default: static_cast<float*>(pixel)[i] = static_cast<float>(code); break;
    }
}

double ChannelMax(int depth) { return depth == 8 ? 255.0 : depth == 16 ? 32768.0 : 1.0; }

int MemoryIndex(ChannelOrder order, int argb_index) {
    return order == ChannelOrder::ARGB ? argb_index : 3 - argb_index;
}

void WorldStorage::Delete::operator()(uint8_t* p) const { ::operator delete[](p, std::align_val_t(64)); }

WorldStorage::WorldStorage() = default;
WorldStorage::~WorldStorage() = default;
WorldStorage::WorldStorage(WorldStorage&& other) noexcept
    : data_(std::move(other.data_)), bytes_(std::exchange(other.bytes_, 0)) {}
WorldStorage& WorldStorage::operator=(WorldStorage&& other) noexcept {
    data_ = std::move(other.data_);
    bytes_ = std::exchange(other.bytes_, 0);
    return *this;
}

struct World::Impl {
    PF_EffectWorld def{};
    WorldFormat format;
    WorldStorage storage;
};

World::World() = default;
World::~World() = default;
World::World(World&&) noexcept = default;
World& World::operator=(World&&) noexcept = default;

World::World(A_long width, A_long height, int depth, ChannelOrder order)
    : World(width, height, WorldFormat{depth, order, DefaultPremiereFormat(depth, order)}) {}

World::World(A_long width, A_long height, const WorldFormat& format) : World(width, height, format, WorldStorage()) {}

size_t World::StorageBytes(A_long width, A_long height, const WorldFormat& format) {
    return static_cast<size_t>(PaddedRowbytes(width, format.PixelBytes())) *
           static_cast<size_t>(std::max<A_long>(height, 0));
}

World::World(A_long width, A_long height, const WorldFormat& format, WorldStorage&& reuse)
    : impl_(std::make_unique<Impl>()) {
    CheckFormat(format);
    if (width <= 0 || height <= 0) throw std::invalid_argument("world size must be positive");
    impl_->format = format;
    if (impl_->format.premiere_format == 0) {
        impl_->format.premiere_format = DefaultPremiereFormat(format.depth, format.order);
    }
    const A_long rowbytes = PaddedRowbytes(width, format.PixelBytes());
    const size_t bytes = static_cast<size_t>(rowbytes) * static_cast<size_t>(height);
    WorldStorage& storage = impl_->storage;
    if (reuse.bytes() == bytes) {
        storage = std::move(reuse);
    } else {
        reuse = WorldStorage();
        storage.data_.reset(static_cast<uint8_t*>(::operator new[](bytes, std::align_val_t(64))));
        storage.bytes_ = bytes;
    }
    const size_t packed = static_cast<size_t>(width) * format.PixelBytes();
    for (A_long y = 0; y < height; ++y) {
        uint8_t* row = storage.data_.get() + static_cast<size_t>(rowbytes) * y;
        std::memset(row, 0, packed);
        std::memset(row + packed, kPaddingByte, rowbytes - packed);
    }
    PF_EffectWorld& d = impl_->def;
    d.data = storage.data_.get();
    d.rowbytes = rowbytes;
    d.width = width;
    d.height = height;
    d.extent_hint = {0, 0, width, height};
    d.pix_aspect_ratio = {1, 1};
    TagWorld(d, impl_->format);
}

World World::CopyOf(const PF_EffectWorld& world) {
    if (!world.data || world.width <= 0 || world.height <= 0) return World();
    World copy(world.width, world.height, FormatOf(world));
    const size_t packed = static_cast<size_t>(world.width) * copy.format().PixelBytes();
    for (A_long y = 0; y < world.height; ++y) {
        std::memcpy(copy.Row(y), static_cast<const uint8_t*>(world.data) + static_cast<size_t>(world.rowbytes) * y,
                    packed);
    }
    return copy;
}

World World::Clone() const { return empty() ? World() : CopyOf(impl_->def); }

World World::Converted(int depth, ChannelOrder order) const {
    if (empty()) return World();
    World out(width(), height(), depth, order);
    ConvertPixels(impl_->def, *out.pf());
    return out;
}

bool World::empty() const { return !impl_; }
A_long World::width() const { return impl_ ? impl_->def.width : 0; }
A_long World::height() const { return impl_ ? impl_->def.height : 0; }
A_long World::rowbytes() const { return impl_ ? impl_->def.rowbytes : 0; }
int World::depth() const { return impl_ ? impl_->format.depth : 0; }
ChannelOrder World::order() const { return impl_ ? impl_->format.order : ChannelOrder::ARGB; }

const WorldFormat& World::format() const {
    static const WorldFormat kNone{};
    return impl_ ? impl_->format : kNone;
}

void World::SetPremiereFormat(PrPixelFormat format) {
    if (!impl_) return;
    impl_->format.premiere_format = format;
    TagWorld(impl_->def, impl_->format);
}

PF_EffectWorld* World::pf() { return impl_ ? &impl_->def : nullptr; }
const PF_EffectWorld* World::pf() const { return impl_ ? &impl_->def : nullptr; }

void* World::Row(A_long y) { return impl_->storage.data_.get() + static_cast<size_t>(impl_->def.rowbytes) * y; }
const void* World::Row(A_long y) const {
    return impl_->storage.data_.get() + static_cast<size_t>(impl_->def.rowbytes) * y;
}

WorldStorage World::ReleaseStorage() {
    if (!impl_) return WorldStorage();
    WorldStorage storage = std::move(impl_->storage);
    impl_.reset();
    return storage;
}

Color World::Get(A_long x, A_long y) const {
    const Color c = ReadArgb(impl_->def, impl_->format, x, y);
    return c;
}

void World::Set(A_long x, A_long y, const Color& c) { WriteArgb(impl_->def, impl_->format, x, y, c); }

void World::Fill(const Color& c) {
    for (A_long y = 0; y < height(); ++y)
        for (A_long x = 0; x < width(); ++x) Set(x, y, c);
}

void World::SetRaw(A_long x, A_long y, double a, double r, double g, double b) {
    uint8_t* px = static_cast<uint8_t*>(Row(y)) + static_cast<size_t>(x) * impl_->format.PixelBytes();
    const double v[4] = {a, r, g, b};
    for (int i = 0; i < 4; ++i) WriteChannel(px, depth(), MemoryIndex(order(), i), v[i]);
}

void World::FillRandom(uint32_t seed) {
    std::mt19937 rng(seed);
    const int d = depth();
    for (A_long y = 0; y < height(); ++y) {
        uint8_t* px = static_cast<uint8_t*>(Row(y));
        for (A_long x = 0; x < width() * 4; ++x) {
            const uint32_t r = static_cast<uint32_t>(rng());  // a 32-bit engine
            if (d == 8)
                px[x] = static_cast<uint8_t>(r & 0xFF);
            else if (d == 16)
                reinterpret_cast<uint16_t*>(px)[x] = static_cast<uint16_t>(r % 32769u);
            else
                reinterpret_cast<float*>(px)[x] = static_cast<float>(r >> 8) / static_cast<float>(1u << 24);
        }
    }
}

std::string World::PackedBytes() const {
    std::string out;
    if (empty()) return out;
    const size_t packed = static_cast<size_t>(width()) * impl_->format.PixelBytes();
    out.reserve(packed * height());
    for (A_long y = 0; y < height(); ++y) out.append(static_cast<const char*>(Row(y)), packed);
    return out;
}

bool World::SamePixels(const World& other) const {
    return width() == other.width() && height() == other.height() && format().depth == other.format().depth &&
           order() == other.order() && PackedBytes() == other.PackedBytes();
}

double World::MaxDifference(const World& other) const {
    if (width() != other.width() || height() != other.height()) return std::numeric_limits<double>::infinity();
    double worst = 0.0;
    for (A_long y = 0; y < height(); ++y) {
        for (A_long x = 0; x < width(); ++x) {
            const Color a = Get(x, y), b = other.Get(x, y);
            worst = std::max({worst, std::fabs(double{a.alpha} - b.alpha), std::fabs(double{a.red} - b.red),
                              std::fabs(double{a.green} - b.green), std::fabs(double{a.blue} - b.blue)});
        }
    }
    return worst;
}

bool World::PaddingIntact() const {
    if (empty()) return true;
    const size_t packed = static_cast<size_t>(width()) * impl_->format.PixelBytes();
    for (A_long y = 0; y < height(); ++y) {
        const auto* row = static_cast<const uint8_t*>(Row(y));
        for (size_t i = packed; i < static_cast<size_t>(rowbytes()); ++i) {
            if (row[i] != kPaddingByte) return false;
        }
    }
    return true;
}

// ---- Pixel helpers shared with the host's callbacks (WorldPixels.h)

Color ReadArgb(const PF_EffectWorld& w, const WorldFormat& f, A_long x, A_long y) {
    const auto* px = static_cast<const uint8_t*>(w.data) + static_cast<size_t>(w.rowbytes) * y +
                     static_cast<size_t>(x) * f.PixelBytes();
    const double scale = 1.0 / ChannelMax(f.depth);
    float v[4];
    for (int i = 0; i < 4; ++i) v[i] = static_cast<float>(ReadChannel(px, f.depth, MemoryIndex(f.order, i)) * scale);
    return {v[0], v[1], v[2], v[3]};
}

void WriteArgb(PF_EffectWorld& w, const WorldFormat& f, A_long x, A_long y, const Color& c) {
    auto* px = static_cast<uint8_t*>(w.data) + static_cast<size_t>(w.rowbytes) * y +
               static_cast<size_t>(x) * f.PixelBytes();
    const double v[4] = {c.alpha, c.red, c.green, c.blue};
    const double max = ChannelMax(f.depth);
    for (int i = 0; i < 4; ++i) WriteChannel(px, f.depth, MemoryIndex(f.order, i), v[i] * max);
}

void ConvertPixels(const PF_EffectWorld& src, PF_EffectWorld& dst) {
    const WorldFormat sf = FormatOf(src), df = FormatOf(dst);
    const A_long w = std::min(src.width, dst.width), h = std::min(src.height, dst.height);
    const size_t packed = static_cast<size_t>(w) * sf.PixelBytes();
    for (A_long y = 0; y < h; ++y) {
        const auto* s = static_cast<const uint8_t*>(src.data) + static_cast<size_t>(src.rowbytes) * y;
        auto* d = static_cast<uint8_t*>(dst.data) + static_cast<size_t>(dst.rowbytes) * y;
        if (sf.depth == df.depth && sf.order == df.order) {
            std::memcpy(d, s, packed);
            continue;
        }
        const double ratio = ChannelMax(df.depth) / ChannelMax(sf.depth);
        for (A_long x = 0; x < w; ++x) {
            const uint8_t* sp = s + static_cast<size_t>(x) * sf.PixelBytes();
            uint8_t* dp = d + static_cast<size_t>(x) * df.PixelBytes();
            for (int i = 0; i < 4; ++i) {
                const double v = ReadChannel(sp, sf.depth, MemoryIndex(sf.order, i));
                WriteChannel(dp, df.depth, MemoryIndex(df.order, i), v * ratio);
            }
        }
    }
}

}  // namespace korvane::host
