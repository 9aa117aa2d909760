// Progress bar drawing.
#include "Progress.h"

#include <unistd.h>

#include <cstdio>

namespace korvane::cli {
ProgressBar::ProgressBar(bool enabled, long frames) : enabled_(enabled && isatty(STDERR_FILENO)), frames_(frames) {}

ProgressBar::~ProgressBar() { finish(); }

void ProgressBar::startFrame(long index) {
    std::lock_guard lock(mutex_);
    frame_index_ = index;
    frame_start_ = std::chrono::steady_clock::now();
    if (frames_ > 1) draw(0.0);
}

void ProgressBar::update(long current, long total) {
    if (!enabled_ || total <= 0) return;
    std::lock_guard lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    // A single frame gets a bar only once it takes longer than a moment.
    if (frames_ <= 1 && now - frame_start_ < std::chrono::milliseconds(500)) return;
    if (drawn_ && now - last_draw_ < std::chrono::milliseconds(100)) return;
    double fraction = static_cast<double>(current) / static_cast<double>(total);
    fraction = fraction < 0 ? 0 : fraction > 1 ? 1 : fraction;
    draw(fraction);
}

void ProgressBar::draw(double fraction) {
    if (!enabled_) return;
    constexpr int kWidth = 30;
    const double overall = frames_ > 1 ? (static_cast<double>(frame_index_) + fraction) / static_cast<double>(frames_) : fraction;
    const int filled = static_cast<int>(overall * kWidth);
    char bar[kWidth + 1];
    for (int i = 0; i < kWidth; ++i) bar[i] = i < filled ? '#' : '-';
    bar[kWidth] = '\0';
    if (frames_ > 1)
        std::fprintf(stderr, "\r\033[Kframe %ld/%ld [%s] %3d%%", frame_index_ + 1, frames_, bar,
                     static_cast<int>(overall * 100));
    else
        std::fprintf(stderr, "\r\033[K[%s] %3d%%", bar, static_cast<int>(overall * 100));
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
