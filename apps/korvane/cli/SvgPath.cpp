// A small parser for SVG path data, following the SVG grammar for numbers and separators.
#include "cli/SvgPath.h"

#include <cctype>
#include <charconv>
#include <cmath>

#include "cli/ReadNumber.h"

namespace korvane::cli {
namespace {

class Parser {
public:
    explicit Parser(const std::string& text) : s_(text) {}

    SvgPath run() {
        skipSpace();
        if (pos_ == s_.size()) fail("the path is empty");
        if (s_[pos_] != 'M' && s_[pos_] != 'm') fail("a path must start with M or m");
        while (true) {
            skipSpace();
            if (pos_ == s_.size()) break;
            const char c = s_[pos_];
            if (!std::isalpha(static_cast<unsigned char>(c)))
                fail(std::string("expected a command letter, found '") + c + "'");
            ++pos_;
            command(c);
        }
        return std::move(path_);
    }

private:
    [[noreturn]] void fail(const std::string& message) const { throw PathSyntaxError{pos_ + 1, message}; }

    void skipSpace() {
        while (pos_ < s_.size() &&
               (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r' || s_[pos_] == '\f'))
            ++pos_;
    }
    void skipSeparator() {
        skipSpace();
        if (pos_ < s_.size() && s_[pos_] == ',') {
            ++pos_;
            skipSpace();
        }
    }

    bool atNumber() {
        skipSpace();
        if (pos_ >= s_.size()) return false;
        const char c = s_[pos_];
        return std::isdigit(static_cast<unsigned char>(c)) || c == '-' || c == '+' || c == '.';
    }

    // SVG number: sign? (digits ('.' digits?)? | '.' digits) (e sign? digits)?
    double number(char cmd, int index, int count) {
        skipSpace();
        const std::size_t start = pos_;
        std::size_t i = pos_;
        auto digits = [&] {
            const std::size_t from = i;
            while (i < s_.size() && std::isdigit(static_cast<unsigned char>(s_[i]))) ++i;
            return i > from;
        };
        if (i < s_.size() && (s_[i] == '+' || s_[i] == '-')) ++i;
        bool mantissa = digits();
        if (i < s_.size() && s_[i] == '.') {
            ++i;
            mantissa = digits() || mantissa;
        }
        if (!mantissa) {
            const std::string need = "'" + std::string(1, cmd) + "' needs " + std::to_string(count) +
                                     (count == 1 ? " number" : " numbers") + ", got " + std::to_string(index);
            if (start >= s_.size()) fail(need + " before the end of the path");
            fail(need + " (found '" + std::string(1, s_[start]) + "')");
        }
        if (i < s_.size() && (s_[i] == 'e' || s_[i] == 'E')) {
            std::size_t j = i + 1;
            if (j < s_.size() && (s_[j] == '+' || s_[j] == '-')) ++j;
            if (j < s_.size() && std::isdigit(static_cast<unsigned char>(s_[j]))) {
                i = j;
                digits();
            }
        }
        std::string token = s_.substr(start, i - start);
        if (token[0] == '+') token.erase(0, 1);
        double value = 0;
        const auto [end, ec] = readDouble(token.data(), token.data() + token.size(), value);
        if (ec != std::errc() || end != token.data() + token.size() || !std::isfinite(value)) {
            fail("the number '" + s_.substr(start, i - start) + "' is out of range");
        }
        pos_ = i;
        skipSeparator();
        return value;
    }

    void add(PathSegment::Kind kind, PathPoint a = {}, PathPoint b = {}, PathPoint c = {}) {
        PathSegment seg;
        seg.kind = kind;
        seg.p[0] = a;
        seg.p[1] = b;
        seg.p[2] = c;
        path_.segments.push_back(seg);
        path_.closed = kind == PathSegment::Close;
    }

    void command(char c) {
        const bool rel = std::islower(static_cast<unsigned char>(c));
        const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        auto point = [&](int index, int count) {
            PathPoint p;
            p.x = number(c, index, count);
            p.y = number(c, index + 1, count);
            if (rel) {
                p.x += cur_.x;
                p.y += cur_.y;
            }
            return p;
        };
        switch (upper) {
            case 'Z':
                add(PathSegment::Close);
                cur_ = start_;
                skipSpace();
                return;
            case 'M': {
                cur_ = start_ = point(0, 2);
                add(PathSegment::Move, cur_);
                // Further coordinate pairs after a move are lines.
                while (atNumber()) {
                    cur_ = point(0, 2);
                    add(PathSegment::Line, cur_);
                }
                return;
            }
            case 'L':
            case 'H':
            case 'V':
            case 'C':
            case 'Q': break;
            default: --pos_; fail(std::string("unsupported command '") + c + "' (supported: M L H V C Q Z)");
        }
        do {
            switch (upper) {
                case 'L':
                    cur_ = point(0, 2);
                    add(PathSegment::Line, cur_);
                    break;
                case 'H':
                    cur_.x = number(c, 0, 1) + (rel ? cur_.x : 0.0);
                    add(PathSegment::Line, cur_);
                    break;
                case 'V':
                    cur_.y = number(c, 0, 1) + (rel ? cur_.y : 0.0);
                    add(PathSegment::Line, cur_);
                    break;
                case 'C': {
                    const PathPoint a = point(0, 6), b = point(2, 6), e = point(4, 6);
                    cur_ = e;
                    add(PathSegment::Cubic, a, b, e);
                    break;
                }
                case 'Q': {
                    const PathPoint a = point(0, 4), e = point(2, 4);
                    cur_ = e;
                    add(PathSegment::Quad, a, e);
                    break;
                }
            }
        } while (atNumber());
    }

    const std::string& s_;
    std::size_t pos_ = 0;
    PathPoint cur_, start_;
    SvgPath path_;
};

}  // namespace

SvgPath parseSvgPath(const std::string& text) { return Parser(text).run(); }

}  // namespace korvane::cli
