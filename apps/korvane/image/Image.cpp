// Reading and writing image files with OpenImageIO, and moving pixels between depths.
#include "image/Image.h"

#include <fcntl.h>
#include <unistd.h>

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>
#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "AtomicOutput.h"
#include "Errors.h"

namespace korvane::cli {

struct ImageMetadata {
    OIIO::ParamValueList attributes;
};

namespace {

namespace fs = std::filesystem;

constexpr double kMax16 = 32768.0;

// OpenImageIO messages may span lines, and a codec's error often arrives again inside the reader's
// own: one line, each part once.
std::string oneLine(const std::string& text) {
    std::vector<std::string> parts;
    std::stringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
        if (!line.empty()) parts.push_back(line);
    }
    std::string joined;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const bool repeated = std::any_of(parts.begin(), parts.end(), [&](const std::string& other) {
            return &other != &parts[i] && (other.find(parts[i]) != std::string::npos) &&
                   (other != parts[i] || &other < &parts[i]);
        });
        if (!repeated) joined += (joined.empty() ? "" : "; ") + parts[i];
    }
    return joined.empty() ? std::string("unknown error") : joined;
}

// Attributes of a file that describe its pixels rather than its encoding, carried to the output.
bool carriedAttribute(const std::string& name) {
    static const char* const kEncoding[] = {"oiio:", "png:",   "jpeg:", "tiff:", "openexr:", "exr:",   "gif:",
                                            "bmp:",  "targa:", "dpx:",  "heif:", "webp:",    "ffmpeg:"};
    for (const char* prefix : kEncoding)
        if (name.rfind(prefix, 0) == 0) return false;
    return name != "Orientation" && name != "Compression" && name != "CompressionQuality" && name != "planarconfig" &&
           name != "BitsPerSample" && name != "Exif:PixelXDimension" && name != "Exif:PixelYDimension";
}

// libpng's default handlers print to standard error what OpenImageIO then reports again as its
// own error; while a file is decoded or encoded, standard error goes nowhere so each failure is
// said once, in the CLI's one line. No other thread prints meanwhile (the preview, whose server
// threads do, encodes without it).
class QuietStderr {
public:
    QuietStderr() : saved_(::dup(STDERR_FILENO)) {
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ >= 0 && null >= 0) ::dup2(null, STDERR_FILENO);
        if (null >= 0) ::close(null);
    }
    ~QuietStderr() {
        if (saved_ < 0) return;
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
    }
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;

private:
    int saved_;
};

long availableMemory() {
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    long kib = 0;
    std::string unit;
    while (meminfo >> key >> kib >> unit)
        if (key == "MemAvailable:") return kib * 1024;
    return -1;
}

std::string describeMissing(const std::string& path) {
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (!fs::exists(status)) return "no such file";
    if (fs::is_directory(status)) return "is a directory";
    return {};
}

int depthOfFormat(const OIIO::TypeDesc& format) {
    switch (format.basetype) {
        case OIIO::TypeDesc::UINT8:
        case OIIO::TypeDesc::INT8: return 8;
        case OIIO::TypeDesc::UINT16:
        case OIIO::TypeDesc::INT16: return 16;
        default: return 32;
    }
}

// 16-bit files hold 0..65535; 16-bit worlds hold 0..32768. Both directions round to nearest.
uint16_t fileToWorld16Exact(uint32_t v) { return static_cast<uint16_t>((2u * v * 32768u + 65535u) / 131070u); }
uint16_t worldToFile16Exact(uint32_t w) {
    w = std::min<uint32_t>(w, 32768u);
    return static_cast<uint16_t>((2u * w * 65535u + 32768u) / 65536u);
}

