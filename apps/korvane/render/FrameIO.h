// Where a render's frames come from (a still, an image sequence, a clip) and where they go (image
// files, a video file), behind one interface each so that the render loop is the same for all.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "image/Image.h"
#include "image/Sequence.h"
#include "video/VideoIO.h"
#include "video/VideoProbe.h"

namespace korvane::cli {

class FrameSource {
public:
    virtual ~FrameSource() = default;
    // The picture of input frame `frame` (frames are asked for in increasing order), or nothing
    // when the input has no more frames.
    virtual std::optional<Image> next(long frame) = 0;
    // A decoder's last complaint, for messages; "" for files read whole.
    virtual std::string problem() const { return {}; }
    // For looks that read other frames than the one rendered (the automatic band smoothed over
    // frames): the picture of input frame `frame`, within the reach the source was made with of the
    // frame next() last gave, or null when the input has no such frame. Valid until the next call.
    virtual const Image* near(long /*frame*/) { return nullptr; }
};

// One image file for every frame; `many` when more than one frame is asked for (it is read once).
std::unique_ptr<FrameSource> StillSource(const std::string& path, bool many = true);
// One file per frame, named by a pattern; with a `reach`, near() reads the files of the frames within
// it (a frame without a file is none) and keeps them while they stay within it.
std::unique_ptr<FrameSource> SequenceSource(const FramePattern& pattern, long reach = 0);
// The frames of a clip from `range.first` on (to `range.last`, or the clip's end when open). With a
// `reach`, the frames within it of the one rendered are kept for near(): decoding starts `reach`
// frames before the range (a chunk's first frames see the ones before it) and runs `reach` frames
// ahead of the frame rendered, or to the clip's end.
std::unique_ptr<FrameSource> ClipSource(const std::string& path, const VideoInfo& info, int depth,
                                        const std::optional<FrameRange>& range, long reach = 0);

class FrameSink {
public:
    virtual ~FrameSink() = default;  // an unfinished sink leaves no file behind
    // Notes for the user (formats that cannot hold the frame as it is), once each.
    virtual void write(long frame, Image image, std::vector<std::string>& notes) = 0;
    virtual void finish() = 0;
};

// One image file per frame, each written under a temporary name and renamed; frame F goes to the
// file numbered F + `number_offset`.
std::unique_ptr<FrameSink> ImageSink(const FramePattern& pattern, long number_offset, const WriteOptions& options);

// A video file; the encoder starts with the first frame, which gives the size and depth.
struct VideoSinkSettings {
    std::string path;
    Rational fps;
    bool variable_rate = false;             // frames keep their own times (a clip's), not frame / fps
    Rational time_base;                     // of the frames' times
    std::optional<Rational> constant_rate;  // --fps on a clip: frames repeated or dropped to it
    ColorTags color;
    bool alpha = false;                  // keep alpha where the codec can
    int source_depth = 8;                // bits per component of the source's pixels
    std::optional<StreamSource> source;  // the clip whose sound, subtitles and tags go along
    EncodeOptions encode;
    std::optional<FrameRange> chunk;  // the frames of a longer clip this output holds
};
std::unique_ptr<FrameSink> VideoSink(const VideoSinkSettings& settings);

}  // namespace korvane::cli
