// Images as the CLI holds them between files and host worlds: ARGB pixels at the world's depth.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <tbb/scalable_allocator.h>

namespace korvane::cli {

class AtomicOutput;

// Pixel memory from oneTBB's allocator, which keeps freed frames for the next: the system's hands
// a frame of 32 MB or more back to the kernel on every free, and faulting its pages in again costs
// more than rendering it. Under AddressSanitizer the standard allocator, which it can check.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KORVANE_CHECKED_ALLOCATIONS 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(KORVANE_CHECKED_ALLOCATIONS)
template <typename T>
using FrameAllocator = std::allocator<T>;
#else
template <typename T>
using FrameAllocator = tbb::scalable_allocator<T>;
#endif

// New bytes are left as they are: a frame is written whole right after it is made, and clearing it
// first would be one more pass over it.
template <typename T>
struct Uncleared : FrameAllocator<T> {
    template <typename U>
    struct rebind {
        using other = Uncleared<U>;
    };
    Uncleared() = default;
    template <typename U>
    Uncleared(const Uncleared<U>&) noexcept {}
    template <typename U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};
using PixelBytes = std::vector<std::byte, Uncleared<std::byte>>;

// Tightly packed rows of ARGB pixels. Channel values are in the world's scale: 8-bit 0..255,
// 16-bit 0..32768, 32-bit float 0..1 (unclamped).
struct ImageMetadata;  // what a file says about its pixels besides them (EXIF, ICC profile, resolution)

struct Image {
    int width = 0;
    int height = 0;
    int depth = 8;                                  // bits per channel: 8, 16 or 32
    bool had_alpha = true;                          // the file had an alpha channel
    bool grey = false;                              // the file had one colour channel
    std::shared_ptr<const ImageMetadata> metadata;  // of the file read; null for frames of a clip
    std::int64_t pts = 0;                           // a clip's frame: its presentation time in the clip's time base
    PixelBytes data;

    static Image blank(int width, int height, int depth);
    // The same with its pixels left unset, for a caller that writes every one.
    static Image uncleared(int width, int height, int depth);
    // An image of `like`'s size with its file's traits (alpha, grey, metadata), pixels unset.
    static Image unclearedLike(const Image& like, int depth);

    std::size_t bytesPerChannel() const { return depth == 8 ? 1 : depth == 16 ? 2 : 4; }
    std::size_t rowBytes() const { return static_cast<std::size_t>(width) * 4 * bytesPerChannel(); }

    template <typename T>
    T* channels() {
        return reinterpret_cast<T*>(data.data());
    }
    template <typename T>
    const T* channels() const {
        return reinterpret_cast<const T*>(data.data());
    }

    // Channel value i (pixel * 4 + channel) as a fraction of full scale.
    double normalized(std::size_t i) const;
    bool alphaIsFull() const;
    bool colourIsGrey() const;  // red, green and blue equal in every pixel
};

// Throws UsageError "PREFIX: a WxH image needs about N GiB to render; M GiB of memory is available"
// when a frame of that size could not be rendered in the memory available now.
void checkFitsInMemory(const std::string& prefix, long width, long height, int depth);

// Reads the first image of a file upright (EXIF orientation applied), with its metadata. Checks the
// size it claims against the memory available before decoding. Throws UsageError
// "cannot read 'PATH': REASON".
// `what` names the role in messages ("input", "trigger source", ...); empty for the input.
Image readImage(const std::string& path, const std::string& what = {});

// The same picture at another depth (rounded to the nearest value, clamped for integer depths).
Image convertDepth(const Image& image, int depth);

// Packed RGBA rows as raw video pipes carry them ("rgba": bytes; "rgba64le": little-endian words
// over 0..65535, mapped to and from the world's 0..32768 as 16-bit files are). Depth 8 or 16.
std::size_t RgbaFrameBytes(int width, int height, int depth);
Image FromRgba(const std::byte* data, int width, int height, int depth, bool had_alpha);
// The same from rows `stride` bytes apart.
Image FromRgba(const std::byte* data, std::size_t stride, int width, int height, int depth, bool had_alpha);
void ToRgba(const Image& image, std::vector<std::byte>& out);
// The same into rows `stride` bytes apart.
void ToRgba(const Image& image, std::byte* out, std::size_t stride);

// Depths a file format can store, by the OpenImageIO format name ("png" -> {8, 16}).
std::vector<int> formatDepths(const std::string& format_name);

// How image files are encoded, where the format has a choice.
struct WriteOptions {
    int jpeg_quality = 95;    // 1..100
    int png_compression = 6;  // 0 (none, fastest) .. 9 (smallest)
    int png_filter = 0;       // libpng's row filters to choose from (PNG_FILTER_* bits); 0: its default, all
    bool exr_half = false;    // EXR: 16-bit half floats instead of 32-bit floats
    std::string exr_compression = "zip";  // none, rle, zip, zips, piz, pxr24, b44, b44a, dwaa, dwab
};

struct WriteResult {
    int file_depth = 8;
    std::string note;  // non-empty when the file could not hold the image as it is
};

// Checks that PATH's folder exists and PATH is not a folder. Throws UsageError.
void checkOutputFolder(const std::string& path);

// Checks that PATH names a format OpenImageIO can encode in memory and a folder that exists;
// returns the format name. Throws UsageError.
std::string checkWritable(const std::string& path);

// Encodes `image` in memory in the format chosen by the extension of `file`'s final path, at the
// image's depth where the format can hold it, otherwise at the nearest depth it can (with a note),
// with the metadata of the file the image came from, and as grey when it came from a grey file and
// is still grey; then writes the bytes into `file`, which the caller commits. Nothing is printed
// while it encodes. Throws UsageError on failure.
WriteResult writeImage(const Image& image, AtomicOutput& file, const WriteOptions& options = {});

// The bytes that writeImage puts into a file named `name`, encoded in memory. Throws UsageError.
std::string encodeImage(const Image& image, const std::string& name, const WriteOptions& options = {});

}  // namespace korvane::cli
