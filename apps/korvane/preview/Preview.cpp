// `korvane preview`: an HTTP server on the loopback address, a page embedded in the binary, and
// renders through the same host calls as `korvane render`.
#include "preview/Preview.h"

#include <httplib.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <sstream>
#include <thread>

#include "Effect.h"
#include "Errors.h"
#include "Interrupt.h"
#include "ParamTable.h"
#include "TestHooks.h"
#include "image/Sequence.h"
#include "preview/PageData.h"
#include "preview/PreviewPage.h"
#include "render/FrameIO.h"
#include "render/RenderFrame.h"
#include "video/VideoProbe.h"

extern char** environ;

namespace korvane::cli {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr double kSequenceFps = 24.0;  // `korvane render`'s default --fps
constexpr int kPngFilterNone = 0x08;   // libpng's PNG_FILTER_NONE

std::string newToken() {
    std::random_device device;
    static const char* hex = "0123456789abcdef";
    std::string token;
    for (int i = 0; i < 32; ++i) token += hex[device() & 15];
    return token;
}

bool sameToken(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

// RFC 3986's unreserved characters as they are, every other byte as %XX (a header carries ASCII only).
std::string percentEncoded(const std::string& text) {
    static const char* hex = "0123456789ABCDEF";
    std::string encoded;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) || std::strchr("-._~", c) != nullptr)
            encoded += c;
        else
            encoded += {'%', hex[byte >> 4], hex[byte & 15]};
    }
    return encoded;
}

// The input: a still, an image sequence or a clip, with the picture of the frame last asked for.
class PreviewInput {
public:
    explicit PreviewInput(const std::string& path) : path_(path), pattern_(path) {
        if (pattern_.hasPlaceholder()) {
            range_ = findFrames(pattern_);
            fps_ = kSequenceFps;
        } else {
            clip_ = ProbeVideo(path);
            if (clip_) {
                fps_ = clip_->fps.value();
                range_ = {0, std::max(clip_->frame_count, 1L) - 1};
            }
        }
        picture(range_.first);  // the first frame is read now, so that a bad input ends the command
    }

    bool still() const { return !clip_ && !pattern_.hasPlaceholder(); }
    bool clip() const { return clip_.has_value(); }
    double fps() const { return fps_; }
    const FrameRange& range() const { return range_; }

    long frameAt(double time) const {
        if (still()) return 0;
        if (clip_) return clip_->frameAt(time);
        const long frame = std::lround(time * fps_);
        return std::clamp(frame, range_.first, range_.last);
    }
    // The time a frame renders at: a clip's frames keep their own.
    double frameTime(long frame) const { return clip_ ? clip_->frameTime(frame) : static_cast<double>(frame) / fps_; }

    const Image& picture(long frame) {
        if (picture_ && frame == frame_) return *picture_;
        std::unique_ptr<FrameSource> source;
        if (clip_)
            source = ClipSource(path_, *clip_, clip_->bit_depth > 8 ? 16 : 8, FrameRange{frame, frame});
        else if (pattern_.hasPlaceholder())
            source = SequenceSource(pattern_);
        else
            source = StillSource(path_);
        std::optional<Image> image = source->next(frame);
        if (!image)
            throw UsageError("cannot read frame " + std::to_string(frame) + " of '" + path_ + "'" +
                             (source->problem().empty() ? "" : ": " + source->problem()));
        picture_ = std::move(image);
        frame_ = frame;
        scaled_.reset();
        return *picture_;
    }

    // The frame scaled to `width` pixels wide (box filter: no overshoot past the world's range).
    const Image& scaled(long frame, int width) {
        const Image& full = picture(frame);
        if (width <= 0 || width >= full.width) return full;
        if (scaled_ && scaled_->width == width) return *scaled_;
        const int height = std::max(1, static_cast<int>(
                                           std::lround(static_cast<double>(full.height) * width / full.width)));
        const OIIO::TypeDesc type = full.depth == 8    ? OIIO::TypeDesc::UINT8
                                    : full.depth == 16 ? OIIO::TypeDesc::UINT16
                                                       : OIIO::TypeDesc::FLOAT;
        const OIIO::ImageBuf source(OIIO::ImageSpec(full.width, full.height, 4, type),
                                    const_cast<std::byte*>(full.data.data()));
        Image image = Image::unclearedLike(full, full.depth);
        image.width = width;
        image.height = height;
        image.data.resize(image.rowBytes() * static_cast<std::size_t>(height));
        OIIO::ImageBuf target(OIIO::ImageSpec(width, height, 4, type), image.data.data());
        if (!OIIO::ImageBufAlgo::resize(target, source, "box", 0.0f))
            throw UsageError("cannot scale the preview: " + target.geterror());
        scaled_ = std::move(image);
        return *scaled_;
    }

private:
    std::string path_;
    FramePattern pattern_;
    std::optional<VideoInfo> clip_;
    FrameRange range_{0, 0};
    double fps_ = kSequenceFps;
    std::optional<Image> picture_;
    long frame_ = -1;
    std::optional<Image> scaled_;
};

