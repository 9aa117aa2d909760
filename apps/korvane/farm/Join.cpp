// `korvane join`: lossless chunks of one clip, rendered apart, into the file a single render writes.
#include <sys/stat.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <set>

#include "Errors.h"
#include "Interrupt.h"
#include "cli/Commands.h"
#include "video/VideoIO.h"

namespace korvane::cli {
namespace {

struct Chunk {
    std::string path;
    long first = 0;
    long tagged = 0;   // frames the chunk says it holds
    long counted = 0;  // frames it holds
    int width = 0;
    int height = 0;
    std::string pixel_format;
    VideoInfo info;
    long end() const { return first + tagged; }  // one past its last frame
};

std::string frames(long first, long end) {
    return end - first == 1 ? "frame " + std::to_string(first)
                            : "frames " + std::to_string(first) + "-" + std::to_string(end - 1);
}

// A whole number tag, or nothing.
std::optional<long> wholeNumber(const std::vector<std::pair<std::string, std::string>>& tags, const char* key) {
    for (const auto& [name, text] : tags) {
        if (name != key) continue;
        char* end = nullptr;
        errno = 0;
        const long value = std::strtol(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || errno != 0 || value < 0) return std::nullopt;
        return value;
    }
    return std::nullopt;
}

Chunk probeChunk(const std::string& path, std::optional<VideoInfo>& info) {
    info = ProbeVideo(path);
    if (!info) throw UsageError("cannot read '" + path + "': no video stream");
    Chunk chunk;
    chunk.path = path;
    chunk.counted = info->frame_count;
    chunk.width = info->width;
    chunk.height = info->height;
    chunk.pixel_format = info->pixel_format;
    if (chunk.pixel_format.empty()) throw UsageError("cannot read '" + path + "': its pixel format is unknown");
    const std::optional<long> first = wholeNumber(info->tags, kChunkFirstFrameTag);
    const std::optional<long> count = wholeNumber(info->tags, kChunkFrameCountTag);
    if (!first || !count || *count == 0)
        throw UsageError("'" + path +
                         "' is no chunk of a clip (it has no frame tags); write chunks with "
                         "'korvane render SOURCE --frames FIRST-LAST -o CHUNK.mkv'");
    chunk.first = *first;
    chunk.tagged = *count;
    return chunk;
}

// Frames [0, total) covered exactly once by the chunks, in order; otherwise a UsageError naming
// the frames missing or held twice.
void checkCoverage(const std::vector<Chunk>& chunks, long total) {
    std::vector<std::string> missing;
    long next = 0;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        const Chunk& c = chunks[i];
        if (c.first < next)
            throw UsageError("cannot join: '" + chunks[i - 1].path + "' and '" + c.path + "' both hold " +
                             frames(c.first, std::min(next, c.end())));
        if (c.first > next) missing.push_back(frames(next, c.first) + " (no chunk)");
        if (c.counted < c.tagged)
            missing.push_back(frames(c.first + c.counted, c.end()) + " ('" + c.path + "' ends early)");
        else if (c.counted > c.tagged)
            throw UsageError("cannot join: '" + c.path + "' holds " + std::to_string(c.counted) +
                             " frames but is tagged with " + std::to_string(c.tagged));
        next = c.end();
    }
    if (next < total) missing.push_back(frames(next, total) + " (no chunk)");
    if (!missing.empty()) {
        std::string text;
        for (const std::string& m : missing) text += (text.empty() ? "" : ", ") + m;
        throw UsageError("cannot join: missing " + text);
    }
    if (next > total)
        throw UsageError("cannot join: '" + chunks.back().path + "' holds " +
                         frames(std::max(total, chunks.back().first), next) + ", past the end of the clip (" +
                         std::to_string(total) + " frames)");
}

bool sameFile(const std::string& a, const std::string& b) {
    struct stat sa {
    }, sb{};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

}  // namespace

int runJoin(const JoinOptions& options) {
    if (!IsVideoOutput(options.output, true))
        throw UsageError("output '" + options.output + "' is no video file; join into .mkv, .mp4, .mov, .webm, ...");
    const std::optional<VideoInfo> source = ProbeVideo(options.audio_from);
    if (!source) throw UsageError("--audio-from '" + options.audio_from + "' is no clip");
    for (const std::string& path : options.chunks)
        if (sameFile(path, options.output) || sameFile(options.audio_from, options.output))
            throw UsageError("output '" + options.output +
                             "' would replace an input of this join; choose another name");

    std::vector<Chunk> chunks;
    for (const std::string& path : options.chunks) {
        std::optional<VideoInfo> info;
        chunks.push_back(probeChunk(path, info));
        chunks.back().info = std::move(*info);
    }
    std::stable_sort(chunks.begin(), chunks.end(), [](const Chunk& a, const Chunk& b) { return a.first < b.first; });
    const long total = source->frame_count;
    checkCoverage(chunks, total);
    for (const Chunk& c : chunks) {
        if (c.width != source->width || c.height != source->height)
            throw UsageError("cannot join: '" + c.path + "' is " + std::to_string(c.width) + "x" +
                             std::to_string(c.height) + ", '" + options.audio_from + "' " +
                             std::to_string(source->width) + "x" + std::to_string(source->height));
        if (c.pixel_format != chunks[0].pixel_format)
            throw UsageError("cannot join: '" + c.path + "' holds " + c.pixel_format + " pixels, '" + chunks[0].path +
                             "' " + chunks[0].pixel_format + "; render every chunk with the same options");
    }

    // The frames travel as a render's do: at 8 bits, or 16 for chunks deeper than that; each takes
    // the time of the source's frame it renders, so the result is the one-piece render's file.
    const int depth = chunks[0].pixel_format.find("16") != std::string::npos ? 16 : 8;
    EncodeOptions encode;
    encode.codec = options.codec;
    encode.crf = options.crf;
    encode.extra_args = SplitArguments(options.encoder_args);
    OutputFrames output;
    output.width = source->width;
    output.height = source->height;
    output.depth = depth;
    output.source_depth = source->bit_depth;
    output.alpha = source->has_alpha;
    output.fps = source->fps;
    output.variable_rate = source->variable_rate;
    output.time_base = source->time_base;
    output.color = source->color;
    std::vector<std::string> notes;
    VideoWriter writer(options.output, output, StreamSource{options.audio_from, &*source, std::nullopt}, encode, notes);
    std::set<std::string> noted;
    for (const std::string& note : notes)
        if (!options.quiet && noted.insert(note).second) std::fprintf(stderr, "korvane: note: %s\n", note.c_str());

    long joined = 0;
    for (const Chunk& c : chunks) {
        VideoReader reader(c.path, c.info, depth, std::nullopt);
        while (std::optional<Image> frame = reader.next()) {
            if (joined >= total) break;
            frame->pts = source->frame_pts[static_cast<std::size_t>(joined)];
            writer.write(std::move(*frame));
            ++joined;
        }
    }
    if (joined != total)
        throw UsageError("cannot join: the chunks decoded to " + std::to_string(joined) + " frames, not " +
                         std::to_string(total));
    writer.finish();
    if (!options.quiet)
        std::fprintf(stderr, "korvane: joined %zu %s, %ld %s, into '%s'\n", chunks.size(),
                     chunks.size() == 1 ? "chunk" : "chunks", joined, joined == 1 ? "frame" : "frames",
                     options.output.c_str());
    return kExitOk;
}

}  // namespace korvane::cli
