#include "platform/linux/gtk/WindowShape.h"

#include <cmath>

namespace ulvo::gtk {

void shapeToRoundedRectangle(GtkWidget* widget, const GdkRectangle& size, double radius) {
    cairo_surface_t* mask = cairo_image_surface_create(CAIRO_FORMAT_A1, size.width, size.height);
    cairo_t* cr = cairo_create(mask);
    const double w = size.width;
    const double h = size.height;
    cairo_new_sub_path(cr);
    cairo_arc(cr, w - radius, radius, radius, -M_PI / 2, 0);
    cairo_arc(cr, w - radius, h - radius, radius, 0, M_PI / 2);
    cairo_arc(cr, radius, h - radius, radius, M_PI / 2, M_PI);
    cairo_arc(cr, radius, radius, radius, M_PI, 3 * M_PI / 2);
    cairo_close_path(cr);
    cairo_fill(cr);
    cairo_destroy(cr);
    cairo_region_t* region = gdk_cairo_region_create_from_surface(mask);
    gtk_widget_shape_combine_region(widget, region);
    cairo_region_destroy(region);
    cairo_surface_destroy(mask);
}

} // namespace ulvo::gtk