// An encoded render: its bytes, MIME type, and for a full-size one the file name it is saved as.
struct Picture {
    std::string bytes;
    std::string type;
    std::string name;
};

// Renders looks one at a time; a newer request cancels the render in flight.
class Renderer {
public:
    explicit Renderer(const PreviewOptions& options)
        : options_(options),
          input_(options.input),
          host_(openEffect(options.effect.empty() ? defaultEffectPath() : options.effect,
                           host::Personality::AfterEffects)) {
        setFrameRate(*host_, input_.fps());
        host_->SetProgressListener([](A_long, A_long) {
            noteProgressCallForTestHook();
            stallFirstPreviewRenderForTestHook();
        });
    }
    ~Renderer() { host_->GlobalSetdown(); }

    host::Host& host() { return *host_; }
    PreviewInput& input() { return input_; }

    json inputInfo() {
        std::lock_guard lock(mutex_);
        const Image& first = input_.picture(input_.frameAt(0));
        return {{"path", options_.input},
                {"width", first.width},
                {"height", first.height},
                {"depth", first.depth},
                {"kind", input_.still()  ? "image"
                         : input_.clip() ? "video"
                                         : "sequence"},
                {"first_frame", input_.range().first},
                {"frame_count", input_.range().count()},
                {"fps", input_.fps()}};
    }

    // The command line that renders `look` at full size.
    std::string command(const Look& look) {
        std::lock_guard lock(mutex_);
        return commandLine(look, input_.picture(input_.frameAt(look.time)).depth);
    }

    // The encoded picture, or nothing when a newer request superseded it.
    std::optional<Picture> render(const Look& look) {
        const unsigned long ticket = ++latest_;
        host_->Cancel();  // the render in flight, if any, stops at its next progress call
        std::lock_guard lock(mutex_);
        if (ticket != latest_.load()) return std::nullopt;
        host_->ResetCancel();
        if (ticket != latest_.load()) return std::nullopt;

        const long frame = input_.frameAt(look.time);
        if (look.width > input_.picture(frame).width)
            throw BadLook{"width", "wider than the input (" + std::to_string(input_.picture(frame).width) + " pixels)"};
        const Image& picture = input_.scaled(frame, look.width);
        const double scale = static_cast<double>(picture.width) / input_.picture(frame).width;
        // The effect scales what it measures in pixels by the host's downsample factor.
        const PF_RationalScale down_x{picture.width, static_cast<A_u_long>(input_.picture(frame).width)};
        const PF_RationalScale down_y{picture.height, static_cast<A_u_long>(input_.picture(frame).height)};
        host_->SetInDataHook([down_x, down_y](PF_InData& in) {
            in.downsample_x = down_x;
            in.downsample_y = down_y;
        });
        host_->ResetParams();
        host_->ClearMasks();
        std::vector<AEGP_MaskIDVal> mask_ids;
        for (const std::string& text : look.masks) {
            SvgPath path = parseSvgPath(text);
            for (PathSegment& segment : path.segments)
                for (auto& point : segment.p) {
                    point.x *= scale;
                    point.y *= scale;
                }
            mask_ids.push_back(host_->AddMask(host::Mask{0, toHostPath(path)}));
        }
        for (const auto& [index, setting] : look.settings.byIndex()) {
            double value = setting.keys[0].value;
            if (setting.row->type == PF_Param_PATH)
                value = value >= 1 ? static_cast<double>(mask_ids[static_cast<std::size_t>(value) - 1]) : 0.0;
            host_->Set(index, value);
        }
        Image result;
        try {
            result = renderPixels(*host_, false, picture, input_.frameTime(frame),
                                  "the preview of frame " + std::to_string(frame), &worlds_);
        } catch (const Cancelled&) {
            if (interrupted()) throw;
            return std::nullopt;
        }
        const std::string output = frameName(picture.depth, frame);
        WriteOptions write;
        const bool full = picture.width == input_.picture(frame).width;
        if (!full && result.alphaIsFull()) {
            // A picture of a look in motion: JPEG at a quality nobody tells from the original is a
            // third of the work of even uncompressed PNG for the server and for the browser, which
            // shows it on the next frame. The final picture (on release) stays exact.
            write.jpeg_quality = 95;
            return Picture{encodeImage(convertDepth(result, 8), "preview.jpg", write), "image/jpeg", ""};
        }
        if (!full) {
            // With alpha: stored and unfiltered PNG, a tenth of the time of even the fastest compression.
            write.png_compression = 0;
            write.png_filter = kPngFilterNone;
        }
        return Picture{encodeImage(result, output, write),
                       fs::path(output).extension() == ".exr" ? "image/x-exr" : "image/png", full ? output : ""};
    }

private:
    bool sequence() const { return !input_.still() && !input_.clip(); }

