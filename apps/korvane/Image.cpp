// Reading and writing image files with OpenImageIO, and moving pixels between depths.
#include "Image.h"

#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "Errors.h"

namespace korvane::cli {
namespace {

namespace fs = std::filesystem;

constexpr double kMax16 = 32768.0;

// OpenImageIO messages may span lines; the CLI reports one line per error.
std::string oneLine(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text.empty() ? std::string("unknown error") : text;
}

std::string describeMissing(const std::string& path) {
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (!fs::exists(status)) return "no such file";
    if (fs::is_directory(status)) return "is a directory";
    return {};
}

int depthOfFormat(OIIO::TypeDesc format) {
    switch (format.basetype) {
    case OIIO::TypeDesc::UINT8:
    case OIIO::TypeDesc::INT8:
        return 8;
    case OIIO::TypeDesc::UINT16:
    case OIIO::TypeDesc::INT16:
        return 16;
    default:
        return 32;
    }
}

// 16-bit files hold 0..65535; 16-bit worlds hold 0..32768. Both directions round to nearest.
uint16_t fileToWorld16(uint32_t v) { return static_cast<uint16_t>((2u * v * 32768u + 65535u) / 131070u); }
uint16_t worldToFile16(uint32_t w) {
    w = std::min<uint32_t>(w, 32768u);
    return static_cast<uint16_t>((2u * w * 65535u + 32768u) / 65536u);
}

double clamp01(double x) { return std::isnan(x) ? 0.0 : std::clamp(x, 0.0, 1.0); }

std::string displayName(const std::string& format_name) {
    if (format_name == "openexr") return "OpenEXR";
    std::string upper = format_name;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper;
}

template <typename T>
void fillArgb(Image& image, const std::vector<T>& file, int nchannels, int alpha_channel, T full) {
    T* dst = image.channels<T>();
    const std::size_t count = static_cast<std::size_t>(image.width) * image.height;
    for (std::size_t p = 0; p < count; ++p) {
        const T* src = file.data() + p * nchannels;
        T* out = dst + p * 4;
        if (nchannels < 3) {
            out[1] = out[2] = out[3] = src[0];
        } else {
            out[1] = src[0];
            out[2] = src[1];
            out[3] = src[2];
        }
        out[0] = alpha_channel >= 0 ? src[alpha_channel] : full;
    }
}

}  // namespace

Image Image::blank(int width, int height, int depth) {
    Image image;
    image.width = width;
    image.height = height;
    image.depth = depth;
    image.data.assign(static_cast<std::size_t>(height) * image.rowBytes(), std::byte{0});
    return image;
}

double Image::normalized(std::size_t i) const {
    switch (depth) {
    case 8:
        return channels<uint8_t>()[i] / 255.0;
    case 16:
        return channels<uint16_t>()[i] / kMax16;
    default:
        return channels<float>()[i];
    }
}

bool Image::alphaIsFull() const {
    const std::size_t count = static_cast<std::size_t>(width) * height;
    for (std::size_t p = 0; p < count; ++p) {
        const std::size_t i = p * 4;
        const bool full = depth == 8    ? channels<uint8_t>()[i] == 255
                          : depth == 16 ? channels<uint16_t>()[i] == 32768
                                        : channels<float>()[i] == 1.0f;
        if (!full) return false;
    }
    return true;
}

Image readImage(const std::string& path, const std::string& what) {
    const std::string prefix = (what.empty() ? "cannot read '" : "cannot read " + what + " '") + path + "': ";
    if (const std::string missing = describeMissing(path); !missing.empty()) throw UsageError(prefix + missing);

    OIIO::ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", 1);
    auto in = OIIO::ImageInput::open(path, &config);
    if (!in) throw UsageError(prefix + oneLine(OIIO::geterror()));

    const OIIO::ImageSpec& file_spec = in->spec();
    const int nchannels = file_spec.nchannels;
    if (file_spec.width <= 0 || file_spec.height <= 0 || nchannels <= 0)
        throw UsageError(prefix + "the file holds no pixels");
    if (file_spec.width > 65535 || file_spec.height > 65535)
        throw UsageError(prefix + "images larger than 65535 pixels on a side are not supported");

    int alpha_channel = file_spec.alpha_channel;
    if (alpha_channel < 0) alpha_channel = nchannels == 2 ? 1 : nchannels >= 4 ? 3 : -1;
    if (alpha_channel >= nchannels) alpha_channel = -1;

    Image image = Image::blank(file_spec.width, file_spec.height, depthOfFormat(file_spec.format));
    image.had_alpha = alpha_channel >= 0;
    const std::size_t samples = static_cast<std::size_t>(file_spec.width) * file_spec.height * nchannels;
    auto read = [&](OIIO::TypeDesc type, void* buffer) {
        if (!in->read_image(0, 0, 0, nchannels, type, buffer)) throw UsageError(prefix + oneLine(in->geterror()));
    };
    switch (image.depth) {
    case 8: {
        std::vector<uint8_t> file(samples);
        read(OIIO::TypeDesc::UINT8, file.data());
        fillArgb<uint8_t>(image, file, nchannels, alpha_channel, 255);
        break;
    }
    case 16: {
        std::vector<uint16_t> file(samples);
        read(OIIO::TypeDesc::UINT16, file.data());
        for (uint16_t& v : file) v = fileToWorld16(v);
        fillArgb<uint16_t>(image, file, nchannels, alpha_channel, 32768);
        break;
    }
    default: {
        std::vector<float> file(samples);
        read(OIIO::TypeDesc::FLOAT, file.data());
        fillArgb<float>(image, file, nchannels, alpha_channel, 1.0f);
        break;
    }
    }
    in->close();
    return image;
}

Image convertDepth(const Image& image, int depth) {
    if (image.depth == depth) return image;
    Image out = Image::blank(image.width, image.height, depth);
    out.had_alpha = image.had_alpha;
    const std::size_t count = static_cast<std::size_t>(image.width) * image.height * 4;
    for (std::size_t i = 0; i < count; ++i) {
        const double x = image.normalized(i);
        switch (depth) {
        case 8:
            out.channels<uint8_t>()[i] = static_cast<uint8_t>(std::lround(clamp01(x) * 255.0));
            break;
        case 16:
            out.channels<uint16_t>()[i] = static_cast<uint16_t>(std::lround(clamp01(x) * kMax16));
            break;
        default:
            out.channels<float>()[i] = static_cast<float>(x);
            break;
        }
    }
    return out;
}

std::size_t RgbaFrameBytes(int width, int height, int depth) {
    return static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4 * (depth == 8 ? 1 : 2);
}

Image FromRgba(const std::byte* data, int width, int height, int depth, bool had_alpha) {
    Image image = Image::blank(width, height, depth);
    image.had_alpha = had_alpha;
    const std::size_t count = static_cast<std::size_t>(width) * height;
    if (depth == 8) {
        const auto* src = reinterpret_cast<const uint8_t*>(data);
        uint8_t* dst = image.channels<uint8_t>();
        for (std::size_t p = 0; p < count; ++p, src += 4, dst += 4) {
            dst[0] = src[3];
            dst[1] = src[0];
            dst[2] = src[1];
            dst[3] = src[2];
        }
        return image;
    }
    const auto* src = reinterpret_cast<const uint8_t*>(data);
    uint16_t* dst = image.channels<uint16_t>();
    auto word = [&](std::size_t i) { return fileToWorld16(static_cast<uint32_t>(src[2 * i] | (src[2 * i + 1] << 8))); };
    for (std::size_t p = 0; p < count; ++p, dst += 4) {
        dst[0] = word(4 * p + 3);
        dst[1] = word(4 * p);
        dst[2] = word(4 * p + 1);
        dst[3] = word(4 * p + 2);
    }
    return image;
}

void ToRgba(const Image& image, std::vector<std::byte>& out) {
    if (image.depth == 32) return ToRgba(convertDepth(image, 16), out);
    out.resize(RgbaFrameBytes(image.width, image.height, image.depth));
    const std::size_t count = static_cast<std::size_t>(image.width) * image.height;
    auto* dst = reinterpret_cast<uint8_t*>(out.data());
    if (image.depth == 8) {
        const uint8_t* src = image.channels<uint8_t>();
        for (std::size_t p = 0; p < count; ++p, src += 4, dst += 4) {
            dst[0] = src[1];
            dst[1] = src[2];
            dst[2] = src[3];
            dst[3] = src[0];
        }
        return;
    }
    const uint16_t* src = image.channels<uint16_t>();
    auto put = [&](std::size_t i, uint16_t world) {
        const uint16_t v = worldToFile16(world);
        dst[2 * i] = static_cast<uint8_t>(v & 0xff);
        dst[2 * i + 1] = static_cast<uint8_t>(v >> 8);
    };
    for (std::size_t p = 0; p < count; ++p, src += 4) {
        put(4 * p, src[1]);
        put(4 * p + 1, src[2]);
        put(4 * p + 2, src[3]);
        put(4 * p + 3, src[0]);
    }
}

std::vector<int> formatDepths(const std::string& format_name) {
    if (format_name == "tiff") return {8, 16, 32};
    if (format_name == "openexr" || format_name == "hdr") return {32};
    if (format_name == "png" || format_name == "pnm" || format_name == "sgi" || format_name == "dpx")
        return {8, 16};
    return {8};
}

std::string checkWritable(const std::string& path) {
    const std::string prefix = "cannot write '" + path + "': ";
    auto out = OIIO::ImageOutput::create(path);
    if (!out) throw UsageError(prefix + "unknown image format (use .png, .tif, .exr or .jpg, or a video: .mp4, .mov, .mkv, .webm)");
    checkOutputFolder(path);
    return out->format_name();
}

void checkOutputFolder(const std::string& path) {
    const std::string prefix = "cannot write '" + path + "': ";
    fs::path parent = fs::path(path).parent_path();
    if (parent.empty()) parent = ".";
    std::error_code ec;
    if (!fs::is_directory(parent, ec)) throw UsageError(prefix + "no such folder '" + parent.string() + "'");
    if (fs::is_directory(path, ec)) throw UsageError(prefix + "is a directory");
}

WriteResult writeImage(const Image& image, const std::string& final_path, const std::string& temp_path) {
    const std::string prefix = "cannot write '" + final_path + "': ";
    auto out = OIIO::ImageOutput::create(final_path);
    if (!out) throw UsageError(prefix + oneLine(OIIO::geterror()));
    const std::string format = out->format_name();

    WriteResult result;
    const std::vector<int> depths = formatDepths(format);
    result.file_depth = image.depth;
    if (std::find(depths.begin(), depths.end(), image.depth) == depths.end()) {
        // The deepest depth below the image's, or else the shallowest above it.
        result.file_depth = depths.front();
        for (int d : depths)
            if (d < image.depth) result.file_depth = d;
        result.note = displayName(format) + " cannot hold " + std::to_string(image.depth) +
                      "-bit pixels; wrote '" + final_path + "' at " + std::to_string(result.file_depth) + " bits";
    }

    const bool keep_alpha = out->supports("alpha") && (image.had_alpha || !image.alphaIsFull());
    if (!out->supports("alpha") && !image.alphaIsFull()) {
        if (!result.note.empty()) result.note += "; ";
        result.note += displayName(format) + " has no alpha channel; alpha dropped";
    }
    const int nchannels = keep_alpha ? 4 : 3;
    const Image file_image = result.file_depth == image.depth ? image : convertDepth(image, result.file_depth);

    const std::size_t count = static_cast<std::size_t>(image.width) * image.height;
    std::vector<std::byte> buffer(count * nchannels * file_image.bytesPerChannel());
    auto repack = [&](auto* dst, const auto* src, auto map) {
        for (std::size_t p = 0; p < count; ++p) {
            const auto* px = src + p * 4;
            auto* o = dst + p * nchannels;
            o[0] = map(px[1]);
            o[1] = map(px[2]);
            o[2] = map(px[3]);
            if (nchannels == 4) o[3] = map(px[0]);
        }
    };
    OIIO::TypeDesc type;
    switch (result.file_depth) {
    case 8:
        type = OIIO::TypeDesc::UINT8;
        repack(reinterpret_cast<uint8_t*>(buffer.data()), file_image.channels<uint8_t>(), [](uint8_t v) { return v; });
        break;
    case 16:
        type = OIIO::TypeDesc::UINT16;
        repack(reinterpret_cast<uint16_t*>(buffer.data()), file_image.channels<uint16_t>(),
               [](uint16_t w) { return worldToFile16(w); });
        break;
    default:
        type = OIIO::TypeDesc::FLOAT;
        repack(reinterpret_cast<float*>(buffer.data()), file_image.channels<float>(), [](float v) { return v; });
        break;
    }

    OIIO::ImageSpec file_spec(image.width, image.height, nchannels, type);
    file_spec.attribute("oiio:UnassociatedAlpha", 1);
    if (format == "jpeg") file_spec.attribute("Compression", "jpeg:95");
    if (!out->open(temp_path, file_spec) || !out->write_image(type, buffer.data()) || !out->close())
        throw UsageError(prefix + oneLine(out->geterror()));
    return result;
}

}  // namespace korvane::cli
