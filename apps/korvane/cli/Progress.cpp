// Progress bar drawing.
#include "cli/Progress.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

namespace korvane::cli {
ProgressBar::ProgressBar(bool enabled, long frames) : enabled_(enabled && isatty(STDERR_FILENO)), frames_(frames) {}

ProgressBar::~ProgressBar() { finish(); }

void ProgressBar::startFrame(long index) {
    std::lock_guard lock(mutex_);
    frame_index_ = index;
    frame_start_ = std::chrono::steady_clock::now();
    if (frames_ != 1) draw(0.0);
}

void ProgressBar::update(long current, long total) {
    if (!enabled_ || total <= 0) return;
    std::lock_guard lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    // A single frame gets a bar only once it takes longer than a moment.
    if (frames_ == 1 && now - frame_start_ < std::chrono::milliseconds(500)) return;
    if (drawn_ && now - last_draw_ < std::chrono::milliseconds(100)) return;
    double fraction = static_cast<double>(current) / static_cast<double>(total);
    fraction = fraction < 0 ? 0 : fraction > 1 ? 1 : fraction;
    draw(fraction);
}

void ProgressBar::draw(double fraction) {
    if (!enabled_) return;
    constexpr int kWidth = 30;
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - run_start_).count();
    const double done = static_cast<double>(frame_index_) + fraction;
    const double rate = frame_index_ > 0 && elapsed > 0 ? static_cast<double>(frame_index_) / elapsed : 0.0;
    std::string line;
    char text[96];
    if (frames_ == 1) {
        line = "\r\033[K";
    } else {
        std::snprintf(text, sizeof text, "\r\033[Kframe %ld", frame_index_ + 1);
        line = text;
        if (frames_ > 1) line += "/" + std::to_string(std::max(frames_, frame_index_ + 1));
        line += " ";
    }
    if (frames_ >= 1) {
        const double overall = frames_ > 1 ? done / static_cast<double>(frames_) : fraction;
        const int filled = static_cast<int>(std::min(overall, 1.0) * kWidth);
        line += "[" + std::string(static_cast<std::size_t>(filled), '#') +
                std::string(static_cast<std::size_t>(kWidth - filled), '-') + "]";
        std::snprintf(text, sizeof text, " %3d%%", static_cast<int>(std::min(overall, 1.0) * 100));
        line += text;
    }
    if (rate > 0) {
        std::snprintf(text, sizeof text, "  %.1f fps", rate);
        line += text;
        if (frames_ > 1) {
            const long left = std::lround(std::max(0.0, static_cast<double>(frames_) - done) / rate);
            std::snprintf(text, sizeof text, "  %ld:%02ld left", left / 60, left % 60);
            line += text;
        }
    }
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
    drawn_ = true;
    last_draw_ = std::chrono::steady_clock::now();
}

void ProgressBar::finish() {
    std::lock_guard lock(mutex_);
    if (drawn_) {
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
        drawn_ = false;
    }
}

}  // namespace korvane::cli