// Every 16-bit frame of a clip passes both ways: looked up, not divided, per channel.
const uint16_t* fileToWorld16Table() {
    static const std::vector<uint16_t> table = [] {
        std::vector<uint16_t> t(65536);
        for (uint32_t i = 0; i < t.size(); ++i) t[i] = fileToWorld16Exact(i);
        return t;
    }();
    return table.data();
}
const uint16_t* worldToFile16Table() {
    static const std::vector<uint16_t> table = [] {
        std::vector<uint16_t> t(32769);
        for (uint32_t i = 0; i < t.size(); ++i) t[i] = worldToFile16Exact(i);
        return t;
    }();
    return table.data();
}
uint16_t fileToWorld16(uint32_t v) { return fileToWorld16Table()[v & 0xffffu]; }
uint16_t worldToFile16(uint32_t w) { return worldToFile16Table()[std::min<uint32_t>(w, 32768u)]; }

double clamp01(double x) { return std::isnan(x) ? 0.0 : std::clamp(x, 0.0, 1.0); }

std::string displayName(const std::string& format_name) {
    if (format_name == "openexr") return "OpenEXR";
    std::string upper = format_name;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper;
}

template <typename T>
void fillArgb(Image& image, const T* file, int nchannels, int alpha_channel, T full) {
    T* dst = image.channels<T>();
    const std::size_t count = static_cast<std::size_t>(image.width) * image.height;
    for (std::size_t p = 0; p < count; ++p) {
        const T* src = file + p * nchannels;
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

Image Image::unclearedLike(const Image& like, int depth) {
    Image image = uncleared(like.width, like.height, depth);
    image.had_alpha = like.had_alpha;
    image.grey = like.grey;
    image.metadata = like.metadata;
    return image;
}

void checkFitsInMemory(const std::string& prefix, long width, long height, int depth) {
    // Per pixel: the decoded file, the CLI's images and the host's worlds (at most six frames of
    // ARGB), and the effect's sorting records (two arrays of about 64 bytes).
    const double pixels = static_cast<double>(width) * static_cast<double>(height);
    const double needed = pixels * (128.0 + 6.0 * 4.0 * (depth == 8 ? 1 : depth == 16 ? 2 : 4));
    const long available = availableMemory();
    if (available <= 0 || needed <= static_cast<double>(available)) return;
    char text[160];
    std::snprintf(text, sizeof text, "a %ldx%ld image needs about %.1f GiB to render; %.1f GiB of memory is available",
                  width, height, needed / 1073741824.0, static_cast<double>(available) / 1073741824.0);
    throw UsageError(prefix + text);
}

Image Image::blank(int width, int height, int depth) {
    Image image;
    image.width = width;
    image.height = height;
    image.depth = depth;
    image.data.assign(static_cast<std::size_t>(height) * image.rowBytes(), std::byte{0});
    return image;
}

Image Image::uncleared(int width, int height, int depth) {
    Image image;
    image.width = width;
    image.height = height;
    image.depth = depth;
    image.data.resize(static_cast<std::size_t>(height) * image.rowBytes());
    return image;
}

double Image::normalized(std::size_t i) const {
    switch (depth) {
        case 8: return channels<uint8_t>()[i] / 255.0;
        case 16: return channels<uint16_t>()[i] / kMax16;
        default: return channels<float>()[i];
    }
}

bool Image::colourIsGrey() const {
    const std::size_t count = static_cast<std::size_t>(width) * height;
    auto all_grey = [&](const auto* px) {
        for (std::size_t p = 0; p < count; ++p, px += 4)
            if (!(px[1] == px[2] && px[2] == px[3])) return false;
        return true;
    };
    return depth == 8    ? all_grey(channels<uint8_t>())
           : depth == 16 ? all_grey(channels<uint16_t>())
                         : all_grey(channels<float>());
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
    QuietStderr quiet;
    auto in = OIIO::ImageInput::open(path, &config);
    if (!in) throw UsageError(prefix + oneLine(OIIO::geterror()));

    const OIIO::ImageSpec& file_spec = in->spec();
    const int nchannels = file_spec.nchannels;
    if (file_spec.width <= 0 || file_spec.height <= 0 || nchannels <= 0)
        throw UsageError(prefix + "the file holds no pixels");
    if (file_spec.width > 65535 || file_spec.height > 65535)
        throw UsageError(prefix + "images larger than 65535 pixels on a side are not supported");

    checkFitsInMemory(prefix, file_spec.width, file_spec.height, depthOfFormat(file_spec.format));

    int alpha_channel = file_spec.alpha_channel;
    if (alpha_channel < 0) alpha_channel = nchannels == 2 ? 1 : nchannels >= 4 ? 3 : -1;
    if (alpha_channel >= nchannels) alpha_channel = -1;

    // EXIF orientations 5 to 8 turn the picture a quarter: the upright picture swaps the sides.
    const int orientation = file_spec.get_int_attribute("Orientation", 1);
    const bool quarter_turn = orientation >= 5 && orientation <= 8;
    Image image = Image::uncleared(quarter_turn ? file_spec.height : file_spec.width,
                                   quarter_turn ? file_spec.width : file_spec.height, depthOfFormat(file_spec.format));
    image.had_alpha = alpha_channel >= 0;
    image.grey = nchannels < 3;
    auto metadata = std::make_shared<ImageMetadata>();
    for (const OIIO::ParamValue& attribute : file_spec.extra_attribs)
        if (carriedAttribute(attribute.name().string())) metadata->attributes.push_back(attribute);
    image.metadata = std::move(metadata);

    const std::size_t samples = static_cast<std::size_t>(file_spec.width) * file_spec.height * nchannels;
    auto read = [&](const OIIO::TypeDesc& type, void* buffer) {
        if (!in->read_image(0, 0, 0, nchannels, type, buffer)) throw UsageError(prefix + oneLine(in->geterror()));
        if (orientation <= 1 || orientation > 8) return;
        OIIO::ImageSpec stored(file_spec.width, file_spec.height, nchannels, type);
        stored.attribute("Orientation", orientation);
        const OIIO::ImageBuf upright = OIIO::ImageBufAlgo::reorient(OIIO::ImageBuf(stored, buffer));
        if (upright.has_error() || !upright.get_pixels(upright.roi(), type, buffer))
            throw UsageError(prefix + "cannot turn the picture upright: " + oneLine(upright.geterror()));
    };
    switch (image.depth) {
        case 8: {
            std::vector<uint8_t, Uncleared<uint8_t>> file(samples);
            read(OIIO::TypeDesc::UINT8, file.data());
            fillArgb<uint8_t>(image, file.data(), nchannels, alpha_channel, 255);
            break;
        }
        case 16: {
            std::vector<uint16_t, Uncleared<uint16_t>> file(samples);
            read(OIIO::TypeDesc::UINT16, file.data());
            for (uint16_t& v : file) v = fileToWorld16(v);
            fillArgb<uint16_t>(image, file.data(), nchannels, alpha_channel, 32768);
            break;
        }
        default: {
            std::vector<float, Uncleared<float>> file(samples);
            read(OIIO::TypeDesc::FLOAT, file.data());
            fillArgb<float>(image, file.data(), nchannels, alpha_channel, 1.0f);
            break;
        }
    }
    in->close();
    return image;
}

Image convertDepth(const Image& image, int depth) {
    if (image.depth == depth) return image;
    Image out = Image::unclearedLike(image, depth);
    out.pts = image.pts;
    const std::size_t count = static_cast<std::size_t>(image.width) * image.height * 4;
    for (std::size_t i = 0; i < count; ++i) {
        const double x = image.normalized(i);
        switch (depth) {
            case 8: out.channels<uint8_t>()[i] = static_cast<uint8_t>(std::lround(clamp01(x) * 255.0)); break;
            case 16: out.channels<uint16_t>()[i] = static_cast<uint16_t>(std::lround(clamp01(x) * kMax16)); break;
            default: out.channels<float>()[i] = static_cast<float>(x); break;
        }
    }
    return out;
}

std::size_t RgbaFrameBytes(int width, int height, int depth) {
    return static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4 * (depth == 8 ? 1 : 2);
}

Image FromRgba(const std::byte* data, int width, int height, int depth, bool had_alpha) {
    return FromRgba(data, RgbaFrameBytes(width, 1, depth), width, height, depth, had_alpha);
}

Image FromRgba(const std::byte* data, std::size_t stride, int width, int height, int depth, bool had_alpha) {
    Image image = Image::uncleared(width, height, depth);
    image.had_alpha = had_alpha;
    for (int y = 0; y < height; ++y) {
        const auto* src = reinterpret_cast<const uint8_t*>(data + stride * static_cast<std::size_t>(y));
        if (depth == 8) {
            uint8_t* dst = image.channels<uint8_t>() + static_cast<std::size_t>(y) * width * 4;
            for (int x = 0; x < width; ++x, src += 4, dst += 4) {
                dst[0] = src[3];
                dst[1] = src[0];
                dst[2] = src[1];
                dst[3] = src[2];
            }
            continue;
        }
        uint16_t* dst = image.channels<uint16_t>() + static_cast<std::size_t>(y) * width * 4;
        const uint16_t* to_world = fileToWorld16Table();
        auto word = [&](int i) { return to_world[src[2 * i] | (src[2 * i + 1] << 8)]; };
        for (int x = 0; x < width; ++x, dst += 4) {
            dst[0] = word(4 * x + 3);
            dst[1] = word(4 * x);
            dst[2] = word(4 * x + 1);
            dst[3] = word(4 * x + 2);
        }
    }
    return image;
}

void ToRgba(const Image& image, std::vector<std::byte>& out) {
    out.resize(RgbaFrameBytes(image.width, image.height, image.depth == 8 ? 8 : 16));
    ToRgba(image, out.data(), RgbaFrameBytes(image.width, 1, image.depth == 8 ? 8 : 16));
}

void ToRgba(const Image& image, std::byte* out, std::size_t stride) {
    if (image.depth == 32) return ToRgba(convertDepth(image, 16), out, stride);
    for (int y = 0; y < image.height; ++y) {
        auto* dst = reinterpret_cast<uint8_t*>(out + stride * static_cast<std::size_t>(y));
        if (image.depth == 8) {
            const uint8_t* src = image.channels<uint8_t>() + static_cast<std::size_t>(y) * image.width * 4;
            for (int x = 0; x < image.width; ++x, src += 4, dst += 4) {
                dst[0] = src[1];
                dst[1] = src[2];
                dst[2] = src[3];
                dst[3] = src[0];
            }
            continue;
        }
        const uint16_t* src = image.channels<uint16_t>() + static_cast<std::size_t>(y) * image.width * 4;
        const uint16_t* to_file = worldToFile16Table();
        auto put = [&](int i, uint16_t world) {
            const uint16_t v = to_file[std::min<uint16_t>(world, 32768)];
            dst[2 * i] = static_cast<uint8_t>(v & 0xff);
            dst[2 * i + 1] = static_cast<uint8_t>(v >> 8);
        };
        for (int x = 0; x < image.width; ++x, src += 4) {
            put(4 * x, src[1]);
            put(4 * x + 1, src[2]);
            put(4 * x + 2, src[3]);
            put(4 * x + 3, src[0]);
        }
    }
}

std::vector<int> formatDepths(const std::string& format_name) {
    if (format_name == "tiff") return {8, 16, 32};
    if (format_name == "openexr" || format_name == "hdr") return {32};
    if (format_name == "png" || format_name == "pnm" || format_name == "sgi" || format_name == "dpx") return {8, 16};
    return {8};
}

std::string checkWritable(const std::string& path) {
    const std::string prefix = "cannot write '" + path + "': ";
    const char* const kFormats = "(use .png, .tif, .exr or .jpg, or a video: .mp4, .mov, .mkv, .webm)";
    auto out = OIIO::ImageOutput::create(path);
    if (!out) throw UsageError(prefix + "unknown image format " + kFormats);
    // Files are encoded in memory and written by the CLI, which checks every write.
    if (!out->supports("ioproxy"))
        throw UsageError(prefix + displayName(out->format_name()) + " files are not supported for output " + kFormats);
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

namespace {

// Encodes into `bytes`: no library touches a file, so none can fail half way through one.
WriteResult encodeInto(const Image& image, const std::string& final_path, const WriteOptions& options,
                       std::vector<unsigned char>& bytes) {
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
        const bool half = format == "openexr" && options.exr_half;
        result.note = displayName(format) + " cannot hold " + std::to_string(image.depth) + "-bit pixels; wrote '" +
                      final_path + "' " +
                      (half ? std::string("as 16-bit half floats")
                            : "at " + std::to_string(result.file_depth) + " bits");
    }

    const bool keep_alpha = out->supports("alpha") && (image.had_alpha || !image.alphaIsFull());
    if (!out->supports("alpha") && !image.alphaIsFull()) {
        if (!result.note.empty()) result.note += "; ";
        result.note += displayName(format) + " has no alpha channel; alpha dropped";
    }
    const int colours = image.grey && image.colourIsGrey() ? 1 : 3;
    const int nchannels = colours + (keep_alpha ? 1 : 0);
    const Image file_image = result.file_depth == image.depth ? image : convertDepth(image, result.file_depth);

    const std::size_t count = static_cast<std::size_t>(image.width) * image.height;
    PixelBytes buffer(count * nchannels * file_image.bytesPerChannel());
    auto repack = [&](auto* dst, const auto* src, auto map) {
        for (std::size_t p = 0; p < count; ++p) {
            const auto* px = src + p * 4;
            auto* o = dst + p * nchannels;
            for (int c = 0; c < colours; ++c) o[c] = map(px[1 + c]);
            if (keep_alpha) o[colours] = map(px[0]);
        }
    };
    OIIO::TypeDesc type;
    switch (result.file_depth) {
        case 8:
            type = OIIO::TypeDesc::UINT8;
            repack(reinterpret_cast<uint8_t*>(buffer.data()), file_image.channels<uint8_t>(),
                   [](uint8_t v) { return v; });
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
    if (image.metadata)
        for (const OIIO::ParamValue& attribute : image.metadata->attributes)
            file_spec.extra_attribs.push_back(attribute);
    if (colours == 1)
        file_spec.channelnames = keep_alpha ? std::vector<std::string>{"Y", "A"} : std::vector<std::string>{"Y"};
    file_spec.alpha_channel = keep_alpha ? nchannels - 1 : -1;
    file_spec.attribute("oiio:UnassociatedAlpha", 1);
    if (format == "jpeg") file_spec.attribute("Compression", "jpeg:" + std::to_string(options.jpeg_quality));
    if (format == "png") file_spec.attribute("png:compressionLevel", options.png_compression);
    if (format == "png" && options.png_filter != 0) file_spec.attribute("png:filter", options.png_filter);
    if (format == "openexr") {
        file_spec.attribute("Compression", options.exr_compression);
        if (options.exr_half) file_spec.set_format(OIIO::TypeDesc::HALF);
    }
    if (!out->supports("ioproxy")) throw UsageError(prefix + displayName(format) + " cannot be encoded in memory");
    // Room for the whole picture up front: growing by doubling would copy it several times over.
    bytes.reserve(buffer.size() + 65536);
    OIIO::Filesystem::IOVecOutput proxy(bytes);
    void* pointer = &proxy;
    file_spec.attribute("oiio:ioproxy", OIIO::TypeDesc::PTR, &pointer);
    if (!out->open(final_path, file_spec) || !out->write_image(type, buffer.data()) || !out->close())
        throw UsageError(prefix + oneLine(out->geterror()));
    if (!proxy.error().empty()) throw UsageError(prefix + oneLine(proxy.error()));
    if (bytes.empty()) throw UsageError(prefix + displayName(format) + " encoder wrote nothing");
    return result;
}

}  // namespace

WriteResult writeImage(const Image& image, AtomicOutput& file, const WriteOptions& options) {
    std::vector<unsigned char> bytes;
    WriteResult result;
    {
        QuietStderr quiet;
        result = encodeInto(image, file.finalPath(), options, bytes);
    }
    file.write(bytes.data(), bytes.size());
    return result;
}

// Not quiet: the preview encodes on its server's threads, and standard error belongs to them all.
std::string encodeImage(const Image& image, const std::string& name, const WriteOptions& options) {
    std::vector<unsigned char> bytes;
    encodeInto(image, name, options, bytes);
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace korvane::cli
