// A clip's video stream read in process with libavformat: the facts, then their meaning.
#include "video/VideoProbe.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <filesystem>
#include <limits>

#include "Errors.h"
#include "Interrupt.h"
#include "video/LibAv.h"

extern "C" {
#include <libavutil/display.h>
#include <libavutil/pixdesc.h>
}

namespace korvane::cli {
namespace {

constexpr std::int64_t kNoTime = std::numeric_limits<std::int64_t>::min();

Rational rationalOf(AVRational r) { return {r.num, r.den}; }

std::string colorName(const char* name) {
    const std::string text = name ? name : "";
    return text == "unknown" || text == "unspecified" || text == "reserved" ? std::string() : text;
}

// The first video stream that is not cover art, described with every packet it holds.
VideoFacts readFacts(AVFormatContext* input, const std::string& path) {
    VideoFacts facts;
    const AVStream* video = nullptr;
    int video_streams = 0;
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        AVStream* stream = input->streams[i];
        const AVCodecParameters* par = stream->codecpar;
        if (par->codec_type == AVMEDIA_TYPE_AUDIO) facts.audio_codecs.push_back(avcodec_get_name(par->codec_id));
        if (par->codec_type != AVMEDIA_TYPE_VIDEO) continue;
        if (!video && !(stream->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
            video = stream;
            facts.stream_index = static_cast<int>(i);
            facts.video_index = video_streams;
        }
        ++video_streams;
    }
    if (!video) throw ProbeError{"it has no video stream"};
    const AVCodecParameters* par = video->codecpar;
    facts.width = par->width;
    facts.height = par->height;
    if (const auto* matrix = reinterpret_cast<const int32_t*>(
            av_stream_get_side_data(video, AV_PKT_DATA_DISPLAYMATRIX, nullptr)))
        facts.rotation = -av_display_rotation_get(matrix);
    facts.real_rate = rationalOf(video->r_frame_rate);
    facts.average_rate = rationalOf(video->avg_frame_rate);
    facts.time_base = rationalOf(video->time_base);
    if (video->duration != AV_NOPTS_VALUE)
        facts.duration = static_cast<double>(video->duration) * av_q2d(video->time_base);
    else if (input->duration != AV_NOPTS_VALUE)
        facts.duration = static_cast<double>(input->duration) / AV_TIME_BASE;
    if (const AVPixFmtDescriptor* format = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(par->format))) {
        facts.pixel_format = format->name;
        int depth = 0;
        for (int c = 0; c < format->nb_components; ++c) depth = std::max(depth, format->comp[c].depth);
        if (depth > 0) facts.bit_depth = depth;
        facts.has_alpha = (format->flags & AV_PIX_FMT_FLAG_ALPHA) != 0;
    }
    facts.color = {colorName(av_color_primaries_name(par->color_primaries)),
                   colorName(av_color_transfer_name(par->color_trc)), colorName(av_color_space_name(par->color_space)),
                   colorName(av_color_range_name(par->color_range))};

    // Only the video stream's packets are read.
    for (unsigned i = 0; i < input->nb_streams; ++i)
        if (static_cast<int>(i) != facts.stream_index) input->streams[i]->discard = AVDISCARD_ALL;
    av::Packet packet = av::NewPacket();
    av::TakeLastError();
    int result = 0;
    while ((result = av_read_frame(input, packet.get())) >= 0) {
        if (packet->stream_index == facts.stream_index)
            facts.packets.push_back({packet->pts == AV_NOPTS_VALUE ? kNoTime : packet->pts,
                                     packet->dts == AV_NOPTS_VALUE ? kNoTime : packet->dts,
                                     (packet->flags & AV_PKT_FLAG_KEY) != 0, (packet->flags & AV_PKT_FLAG_DISCARD) != 0,
                                     packet->size});
        av_packet_unref(packet.get());
    }
    throwIfInterrupted();
    // A container that lists more frames than can be read is damaged (a file cut short).
    const std::string problem = av::TakeLastError();
    const auto read = static_cast<std::int64_t>(facts.packets.size());
    if ((result != AVERROR_EOF || !problem.empty()) && video->nb_frames > read)
        throw UsageError("cannot decode '" + path + "': " + (problem.empty() ? av::ErrorText(result) : problem) + "; " +
                         std::to_string(read) + " of its " + std::to_string(video->nb_frames) + " frames can be read");
    return facts;
}

}  // namespace

std::optional<VideoInfo> ProbeVideo(const std::string& path) {
    const bool movie = IsMovieExtension(path);
    av::Input input;
    const int opened = av::OpenInput(path, input);
    throwIfInterrupted();
    if (opened < 0) {
        if (!movie) return std::nullopt;
        const std::string line = av::TakeLastError();
        throw UsageError("cannot read '" + path + "': " +
                         (opened == AVERROR(ENOENT) ? std::string("no such file")
                          : line.empty()            ? av::ErrorText(opened)
                                                    : line));
    }
    if (av::IsImageDemuxer(input.get())) return std::nullopt;
    av::FindStreamInfo(input.get(), path);
    // A cut whose first keyframe comes late leaves the picture's size unknown at first look.
    auto sized = [&] {
        for (unsigned i = 0; i < input->nb_streams; ++i)
            if (input->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
                return input->streams[i]->codecpar->width > 0;
        return true;
    };
    if (!sized() && av::OpenInput(path, input, nullptr, true) == 0) av::FindStreamInfo(input.get(), path);
    VideoInfo info;
    try {
        info = DescribeVideo(readFacts(input.get(), path));
    } catch (const ProbeError& e) {
        throw UsageError("cannot read '" + path + "': " + e.reason);
    }
    const AVDictionaryEntry* tag = nullptr;
    while ((tag = av_dict_get(input->metadata, "", tag, AV_DICT_IGNORE_SUFFIX)))
        info.tags.emplace_back(tag->key, tag->value);
    return info;
}

}  // namespace korvane::cli
