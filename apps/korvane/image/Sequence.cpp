// Frame placeholders in file names and frame ranges.
#include "image/Sequence.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <set>

#include "Errors.h"

namespace korvane::cli {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Length of a printf-style frame placeholder ("%d", "%04d") starting at `pos`, or 0.
std::size_t printfPlaceholder(const std::string& s, std::size_t pos, int& width) {
    if (s[pos] != '%') return 0;
    std::size_t i = pos + 1;
    const bool zero = i < s.size() && s[i] == '0';
    if (zero) ++i;
    int digits = 0;
    int n = 0;
    while (i < s.size() && isDigit(s[i]) && digits < 2) {
        n = n * 10 + (s[i] - '0');
        ++i;
        ++digits;
    }
    if (i >= s.size() || s[i] != 'd') return 0;
    if (!zero && digits > 0) return 0;  // only zero padding is a frame number placeholder
    width = zero ? n : 0;
    return i + 1 - pos;
}

}  // namespace

FramePattern::FramePattern(std::string name) : name_(std::move(name)) {
    for (std::size_t i = 0; i < name_.size(); ++i) {
        std::size_t length = 0;
        int width = 0;
        if (name_[i] == '#') {
            length = name_.find_first_not_of('#', i);
            length = (length == std::string::npos ? name_.size() : length) - i;
            width = static_cast<int>(length);
        } else {
            length = printfPlaceholder(name_, i, width);
        }
        if (length == 0) continue;
        if (width_ >= 0) throw UsageError("'" + name_ + "' holds more than one frame placeholder");
        before_ = name_.substr(0, i);
        after_ = name_.substr(i + length);
        width_ = width;
        i += length - 1;
    }
}

std::string FramePattern::forFrame(long frame) const {
    if (!hasPlaceholder()) return name_;
    char digits[32];
    std::snprintf(digits, sizeof digits, "%0*ld", width_, frame);
    return before_ + digits + after_;
}

long FramePattern::frameOf(const std::string& name) const {
    if (!hasPlaceholder() || name.size() <= before_.size() + after_.size() ||
        name.compare(0, before_.size(), before_) != 0 ||
        name.compare(name.size() - after_.size(), after_.size(), after_) != 0)
        return -1;
    const std::string digits = name.substr(before_.size(), name.size() - before_.size() - after_.size());
    if (digits.size() < static_cast<std::size_t>(std::max(width_, 1)) || digits.size() > 9) return -1;
    for (const char c : digits)
        if (!isDigit(c)) return -1;
    const long frame = std::stol(digits);
    return forFrame(frame) == name ? frame : -1;
}

FrameRange findFrames(const FramePattern& pattern) {
    namespace fs = std::filesystem;
    fs::path folder = fs::path(pattern.name()).parent_path();
    const std::string prefix = folder.empty() ? std::string() : (folder / "").string();
    std::set<long> frames;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder.empty() ? fs::path(".") : folder, ec)) {
        const long frame = pattern.frameOf(prefix + entry.path().filename().string());
        if (frame >= 0) frames.insert(frame);
    }
    if (frames.empty())
        throw UsageError("no files match '" + pattern.name() + "'; give the frames with --frames FIRST-LAST");
    const FrameRange range{*frames.begin(), *frames.rbegin()};
    if (static_cast<long>(frames.size()) != range.count()) {
        long missing = range.first;
        while (frames.count(missing)) ++missing;
        throw UsageError("'" + pattern.forFrame(missing) + "' is missing from the frames " +
                         std::to_string(range.first) + "-" + std::to_string(range.last) +
                         " found; choose frames with --frames FIRST-LAST");
    }
    return range;
}

FrameRange parseFrameRange(const std::string& text) {
    const std::string error = "--frames '" + text + "': expected FIRST-LAST, e.g. 0-47";
    auto number = [&](std::string_view s) {
        long value = 0;
        const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
        if (s.empty() || ec != std::errc() || end != s.data() + s.size() || value < 0) throw UsageError(error);
        return value;
    };
    const std::size_t dash = text.find('-');
    FrameRange range;
    if (dash == std::string::npos) {
        range.first = range.last = number(text);
    } else {
        range.first = number(std::string_view(text).substr(0, dash));
        range.last = number(std::string_view(text).substr(dash + 1));
    }
    if (range.last < range.first) throw UsageError(error + " (LAST must not be below FIRST)");
    if (range.count() > 1000000) throw UsageError(error + " (at most 1000000 frames)");
    return range;
}

}  // namespace korvane::cli
