// An owning pixel buffer laid out as a host world (PF_EffectWorld): ARGB at 8, 16 (full scale
// 32768) or 32-bit float per channel, or Premiere-style BGRA, always with padded rowbytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "korvane/sdk/Effect.h"

namespace korvane::host {

// Channel order in memory.
enum class ChannelOrder { ARGB, BGRA };

// A colour in channel units normalised to 0..1 (8 bits: /255, 16 bits: /32768, float: as is).
struct Color {
    float alpha = 0.0f, red = 0.0f, green = 0.0f, blue = 0.0f;
    friend bool operator==(const Color&, const Color&) = default;
};

// Premiere pixel format from its four characters in memory order ("bgra" -> 0x61726762).
PrPixelFormat PremiereFormat(std::string_view four_chars);
// The four characters of a Premiere pixel format, low byte first.
std::string PremiereFormatText(PrPixelFormat format);
// Bits per channel and layout name ("ARGB", "BGRA", "VUYA", "UYVY", "YUYV", "RGB") of a Premiere
// pixel format; 0 and "" for a format the host does not know.
int PremiereFormatBits(PrPixelFormat format);
std::string PremiereFormatLayout(PrPixelFormat format);

// Storage of one world, written into fields of PF_LayerDef that belong to the host so that any copy
// of the PF_EffectWorld still says what it is.
struct WorldFormat {
    int depth = 8;  // bits per channel in memory: 8, 16 or 32 (float)
    ChannelOrder order = ChannelOrder::ARGB;
    PrPixelFormat premiere_format = 0;  // what PF Pixel Format Suite's GetPixelFormat answers

    int PixelBytes() const { return depth == 8 ? 4 : depth == 16 ? 8 : 16; }
    // PF_PixelFormat_ARGB32/64/128 for ARGB storage; the Premiere format for BGRA storage.
    PF_PixelFormat AeFormat() const;
    friend bool operator==(const WorldFormat&, const WorldFormat&) = default;
};

// Reads the format the host stored in a world's reserved fields; worlds the host did not make are
// taken as ARGB, 16 bits when PF_WorldFlag_DEEP is set and 8 otherwise.
WorldFormat FormatOf(const PF_EffectWorld& world);

// Bytes per row for a width and pixel size: always larger than width * pixel_bytes.
A_long PaddedRowbytes(A_long width, int pixel_bytes);

// The pixel memory of a world apart from any world: what a host keeps of a disposed world to hand
// to the next world of the same byte size instead of asking the system for fresh pages.
class WorldStorage {
public:
    WorldStorage();
    ~WorldStorage();
    WorldStorage(WorldStorage&&) noexcept;
    WorldStorage& operator=(WorldStorage&&) noexcept;
    WorldStorage(const WorldStorage&) = delete;
    WorldStorage& operator=(const WorldStorage&) = delete;

    size_t bytes() const { return bytes_; }
    bool empty() const { return data_ == nullptr; }

private:
    friend class World;
    struct Delete {
        void operator()(uint8_t* p) const;
    };
    std::unique_ptr<uint8_t[], Delete> data_;
    size_t bytes_ = 0;
};

class World {
public:
    World();  // empty: no pixels, null data
    // A cleared world (all channels zero). depth is 8, 16 or 32; BGRA is allowed at every depth.
    World(A_long width, A_long height, int depth = 8, ChannelOrder order = ChannelOrder::ARGB);
    World(A_long width, A_long height, const WorldFormat& format);
    // The same, in `reuse` when it holds exactly the bytes this world needs (it is cleared like new
    // memory); otherwise in fresh memory, and `reuse` is freed.
    World(A_long width, A_long height, const WorldFormat& format, WorldStorage&& reuse);
    ~World();
    World(World&&) noexcept;
    World& operator=(World&&) noexcept;
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    // A deep copy of any world's pixels (padding excluded) with the same format.
    static World CopyOf(const PF_EffectWorld& world);
    World Clone() const;
    // A copy converted to another depth and channel order (8 <-> 16 <-> float, by scaling and rounding).
    World Converted(int depth, ChannelOrder order = ChannelOrder::ARGB) const;

    bool empty() const;
    A_long width() const;
    A_long height() const;
    A_long rowbytes() const;
    int depth() const;
    ChannelOrder order() const;
    const WorldFormat& format() const;
    // Changes the Premiere pixel format the world reports (the storage is unchanged).
    void SetPremiereFormat(PrPixelFormat format);

    // The world as the effect sees it. The address is stable for the World's lifetime (moves included).
    PF_EffectWorld* pf();
    const PF_EffectWorld* pf() const;

    // Raw access to row y, and to the pixel at (x, y) as the storage type (for BGRA worlds the
    // struct's field names do not match the channels: memory order is blue, green, red, alpha).
    void* Row(A_long y);
    const void* Row(A_long y) const;
    template <typename Pixel>
    Pixel& At(A_long x, A_long y) {
        return static_cast<Pixel*>(Row(y))[x];
    }
    template <typename Pixel>
    const Pixel& At(A_long x, A_long y) const {
        return static_cast<const Pixel*>(Row(y))[x];
    }

    // Normalised access in alpha, red, green, blue order whatever the storage. Set rounds to the
    // nearest code and clamps to the channel range at 8 and 16 bits.
    Color Get(A_long x, A_long y) const;
    void Set(A_long x, A_long y, const Color& c);
    void Fill(const Color& c);
    // Raw channel values in alpha, red, green, blue order (codes at 8/16 bits, floats at 32).
    void SetRaw(A_long x, A_long y, double a, double r, double g, double b);
    // Deterministic noise in every channel (every code at 8/16 bits, 0..1 at 32 bits).
    void FillRandom(uint32_t seed);

    // Gives up the pixel memory and leaves the world empty.
    WorldStorage ReleaseStorage();
    // Bytes of pixel memory a world of this size and format takes (rows padded).
    static size_t StorageBytes(A_long width, A_long height, const WorldFormat& format);

    // Pixel bytes only, rows packed, padding excluded.
    std::string PackedBytes() const;
    bool SamePixels(const World& other) const;
    // Largest normalised channel difference; infinity when the sizes differ.
    double MaxDifference(const World& other) const;
    // The padding bytes at the end of each row still hold the host's fill pattern.
    bool PaddingIntact() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace korvane::host
