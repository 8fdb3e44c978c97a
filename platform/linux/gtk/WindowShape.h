#pragma once

#include <gtk/gtk.h>

namespace ulvo::gtk {

// Cuts the widget's window to a rounded rectangle of the given size: without a compositor, transparent
// corners would show black, so they are removed from the window itself.
void shapeToRoundedRectangle(GtkWidget* widget, int width, int height, double radius);

} // namespace ulvo::gtk
