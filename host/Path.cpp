// The Path builder behind the masks of a layer.
#include "korvane/host/Masks.h"

namespace korvane::host {

Path& Path::MoveTo(double x, double y) {
    segments_.push_back({PathSegment::Kind::Move, {}, {}, {x, y}});
    return *this;
}

Path& Path::LineTo(double x, double y) {
    segments_.push_back({PathSegment::Kind::Line, {}, {}, {x, y}});
    return *this;
}

Path& Path::CubicTo(double c1x, double c1y, double c2x, double c2y, double x, double y) {
    segments_.push_back({PathSegment::Kind::Cubic, {c1x, c1y}, {c2x, c2y}, {x, y}});
    return *this;
}

Path& Path::QuadTo(double cx, double cy, double x, double y) {
    segments_.push_back({PathSegment::Kind::Quad, {cx, cy}, {}, {x, y}});
    return *this;
}

Path& Path::Close() {
    segments_.push_back({PathSegment::Kind::Close, {}, {}, {}});
    return *this;
}

Path Path::Rectangle(double left, double top, double right, double bottom) {
    Path p;
    p.MoveTo(left, top).LineTo(right, top).LineTo(right, bottom).LineTo(left, bottom).Close();
    return p;
}

Path Path::Polygon(const std::vector<PathPoint>& points, bool closed) {
    Path p;
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (i == 0)
            p.MoveTo(points[i].x, points[i].y);
        else
            p.LineTo(points[i].x, points[i].y);
    }
    if (closed && !points.empty()) p.Close();
    return p;
}

bool Path::closed() const { return !segments_.empty() && segments_.back().kind == PathSegment::Kind::Close; }

}  // namespace korvane::host
