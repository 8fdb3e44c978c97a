#pragma once

namespace ulvo {

// Screen geometry in points, origin at the bottom-left of the primary screen, y up.
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
    double maxX() const { return x + width; }
    double maxY() const { return y + height; }
    bool contains(Point p) const { return p.x >= x && p.x < maxX() && p.y >= y && p.y < maxY(); }
    bool operator==(const Rect&) const = default;
};

struct Screen {
    Rect frame;
    Rect visibleFrame;
};

} // namespace ulvo
