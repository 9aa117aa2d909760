// Decoding, converting, encoding and muxing in process, and the threads that run them.
#include "video/VideoIO.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>

#include "AtomicOutput.h"
#include "Errors.h"
#include "Interrupt.h"
#include "TestHooks.h"
#include "video/LibAv.h"

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libavutil/timecode.h>
}

namespace korvane::cli {
namespace {

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string extensionOf(const std::string& path) {
    std::string extension = lower(std::filesystem::path(path).extension().string());
    return extension.empty() ? extension : extension.substr(1);
}

const char* frameFormat(int depth) { return depth == 8 ? "rgba" : "rgba64le"; }

AVRational avRational(const Rational& r) { return {static_cast<int>(r.num), static_cast<int>(r.den)}; }

// ---- Choosing the encoder

// The encoder and options an extension gets unless the user chose another codec.
struct CodecDefault {
    std::string codec;
    std::vector<std::pair<std::string, std::string>> options;
    int crf = -1;  // the default quality, -1 where the codec takes no CRF
};

CodecDefault codecFor(const std::string& extension) {
    if (extension == "mp4" || extension == "m4v") return {"libx264", {{"preset", "medium"}}, 16};
    if (extension == "mov") return {"prores_ks", {{"profile", "4444"}, {"vendor", "apl0"}}, -1};
    if (extension == "mkv") return {"ffv1", {{"level", "3"}, {"g", "1"}, {"slicecrc", "1"}}, -1};
    if (extension == "webm") return {"libvpx-vp9", {{"b", "0"}, {"row-mt", "1"}}, 31};
    return {};  // the container's own choice
}

bool takesCrf(const std::string& codec) {
    static const std::set<std::string> kCrf = {"libx264",    "libx264rgb", "libx265",   "libvpx",
                                               "libvpx-vp9", "libaom-av1", "libsvtav1", "librav1e"};
    return kCrf.count(codec) != 0;
}

AVPixelFormat pixelFormat(const char* name) { return av_get_pix_fmt(name); }

bool supports(const AVCodec* codec, AVPixelFormat format) {
    if (!codec->pix_fmts) return true;
    for (const AVPixelFormat* f = codec->pix_fmts; *f != AV_PIX_FMT_NONE; ++f)
        if (*f == format) return true;
    return false;
}

int depthOf(AVPixelFormat format) {
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
    int depth = 0;
    for (int c = 0; d && c < d->nb_components; ++c) depth = std::max(depth, d->comp[c].depth);
    return depth;
}

bool hasAlpha(AVPixelFormat format) {
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
    return d && (d->flags & AV_PIX_FMT_FLAG_ALPHA);
}

// Formats that store luma and chroma, converted from RGB with a colour matrix.
bool isYuv(AVPixelFormat format) {
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
    return d && !(d->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL)) && d->nb_components >= 3;
}

// The format the extension's own encoder gets.
AVPixelFormat defaultFormat(const std::string& extension, const OutputFrames& frames, std::vector<std::string>& notes) {
    const bool odd = frames.width % 2 != 0 || frames.height % 2 != 0;
    if (extension == "mp4" || extension == "m4v") {
        if (odd)
            notes.push_back("H.264 4:2:0 needs even sides; " + std::to_string(frames.width) + "x" +
                            std::to_string(frames.height) + " is written as 4:4:4, which some players cannot show");
        return odd ? AV_PIX_FMT_YUV444P : AV_PIX_FMT_YUV420P;
    }
    if (extension == "mov") return frames.alpha ? AV_PIX_FMT_YUVA444P10LE : AV_PIX_FMT_YUV444P10LE;
    if (extension == "mkv")
        return frames.depth == 8 ? (frames.alpha ? AV_PIX_FMT_BGRA : AV_PIX_FMT_BGR0)
                                 : (frames.alpha ? AV_PIX_FMT_GBRAP16LE : AV_PIX_FMT_GBRP16LE);
    if (extension == "webm") return frames.alpha ? AV_PIX_FMT_YUVA420P : AV_PIX_FMT_YUV420P;
    return AV_PIX_FMT_NONE;
}

// An encoder chosen by name gets the format it is made for: 4:2:0 at the source's depth where it
// has it (with alpha where the source has alpha and the encoder can keep it), else the format of
// its list that loses least; a lossless-only encoder always the one that loses least.
AVPixelFormat namedFormat(const AVCodec* codec, const OutputFrames& frames) {
    const AVPixelFormat source = pixelFormat(frameFormat(frames.depth));
    const AVCodecDescriptor* descriptor = avcodec_descriptor_get(codec->id);
    const bool lossless_only = descriptor && (descriptor->props & AV_CODEC_PROP_LOSSLESS) &&
                               !(descriptor->props & AV_CODEC_PROP_LOSSY);
    if (!codec->pix_fmts) return source;
    if (!lossless_only) {
        std::vector<const char*> wanted;
        const int depth = frames.source_depth;
        if (frames.alpha) {
            if (depth > 10) wanted.push_back("yuva420p12le");
            if (depth > 8) wanted.push_back("yuva420p10le");
            wanted.push_back("yuva420p");
        }
        if (depth > 10) wanted.push_back("yuv420p12le");
        if (depth > 8) wanted.push_back("yuv420p10le");
        wanted.push_back("yuv420p");
        for (const char* name : wanted)
            if (supports(codec, pixelFormat(name))) return pixelFormat(name);
    }
    return avcodec_find_best_pix_fmt_of_list(codec->pix_fmts, source, frames.alpha ? 1 : 0, nullptr);
}

// The scale filter's name for a colour matrix.
std::string scaleMatrix(const std::string& matrix) {
    if (matrix == "bt709" || matrix == "fcc" || matrix == "smpte170m" || matrix == "smpte240m") return matrix;
    if (matrix == "bt470bg") return "bt470";
    if (matrix == "bt2020nc" || matrix == "bt2020c") return "bt2020";
    return {};
}

// Sound codecs each container holds as they are; others are re-encoded to its usual codec.
struct AudioRule {
    std::set<std::string> holds;
    std::string encoder;  // empty: the container holds no sound
    std::string label;
};

std::optional<AudioRule> audioRuleFor(const std::string& extension) {
    // FLAC in MP4 is experimental in this ffmpeg and refused by its muxer.
    if (extension == "mp4" || extension == "m4v")
        return AudioRule{{"aac", "mp3", "ac3", "eac3", "alac", "opus"}, "aac", "AAC"};
    if (extension == "mov")
        return AudioRule{{"aac", "mp3", "ac3", "alac", "pcm_s16le", "pcm_s16be", "pcm_s24le", "pcm_s24be", "pcm_f32le"},
                         "aac",
                         "AAC"};
    if (extension == "webm") return AudioRule{{"opus", "vorbis"}, "libopus", "Opus"};
    if (extension == "gif") return AudioRule{{}, "", ""};
    return std::nullopt;
}

// Text subtitles convert between the containers' text formats.
bool isTextSubtitle(AVCodecID id) {
    const AVCodecDescriptor* d = avcodec_descriptor_get(id);
    return d && (d->props & AV_CODEC_PROP_TEXT_SUB);
}

std::string textSubtitleCodecFor(const std::string& extension) {
    if (extension == "mp4" || extension == "m4v" || extension == "mov") return "mov_text";
    if (extension == "webm") return "webvtt";
    return {};
}

// Stream tags that describe the source's encoding rather than its content.
bool carriedTag(const std::string& key) {
    const std::string k = lower(key);
    return k != "duration" && k != "encoder" && k != "rotate" && k != "timecode" && k.rfind("_statistics", 0) != 0 &&
           k.rfind("number_of_", 0) != 0 && k != "bps" && k != "bps-eng" && k.rfind("duration-", 0) != 0 &&
           k.rfind("number_of_frames", 0) != 0 && k.rfind("number_of_bytes", 0) != 0;
}

void copyTags(AVDictionary* from, AVDictionary** to) {
    const AVDictionaryEntry* entry = nullptr;
    while ((entry = av_dict_get(from, "", entry, AV_DICT_IGNORE_SUFFIX)))
        if (carriedTag(entry->key)) av_dict_set(to, entry->key, entry->value, 0);
}

std::string streamKind(AVMediaType type) {
    switch (type) {
        case AVMEDIA_TYPE_AUDIO: return "sound";
        case AVMEDIA_TYPE_SUBTITLE: return "subtitle";
        case AVMEDIA_TYPE_VIDEO: return "video";
        case AVMEDIA_TYPE_ATTACHMENT: return "attachment";
        default: return "data";
    }
}

}  // namespace

