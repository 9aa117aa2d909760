// Mask outlines given as SVG path data: M L H V C Q Z, absolute and relative, pixels from the top left.
#pragma once

#include <string>
#include <vector>

namespace korvane::cli {

struct PathPoint {
    double x = 0;
    double y = 0;
};

// One drawing step in absolute coordinates. Move and Line use p[0]; Quad uses p[0] (control) and
// p[1]; Cubic uses p[0], p[1] (controls) and p[2]; Close uses none.
struct PathSegment {
    enum Kind { Move, Line, Quad, Cubic, Close } kind = Move;
    PathPoint p[3];
};

struct SvgPath {
    std::vector<PathSegment> segments;
    bool closed = false;  // the path ends with Z
};

// Parses SVG path data. Throws PathSyntaxError with the 1-based character position of the fault.
SvgPath parseSvgPath(const std::string& text);

struct PathSyntaxError {
    std::size_t position;  // 1-based character; text length + 1 for "ended early"
    std::string message;
};

}  // namespace korvane::cli
