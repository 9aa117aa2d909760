// Clips in and out through ffmpeg: raw RGBA frames over pipes, decoded on one side and encoded on
// the other while the effect renders, a few frames in flight at most.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "AtomicOutput.h"
#include "BoundedQueue.h"
#include "Image.h"
#include "Sequence.h"
#include "Subprocess.h"
#include "VideoProbe.h"

namespace korvane::cli {

// How the user asked for the output to be encoded.
struct EncodeOptions {
    std::string codec;  // empty: by the output's extension
    std::optional<int> crf;
    std::vector<std::string> extra_args;  // appended to the encoder's arguments
};

// Where the output's audio and metadata come from: the input clip, over the frames rendered.
struct AudioSource {
    std::string path;
    std::vector<std::string> codecs;
    double start = 0;     // seconds into the clip
    double duration = 0;  // seconds; 0 for the rest of the clip
};

struct OutputFrames {
    int width = 0;
    int height = 0;
    int depth = 8;       // 8 or 16 over the pipe
    bool alpha = false;  // the source has alpha worth keeping
    Rational fps;
    ColorTags color;
    // Set when the output is one chunk of a longer clip (frames [first, last] of it): an .mkv chunk
    // is tagged with its frames for `korvane join` and holds no sound (the join takes the source's).
    std::optional<FrameRange> chunk;
};

// Container tags of a chunk: the number of its first frame in the whole clip, and how many it holds.
inline constexpr const char* kChunkFirstFrameTag = "KORVANE_FIRST_FRAME";
inline constexpr const char* kChunkFrameCountTag = "KORVANE_FRAME_COUNT";

// The ffmpeg command that encodes raw frames from standard input into `temp_path` (whose
// extension chooses the container), with notes for the user about choices made.
struct EncoderCommand {
    std::vector<std::string> argv;
    std::vector<std::string> notes;
};
EncoderCommand BuildEncoderCommand(const std::string& temp_path, const OutputFrames& frames,
                                   const std::optional<AudioSource>& audio, const EncodeOptions& options);

// The ffmpeg command that decodes frames [range] of a clip upright as raw RGBA on standard output.
std::vector<std::string> BuildDecoderCommand(const std::string& path, const VideoInfo& info, int depth,
                                             const std::optional<FrameRange>& range);

// Splits --encoder-args text into arguments: blanks separate, quotes group. Throws UsageError.
std::vector<std::string> SplitArguments(const std::string& text);

// Output names that a clip is written to ("mp4", "mov", ...; ".gif" only from a clip).
bool IsVideoOutput(const std::string& path, bool input_is_clip);

// Decodes a clip on its own thread; next() hands over the frames in order.
class VideoReader {
public:
    // depth: 8 or 16, the pipe's depth. Throws UsageError when ffmpeg cannot be started.
    VideoReader(const std::string& path, const VideoInfo& info, int depth, const std::optional<FrameRange>& range);
    // Frames of `width` x `height` at `depth` from any decoder command writing raw RGBA to standard
    // output; `label` names the input in messages.
    VideoReader(const std::string& label, const std::vector<std::string>& decoder_argv, int width, int height,
                int depth, bool alpha);
    ~VideoReader();
    VideoReader(const VideoReader&) = delete;
    VideoReader& operator=(const VideoReader&) = delete;

    // The next frame, or nothing at the end of the clip. Throws UsageError when decoding failed,
    // Cancelled when the run is interrupted while waiting.
    std::optional<Image> next();
    // What ffmpeg last said on standard error while decoding (errors it worked around), or "".
    std::string problem() const { return decoder_->lastErrorLine(); }

private:
    std::string path_;
    std::unique_ptr<Subprocess> decoder_;
    BoundedQueue<Image> frames_{2};
    std::string failure_;  // written by the reading thread before it closes the queue
    std::thread thread_;
};

// Encodes frames on its own thread into a temporary file beside `final_path`, renamed into place by
// finish(); a writer destroyed before that leaves nothing behind.
class VideoWriter {
public:
    VideoWriter(const std::string& final_path, const OutputFrames& frames, const std::optional<AudioSource>& audio,
                const EncodeOptions& options, std::vector<std::string>& notes);
    ~VideoWriter();
    VideoWriter(const VideoWriter&) = delete;
    VideoWriter& operator=(const VideoWriter&) = delete;

    // Queues a frame (converted to the pipe's depth); throws UsageError once the encoder failed.
    void write(Image image);
    // Ends the stream, waits for the encoder and renames the file into place. Throws UsageError.
    void finish();

private:
    [[noreturn]] void fail();

    std::string final_path_;
    OutputFrames frames_;
    AtomicOutput file_;
    std::unique_ptr<Subprocess> encoder_;
    BoundedQueue<Image> queue_{2};
    std::atomic<bool> broken_{false};
    std::thread thread_;
};

}  // namespace korvane::cli
