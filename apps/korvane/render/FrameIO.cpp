// Frame sources and sinks.
#include "render/FrameIO.h"

#include <algorithm>
#include <deque>
#include <filesystem>
#include <map>
#include <utility>

#include "AtomicOutput.h"
#include "Errors.h"
#include "Interrupt.h"
#include "TestHooks.h"

namespace korvane::cli {
namespace {

class Still final : public FrameSource {
public:
    Still(std::string path, bool many) : path_(std::move(path)), many_(many) {}
    std::optional<Image> next(long) override {
        if (!image_) {
            image_ = readImage(path_);
            noteStageForTestHook(TestStage::Read);
        }
        if (many_) return image_;
        // The one frame takes the picture itself, not a copy of it.
        std::optional<Image> only = std::move(image_);
        image_.reset();
        return only;
    }

private:
    std::string path_;
    bool many_;
    std::optional<Image> image_;
};

class Sequence final : public FrameSource {
public:
    explicit Sequence(FramePattern pattern) : pattern_(std::move(pattern)) {}
    std::optional<Image> next(long frame) override {
        Image image = readImage(pattern_.forFrame(frame));
        noteStageForTestHook(TestStage::Read);
        return image;
    }

private:
    FramePattern pattern_;
};

// A sequence whose neighbouring frames are read for near() and kept while they are within reach.
class SequenceWindow final : public FrameSource {
public:
    SequenceWindow(FramePattern pattern, long reach) : pattern_(std::move(pattern)), reach_(reach) {}
    std::optional<Image> next(long frame) override {
        current_ = frame;
        frames_.erase(frames_.begin(), frames_.lower_bound(frame - reach_));
        if (const Image* kept = near(frame)) return *kept;
        Image image = readImage(pattern_.forFrame(frame));
        noteStageForTestHook(TestStage::Read);
        return frames_.emplace(frame, std::move(image)).first->second;
    }
    const Image* near(long frame) override {
        if (frame < current_ - reach_ || frame > current_ + reach_) return nullptr;
        if (const auto it = frames_.find(frame); it != frames_.end()) return &it->second;
        const std::string name = pattern_.forFrame(frame);
        std::error_code error;
        if (frame < 0 || !std::filesystem::exists(name, error)) return nullptr;
        Image image = readImage(name);
        noteStageForTestHook(TestStage::Read);
        return &frames_.emplace(frame, std::move(image)).first->second;
    }

private:
    FramePattern pattern_;
    long reach_;
    long current_ = 0;
    std::map<long, Image> frames_;
};

class Clip final : public FrameSource {
public:
    Clip(const std::string& path, const VideoInfo& info, int depth, const std::optional<FrameRange>& range)
        : reader_(path, info, depth, range) {}
    std::optional<Image> next(long) override {
        std::optional<Image> image = reader_.next();
        if (image) noteStageForTestHook(TestStage::Read);
        return image;
    }
    std::string problem() const override { return reader_.problem(); }

private:
    VideoReader reader_;
};

// A clip decoded `reach` frames ahead of the frame rendered, the `reach` frames before it kept.
class ClipWindow final : public FrameSource {
public:
    ClipWindow(const std::string& path, const VideoInfo& info, int depth, const std::optional<FrameRange>& range,
               long reach)
        : reach_(reach),
          next_index_(range ? std::max(0L, range->first - reach) : 0),
          reader_(path, info, depth,
                  range ? std::optional<FrameRange>(FrameRange{next_index_, range->last + reach}) : std::nullopt) {}
    std::optional<Image> next(long frame) override {
        current_ = frame;
        while (!ended_ && next_index_ <= frame + reach_) {
            std::optional<Image> image = reader_.next();
            if (!image) {
                ended_ = true;
                break;
            }
            noteStageForTestHook(TestStage::Read);
            frames_.emplace_back(next_index_++, std::move(*image));
        }
        while (!frames_.empty() && frames_.front().first < frame - reach_) frames_.pop_front();
        if (const Image* image = near(frame)) return *image;
        return std::nullopt;
    }
    const Image* near(long frame) override {
        if (frame < current_ - reach_ || frame > current_ + reach_) return nullptr;
        for (const auto& [index, image] : frames_)
            if (index == frame) return &image;
        return nullptr;
    }
    std::string problem() const override { return reader_.problem(); }

private:
    long reach_;
    long next_index_;  // of the next frame the reader gives
    long current_ = 0;
    bool ended_ = false;
    std::deque<std::pair<long, Image>> frames_;
    VideoReader reader_;
};

class ImageFiles final : public FrameSink {
public:
    ImageFiles(FramePattern pattern, long number_offset, const WriteOptions& options)
        : pattern_(std::move(pattern)), number_offset_(number_offset), options_(options) {}
    void write(long frame, Image image, std::vector<std::string>& notes) override {
        const std::string name = pattern_.forFrame(frame + number_offset_);
        AtomicOutput file(name);
        noteStageForTestHook(TestStage::Write);
        const WriteResult written = writeImage(image, file, options_);
        noteFileWrittenForTestHook();
        throwIfInterrupted();
        file.commit();
        if (!written.note.empty()) notes.push_back(written.note);
    }
    void finish() override {}

private:
    FramePattern pattern_;
    long number_offset_;
    WriteOptions options_;
};

class VideoFile final : public FrameSink {
public:
    explicit VideoFile(VideoSinkSettings settings) : settings_(std::move(settings)) {}
    void write(long, Image image, std::vector<std::string>& notes) override {
        if (!writer_) {
            OutputFrames frames;
            frames.width = image.width;
            frames.height = image.height;
            frames.depth = image.depth == 8 ? 8 : 16;
            frames.source_depth = settings_.source_depth;
            frames.alpha = settings_.alpha;
            frames.fps = settings_.fps;
            frames.variable_rate = settings_.variable_rate;
            frames.time_base = settings_.time_base;
            frames.constant_rate = settings_.constant_rate;
            frames.color = settings_.color;
            frames.chunk = settings_.chunk;
            if (image.depth == 32)
                notes.push_back("video files hold at most 16 bits per channel; 32-bit frames are written at 16 bits");
            writer_ = std::make_unique<VideoWriter>(settings_.path, frames, settings_.source, settings_.encode, notes);
        }
        noteStageForTestHook(TestStage::Write);
        writer_->write(std::move(image));
    }
    void finish() override {
        if (!writer_) throw UsageError("cannot write '" + settings_.path + "': no frames were rendered");
        noteStageForTestHook(TestStage::Write);
        writer_->finish();
    }

private:
    VideoSinkSettings settings_;
    std::unique_ptr<VideoWriter> writer_;
};

}  // namespace

std::unique_ptr<FrameSource> StillSource(const std::string& path, bool many) {
    return std::make_unique<Still>(path, many);
}
std::unique_ptr<FrameSource> SequenceSource(const FramePattern& pattern, long reach) {
    if (reach > 0) return std::make_unique<SequenceWindow>(pattern, reach);
    return std::make_unique<Sequence>(pattern);
}
std::unique_ptr<FrameSource> ClipSource(const std::string& path, const VideoInfo& info, int depth,
                                        const std::optional<FrameRange>& range, long reach) {
    if (reach > 0) return std::make_unique<ClipWindow>(path, info, depth, range, reach);
    return std::make_unique<Clip>(path, info, depth, range);
}
std::unique_ptr<FrameSink> ImageSink(const FramePattern& pattern, long number_offset, const WriteOptions& options) {
    return std::make_unique<ImageFiles>(pattern, number_offset, options);
}
std::unique_ptr<FrameSink> VideoSink(const VideoSinkSettings& settings) {
    return std::make_unique<VideoFile>(settings);
}

}  // namespace korvane::cli
