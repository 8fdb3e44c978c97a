#pragma once

#include "capture/RegionCapture.h"
#include "platform/linux/glib/GObjectPtr.h"
#include "platform/linux/gtk/WidgetPtr.h"

#include <gtk/gtk.h>

#include <functional>
#include <optional>

namespace ulvo::gtk {

// ULVO's own region picker over a whole-screen image: the image fills the screen (a layer surface
// above everything where the compositor offers them, a full-screen window elsewhere), a drag frames
// the region, Escape or a click cancels. The completion runs once with the image's pixels, or none.
class RegionPicker final {
public:
    using Completion = std::function<void(std::optional<PixelRect>)>;

    // Shows at once; takes a reference to image.
    RegionPicker(GdkPixbuf* image, Completion completion);
    ~RegionPicker();
    RegionPicker(const RegionPicker&) = delete;
    RegionPicker& operator=(const RegionPicker&) = delete;

    GtkWidget* window() const { return window_.get(); }
    // What a drag from one corner to the other does, in the picker's own coordinates.
    void pick(Point from, Point to);
    void cancel() { finish(std::nullopt); }

private:
    static gboolean onDraw(GtkWidget* widget, cairo_t* cr, gpointer data);
    static gboolean onPress(GtkWidget* widget, GdkEventButton* event, gpointer data);
    static gboolean onMotion(GtkWidget* widget, GdkEventMotion* event, gpointer data);
    static gboolean onRelease(GtkWidget* widget, GdkEventButton* event, gpointer data);
    static gboolean onKey(GtkWidget* widget, GdkEventKey* event, gpointer data);
    static gboolean onDelete(GtkWidget* widget, GdkEvent* event, gpointer data);
    void finish(std::optional<PixelRect> region);

    glib::GObjectPtr<GdkPixbuf> image_;
    gtk::WindowPtr window_;
    Completion completion_;
    std::optional<Point> from_;
    Point to_;
};

} // namespace ulvo::gtk
