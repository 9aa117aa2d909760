// The FFmpeg libraries' log, errors and inputs, as the CLI uses them.
#include "video/LibAv.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <stdexcept>

#include "Errors.h"
#include "Interrupt.h"

namespace korvane::cli::av {
namespace {

// A message may arrive in pieces; each thread keeps its unfinished line and its last error.
thread_local std::string t_partial;
thread_local std::string t_last_error;

void keepErrors(void*, int level, const char* format, va_list args) {
    if (level > AV_LOG_ERROR) return;
    char buffer[1024];
    std::vsnprintf(buffer, sizeof buffer, format, args);
    t_partial += buffer;
    for (std::size_t end; (end = t_partial.find('\n')) != std::string::npos;) {
        std::string line = t_partial.substr(0, end);
        t_partial.erase(0, end + 1);
        while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
        if (!line.empty()) t_last_error = std::move(line);
    }
}

int interruptRead(void* opaque) {
    const auto* flag = static_cast<const StopFlag*>(opaque);
    return (flag && flag->stop.load()) || interrupted() ? 1 : 0;
}

}  // namespace

Frame NewFrame() {
    Frame frame(av_frame_alloc());
    if (!frame) throw std::bad_alloc();
    return frame;
}

Packet NewPacket() {
    Packet packet(av_packet_alloc());
    if (!packet) throw std::bad_alloc();
    return packet;
}

std::string ErrorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    std::string result = text;
    if (!result.empty()) result[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(result[0])));
    return result;
}

void KeepLogOffTerminal() {
    static std::once_flag once;
    std::call_once(once, [] {
        av_log_set_callback(keepErrors);
        // SVT-AV1 reports to standard error on its own unless its level says otherwise.
        setenv("SVT_LOG", "0", 0);
    });
}

std::string TakeLastError() {
    std::string last;
    last.swap(t_last_error);
    t_partial.clear();
    return last;
}

int OpenInput(const std::string& path, Input& input, StopFlag* stop, bool thorough) {
    KeepLogOffTerminal();
    AVFormatContext* context = avformat_alloc_context();
    if (!context) throw std::bad_alloc();
    context->interrupt_callback = {interruptRead, stop};
    Dictionary options;
    options.set("protocol_whitelist", "file");
    if (thorough) {
        options.set("analyzeduration", "120000000");  // microseconds
        options.set("probesize", "500000000");
    }
    // On failure avformat_open_input frees the context.
    const int result = avformat_open_input(&context, ("file:" + path).c_str(), nullptr, &options.entries);
    if (result < 0) return result;
    input.reset(context);
    return 0;
}

void FindStreamInfo(AVFormatContext* input, const std::string& path) {
    const int result = avformat_find_stream_info(input, nullptr);
    throwIfInterrupted();
    if (result < 0) {
        const std::string line = TakeLastError();
        throw UsageError("cannot read '" + path + "': " + (line.empty() ? ErrorText(result) : line));
    }
}

bool IsImageDemuxer(const AVFormatContext* input) {
    const std::string name = input->iformat->name;
    return name == "image2" || name == "image2pipe" ||
           (name.size() > 5 && name.compare(name.size() - 5, 5, "_pipe") == 0);
}

FilterChain MakeFilterChain(bool audio, const std::string& source_args, const std::string& filters) {
    FilterChain chain;
    chain.graph.reset(avfilter_graph_alloc());
    if (!chain.graph) throw std::bad_alloc();
    chain.graph->scale_sws_opts = av_strdup("flags=bicubic");
    auto check = [](int result, const char* what) {
        if (result < 0) {
            const std::string line = TakeLastError();
            throw std::runtime_error(std::string(what) + ": " + (line.empty() ? ErrorText(result) : line));
        }
    };
    check(avfilter_graph_create_filter(&chain.source, avfilter_get_by_name(audio ? "abuffer" : "buffer"), "in",
                                       source_args.c_str(), nullptr, chain.graph.get()),
          "cannot set up the conversion");
    check(avfilter_graph_create_filter(&chain.sink, avfilter_get_by_name(audio ? "abuffersink" : "buffersink"), "out",
                                       nullptr, nullptr, chain.graph.get()),
          "cannot set up the conversion");
    // The text's open input is fed by the source, its open output feeds the sink.
    AVFilterInOut* outputs = avfilter_inout_alloc();
    AVFilterInOut* inputs = avfilter_inout_alloc();
    if (!outputs || !inputs) {
        avfilter_inout_free(&outputs);
        avfilter_inout_free(&inputs);
        throw std::bad_alloc();
    }
    outputs->name = av_strdup("in");
    outputs->filter_ctx = chain.source;
    inputs->name = av_strdup("out");
    inputs->filter_ctx = chain.sink;
    const int parsed = avfilter_graph_parse_ptr(chain.graph.get(), filters.c_str(), &inputs, &outputs, nullptr);
    avfilter_inout_free(&outputs);
    avfilter_inout_free(&inputs);
    check(parsed, ("cannot set up the conversion '" + filters + "'").c_str());
    check(avfilter_graph_config(chain.graph.get(), nullptr),
          ("cannot set up the conversion '" + filters + "'").c_str());
    return chain;
}

}  // namespace korvane::cli::av