    // The input's name without its folder, extension, frame placeholder and trailing separators.
    std::string stem() const {
        std::string stem = fs::path(options_.input).stem().string();
        if (sequence()) stem = stem.substr(0, stem.find_first_of("#%"));
        while (!stem.empty() && std::strchr("_-. ", stem.back()) != nullptr) stem.pop_back();
        return (stem.empty() ? "look" : stem) + "_sorted";
    }

    // What the command writes: "coffee_sorted.png", "shot_sorted_####.png", "clip_sorted.mp4".
    std::string outputName(int depth) const {
        if (input_.clip()) {
            // The input's container where `korvane render` picks a codec for it; else lossless FFV1.
            std::string extension = fs::path(options_.input).extension().string();
            std::transform(extension.begin(), extension.end(), extension.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            const bool chosen = extension == ".mp4" || extension == ".m4v" || extension == ".mov" ||
                                extension == ".mkv" || extension == ".webm";
            return stem() + (chosen ? extension : ".mkv");
        }
        return stem() + (sequence() ? "_####" : "") + (depth == 32 ? ".exr" : ".png");
    }

    // What a full-size render of one frame is saved as: the still's output, the sequence output's
    // file of that frame, or the frame numbered beside the clip's name.
    std::string frameName(int depth, long frame) const {
        if (input_.still()) return outputName(depth);
        return FramePattern(stem() + "_####" + (depth == 32 ? ".exr" : ".png")).forFrame(frame);
    }

    // Every frame of a clip or a sequence, with the look's constant settings.
    std::string commandLine(const Look& look, int depth) const {
        std::string line = "korvane render " + shellWord(options_.input) + " -o " + shellWord(outputName(depth));
        return line + lookArguments(look);
    }

    const PreviewOptions& options_;
    PreviewInput input_;
    std::unique_ptr<host::Host> host_;
    FrameWorlds worlds_;  // the last render's world memory, for the next one of the same size
    std::mutex mutex_;
    std::atomic<unsigned long> latest_{0};
};

void sendError(httplib::Response& res, int status, const std::string& field, const std::string& message) {
    res.status = status;
    json body = {{"error", message}};
    if (!field.empty()) body["field"] = field;
    res.set_content(body.dump(), "application/json");
}

// The Host header names this server (not a name that a rebinding DNS points at it).
bool hostHeaderAllowed(const std::string& header, const std::string& address, int port) {
    const std::string suffix = ":" + std::to_string(port);
    if (header.size() <= suffix.size() || header.compare(header.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    const std::string name = header.substr(0, header.size() - suffix.size());
    if (name == "127.0.0.1" || name == "localhost" || name == "[::1]" || name == address || name == "[" + address + "]")
        return true;
    // Bound to every address: any address literal, but never a name.
    if (address == "0.0.0.0" || address == "::")
        return std::all_of(name.begin(), name.end(),
                           [](char c) { return std::isdigit(static_cast<unsigned char>(c)) || c == '.'; }) ||
               (name.size() > 2 && name.front() == '[' && name.back() == ']');
    return false;
}

void openBrowser(const std::string& url) {
    const char* argv[] = {"xdg-open", url.c_str(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    if (posix_spawnp(&pid, "xdg-open", &actions, nullptr, const_cast<char**>(argv), environ) == 0)
        std::thread([pid] { ::waitpid(pid, nullptr, 0); }).detach();
    else
        std::fprintf(stderr, "korvane: could not start xdg-open; open the address above in a browser\n");
    posix_spawn_file_actions_destroy(&actions);
}

}  // namespace

int runPreview(const PreviewOptions& options) {
    Renderer renderer(options);
    CancelOnInterrupt cancel_on_interrupt(renderer.host());
    const std::string token = newToken();

    httplib::Server server;
    // Bodies a little over the limit are read and refused with a JSON error naming the body; far
    // larger ones are cut off by the server with 413.
    server.set_payload_max_length(2 * kMaxLookBody);
    // SO_REUSEADDR alone: httplib's default SO_REUSEPORT would let a second preview listen on this
    // port too, and the kernel would share the connections between the two.
    server.set_socket_options([](socket_t sock) {
        const int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    });
    server.set_tcp_nodelay(true);  // a response's head and body in separate writes would wait for a delayed ACK
    int port = 0;
    server.set_pre_routing_handler([&](const httplib::Request& req, httplib::Response& res) {
        const std::string given = req.has_header("X-Korvane-Token") ? req.get_header_value("X-Korvane-Token")
                                                                    : req.get_param_value("token");
        if (!hostHeaderAllowed(req.get_header_value("Host"), options.address, port)) {
            sendError(res, 403, "Host", "this server answers to its own address only");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (!sameToken(given, token)) {
            sendError(res, 403, "token", "missing or wrong token; use the address korvane preview printed");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });

    server.Get("/", [](const httplib::Request&, httplib::Response& res) {
        res.set_header("Cache-Control", "no-store");
        res.set_content(kPreviewPage, "text/html; charset=utf-8");
    });
    server.Get("/api/params", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(paramTable().dump(), "application/json");
    });
    server.Get("/api/input", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(renderer.inputInfo().dump(), "application/json");
    });
    auto withLook = [](auto handler) {
        return [handler](const httplib::Request& req, httplib::Response& res) {
            try {
                handler(parseLook(req.body), res);
            } catch (const BadLook& e) {
                sendError(res, 400, e.field, e.message);
            } catch (const Cancelled&) {
                sendError(res, 503, "", "the server is stopping");
            } catch (const std::bad_alloc&) {
                sendError(res, 500, "", "out of memory");
            } catch (const std::exception& e) {
                sendError(res, 500, "", e.what());
            }
        };
    };
    server.Post("/api/command", withLook([&](const Look& look, httplib::Response& res) {
                    res.set_content(renderer.command(look) + "\n", "text/plain; charset=utf-8");
                }));
    server.Post("/api/render", withLook([&](const Look& look, httplib::Response& res) {
                    const auto picture = renderer.render(look);
                    if (!picture) {
                        sendError(res, 409, "", "superseded by a newer render");
                        return;
                    }
                    res.set_header("Cache-Control", "no-store");
                    if (!picture->name.empty())
                        res.set_header("Content-Disposition",
                                       "inline; filename*=UTF-8''" + percentEncoded(picture->name));
                    res.set_content(picture->bytes, picture->type);
                }));

    if (options.port == 0) {
        port = server.bind_to_any_port(options.address);
        if (port <= 0) throw UsageError("cannot listen on " + options.address);
    } else {
        if (!server.bind_to_port(options.address, options.port))
            throw UsageError("cannot listen on " + options.address + " port " + std::to_string(options.port) +
                             " (in use? try another --port, or --port 0 for any free one)");
        port = options.port;
    }
    const std::string shown = options.address.find(':') != std::string::npos ? "[" + options.address + "]"
                                                                             : options.address;
    const std::string url = "http://" + shown + ":" + std::to_string(port) + "/?token=" + token;
    std::printf("%s\n", url.c_str());
    std::fflush(stdout);
    std::fprintf(stderr, "korvane: previewing '%s'; Ctrl-C stops\n", options.input.c_str());
    if (!options.no_open) openBrowser(url);

    std::atomic<bool> ended{false};
    std::thread listener([&] {
        server.listen_after_bind();
        ended = true;
    });
    while (!server.is_running() && !ended) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    while (!interrupted() && !ended) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    server.stop();
    listener.join();
    return interrupted() ? interruptExitCode() : kExitOk;
}

}  // namespace korvane::cli
