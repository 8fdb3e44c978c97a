#include "tests/integration/TextImages.h"

#include <cairo.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

namespace ulvo::test {

namespace {

template <auto Free> struct Deleter {
    template <typename T> void operator()(T* object) const { Free(object); }
};

std::u32string codePoints(const std::string& text) {
    glong count = 0;
    gunichar* raw = g_utf8_to_ucs4_fast(text.data(), static_cast<glong>(text.size()), &count);
    std::u32string result(raw, raw + count);
    g_free(raw);
    return result;
}

// Levenshtein distance over code points.
std::size_t editDistance(const std::string& a, const std::string& b) {
    const std::u32string x = codePoints(a);
    const std::u32string y = codePoints(b);
    std::vector<std::size_t> row(y.size() + 1);
    for (std::size_t j = 0; j <= y.size(); ++j) {
        row[j] = j;
    }
    for (std::size_t i = 1; i <= x.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= y.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (x[i - 1] == y[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[y.size()];
}

} // namespace

std::vector<Lines> renderPng(const Page& page, const std::filesystem::path& file) {
    const std::unique_ptr<cairo_surface_t, Deleter<cairo_surface_destroy>> surface(
        cairo_image_surface_create(CAIRO_FORMAT_RGB24, page.width, page.height));
    const std::unique_ptr<cairo_t, Deleter<cairo_destroy>> cairo(cairo_create(surface.get()));
    cairo_set_source_rgb(cairo.get(), page.background.red, page.background.green, page.background.blue);
    cairo_paint(cairo.get());

    std::vector<Lines> blocks;
    for (const TextBlock& block : page.blocks) {
        const std::unique_ptr<PangoLayout, Deleter<g_object_unref>> layout(
            pango_cairo_create_layout(cairo.get()));
        const std::unique_ptr<PangoFontDescription, Deleter<pango_font_description_free>> font(
            pango_font_description_from_string(block.font.c_str()));
        pango_layout_set_font_description(layout.get(), font.get());
        pango_layout_set_width(layout.get(), static_cast<int>(block.width * PANGO_SCALE));
        pango_layout_set_wrap(layout.get(), PANGO_WRAP_WORD);
        pango_layout_set_text(layout.get(), block.text.c_str(), -1);
        cairo_set_source_rgb(cairo.get(), block.colour.red, block.colour.green, block.colour.blue);
        cairo_move_to(cairo.get(), block.x, block.y);
        pango_cairo_show_layout(cairo.get(), layout.get());

        Lines lines;
        for (GSList* line = pango_layout_get_lines_readonly(layout.get()); line != nullptr;
             line = line->next) {
            const auto* layoutLine = static_cast<PangoLayoutLine*>(line->data);
            std::string text = block.text.substr(static_cast<std::size_t>(layoutLine->start_index),
                                                 static_cast<std::size_t>(layoutLine->length));
            while (!text.empty() && (text.back() == ' ' || text.back() == '\n')) {
                text.pop_back();
            }
            if (!text.empty()) {
                lines.push_back(std::move(text));
            }
        }
        blocks.push_back(std::move(lines));
    }
    cairo_surface_flush(surface.get());
    if (cairo_surface_write_to_png(surface.get(), file.c_str()) != CAIRO_STATUS_SUCCESS) {
        throw std::runtime_error("could not write " + file.string());
    }
    return blocks;
}

double characterAccuracy(const std::string& truth, const std::string& read) {
    const std::size_t length = codePoints(truth).size();
    return length == 0 ? 0.0
                       : 1.0 - static_cast<double>(editDistance(truth, read)) / static_cast<double>(length);
}

} // namespace ulvo::test
