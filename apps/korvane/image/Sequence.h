// Frame-numbered file names ("shot_####.png", "shot_%04d.png") and frame ranges ("0-47").
#pragma once

#include <optional>
#include <string>

namespace korvane::cli {

class FramePattern {
public:
    // Finds the one frame placeholder in `name`: a run of '#' (padded to the run's length) or
    // printf's %d / %0Nd. A name without one is a plain file name. Throws UsageError when a name
    // holds more than one placeholder.
    explicit FramePattern(std::string name);

    bool hasPlaceholder() const { return width_ >= 0; }
    const std::string& name() const { return name_; }
    std::string forFrame(long frame) const;
    // The frame a file name stands for, or -1 when the name does not fit the pattern.
    long frameOf(const std::string& name) const;

private:
    std::string name_;
    std::string before_, after_;
    int width_ = -1;  // digits to pad to; -1 without a placeholder
};

struct FrameRange {
    long first = 0;
    long last = 0;
    long count() const { return last - first + 1; }
};

// The frames of a pattern whose files exist, as one unbroken range. Throws UsageError when none
// exist, or when one in between is missing (naming it).
FrameRange findFrames(const FramePattern& pattern);

// "A-B" (A <= B) or "A"; frames are non-negative. Throws UsageError.
FrameRange parseFrameRange(const std::string& text);

}  // namespace korvane::cli