bool IsVideoOutput(const std::string& path, bool input_is_clip) {
    return IsMovieExtension(path) || (input_is_clip && extensionOf(path) == "gif");
}

std::vector<std::string> SplitArguments(const std::string& text) {
    std::vector<std::string> args;
    std::string current;
    bool in_word = false;
    char quote = 0;
    for (const char c : text) {
        if (quote) {
            if (c == quote)
                quote = 0;
            else
                current += c;
        } else if (c == '\'' || c == '"') {
            quote = c;
            in_word = true;
        } else if (c == ' ' || c == '\t' || c == '\n') {
            if (in_word) args.push_back(current);
            current.clear();
            in_word = false;
        } else {
            current += c;
            in_word = true;
        }
    }
    if (quote) throw UsageError("--encoder-args '" + text + "': a quote is not closed");
    if (in_word) args.push_back(current);
    return args;
}

// ---- Reading

struct VideoReader::Shared {
    av::StopFlag stop;
    std::mutex mutex;
    std::string failure;  // why decoding stopped early
    std::string problem;  // the last error the libraries worked around
};

namespace {

// A signal with a handler that does nothing: sent to the decoding thread, it ends a read blocked
// in the kernel (EINTR), after which the libraries ask the stop flag and give up.
constexpr int kWakeSignal = SIGURG;

void installWakeSignal() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action = {};
        action.sa_handler = [](int) {};
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;  // no SA_RESTART: the read returns
        sigaction(kWakeSignal, &action, nullptr);
    });
}

// Filters that turn a picture upright, as the ffmpeg program does for a display matrix.
std::string uprightFilters(int rotation) {
    switch (rotation) {
        case 90: return "transpose=clock,";
        case 180: return "hflip,vflip,";
        case 270: return "transpose=cclock,";
        default: return "";
    }
}

std::string videoSourceArgs(int width, int height, int format, AVRational time_base, AVRational aspect) {
    if (aspect.num <= 0 || aspect.den <= 0) aspect = {1, 1};
    return "video_size=" + std::to_string(width) + "x" + std::to_string(height) + ":pix_fmt=" + std::to_string(format) +
           ":time_base=" + std::to_string(time_base.num) + "/" + std::to_string(time_base.den) +
           ":pixel_aspect=" + std::to_string(aspect.num) + "/" + std::to_string(aspect.den);
}

Image imageOf(const AVFrame* frame, int depth, bool alpha) {
    return FromRgba(reinterpret_cast<const std::byte*>(frame->data[0]), static_cast<std::size_t>(frame->linesize[0]),
                    frame->width, frame->height, depth, alpha);
}

}  // namespace

VideoReader::VideoReader(const std::string& path, const VideoInfo& info, int depth,
                         const std::optional<FrameRange>& range)
    : path_(path), info_(info), depth_(depth), shared_(std::make_shared<Shared>()) {
    installWakeSignal();
    av::KeepLogOffTerminal();
    thread_ = std::thread([this, range] { decode(range); });
}

