#pragma once

namespace ulvo {

// Geometry with the origin at the bottom-left and y growing upward: screens in points, images in
// normalised coordinates.
struct Point {
    double x = 0;
    double y = 0;
    bool operator==(const Point&) const = default;
};

struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
    double minX() const { return x; }
    double maxX() const { return x + width; }
    double midY() const { return y + height / 2; }
    double maxY() const { return y + height; }
    bool contains(Point p) const { return p.x >= x && p.x < maxX() && p.y >= y && p.y < maxY(); }
    bool operator==(const Rect&) const = default;
};

struct Screen {
    Rect frame;
    Rect visibleFrame;
};

} // namespace ulvo
