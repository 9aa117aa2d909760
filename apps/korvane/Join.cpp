// `korvane join`: lossless chunks of one clip, rendered apart, into the file a single render writes.
#include <sys/stat.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>

#include <nlohmann/json.hpp>

#include "AtomicOutput.h"
#include "Commands.h"
#include "Errors.h"
#include "Interrupt.h"
#include "VideoIO.h"

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
    long end() const { return first + tagged; }  // one past its last frame
};

std::string frames(long first, long end) {
    return end - first == 1 ? "frame " + std::to_string(first)
                            : "frames " + std::to_string(first) + "-" + std::to_string(end - 1);
}

// Runs ffprobe and parses its JSON answer; throws UsageError naming `path`.
nlohmann::json probeJson(const std::string& path, std::vector<std::string> argv) {
    argv.insert(argv.begin(), {"ffprobe", "-v", "error", "-of", "json"});
    argv.push_back("file:" + path);
    std::string out;
    int status = 0;
    std::string failure;
    try {
        Subprocess probe(argv, {.to_stdin = false, .from_stdout = true});
        out = probe.readAll();
        status = probe.wait();
        failure = probe.lastErrorLine();
    } catch (const SpawnError& e) {
        throw UsageError("cannot read '" + path + "': joining needs ffprobe, from the Debian package 'ffmpeg' (" +
                         (e.error == ENOENT ? std::string("not installed") : std::strerror(e.error)) + ")");
    }
    throwIfInterrupted();
    if (status != 0) throw UsageError("cannot read '" + path + "': " + (failure.empty() ? "ffprobe failed" : failure));
    nlohmann::json json = nlohmann::json::parse(out, nullptr, false);
    if (json.is_discarded() || !json.is_object())
        throw UsageError("cannot read '" + path + "': ffprobe's answer is not JSON");
    return json;
}

// A whole number that ffprobe writes as a string, or nothing.
std::optional<long> wholeNumber(const nlohmann::json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end()) return std::nullopt;
    if (it->is_number_integer()) return it->get<long>();
    if (!it->is_string()) return std::nullopt;
    const std::string text = it->get<std::string>();
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value < 0) return std::nullopt;
    return value;
}

// Frames in a clip's video stream, counted packet by packet (every frame of an FFV1 chunk is one).
long countFrames(const std::string& path, int stream_index, nlohmann::json* streams_out = nullptr) {
    const nlohmann::json json = probeJson(path,
                                          {"-count_packets", "-select_streams", "v:" + std::to_string(stream_index),
                                           "-show_entries", "stream=nb_read_packets,width,height,pix_fmt:format_tags"});
    const auto streams = json.find("streams");
    if (streams == json.end() || !streams->is_array() || streams->empty() || !(*streams)[0].is_object())
        throw UsageError("cannot read '" + path + "': no video stream");
    if (streams_out) *streams_out = json;
    const std::optional<long> count = wholeNumber((*streams)[0], "nb_read_packets");
    if (!count) throw UsageError("cannot read '" + path + "': ffprobe could not count its frames");
    return *count;
}

Chunk probeChunk(const std::string& path) {
    if (path.find('\n') != std::string::npos || path.find('\r') != std::string::npos)
        throw UsageError("chunk '" + path + "': a name with a line break cannot be joined; rename it");
    nlohmann::json json;
    Chunk chunk;
    chunk.path = path;
    chunk.counted = countFrames(path, 0, &json);
    const nlohmann::json& stream = json["streams"][0];
    chunk.width = static_cast<int>(wholeNumber(stream, "width").value_or(0));
    chunk.height = static_cast<int>(wholeNumber(stream, "height").value_or(0));
    if (const auto it = stream.find("pix_fmt"); it != stream.end() && it->is_string()) chunk.pixel_format = *it;
    if (chunk.pixel_format.empty())
        throw UsageError("cannot read '" + path + "': ffprobe cannot tell its pixel format");
    std::optional<long> first, count;
    if (const auto format = json.find("format"); format != json.end() && format->is_object()) {
        if (const auto tags = format->find("tags"); tags != format->end() && tags->is_object()) {
            first = wholeNumber(*tags, kChunkFirstFrameTag);
            count = wholeNumber(*tags, kChunkFrameCountTag);
        }
    }
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

// The concat demuxer's list: absolute names, single-quoted.
std::string concatList(const std::vector<Chunk>& chunks) {
    std::string text = "ffconcat version 1.0\n";
    for (const Chunk& c : chunks) {
        std::string quoted;
        for (const char ch : std::filesystem::absolute(c.path).string())
            quoted += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
        text += "file '" + quoted + "'\n";
    }
    return text;
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
    for (const std::string& path : options.chunks) chunks.push_back(probeChunk(path));
    std::stable_sort(chunks.begin(), chunks.end(), [](const Chunk& a, const Chunk& b) { return a.first < b.first; });
    const long total = source->frame_count_exact ? source->frame_count
                                                 : countFrames(options.audio_from, source->video_index);
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

    // The frames travel as a render's do: at 8 bits, or 16 for chunks deeper than that.
    const int depth = chunks[0].pixel_format.find("16") != std::string::npos ? 16 : 8;
    AtomicOutput list(options.output + ".ffconcat");
    {
        std::ofstream out(list.tempPath(), std::ios::binary | std::ios::trunc);
        out << concatList(chunks);
        if (!out.flush()) throw UsageError("cannot write '" + list.tempPath() + "': " + std::strerror(errno));
    }
    const std::vector<std::string> decoder = {"ffmpeg",
                                              "-nostdin",
                                              "-hide_banner",
                                              "-v",
                                              "error",
                                              "-f",
                                              "concat",
                                              "-safe",
                                              "0",
                                              "-i",
                                              "file:" + list.tempPath(),
                                              "-map",
                                              "0:v:0",
                                              "-fps_mode",
                                              "passthrough",
                                              "-f",
                                              "rawvideo",
                                              "-pix_fmt",
                                              depth == 8 ? "rgba" : "rgba64le",
                                              "pipe:1"};
    VideoReader reader("the chunks", decoder, source->width, source->height, depth, source->has_alpha);

    EncodeOptions encode;
    encode.codec = options.codec;
    encode.crf = options.crf;
    encode.extra_args = SplitArguments(options.encoder_args);
    const OutputFrames output{source->width, source->height, depth, source->has_alpha, source->fps, source->color, {}};
    std::vector<std::string> notes;
    VideoWriter writer(options.output, output, AudioSource{options.audio_from, source->audio_codecs, 0, 0}, encode,
                       notes);
    std::set<std::string> noted;
    for (const std::string& note : notes)
        if (!options.quiet && noted.insert(note).second) std::fprintf(stderr, "korvane: note: %s\n", note.c_str());

    long joined = 0;
    while (std::optional<Image> frame = reader.next()) {
        writer.write(std::move(*frame));
        ++joined;
    }
    if (joined != total)
        throw UsageError("cannot join: the chunks decoded to " + std::to_string(joined) + " frames, not " +
                         std::to_string(total));
    writer.finish();
    if (!options.quiet)
        std::fprintf(stderr, "korvane: joined %zu %s, %ld frames, into '%s'\n", chunks.size(),
                     chunks.size() == 1 ? "chunk" : "chunks", joined, options.output.c_str());
    return kExitOk;
}

}  // namespace korvane::cli
