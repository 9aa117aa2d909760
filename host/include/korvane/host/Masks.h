// Mask paths as a layer holds them: moves, lines, cubic and quadratic Béziers, open or closed.
#pragma once

#include <vector>

#include "korvane/sdk/Suites.h"

namespace korvane::host {

struct PathPoint {
    double x = 0.0, y = 0.0;  // layer pixels, origin top-left
};

struct PathSegment {
    enum class Kind { Move, Line, Cubic, Quad, Close };
    Kind kind = Kind::Move;
    PathPoint c1, c2;  // control points (Cubic: both; Quad: c1)
    PathPoint to;      // end point (unused for Close)
};

class Path {
public:
    Path& MoveTo(double x, double y);
    Path& LineTo(double x, double y);
    Path& CubicTo(double c1x, double c1y, double c2x, double c2y, double x, double y);
    Path& QuadTo(double cx, double cy, double x, double y);
    Path& Close();

    // Convenience shapes, closed.
    static Path Rectangle(double left, double top, double right, double bottom);
    static Path Polygon(const std::vector<PathPoint>& points, bool closed = true);

    // A path is closed when its last sub-path ends with Close (an empty path counts as open).
    bool closed() const;
    bool empty() const { return segments_.empty(); }
    const std::vector<PathSegment>& segments() const { return segments_; }

private:
    std::vector<PathSegment> segments_;
};

struct Mask {
    AEGP_MaskIDVal id = 0;  // 0 when added: the host assigns the next free id
    Path path;
};

}  // namespace korvane::host
