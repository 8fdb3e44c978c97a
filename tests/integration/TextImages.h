#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace ulvo::test {

struct Colour {
    double red = 0, green = 0, blue = 0;
};

// A run of text laid out by Pango in a box, wrapped at its width.
struct TextBlock {
    std::string text;
    std::string font = "DejaVu Sans 16px";
    double x = 0;
    double y = 0;
    double width = 600;
    Colour colour;
};

struct Page {
    int width = 800;
    int height = 600;
    Colour background{1, 1, 1};
    std::vector<TextBlock> blocks;
};

// The lines of one block as Pango broke them.
using Lines = std::vector<std::string>;

// Renders the page to a PNG file; gives the lines of every block, in block order.
std::vector<Lines> renderPng(const Page& page, const std::filesystem::path& file);

// 1 - distance / length of the truth, in code points.
double characterAccuracy(const std::string& truth, const std::string& read);

} // namespace ulvo::test
