// Owners for the FFmpeg libraries' objects, their error text, and their log kept off the terminal.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
}

#include <atomic>
#include <memory>
#include <string>

namespace korvane::cli::av {

struct InputDeleter {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
// An output context, and the I/O context it writes through when that is the caller's own.
struct OutputDeleter {
    void operator()(AVFormatContext* c) const {
        if (c->pb && (c->flags & AVFMT_FLAG_CUSTOM_IO)) {
            av_freep(&c->pb->buffer);
            avio_context_free(&c->pb);
        }
        avformat_free_context(c);
    }
};
struct BufferPoolDeleter {
    void operator()(AVBufferPool* p) const { av_buffer_pool_uninit(&p); }
};
struct CodecDeleter {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameDeleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct GraphDeleter {
    void operator()(AVFilterGraph* g) const { avfilter_graph_free(&g); }
};

using Input = std::unique_ptr<AVFormatContext, InputDeleter>;
using Output = std::unique_ptr<AVFormatContext, OutputDeleter>;
using Codec = std::unique_ptr<AVCodecContext, CodecDeleter>;
using Frame = std::unique_ptr<AVFrame, FrameDeleter>;
using Packet = std::unique_ptr<AVPacket, PacketDeleter>;
using Graph = std::unique_ptr<AVFilterGraph, GraphDeleter>;
using BufferPool = std::unique_ptr<AVBufferPool, BufferPoolDeleter>;

Frame NewFrame();    // throws std::bad_alloc
Packet NewPacket();  // throws std::bad_alloc

// The text of an AVERROR code, first letter lower case ("invalid data found when processing input").
std::string ErrorText(int code);

// The libraries print nothing: from the first call on, their messages of error level go to a
// per-thread store that LastError() reads, everything else nowhere. Call it before other threads
// start (it sets the environment of encoders that have their own log).
void KeepLogOffTerminal();
// The last error line the libraries logged on this thread since the last call, without their
// "[name @ 0x...]" prefix; "" if none. Clears it.
std::string TakeLastError();

// Something that can stop a blocking read: the libraries ask it between reads.
struct StopFlag {
    std::atomic<bool> stop{false};
};

// Opens a media file for reading: the name is always a local file, never a protocol URL, and
// nothing it refers to is fetched from the network. `stop` (or an interrupted run) ends blocking
// reads. `thorough` looks further into the file for the streams' parameters (a cut whose first
// keyframe comes late). Returns 0 or the AVERROR code; `input` is set on success.
int OpenInput(const std::string& path, Input& input, StopFlag* stop = nullptr, bool thorough = false);
// Reads the streams' parameters (decodes a few frames where the container does not say).
// Throws UsageError.
void FindStreamInfo(AVFormatContext* input, const std::string& path);

// True when the demuxer reads single images ("png_pipe", "image2", ...), not a clip.
bool IsImageDemuxer(const AVFormatContext* input);

// An options dictionary that frees itself.
struct Dictionary {
    AVDictionary* entries = nullptr;
    Dictionary() = default;
    ~Dictionary() { av_dict_free(&entries); }
    Dictionary(const Dictionary&) = delete;
    Dictionary& operator=(const Dictionary&) = delete;
    void set(const std::string& key, const std::string& value) { av_dict_set(&entries, key.c_str(), value.c_str(), 0); }
};

// A filter graph with one input and one output: "buffer" or "abuffer" with `source_args`, then
// `filters` (ffmpeg's filter syntax), then a sink. Scalers that the graph adds itself use
// ffmpeg's own default (bicubic), so conversions match the ffmpeg program's. Throws
// std::runtime_error.
struct FilterChain {
    Graph graph;
    AVFilterContext* source = nullptr;
    AVFilterContext* sink = nullptr;
};
FilterChain MakeFilterChain(bool audio, const std::string& source_args, const std::string& filters);

}  // namespace korvane::cli::av
