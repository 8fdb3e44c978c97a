#pragma once

#include <gtk/gtk.h>

namespace ulvo::gtk {

// Cuts the widget's window to a rounded rectangle of the size's width and height: without a compositor,
// transparent corners would show black, so they are removed from the window itself.
void shapeToRoundedRectangle(GtkWidget* widget, const GdkRectangle& size, double radius);

} // namespace ulvo::gtk
