#include "platform/linux/x11/ExplainTag.h"
#include "platform/linux/gtk/WindowShape.h"

#include "capture/SelectionMonitor.h"
#include "platform/linux/gtk/ScreenGeometry.h"

#include <gtk-layer-shell/gtk-layer-shell.h>

namespace ulvo::x11 {

using glib::as;

namespace {

constexpr const char* tagStyle = R"(
.ulvo-tag { background-color: transparent; }
.ulvo-tag button {
    background-image: none; background-color: rgb(10, 132, 255); color: white;
    border: none; border-radius: 16px; box-shadow: none; text-shadow: none; padding: 0;
    min-width: 88px; min-height: 32px;
    font-family: monospace; font-size: 11px; font-weight: bold;
}
)";

} // namespace

ExplainTag::ExplainTag(std::function<void()> clicked)
    : clicked_(std::move(clicked))
    , css_(gtk_css_provider_new()) {
    // On X11 a pop-up window is override-redirect: no decoration, no focus, no task-bar entry, stacked
    // on top. A Wayland compositor maps no parentless pop-up; where it offers layer surfaces, the tag is
    // one above every window, placed by its margins and never taking the keyboard.
    layered_ = gtk_layer_is_supported() != FALSE;
    window_.reset(gtk_window_new(layered_ ? GTK_WINDOW_TOPLEVEL : GTK_WINDOW_POPUP));
    if (layered_) {
        GtkWindow* window = as<GtkWindow>(window_.get());
        gtk_layer_init_for_window(window);
        gtk_layer_set_namespace(window, "ulvo-tag");
        gtk_layer_set_layer(window, GTK_LAYER_SHELL_LAYER_OVERLAY);
        gtk_layer_set_anchor(window, GTK_LAYER_SHELL_EDGE_TOP, TRUE);
        gtk_layer_set_anchor(window, GTK_LAYER_SHELL_EDGE_LEFT, TRUE);
        gtk_layer_set_keyboard_mode(window, GTK_LAYER_SHELL_KEYBOARD_MODE_NONE);
        gtk_window_set_decorated(window, FALSE);
    } else {
        gtk_window_set_type_hint(as<GtkWindow>(window_.get()), GDK_WINDOW_TYPE_HINT_POPUP_MENU);
    }
    gtk_window_set_default_size(as<GtkWindow>(window_.get()), static_cast<int>(tagWidth),
                                static_cast<int>(tagHeight));
    gtk_window_set_resizable(as<GtkWindow>(window_.get()), FALSE);
    gtk_window_set_accept_focus(as<GtkWindow>(window_.get()), FALSE);
    gtk_window_set_keep_above(as<GtkWindow>(window_.get()), TRUE);
    GdkScreen* screen = gtk_widget_get_screen(window_.get());
    if (GdkVisual* rgba = gdk_screen_get_rgba_visual(screen)) {
        gtk_widget_set_visual(window_.get(), rgba);
    }
    gtk_widget_set_app_paintable(window_.get(), TRUE);
    gtk_css_provider_load_from_data(css_.get(), tagStyle, -1, nullptr);
    gtk_style_context_add_provider_for_screen(screen, as<GtkStyleProvider>(css_.get()),
                                              GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    gtk_style_context_add_class(gtk_widget_get_style_context(window_.get()), "ulvo-tag");

    button_ = gtk_button_new_with_label(explainTagTitle);
    gtk_widget_set_can_focus(button_, FALSE);
    gtk_widget_set_size_request(button_, static_cast<int>(tagWidth), static_cast<int>(tagHeight));
    atk_object_set_name(gtk_widget_get_accessible(button_), explainTagAccessibleName);
    gtk_container_add(as<GtkContainer>(window_.get()), button_);
    gtk_widget_show(button_);
    glib::connect(button_, "clicked", &ExplainTag::activated, this);
    // Without a compositor the corners are cut by a window shape instead of transparency.
    glib::connect(window_.get(), "size-allocate", &ExplainTag::allocated, nullptr);
}

ExplainTag::~ExplainTag() {
    gtk_style_context_remove_provider_for_screen(gtk_widget_get_screen(window_.get()),
                                                 as<GtkStyleProvider>(css_.get()));
    window_.reset();
}

void ExplainTag::activated(GtkButton*, gpointer data) {
    auto* self = static_cast<ExplainTag*>(data);
    if (self->clicked_) {
        self->clicked_();
    }
}

void ExplainTag::allocated(GtkWidget* widget, GdkRectangle* allocation, gpointer) {
    if (gdk_screen_is_composited(gtk_widget_get_screen(widget)) != FALSE) {
        gtk_widget_shape_combine_region(widget, nullptr);
        return;
    }
    const double radius = std::min(16.0, std::min(allocation->width, allocation->height) / 2.0);
    gtk::shapeToRoundedRectangle(widget, *allocation, radius);
}

void ExplainTag::showAt(Point origin) {
    const gtk::ScreenGeometry geometry(gtk_widget_get_display(window_.get()));
    const GdkRectangle place = geometry.fromLogic(Rect{origin.x, origin.y, tagWidth, tagHeight});
    if (layered_) {
        // Margins count from the top-left of the output the tag is on.
        GdkDisplay* display = gtk_widget_get_display(window_.get());
        GdkMonitor* monitor = gdk_display_get_monitor_at_point(display, place.x, place.y);
        GdkRectangle output{};
        if (monitor != nullptr) {
            gdk_monitor_get_geometry(monitor, &output);
        }
        gtk_layer_set_monitor(as<GtkWindow>(window_.get()), monitor);
        gtk_layer_set_margin(as<GtkWindow>(window_.get()), GTK_LAYER_SHELL_EDGE_LEFT, place.x - output.x);
        gtk_layer_set_margin(as<GtkWindow>(window_.get()), GTK_LAYER_SHELL_EDGE_TOP, place.y - output.y);
    } else {
        gtk_window_move(as<GtkWindow>(window_.get()), place.x, place.y);
    }
    gtk_widget_show(window_.get());
    if (GdkWindow* window = gtk_widget_get_window(window_.get())) {
        gdk_window_raise(window);
    }
}

void ExplainTag::hide() {
    gtk_widget_hide(window_.get());
}

bool ExplainTag::isVisible() const {
    return gtk_widget_get_visible(window_.get()) != FALSE;
}

} // namespace ulvo::x11
