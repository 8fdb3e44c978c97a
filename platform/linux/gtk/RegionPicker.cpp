#include "platform/linux/gtk/RegionPicker.h"

#include "platform/linux/glib/GObjectPtr.h"

#include <gtk-layer-shell/gtk-layer-shell.h>

#include <algorithm>
#include <utility>

namespace ulvo::gtk {

RegionPicker::RegionPicker(GdkPixbuf* image, Completion completion)
    : image_(glib::as<GdkPixbuf>(g_object_ref(image)))
    , window_(gtk_window_new(GTK_WINDOW_TOPLEVEL))
    , completion_(std::move(completion)) {
    GtkWindow* window = glib::as<GtkWindow>(window_.get());
    gtk_window_set_title(window, "ULVO: frame the text");
    gtk_window_set_decorated(window, FALSE);
    if (gtk_layer_is_supported() != FALSE) {
        gtk_layer_init_for_window(window);
        gtk_layer_set_namespace(window, "ulvo-region-picker");
        gtk_layer_set_layer(window, GTK_LAYER_SHELL_LAYER_OVERLAY);
        for (const auto edge : {GTK_LAYER_SHELL_EDGE_LEFT, GTK_LAYER_SHELL_EDGE_RIGHT,
                                GTK_LAYER_SHELL_EDGE_TOP, GTK_LAYER_SHELL_EDGE_BOTTOM}) {
            gtk_layer_set_anchor(window, edge, TRUE);
        }
        gtk_layer_set_exclusive_zone(window, -1);
        gtk_layer_set_keyboard_mode(window, GTK_LAYER_SHELL_KEYBOARD_MODE_EXCLUSIVE);
    } else {
        gtk_window_fullscreen(window);
    }
    GtkWidget* area = gtk_drawing_area_new();
    gtk_widget_add_events(area, GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK | GDK_POINTER_MOTION_MASK);
    gtk_container_add(glib::as<GtkContainer>(window_.get()), area);
    glib::connect(area, "draw", &RegionPicker::onDraw, this);
    glib::connect(area, "button-press-event", &RegionPicker::onPress, this);
    glib::connect(area, "motion-notify-event", &RegionPicker::onMotion, this);
    glib::connect(area, "button-release-event", &RegionPicker::onRelease, this);
    glib::connect(window_.get(), "key-press-event", &RegionPicker::onKey, this);
    glib::connect(window_.get(), "delete-event", &RegionPicker::onDelete, this);
    gtk_widget_show_all(window_.get());
    gtk_window_present(window);
    if (GdkWindow* surface = gtk_widget_get_window(area)) {
        const glib::GObjectPtr<GdkCursor> cross(
            gdk_cursor_new_from_name(gdk_window_get_display(surface), "crosshair"));
        if (cross) {
            gdk_window_set_cursor(surface, cross.get());
        }
    }
}

RegionPicker::~RegionPicker() {
    completion_ = nullptr;
    window_.reset();
}

gboolean RegionPicker::onDraw(GtkWidget* widget, cairo_t* cr, gpointer data) {
    auto* self = static_cast<RegionPicker*>(data);
    const double width = gtk_widget_get_allocated_width(widget);
    const double height = gtk_widget_get_allocated_height(widget);
    const int imageWidth = gdk_pixbuf_get_width(self->image_.get());
    const int imageHeight = gdk_pixbuf_get_height(self->image_.get());
    cairo_save(cr);
    cairo_scale(cr, width / imageWidth, height / imageHeight);
    gdk_cairo_set_source_pixbuf(cr, self->image_.get(), 0, 0);
    cairo_paint(cr);
    cairo_restore(cr);
    // The screen dimmed, the frame clear, so what is framed stands out.
    cairo_set_source_rgba(cr, 0, 0, 0, 0.35);
    cairo_rectangle(cr, 0, 0, width, height);
    if (self->from_) {
        const double x = std::min(self->from_->x, self->to_.x);
        const double y = std::min(self->from_->y, self->to_.y);
        const double w = std::abs(self->to_.x - self->from_->x);
        const double h = std::abs(self->to_.y - self->from_->y);
        cairo_rectangle(cr, x, y, w, h);
        cairo_set_fill_rule(cr, CAIRO_FILL_RULE_EVEN_ODD);
        cairo_fill(cr);
        cairo_set_source_rgb(cr, 0.2, 0.5, 1.0);
        cairo_set_line_width(cr, 2);
        cairo_rectangle(cr, x, y, w, h);
        cairo_stroke(cr);
    } else {
        cairo_fill(cr);
    }
    return TRUE;
}

gboolean RegionPicker::onPress(GtkWidget* /*widget*/, GdkEventButton* event, gpointer data) {
    auto* self = static_cast<RegionPicker*>(data);
    if (event->button == GDK_BUTTON_PRIMARY) {
        self->from_ = Point{event->x, event->y};
        self->to_ = *self->from_;
    }
    return TRUE;
}

gboolean RegionPicker::onMotion(GtkWidget* widget, GdkEventMotion* event, gpointer data) {
    auto* self = static_cast<RegionPicker*>(data);
    if (self->from_) {
        self->to_ = Point{event->x, event->y};
        gtk_widget_queue_draw(widget);
    }
    return TRUE;
}

gboolean RegionPicker::onRelease(GtkWidget* /*widget*/, GdkEventButton* event, gpointer data) {
    auto* self = static_cast<RegionPicker*>(data);
    if (event->button == GDK_BUTTON_PRIMARY && self->from_) {
        self->pick(*self->from_, Point{event->x, event->y});
    }
    return TRUE;
}

gboolean RegionPicker::onKey(GtkWidget* /*widget*/, GdkEventKey* event, gpointer data) {
    if (event->keyval == GDK_KEY_Escape) {
        static_cast<RegionPicker*>(data)->cancel();
    }
    return TRUE;
}

gboolean RegionPicker::onDelete(GtkWidget* /*widget*/, GdkEvent* /*event*/, gpointer data) {
    static_cast<RegionPicker*>(data)->cancel();
    return TRUE;
}

void RegionPicker::pick(Point from, Point to) {
    finish(pickedImageRegion(from, to, gtk_widget_get_allocated_width(window_.get()),
                             gtk_widget_get_allocated_height(window_.get()),
                             gdk_pixbuf_get_width(image_.get()), gdk_pixbuf_get_height(image_.get())));
}

void RegionPicker::finish(std::optional<PixelRect> region) {
    gtk_widget_hide(window_.get());
    if (completion_) {
        // The completion may destroy this picker.
        Completion completion = std::move(completion_);
        completion_ = nullptr;
        completion(region);
    }
}

} // namespace ulvo::gtk
