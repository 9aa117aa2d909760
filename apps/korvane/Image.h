// Images as the CLI holds them between files and host worlds: ARGB pixels at the world's depth.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace korvane::cli {

// Tightly packed rows of ARGB pixels. Channel values are in the world's scale: 8-bit 0..255,
// 16-bit 0..32768, 32-bit float 0..1 (unclamped).
struct Image {
    int width = 0;
    int height = 0;
    int depth = 8;              // bits per channel: 8, 16 or 32
    bool had_alpha = true;      // the file had an alpha channel
    std::vector<std::byte> data;

    static Image blank(int width, int height, int depth);

    std::size_t bytesPerChannel() const { return depth == 8 ? 1 : depth == 16 ? 2 : 4; }
    std::size_t rowBytes() const { return static_cast<std::size_t>(width) * 4 * bytesPerChannel(); }

    template <typename T>
    T* channels() { return reinterpret_cast<T*>(data.data()); }
    template <typename T>
    const T* channels() const { return reinterpret_cast<const T*>(data.data()); }

    // Channel value i (pixel * 4 + channel) as a fraction of full scale.
    double normalized(std::size_t i) const;
    bool alphaIsFull() const;
};

// Reads the first image of a file. Throws UsageError "cannot read 'PATH': REASON".
// `what` names the role in messages ("input", "trigger source", ...); empty for the input.
Image readImage(const std::string& path, const std::string& what = {});

// The same picture at another depth (rounded to the nearest value, clamped for integer depths).
Image convertDepth(const Image& image, int depth);

// Packed RGBA rows as raw video pipes carry them ("rgba": bytes; "rgba64le": little-endian words
// over 0..65535, mapped to and from the world's 0..32768 as 16-bit files are). Depth 8 or 16.
std::size_t RgbaFrameBytes(int width, int height, int depth);
Image FromRgba(const std::byte* data, int width, int height, int depth, bool had_alpha);
void ToRgba(const Image& image, std::vector<std::byte>& out);

// Depths a file format can store, by the OpenImageIO format name ("png" -> {8, 16}).
std::vector<int> formatDepths(const std::string& format_name);

struct WriteResult {
    int file_depth = 8;
    std::string note;  // non-empty when the file could not hold the image as it is
};

// Checks that PATH's folder exists and PATH is not a folder. Throws UsageError.
void checkOutputFolder(const std::string& path);

// Checks that PATH names a format OpenImageIO can write and a folder that exists; returns the
// format name. Throws UsageError.
std::string checkWritable(const std::string& path);

// Writes `image` to `temp_path` in the format chosen by `final_path`'s extension, at the image's
// depth where the format can hold it, otherwise at the nearest depth it can (with a note).
// Throws UsageError on failure.
WriteResult writeImage(const Image& image, const std::string& final_path, const std::string& temp_path);

}  // namespace korvane::cli
