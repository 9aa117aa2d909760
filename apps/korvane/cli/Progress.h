// The progress bar on standard error.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>

namespace korvane::cli {

class ProgressBar {
public:
    // Draws only when `enabled` and standard error is a terminal. `frames`: how many the run
    // renders, 0 or less when unknown (a clip without a frame count).
    ProgressBar(bool enabled, long frames);
    ~ProgressBar();

    void startFrame(long index);            // 0-based position within the run
    void update(long current, long total);  // from any thread
    void finish();

private:
    void draw(double fraction);

    bool enabled_;
    long frames_;
    long frame_index_ = 0;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point run_start_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point frame_start_;
    std::chrono::steady_clock::time_point last_draw_;
    std::mutex mutex_;
};

}  // namespace korvane::cli
