// Clips in and out in process with the FFmpeg libraries: frames decoded on one thread and encoded
// on another while the effect renders, a few frames in flight at most; the source clip's other
// streams (sound, subtitles, timecode), metadata and chapters carried into the output.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "image/Image.h"
#include "image/Sequence.h"
#include "video/BoundedQueue.h"
#include "video/VideoProbe.h"

namespace korvane::cli {

// How the user asked for the output to be encoded.
struct EncodeOptions {
    std::string codec;  // empty: by the output's extension
    std::optional<int> crf;
    std::vector<std::string> extra_args;  // ffmpeg-style "-name value" pairs for the encoder or the muxer
};

// The clip whose other streams, metadata and chapters go into the output beside the rendered
// video: all of it, or the part that frames [first, last] of its video cover.
struct StreamSource {
    std::string path;
    const VideoInfo* clip = nullptr;
    std::optional<FrameRange> range;  // nothing: the whole clip
};

struct OutputFrames {
    int width = 0;
    int height = 0;
    int depth = 8;               // 8 or 16 in the frames handed over
    int source_depth = 8;        // bits per component of the pictures the frames came from
    bool alpha = false;          // the source has alpha worth keeping
    Rational fps;                // the frames' rate (a variable rate's average)
    bool variable_rate = false;  // the frames' times are kept as they are, not counted at `fps`
    Rational time_base;          // of the frames' times
    // When set, the output runs at this constant rate: frames are repeated or dropped as ffmpeg's
    // fps filter does (each output frame shows the frame nearest its time).
    std::optional<Rational> constant_rate;
    ColorTags color;
    // Set when the output is one chunk of a longer clip (frames [first, last] of it): an .mkv chunk
    // is tagged with its frames for `korvane join` and holds no other stream (the join takes the source's).
    std::optional<FrameRange> chunk;
};

// Container tags of a chunk: the number of its first frame in the whole clip, and how many it holds.
inline constexpr const char* kChunkFirstFrameTag = "KORVANE_FIRST_FRAME";
inline constexpr const char* kChunkFrameCountTag = "KORVANE_FRAME_COUNT";

// Splits --encoder-args text into arguments: blanks separate, quotes group. Throws UsageError.
std::vector<std::string> SplitArguments(const std::string& text);

// Output names that a clip is written to ("mp4", "mov", ...; ".gif" only from a clip).
bool IsVideoOutput(const std::string& path, bool input_is_clip);

// Decodes a clip on its own thread, upright and converted to RGBA; next() hands over the frames in order.
class VideoReader {
public:
    // depth: 8 or 16, the frames' depth. Frames [range] only, or all. Throws UsageError.
    VideoReader(const std::string& path, const VideoInfo& info, int depth, const std::optional<FrameRange>& range);
    ~VideoReader();
    VideoReader(const VideoReader&) = delete;
    VideoReader& operator=(const VideoReader&) = delete;

    // The next frame (with its time in the clip's time base), or nothing at the end of the clip.
    // Throws UsageError when decoding failed, Cancelled when the run is interrupted while waiting.
    std::optional<Image> next();
    // What the libraries last complained of while decoding (errors they worked around), or "".
    std::string problem() const;

private:
    void decode(std::optional<FrameRange> range);

    std::string path_;
    VideoInfo info_;
    int depth_;
    BoundedQueue<Image> frames_{2};
    struct Shared;
    std::shared_ptr<Shared> shared_;
    std::thread thread_;
};

// Encodes frames on its own thread into a temporary file beside `final_path`, with the source's
// other streams; finish() renames it into place; a writer destroyed before that leaves nothing.
class VideoWriter {
public:
    // Opens the encoder and the output (so that a bad codec or option fails before any render).
    // `notes` gets a line for each conversion or drop. Throws UsageError.
    VideoWriter(const std::string& final_path, const OutputFrames& frames, const std::optional<StreamSource>& source,
                const EncodeOptions& options, std::vector<std::string>& notes);
    ~VideoWriter();
    VideoWriter(const VideoWriter&) = delete;
    VideoWriter& operator=(const VideoWriter&) = delete;

    // Queues a frame (its `pts` in the frames' time base); throws UsageError once the encoder failed.
    void write(Image image);
    // Ends the stream, waits for the encoder, writes the rest of the other streams and renames the
    // file into place. Throws UsageError.
    void finish();

private:
    class Encoder;
    [[noreturn]] void fail();

    std::string final_path_;
    OutputFrames frames_;
    std::unique_ptr<Encoder> encoder_;
    BoundedQueue<Image> queue_{2};
    std::atomic<bool> broken_{false};
    std::string failure_;  // written by the encoding thread before it closes the queue
    std::thread thread_;
};

}  // namespace korvane::cli
