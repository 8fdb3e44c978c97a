#pragma once

#include <gtk/gtk.h>

#include <memory>

namespace ulvo::gtk {

// A widget this program holds a reference on (taken with g_object_ref_sink): destroyed, so it leaves
// any container, then released.
struct WidgetRelease {
    void operator()(GtkWidget* widget) const {
        gtk_widget_destroy(widget);
        g_object_unref(widget);
    }
};
using WidgetPtr = std::unique_ptr<GtkWidget, WidgetRelease>;

// A top-level window: GTK holds it, and the owner's release is to destroy it.
struct WindowDestroy {
    void operator()(GtkWidget* window) const { gtk_widget_destroy(window); }
};
using WindowPtr = std::unique_ptr<GtkWidget, WindowDestroy>;

} // namespace ulvo::gtk