VideoReader::~VideoReader() {
    frames_.close(true);
    shared_->stop.stop = true;
    // A read blocked in the kernel (a stalled disk or pipe) ends with the wake signal.
    if (thread_.joinable()) {
        const pthread_t handle = thread_.native_handle();
        std::atomic<bool> done{false};
        std::thread waker([&] {
            while (!done) {
                pthread_kill(handle, kWakeSignal);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
        thread_.join();
        done = true;
        waker.join();
    }
}

std::string VideoReader::problem() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->problem;
}

void VideoReader::decode(std::optional<FrameRange> range) {
    Shared& shared = *shared_;
    auto fail = [&](const std::string& why) {
        std::lock_guard lock(shared.mutex);
        if (shared.failure.empty()) shared.failure = why;
    };
    auto noteProblem = [&] {
        std::string line = av::TakeLastError();
        if (line.empty()) return;
        std::lock_guard lock(shared.mutex);
        shared.problem = std::move(line);
    };
    // However decoding ends, the queue closes so that next() sees the end.
    struct CloseAtEnd {
        BoundedQueue<Image>& queue;
        ~CloseAtEnd() { queue.close(); }
    } close_at_end{frames_};
    try {
        av::Input input;
        if (const int opened = av::OpenInput(path_, input, &shared.stop); opened < 0)
            throw std::runtime_error(av::ErrorText(opened));
        if (avformat_find_stream_info(input.get(), nullptr) < 0) throw std::runtime_error("cannot read its streams");
        if (input->nb_streams > static_cast<unsigned>(info_.stream_index) &&
            input->streams[info_.stream_index]->codecpar->width <= 0 &&
            av::OpenInput(path_, input, &shared.stop, true) == 0 && avformat_find_stream_info(input.get(), nullptr) < 0)
            throw std::runtime_error("cannot read its streams");
        if (info_.stream_index >= static_cast<int>(input->nb_streams))
            throw std::runtime_error("its video stream is gone");
        AVStream* stream = input->streams[info_.stream_index];
        for (unsigned i = 0; i < input->nb_streams; ++i)
            if (static_cast<int>(i) != info_.stream_index) input->streams[i]->discard = AVDISCARD_ALL;

        const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
        if (!codec)
            throw std::runtime_error(std::string("no decoder for ") + avcodec_get_name(stream->codecpar->codec_id));
        av::Codec decoder(avcodec_alloc_context3(codec));
        if (!decoder) throw std::bad_alloc();
        if (avcodec_parameters_to_context(decoder.get(), stream->codecpar) < 0)
            throw std::runtime_error("cannot set up its decoder");
        decoder->pkt_timebase = stream->time_base;
        decoder->thread_count = 0;
        if (const int opened = avcodec_open2(decoder.get(), codec, nullptr); opened < 0)
            throw std::runtime_error("cannot open its decoder: " + av::ErrorText(opened));

        av::FilterChain filters;
        int graph_width = 0, graph_height = 0, graph_format = -1;
        int first_width = 0, first_height = 0;
        long index = 0;
        bool done = false;
        av::Frame decoded = av::NewFrame(), converted = av::NewFrame();
        av::Packet packet = av::NewPacket();

        // Every frame the decoder gives is one frame of the clip; those in the range are
        // converted upright to the frames' format.
        auto take = [&]() {
            for (;;) {
                const int received = avcodec_receive_frame(decoder.get(), decoded.get());
                if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) return;
                if (received < 0) throw std::runtime_error(av::ErrorText(received));
                const long frame = index++;
                if (range && frame < range->first) {
                    av_frame_unref(decoded.get());
                    continue;
                }
                if (range && frame > range->last) {
                    av_frame_unref(decoded.get());
                    done = true;
                    return;
                }
                stallDecodeForTestHook(frame, shared.stop.stop);
                decoded->pts = decoded->best_effort_timestamp;
                if (!filters.graph || decoded->width != graph_width || decoded->height != graph_height ||
                    decoded->format != graph_format) {
                    // A stream whose pictures change size mid-way keeps the size it started with.
                    if (first_width == 0) {
                        first_width = decoded->width;
                        first_height = decoded->height;
                    }
                    const bool resized = decoded->width != first_width || decoded->height != first_height;
                    const std::string scale = resized ? "scale=" + std::to_string(first_width) + ":" +
                                                            std::to_string(first_height) + ","
                                                      : "";
                    filters = av::MakeFilterChain(false,
                                                  videoSourceArgs(decoded->width, decoded->height, decoded->format,
                                                                  stream->time_base, decoded->sample_aspect_ratio),
                                                  scale + uprightFilters(info_.rotation) +
                                                      "format=" + frameFormat(depth_));
                    graph_width = decoded->width;
                    graph_height = decoded->height;
                    graph_format = decoded->format;
                }
                if (av_buffersrc_add_frame(filters.source, decoded.get()) < 0)
                    throw std::runtime_error("cannot convert a frame");
                while (av_buffersink_get_frame(filters.sink, converted.get()) >= 0) {
                    Image image = imageOf(converted.get(), depth_, info_.has_alpha);
                    image.pts = converted->pts;
                    av_frame_unref(converted.get());
                    if (!frames_.push(std::move(image))) {
                        done = true;
                        return;
                    }
                }
            }
        };

        while (!done) {
            const int read = av_read_frame(input.get(), packet.get());
            if (read == AVERROR_EXIT || shared.stop.stop) return;
            if (read < 0) {
                if (read != AVERROR_EOF) {
                    noteProblem();
                    std::lock_guard lock(shared.mutex);
                    if (shared.problem.empty()) shared.problem = av::ErrorText(read);
                }
                break;
            }
            if (packet->stream_index == info_.stream_index) {
                const int sent = avcodec_send_packet(decoder.get(), packet.get());
                // Damaged data is skipped, as the ffmpeg program does, and said at the end.
                if (sent < 0 && sent != AVERROR(EAGAIN)) noteProblem();
                av_packet_unref(packet.get());
                take();
            } else {
                av_packet_unref(packet.get());
            }
        }
        if (!done) {
            avcodec_send_packet(decoder.get(), nullptr);
            take();
        }
        noteProblem();
    } catch (const std::exception& e) {
        fail(e.what());
    }
}

std::optional<Image> VideoReader::next() {
    std::optional<Image> frame = frames_.pop(throwIfInterrupted);
    if (frame) return frame;
    thread_.join();
    throwIfInterrupted();
    std::lock_guard lock(shared_->mutex);
    if (!shared_->failure.empty()) throw UsageError("cannot decode '" + path_ + "': " + shared_->failure);
    return std::nullopt;
}

// ---- Writing

// The encoder, the muxer and the source's other streams; used by the writing thread only after
// construction.
class VideoWriter::Encoder {
public:
    Encoder(const std::string& final_path, const OutputFrames& frames, const std::optional<StreamSource>& source,
            const EncodeOptions& options, std::vector<std::string>& notes);
    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;

    void encode(const Image& image);
    void finish();

private:
    struct Route;
    void openOutput(const std::vector<std::pair<std::string, std::string>>& format_options);
    void addSourceStreams(std::vector<std::string>& notes);
    // Opens `in`'s decoder and allocates the encoder named; returns the encoder.
    const AVCodec* openConversion(Route& route, AVStream* in, const std::string& encoder_name, const std::string& what);
    void addAudioTranscode(Route& route, AVStream* in, const std::string& encoder_name);
    void addSubtitleConversion(Route& route, AVStream* in, const std::string& encoder_name);
    void convertSubtitle(Route& route, AVPacket* packet);
    void drainVideo();
    void pumpSource(double until);
    void transcodeAudio(Route& route, AVPacket* packet);
    void drainAudio(Route& route);
    void writePacket(AVPacket* packet);
    [[noreturn]] void failWith(const std::string& what, int code);
    static int writeBytes(void* opaque, uint8_t* data, int size);
    static int64_t seekBytes(void* opaque, int64_t offset, int whence);

    std::string final_path_;
    std::string extension_;
    OutputFrames frames_;
    AtomicOutput file_;
    std::string write_failure_;  // the file's own message, when a write or seek through it failed
    av::Output out_;
    av::Codec video_;
    AVStream* video_stream_ = nullptr;
    av::FilterChain video_filters_;
    av::BufferPool frame_pool_;  // the RGBA frames handed to the conversion, reused
    std::size_t frame_stride_ = 0;
    AVRational frames_time_base_{1, 1};
    std::int64_t shift_ = 0;  // subtracted from those times
    std::int64_t last_pts_ = AV_NOPTS_VALUE;
    bool header_written_ = false;

    // The source's other streams, by their index in the source.
    struct Route {
        int out_index = -1;
        AVRational in_time_base{1, 1};
        av::Codec decoder, encoder;
        av::FilterChain filters;
        std::int64_t next_pts = 0;
        bool subtitle = false;  // text subtitles converted to the container's text format
    };
    av::Input source_;
    std::vector<std::unique_ptr<Route>> routes_;
    std::int64_t source_shift_ = 0;  // microseconds
    double start_ = -1e300, end_ = 1e300;
    av::Packet lookahead_;
    bool have_lookahead_ = false, source_done_ = true;
    std::vector<std::pair<int, av::Packet>> pictures_;  // cover art, written once after the header
};

VideoWriter::Encoder::Encoder(const std::string& final_path, const OutputFrames& frames,
                              const std::optional<StreamSource>& source, const EncodeOptions& options,
                              std::vector<std::string>& notes)
    : final_path_(final_path), extension_(extensionOf(final_path)), frames_(frames), file_(final_path) {
    av::KeepLogOffTerminal();
    const std::string format_name = extension_ == "m4v" ? "mp4" : "";
    AVFormatContext* out = nullptr;
    if (avformat_alloc_output_context2(&out, nullptr, format_name.empty() ? nullptr : format_name.c_str(),
                                       file_.tempPath().c_str()) < 0 ||
        !out)
        throw UsageError("cannot write '" + final_path_ + "': no container for ." + extension_);
    out_.reset(out);

    // The encoder: the extension's own, or the one named, with the options given.
    const CodecDefault chosen_default = codecFor(extension_);
    const std::string codec_name = !options.codec.empty() ? options.codec : chosen_default.codec;
    const AVCodec* codec = codec_name.empty() ? avcodec_find_encoder(out_->oformat->video_codec)
                                              : avcodec_find_encoder_by_name(codec_name.c_str());
    if (!codec) throw UsageError("cannot write '" + final_path_ + "': Unknown encoder '" + codec_name + "'");
    if (codec->type != AVMEDIA_TYPE_VIDEO)
        throw UsageError("cannot write '" + final_path_ + "': '" + codec_name + "' encodes no video");
    const bool own_codec = codec_name == chosen_default.codec && !chosen_default.codec.empty();
    video_.reset(avcodec_alloc_context3(codec));
    if (!video_) throw std::bad_alloc();

    std::vector<std::pair<std::string, std::string>> codec_options, format_options;
    if (own_codec) codec_options = chosen_default.options;
    if (options.crf) {
        if (takesCrf(codec->name) || av_opt_find(video_.get(), "crf", nullptr, 0, AV_OPT_SEARCH_CHILDREN))
            codec_options.emplace_back("crf", std::to_string(*options.crf));
        else
            notes.push_back("--crf does not apply to " + std::string(codec->name) + "; ignored");
    } else if (own_codec && chosen_default.crf >= 0) {
        codec_options.emplace_back("crf", std::to_string(chosen_default.crf));
    }

    // --encoder-args: "-name value" pairs for the encoder, else for the muxer.
    AVPixelFormat pixel_format = options.codec.empty() ? defaultFormat(extension_, frames_, notes)
                                                       : namedFormat(codec, frames_);
    if (pixel_format == AV_PIX_FMT_NONE) pixel_format = namedFormat(codec, frames_);
    for (std::size_t i = 0; i < options.extra_args.size(); ++i) {
        const std::string& arg = options.extra_args[i];
        if (arg.size() < 2 || arg[0] != '-')
            throw UsageError("--encoder-args: '" + arg + "' is not an option (options are -name value)");
        if (i + 1 >= options.extra_args.size()) throw UsageError("--encoder-args: " + arg + " needs a value");
        std::string name = arg.substr(1);
        if (const std::size_t colon = name.find(':'); colon != std::string::npos) name.erase(colon);
        const std::string& value = options.extra_args[++i];
        if (name == "c" || name == "codec" || name == "vcodec")
            throw UsageError("--encoder-args: choose the encoder with --codec " + value);
        if (name == "pix_fmt") {
            pixel_format = av_get_pix_fmt(value.c_str());
            if (pixel_format == AV_PIX_FMT_NONE || !supports(codec, pixel_format))
                throw UsageError("--encoder-args: " + std::string(codec->name) + " cannot write pixel format '" +
                                 value + "'");
            continue;
        }
        if (av_opt_find(video_.get(), name.c_str(), nullptr, 0, AV_OPT_SEARCH_CHILDREN))
            codec_options.emplace_back(name, value);
        else if (av_opt_find(out_.get(), name.c_str(), nullptr, 0, AV_OPT_SEARCH_CHILDREN))
            format_options.emplace_back(name, value);
        else
            throw UsageError("--encoder-args: " + std::string(codec->name) + " and ." + extension_ +
                             " have no option '" + arg + "'");
    }
    if (pixel_format == AV_PIX_FMT_NONE)
        throw UsageError("cannot write '" + final_path_ + "': " + codec->name + " takes no pixel format from RGB");

    if (frames_.alpha && !hasAlpha(pixel_format))
        notes.push_back(std::string(codec->name) + " has no alpha channel; alpha dropped");
    if (frames_.source_depth > 8 && depthOf(pixel_format) < std::min(frames_.source_depth, 16)) {
        // The extension's own encoder stays at 8 bits, which every player shows; named, it keeps more.
        const bool deeper = options.codec.empty() && namedFormat(codec, frames_) != pixel_format &&
                            depthOf(namedFormat(codec, frames_)) > depthOf(pixel_format);
        notes.push_back("the source's " + std::to_string(frames_.source_depth) + "-bit pixels are written at " +
                        std::to_string(depthOf(pixel_format)) + " bits (" + codec->name + " " +
                        av_get_pix_fmt_name(pixel_format) + ")" +
                        (deeper ? "; --codec " + std::string(codec->name) + " keeps " +
                                      std::to_string(depthOf(namedFormat(codec, frames_))) + " bits"
                                : ""));
    }

    // Times: a constant rate counts frames; a variable one keeps the source's ticks.
    frames_time_base_ = avRational(frames_.time_base);
    AVRational encoder_time_base = frames_.variable_rate ? frames_time_base_ : av_inv_q(avRational(frames_.fps));
    if (frames_.constant_rate) encoder_time_base = av_inv_q(avRational(*frames_.constant_rate));
    video_->width = frames_.width;
    video_->height = frames_.height;
    video_->pix_fmt = pixel_format;
    video_->time_base = encoder_time_base;
    video_->framerate = avRational(frames_.constant_rate ? *frames_.constant_rate : frames_.fps);
    video_->sample_aspect_ratio = {1, 1};
    video_->thread_count = 0;
    if (out_->oformat->flags & AVFMT_GLOBALHEADER) video_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;

    // RGB to YCbCr with the source's matrix and range, or HD's when the source had none.
    const ColorTags& color = frames_.color;
    std::string filters;
    if (frames_.constant_rate) filters += "fps=" + frames_.constant_rate->text() + ",";
    if (isYuv(pixel_format)) {
        std::string matrix = scaleMatrix(color.matrix);
        std::string matrix_tag = color.matrix;
        const std::string range = !matrix.empty() && color.range == "pc" ? "pc" : "tv";
        if (matrix.empty()) matrix = matrix_tag = "bt709";
        filters += "scale=out_color_matrix=" + matrix + ":out_range=" + range + ":flags=accurate_rnd,";
        video_->colorspace = static_cast<AVColorSpace>(av_color_space_from_name(matrix_tag.c_str()));
        video_->color_range = range == "pc" ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
    }
    filters += std::string("format=") + av_get_pix_fmt_name(pixel_format);
    if (!color.primaries.empty())
        video_->color_primaries = static_cast<AVColorPrimaries>(av_color_primaries_from_name(color.primaries.c_str()));
    if (!color.transfer.empty())
        video_->color_trc = static_cast<AVColorTransferCharacteristic>(
            av_color_transfer_from_name(color.transfer.c_str()));
    if (static_cast<int>(video_->colorspace) < 0) video_->colorspace = AVCOL_SPC_UNSPECIFIED;
    if (static_cast<int>(video_->color_primaries) < 0) video_->color_primaries = AVCOL_PRI_UNSPECIFIED;
    if (static_cast<int>(video_->color_trc) < 0) video_->color_trc = AVCOL_TRC_UNSPECIFIED;

    av::Dictionary dictionary;
    for (const auto& [key, value] : codec_options) dictionary.set(key, value);
    // x265 writes its own report to standard error unless told not to (a later level given wins).
    if (std::string(codec->name) == "libx265") {
        const AVDictionaryEntry* given = av_dict_get(dictionary.entries, "x265-params", nullptr, 0);
        dictionary.set("x265-params", std::string("log-level=none") + (given ? std::string(":") + given->value : ""));
    }
    av::TakeLastError();
    if (const int opened = avcodec_open2(video_.get(), codec, &dictionary.entries); opened < 0) {
        const std::string line = av::TakeLastError();
        throw UsageError("cannot encode '" + final_path_ + "': " + (line.empty() ? av::ErrorText(opened) : line));
    }
    if (const AVDictionaryEntry* left = av_dict_get(dictionary.entries, "", nullptr, AV_DICT_IGNORE_SUFFIX))
        throw UsageError("cannot encode '" + final_path_ + "': " + codec->name + " has no option '" + left->key + "'");

    try {
        const AVRational source_base = frames_.constant_rate ? frames_time_base_ : encoder_time_base;
        video_filters_ = av::MakeFilterChain(false,
                                             videoSourceArgs(frames_.width, frames_.height,
                                                             pixelFormat(frameFormat(frames_.depth)), source_base,
                                                             {1, 1}),
                                             filters);
    } catch (const std::runtime_error& e) {
        throw UsageError("cannot encode '" + final_path_ + "': " + e.what());
    }

    video_stream_ = avformat_new_stream(out_.get(), nullptr);
    if (!video_stream_) throw std::bad_alloc();
    avcodec_parameters_from_context(video_stream_->codecpar, video_.get());
    video_stream_->time_base = encoder_time_base;
    video_stream_->avg_frame_rate = video_->framerate;

    // The source: its other streams over the frames rendered, its tags and chapters.
    const bool chunk = frames_.chunk && extension_ == "mkv";
    if (source && source->clip) {
        const VideoInfo& clip = *source->clip;
        if (av::OpenInput(source->path, source_) < 0 || avformat_find_stream_info(source_.get(), nullptr) < 0)
            throw UsageError("cannot read '" + source->path + "': its streams cannot be read again");
        if (source->range) {
            const auto& pts = clip.frame_pts;
            const auto at = [&](long f) {
                return f < static_cast<long>(pts.size())
                           ? pts[static_cast<std::size_t>(f)]
                           : pts.back() + (f - static_cast<long>(pts.size()) + 1) *
                                              std::max<std::int64_t>(1, std::llround(1.0 / (clip.fps.value() *
                                                                                            clip.time_base.value())));
            };
            shift_ = at(source->range->first);
            const double tick = clip.time_base.value();
            start_ = static_cast<double>(shift_) * tick;
            end_ = static_cast<double>(at(source->range->last + 1)) * tick;
            source_shift_ = av_rescale_q(shift_, avRational(clip.time_base), AV_TIME_BASE_Q);
        } else {
            source_shift_ = source_->start_time != AV_NOPTS_VALUE ? source_->start_time : 0;
            shift_ = av_rescale_q(source_shift_, AV_TIME_BASE_Q, avRational(clip.time_base));
        }
        AVStream* video_in = source_->streams[clip.stream_index];
        copyTags(video_in->metadata, &video_stream_->metadata);
        if (!chunk) {
            copyTags(source_->metadata, &out_->metadata);
            // The timecode of the first frame written, for the containers that keep one.
            const AVDictionaryEntry* timecode = av_dict_get(video_in->metadata, "timecode", nullptr, 0);
            if (!timecode) timecode = av_dict_get(source_->metadata, "timecode", nullptr, 0);
            for (unsigned i = 0; !timecode && i < source_->nb_streams; ++i)
                timecode = av_dict_get(source_->streams[i]->metadata, "timecode", nullptr, 0);
            if (timecode) {
                std::string text = timecode->value;
                AVTimecode tc;
                const long first = source->range ? source->range->first : 0;
                if (first > 0 &&
                    av_timecode_init_from_string(&tc, avRational(clip.fps), timecode->value, nullptr) == 0) {
                    char buffer[AV_TIMECODE_STR_SIZE];
                    text = av_timecode_make_string(&tc, buffer, static_cast<int>(first));
                }
                av_dict_set(&video_stream_->metadata, "timecode", text.c_str(), 0);
            }
            addSourceStreams(notes);
        }
    }
    if (chunk) {
        av_dict_set(&out_->metadata, kChunkFirstFrameTag, std::to_string(frames_.chunk->first).c_str(), 0);
        av_dict_set(&out_->metadata, kChunkFrameCountTag, std::to_string(frames_.chunk->count()).c_str(), 0);
        if (source && source->clip && !source->clip->audio_codecs.empty())
            notes.push_back("'" + final_path_ + "' holds frames " + std::to_string(frames_.chunk->first) + "-" +
                            std::to_string(frames_.chunk->last) +
                            " as a chunk for 'korvane join', without sound (the join takes it from the clip)");
    }
    openOutput(format_options);
}

void VideoWriter::Encoder::addSourceStreams(std::vector<std::string>& notes) {
    const std::optional<AudioRule> audio_rule = audioRuleFor(extension_);
    std::vector<std::string> dropped;
    routes_.resize(source_->nb_streams);
    int video_stream_in = -1;
    for (unsigned i = 0; i < source_->nb_streams; ++i)
        if (source_->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
            !(source_->streams[i]->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
            video_stream_in = static_cast<int>(i);
            break;
        }
    for (unsigned i = 0; i < source_->nb_streams; ++i) {
        AVStream* in = source_->streams[i];
        const AVCodecParameters* par = in->codecpar;
        const std::string codec_name = avcodec_get_name(par->codec_id);
        const AVDictionaryEntry* file_name = av_dict_get(in->metadata, "filename", nullptr, 0);
        const std::string what = streamKind(par->codec_type) + " stream " + std::to_string(i) + " (" +
                                 (par->codec_type == AVMEDIA_TYPE_ATTACHMENT && file_name ? file_name->value
                                                                                          : codec_name) +
                                 ")";
        in->discard = AVDISCARD_ALL;
        if (static_cast<int>(i) == video_stream_in) continue;
        // A timecode track is written again from the timecode tag by the containers that hold one.
        if (par->codec_type == AVMEDIA_TYPE_DATA && par->codec_tag == MKTAG('t', 'm', 'c', 'd')) continue;
        const bool held = avformat_query_codec(out_->oformat, par->codec_id, FF_COMPLIANCE_NORMAL) == 1;
        auto route = std::make_unique<Route>();
        route->in_time_base = in->time_base;
        if (par->codec_type == AVMEDIA_TYPE_AUDIO && audio_rule) {
            if (audio_rule->encoder.empty()) {
                dropped.push_back(what);
                continue;
            }
            if (!audio_rule->holds.count(codec_name)) {
                addAudioTranscode(*route, in, audio_rule->encoder);
                notes.push_back("." + extension_ + " cannot hold " + codec_name + " audio; re-encoded to " +
                                audio_rule->label);
                in->discard = AVDISCARD_DEFAULT;
                routes_[i] = std::move(route);
                continue;
            }
        } else if (!held && par->codec_type == AVMEDIA_TYPE_SUBTITLE && isTextSubtitle(par->codec_id) &&
                   !textSubtitleCodecFor(extension_).empty()) {
            const std::string target = textSubtitleCodecFor(extension_);
            addSubtitleConversion(*route, in, target);
            notes.push_back("." + extension_ + " cannot hold " + codec_name + " subtitles; converted to " + target);
            in->discard = AVDISCARD_DEFAULT;
            routes_[i] = std::move(route);
            continue;
        } else if (!held && par->codec_type == AVMEDIA_TYPE_ATTACHMENT && extension_ == "mkv") {
            // Matroska keeps attachments (fonts of styled subtitles) beside its streams.
        } else if (!held && par->codec_type == AVMEDIA_TYPE_AUDIO) {
            const AVCodec* encoder = avcodec_find_encoder(out_->oformat->audio_codec);
            if (!encoder) {
                dropped.push_back(what);
                continue;
            }
            addAudioTranscode(*route, in, encoder->name);
            notes.push_back("." + extension_ + " cannot hold " + codec_name + " audio; re-encoded to " + encoder->name);
            in->discard = AVDISCARD_DEFAULT;
            routes_[i] = std::move(route);
            continue;
        } else if (!held) {
            dropped.push_back(what);
            continue;
        }
        AVStream* out = avformat_new_stream(out_.get(), nullptr);
        if (!out) throw std::bad_alloc();
        if (avcodec_parameters_copy(out->codecpar, par) < 0) throw std::bad_alloc();
        out->codecpar->codec_tag = 0;
        out->time_base = in->time_base;
        out->disposition = in->disposition;
        copyTags(in->metadata, &out->metadata);
        route->out_index = out->index;
        in->discard = AVDISCARD_DEFAULT;
        if (in->disposition & AV_DISPOSITION_ATTACHED_PIC) {
            if (AVPacket* picture = av_packet_clone(&in->attached_pic)) pictures_.emplace_back(out->index, picture);
            in->discard = AVDISCARD_ALL;
        }
        routes_[i] = std::move(route);
    }
    // Chapters, moved with the frames.
    const double shift = static_cast<double>(source_shift_) / AV_TIME_BASE;
    std::vector<AVChapter*> kept;
    for (unsigned c = 0; c < source_->nb_chapters; ++c) {
        const AVChapter* chapter = source_->chapters[c];
        const double start = static_cast<double>(chapter->start) * av_q2d(chapter->time_base);
        const double end = static_cast<double>(chapter->end) * av_q2d(chapter->time_base);
        if (end <= start_ || start >= end_) continue;
        AVChapter* copy = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
        if (!copy) throw std::bad_alloc();
        copy->id = chapter->id;
        copy->time_base = AV_TIME_BASE_Q;
        copy->start = std::llround((std::max(start, start_) - shift) * AV_TIME_BASE);
        copy->end = std::llround((std::min(end, end_) - shift) * AV_TIME_BASE);
        av_dict_copy(&copy->metadata, chapter->metadata, 0);
        kept.push_back(copy);
    }
    if (!kept.empty()) {
        out_->chapters = static_cast<AVChapter**>(av_calloc(kept.size(), sizeof(AVChapter*)));
        if (!out_->chapters) throw std::bad_alloc();
        for (std::size_t c = 0; c < kept.size(); ++c) out_->chapters[c] = kept[c];
        out_->nb_chapters = static_cast<unsigned>(kept.size());
    }
    if (!dropped.empty()) {
        std::string list;
        for (const std::string& d : dropped) list += (list.empty() ? "" : ", ") + d;
        notes.push_back("." + extension_ + " cannot hold " + list + "; dropped");
    }
    lookahead_ = av::NewPacket();
    source_done_ = false;
    // A part of the clip: reading starts a little before it.
    if (start_ > 0)
        av_seek_frame(source_.get(), -1, std::llround((start_ - 10.0) * AV_TIME_BASE), AVSEEK_FLAG_BACKWARD);
}

const AVCodec* VideoWriter::Encoder::openConversion(Route& route, AVStream* in, const std::string& encoder_name,
                                                    const std::string& what) {
    const AVCodec* decoder = avcodec_find_decoder(in->codecpar->codec_id);
    const AVCodec* encoder = avcodec_find_encoder_by_name(encoder_name.c_str());
    if (!decoder || !encoder)
        throw UsageError("cannot write '" + final_path_ + "': cannot convert its " + what + " to " + encoder_name);
    route.decoder.reset(avcodec_alloc_context3(decoder));
    route.encoder.reset(avcodec_alloc_context3(encoder));
    if (!route.decoder || !route.encoder) throw std::bad_alloc();
    avcodec_parameters_to_context(route.decoder.get(), in->codecpar);
    route.decoder->pkt_timebase = in->time_base;
    if (avcodec_open2(route.decoder.get(), decoder, nullptr) < 0)
        throw UsageError("cannot write '" + final_path_ + "': cannot read its " + what);
    return encoder;
}

void VideoWriter::Encoder::addAudioTranscode(Route& route, AVStream* in, const std::string& encoder_name) {
    const AVCodec* encoder = openConversion(route, in, encoder_name, "sound");
    AVCodecContext* e = route.encoder.get();
    e->sample_fmt = encoder->sample_fmts ? encoder->sample_fmts[0] : route.decoder->sample_fmt;
    int rate = route.decoder->sample_rate;
    if (encoder->supported_samplerates) {
        int best = encoder->supported_samplerates[0];
        for (const int* r = encoder->supported_samplerates; *r; ++r)
            if (*r == rate || (std::abs(*r - rate) < std::abs(best - rate) && best != rate)) best = *r;
        rate = best;
    }
    e->sample_rate = rate;
    if (av_channel_layout_copy(&e->ch_layout, &route.decoder->ch_layout) < 0 || e->ch_layout.nb_channels == 0)
        av_channel_layout_default(&e->ch_layout, std::max(1, route.decoder->ch_layout.nb_channels));
    if (e->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
        av_channel_layout_default(&e->ch_layout, e->ch_layout.nb_channels);
    e->time_base = {1, rate};
    if (out_->oformat->flags & AVFMT_GLOBALHEADER) e->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (const int opened = avcodec_open2(e, encoder, nullptr); opened < 0) {
        const std::string line = av::TakeLastError();
        throw UsageError("cannot write '" + final_path_ + "': cannot encode its sound (" +
                         (line.empty() ? av::ErrorText(opened) : line) + ")");
    }

    char layout[128] = {};
    av_channel_layout_describe(&e->ch_layout, layout, sizeof layout);
    char in_layout[128] = {};
    AVChannelLayout source_layout = {};
    if (av_channel_layout_copy(&source_layout, &route.decoder->ch_layout) < 0 ||
        source_layout.order == AV_CHANNEL_ORDER_UNSPEC)
        av_channel_layout_default(&source_layout, std::max(1, route.decoder->ch_layout.nb_channels));
    av_channel_layout_describe(&source_layout, in_layout, sizeof in_layout);
    av_channel_layout_uninit(&source_layout);
    const std::string args = "time_base=1/" + std::to_string(route.decoder->sample_rate) +
                             ":sample_rate=" + std::to_string(route.decoder->sample_rate) +
                             ":sample_fmt=" + av_get_sample_fmt_name(route.decoder->sample_fmt) +
                             ":channel_layout=" + in_layout;
    try {
        route.filters = av::MakeFilterChain(true, args,
                                            std::string("aformat=sample_fmts=") +
                                                av_get_sample_fmt_name(e->sample_fmt) +
                                                ":sample_rates=" + std::to_string(rate) + ":channel_layouts=" + layout);
    } catch (const std::runtime_error& error) {
        throw UsageError("cannot write '" + final_path_ + "': " + error.what());
    }
    if (!(encoder->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE) && e->frame_size > 0)
        av_buffersink_set_frame_size(route.filters.sink, static_cast<unsigned>(e->frame_size));

    AVStream* out = avformat_new_stream(out_.get(), nullptr);
    if (!out) throw std::bad_alloc();
    avcodec_parameters_from_context(out->codecpar, e);
    out->time_base = e->time_base;
    out->disposition = in->disposition;
    copyTags(in->metadata, &out->metadata);
    route.out_index = out->index;
}

void VideoWriter::Encoder::addSubtitleConversion(Route& route, AVStream* in, const std::string& encoder_name) {
    const AVCodec* encoder = openConversion(route, in, encoder_name, "subtitles");
    // The encoder styles the text as the decoder describes it.
    AVCodecContext* e = route.encoder.get();
    e->time_base = in->time_base;
    if (route.decoder->subtitle_header && route.decoder->subtitle_header_size > 0) {
        e->subtitle_header = static_cast<uint8_t*>(
            av_mallocz(static_cast<std::size_t>(route.decoder->subtitle_header_size) + 1));
        if (!e->subtitle_header) throw std::bad_alloc();
        std::memcpy(e->subtitle_header, route.decoder->subtitle_header,
                    static_cast<std::size_t>(route.decoder->subtitle_header_size));
        e->subtitle_header_size = route.decoder->subtitle_header_size;
    }
    if (avcodec_open2(e, encoder, nullptr) < 0)
        throw UsageError("cannot write '" + final_path_ + "': cannot convert subtitles to " + encoder_name);
    AVStream* out = avformat_new_stream(out_.get(), nullptr);
    if (!out) throw std::bad_alloc();
    avcodec_parameters_from_context(out->codecpar, e);
    out->time_base = in->time_base;
    out->disposition = in->disposition;
    copyTags(in->metadata, &out->metadata);
    route.out_index = out->index;
    route.subtitle = true;
}

void VideoWriter::Encoder::convertSubtitle(Route& route, AVPacket* packet) {
    AVSubtitle subtitle = {};
    int got = 0;
    // A subtitle that cannot be read or written is skipped, as the ffmpeg program does.
    if (avcodec_decode_subtitle2(route.decoder.get(), &subtitle, &got, packet) < 0 || !got) return;
    subtitle.end_display_time -= subtitle.start_display_time;
    subtitle.start_display_time = 0;
    std::vector<uint8_t> buffer(std::size_t{1} << 16);
    const int size = avcodec_encode_subtitle(route.encoder.get(), buffer.data(), static_cast<int>(buffer.size()),
                                             &subtitle);
    const std::int64_t shown_ms = subtitle.end_display_time;
    avsubtitle_free(&subtitle);
    if (size <= 0) return;
    av::Packet converted = av::NewPacket();
    if (av_new_packet(converted.get(), size) < 0) throw std::bad_alloc();
    std::memcpy(converted->data, buffer.data(), static_cast<std::size_t>(size));
    converted->pts = converted->dts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    converted->duration = packet->duration > 0 ? packet->duration
                                               : av_rescale_q(shown_ms, {1, 1000}, route.in_time_base);
    AVStream* out = out_->streams[route.out_index];
    av_packet_rescale_ts(converted.get(), route.in_time_base, out->time_base);
    converted->stream_index = route.out_index;
    writePacket(converted.get());
}

void VideoWriter::Encoder::openOutput(const std::vector<std::pair<std::string, std::string>>& format_options) {
    // The muxer writes through the CLI's one writer, whose every write, seek and close is checked.
    constexpr int kBufferSize = 1 << 16;
    auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferSize));
    if (!buffer) throw std::bad_alloc();
    out_->pb = avio_alloc_context(buffer, kBufferSize, 1, this, nullptr, writeBytes, seekBytes);
    if (!out_->pb) {
        av_free(buffer);
        throw std::bad_alloc();
    }
    out_->flags |= AVFMT_FLAG_CUSTOM_IO;
    av::Dictionary dictionary;
    for (const auto& [key, value] : format_options) dictionary.set(key, value);
    if (const int written = avformat_write_header(out_.get(), &dictionary.entries); written < 0)
        failWith("cannot write", written);
    header_written_ = true;
    for (auto& [index, packet] : pictures_) {
        packet->stream_index = index;
        writePacket(packet.get());
    }
}

int VideoWriter::Encoder::writeBytes(void* opaque, uint8_t* data, int size) {
    auto* self = static_cast<Encoder*>(opaque);
    try {
        self->file_.write(data, static_cast<std::size_t>(size));
        return size;
    } catch (const std::exception& e) {
        if (self->write_failure_.empty()) self->write_failure_ = e.what();
        return AVERROR(EIO);
    }
}

int64_t VideoWriter::Encoder::seekBytes(void* opaque, int64_t offset, int whence) {
    auto* self = static_cast<Encoder*>(opaque);
    if (whence & AVSEEK_SIZE) return AVERROR(ENOSYS);
    try {
        return self->file_.seek(static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
    } catch (const std::exception& e) {
        if (self->write_failure_.empty()) self->write_failure_ = e.what();
        return AVERROR(EIO);
    }
}

void VideoWriter::Encoder::failWith(const std::string& what, int code) {
    if (!write_failure_.empty()) throw UsageError(write_failure_);
    const std::string line = av::TakeLastError();
    throw UsageError(what + " '" + final_path_ + "': " + (line.empty() ? av::ErrorText(code) : line));
}

void VideoWriter::Encoder::writePacket(AVPacket* packet) {
    if (const int written = av_interleaved_write_frame(out_.get(), packet); written < 0)
        failWith("cannot write", written);
}

void VideoWriter::Encoder::encode(const Image& image) {
    if (!frame_pool_) {
        frame_stride_ = (RgbaFrameBytes(image.width, 1, frames_.depth) + 63) / 64 * 64;
        frame_pool_.reset(av_buffer_pool_init(frame_stride_ * static_cast<std::size_t>(image.height), nullptr));
        if (!frame_pool_) throw std::bad_alloc();
    }
    av::Frame frame = av::NewFrame();
    frame->format = pixelFormat(frameFormat(frames_.depth));
    frame->width = image.width;
    frame->height = image.height;
    frame->buf[0] = av_buffer_pool_get(frame_pool_.get());
    if (!frame->buf[0]) throw std::bad_alloc();
    frame->data[0] = frame->buf[0]->data;
    frame->extended_data = frame->data;
    frame->linesize[0] = static_cast<int>(frame_stride_);
    ToRgba(image, reinterpret_cast<std::byte*>(frame->data[0]), frame_stride_);

    std::int64_t pts = image.pts - shift_;
    if (!frames_.constant_rate) pts = av_rescale_q(pts, frames_time_base_, video_->time_base);
    if (last_pts_ != AV_NOPTS_VALUE && pts <= last_pts_) pts = last_pts_ + 1;
    last_pts_ = pts;
    frame->pts = pts;
    if (av_buffersrc_add_frame(video_filters_.source, frame.get()) < 0)
        throw UsageError("cannot encode '" + final_path_ + "': a frame cannot be converted");
    drainVideo();
}

void VideoWriter::Encoder::drainVideo() {
    av::Frame converted = av::NewFrame();
    av::Packet packet = av::NewPacket();
    auto receivePackets = [&] {
        for (;;) {
            const int received = avcodec_receive_packet(video_.get(), packet.get());
            if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) return;
            if (received < 0) failWith("cannot encode", received);
            av_packet_rescale_ts(packet.get(), video_->time_base, video_stream_->time_base);
            packet->stream_index = video_stream_->index;
            const std::int64_t t = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
            pumpSource(static_cast<double>(t) * av_q2d(video_stream_->time_base) + 1.0);
            writePacket(packet.get());
        }
    };
    for (;;) {
        const int got = av_buffersink_get_frame(video_filters_.sink, converted.get());
        if (got == AVERROR(EAGAIN)) return;
        if (got == AVERROR_EOF) {
            avcodec_send_frame(video_.get(), nullptr);
            receivePackets();
            return;
        }
        if (got < 0) failWith("cannot encode", got);
        // Some encoders (ProRes) write the frame's own colour description into each frame.
        converted->pict_type = AV_PICTURE_TYPE_NONE;
        converted->color_primaries = video_->color_primaries;
        converted->color_trc = video_->color_trc;
        converted->colorspace = video_->colorspace;
        converted->color_range = video_->color_range;
        const int sent = avcodec_send_frame(video_.get(), converted.get());
        av_frame_unref(converted.get());
        if (sent < 0) failWith("cannot encode", sent);
        receivePackets();
    }
}

void VideoWriter::Encoder::pumpSource(double until) {
    while (!source_done_) {
        if (!have_lookahead_) {
            const int read = av_read_frame(source_.get(), lookahead_.get());
            if (read < 0) {
                throwIfInterrupted();
                source_done_ = true;
                break;
            }
            have_lookahead_ = true;
        }
        AVPacket* packet = lookahead_.get();
        Route* route = packet->stream_index < static_cast<int>(routes_.size())
                           ? routes_[static_cast<std::size_t>(packet->stream_index)].get()
                           : nullptr;
        const std::int64_t t = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
        if (!route || t == AV_NOPTS_VALUE) {
            av_packet_unref(packet);
            have_lookahead_ = false;
            continue;
        }
        const double seconds = static_cast<double>(t) * av_q2d(route->in_time_base);
        if (seconds >= end_ || seconds < start_) {
            // Past the part written by more than any interleaving: nothing more to copy.
            if (seconds >= end_ + 30.0) source_done_ = true;
            av_packet_unref(packet);
            have_lookahead_ = false;
            continue;
        }
        const double shift = static_cast<double>(source_shift_) / AV_TIME_BASE;
        if (seconds - shift > until) break;
        const std::int64_t moved = av_rescale_q(source_shift_, AV_TIME_BASE_Q, route->in_time_base);
        if (packet->pts != AV_NOPTS_VALUE) packet->pts -= moved;
        if (packet->dts != AV_NOPTS_VALUE) packet->dts -= moved;
        if (route->subtitle) {
            convertSubtitle(*route, packet);
        } else if (route->encoder) {
            transcodeAudio(*route, packet);
        } else {
            av_packet_rescale_ts(packet, route->in_time_base, out_->streams[route->out_index]->time_base);
            packet->stream_index = route->out_index;
            packet->pos = -1;
            writePacket(packet);
        }
        av_packet_unref(packet);
        have_lookahead_ = false;
    }
}

void VideoWriter::Encoder::transcodeAudio(Route& route, AVPacket* packet) {
    // Damaged sound is skipped, as the ffmpeg program does.
    if (avcodec_send_packet(route.decoder.get(), packet) < 0) return;
    av::Frame decoded = av::NewFrame();
    while (avcodec_receive_frame(route.decoder.get(), decoded.get()) >= 0) {
        const std::int64_t pts = decoded->best_effort_timestamp;
        decoded->pts = pts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE
                                             : av_rescale_q(pts, route.in_time_base, {1, route.decoder->sample_rate});
        if (av_buffersrc_add_frame(route.filters.source, decoded.get()) < 0)
            throw UsageError("cannot write '" + final_path_ + "': the sound cannot be converted");
        drainAudio(route);
    }
}

void VideoWriter::Encoder::drainAudio(Route& route) {
    av::Frame converted = av::NewFrame();
    av::Packet packet = av::NewPacket();
    AVStream* out = out_->streams[route.out_index];
    auto receivePackets = [&] {
        while (avcodec_receive_packet(route.encoder.get(), packet.get()) >= 0) {
            av_packet_rescale_ts(packet.get(), route.encoder->time_base, out->time_base);
            packet->stream_index = route.out_index;
            writePacket(packet.get());
        }
    };
    for (;;) {
        const int got = av_buffersink_get_frame(route.filters.sink, converted.get());
        if (got == AVERROR_EOF) {
            avcodec_send_frame(route.encoder.get(), nullptr);
            receivePackets();
            return;
        }
        if (got < 0) return;
        if (converted->pts == AV_NOPTS_VALUE) converted->pts = route.next_pts;
        route.next_pts = converted->pts + converted->nb_samples;
        const int sent = avcodec_send_frame(route.encoder.get(), converted.get());
        av_frame_unref(converted.get());
        if (sent < 0) failWith("cannot encode the sound of", sent);
        receivePackets();
    }
}

void VideoWriter::Encoder::finish() {
    // The last frame lasts until the next would have come (the fps filter repeats it that long).
    std::int64_t end = last_pts_ == AV_NOPTS_VALUE ? 0 : last_pts_ + 1;
    if (frames_.constant_rate && last_pts_ != AV_NOPTS_VALUE)
        end = last_pts_ +
              std::max<std::int64_t>(1, av_rescale_q(1, av_inv_q(avRational(frames_.fps)), frames_time_base_));
    if (av_buffersrc_close(video_filters_.source, end, AV_BUFFERSRC_FLAG_PUSH) < 0)
        throw UsageError("cannot encode '" + final_path_ + "': the stream cannot be ended");
    drainVideo();
    pumpSource(1e300);
    for (const auto& route : routes_) {
        if (!route || !route->encoder || route->subtitle) continue;
        avcodec_send_packet(route->decoder.get(), nullptr);
        av::Frame decoded = av::NewFrame();
        while (avcodec_receive_frame(route->decoder.get(), decoded.get()) >= 0) {
            decoded->pts = decoded->best_effort_timestamp == AV_NOPTS_VALUE
                               ? AV_NOPTS_VALUE
                               : av_rescale_q(decoded->best_effort_timestamp, route->in_time_base,
                                              {1, route->decoder->sample_rate});
            if (av_buffersrc_add_frame(route->filters.source, decoded.get()) < 0)
                throw UsageError("cannot write '" + final_path_ + "': the sound cannot be converted");
        }
        if (av_buffersrc_close(route->filters.source, route->next_pts, AV_BUFFERSRC_FLAG_PUSH) < 0)
            throw UsageError("cannot write '" + final_path_ + "': the sound cannot be ended");
        drainAudio(*route);
    }
    if (const int written = av_write_trailer(out_.get()); written < 0) failWith("cannot write", written);
    avio_flush(out_->pb);
    if (out_->pb->error < 0 || !write_failure_.empty()) failWith("cannot write", out_->pb->error);
    out_.reset();
    file_.commit();
}

VideoWriter::VideoWriter(const std::string& final_path, const OutputFrames& frames,
                         const std::optional<StreamSource>& source, const EncodeOptions& options,
                         std::vector<std::string>& notes)
    : final_path_(final_path),
      frames_(frames),
      encoder_(std::make_unique<Encoder>(final_path, frames, source, options, notes)) {
    thread_ = std::thread([this] {
        try {
            while (std::optional<Image> image = queue_.pop()) encoder_->encode(*image);
        } catch (const std::exception& e) {
            failure_ = e.what();
            broken_ = true;
            queue_.close(true);
        }
    });
}

VideoWriter::~VideoWriter() {
    queue_.close(true);
    if (thread_.joinable()) thread_.join();
    // encoder_ then removes the temporary file unless finish() renamed it.
}

void VideoWriter::write(Image image) {
    if (broken_) fail();
    if (image.depth != frames_.depth) {
        const std::int64_t pts = image.pts;
        image = convertDepth(image, frames_.depth);
        image.pts = pts;
    }
    if (!queue_.push(std::move(image), throwIfInterrupted)) fail();
}

void VideoWriter::finish() {
    queue_.close();
    thread_.join();
    throwIfInterrupted();
    if (broken_) fail();
    encoder_->finish();
}

void VideoWriter::fail() {
    queue_.close(true);
    if (thread_.joinable()) thread_.join();
    throw UsageError(failure_.empty() ? "cannot encode '" + final_path_ + "'" : failure_);
}

}  // namespace korvane::cli
