#include "platform/linux/gtk/SettingsWindow.h"

namespace ulvo::gtk {

namespace {

// Background (0.039, 0.039, 0.043); the title bar blends into it and shows no title.
constexpr const char* settingsStyle = R"css(
window.ulvo-settings { background-color: rgb(10, 10, 11); }
window.ulvo-settings decoration, window.ulvo-settings.solid-csd decoration {
    border: none; box-shadow: none; margin: 0; padding: 0; border-radius: 0;
}
headerbar.ulvo-settings-bar {
    background-image: none; background-color: rgb(10, 10, 11); border: none; box-shadow: none;
    min-height: 34px; padding: 0 6px;
}
headerbar.ulvo-settings-bar button { color: rgb(200, 200, 205); }
)css";

} // namespace

SettingsWindow::SettingsWindow(GtkApplication* application, WebEngine& engine, PageView::Callbacks callbacks,
                               const PageView* related)
    : css_(gtk_css_provider_new()) {
    gtk_css_provider_load_from_data(css_.get(), settingsStyle, -1, nullptr);
    window_.reset(gtk_window_new(GTK_WINDOW_TOPLEVEL));
    gtk_style_context_add_class(gtk_widget_get_style_context(window_.get()), "ulvo-settings");
    gtk_style_context_add_provider_for_screen(gtk_widget_get_screen(window_.get()),
                                              glib::as<GtkStyleProvider>(css_.get()),
                                              GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    GtkWindow* window = this->window();
    gtk_window_set_default_size(window, width, height);
    gtk_window_set_resizable(window, FALSE);
    // An ordinary window: a dialog without a parent is the whole program's dialog to X11 window
    // managers, which then keep it above every other window of the program, the card included.
    gtk_window_set_type_hint(window, GDK_WINDOW_TYPE_HINT_NORMAL);
    gtk_window_set_position(window, GTK_WIN_POS_CENTER);
    gtk_window_set_skip_taskbar_hint(window, TRUE);
    if (application != nullptr) {
        gtk_window_set_application(window, application);
    }

    GtkWidget* bar = gtk_header_bar_new();
    gtk_style_context_add_class(gtk_widget_get_style_context(bar), "ulvo-settings-bar");
    gtk_header_bar_set_show_close_button(glib::as<GtkHeaderBar>(bar), TRUE);
    gtk_header_bar_set_custom_title(glib::as<GtkHeaderBar>(bar), gtk_label_new(nullptr));
    gtk_window_set_titlebar(window, bar);
    gtk_window_set_title(window, "ULVO Settings"); // after the title bar, which clears it

    page_ = engine.makePage("ulvosettings", std::move(callbacks), related);
    // The window has no visual with alpha, so the page paints the window colour itself.
    const GdkRGBA background{10 / 255.0, 10 / 255.0, 11 / 255.0, 1};
    page_->setBackground(background);
    gtk_widget_set_size_request(page_->widget(), width, height - titleBarHeight);
    gtk_container_add(glib::as<GtkContainer>(window_.get()), page_->widget());
    glib::connect(window_.get(), "delete-event", &SettingsWindow::deleted, this);
    gtk_widget_show_all(bar);
    gtk_widget_show(page_->widget());
}

SettingsWindow::~SettingsWindow() {
    g_signal_handlers_disconnect_by_data(window_.get(), this);
    window_.reset();
    gtk_style_context_remove_provider_for_screen(gdk_screen_get_default(),
                                                 glib::as<GtkStyleProvider>(css_.get()));
}

void SettingsWindow::present() {
    gtk_widget_show(window_.get());
    gtk_window_present(window());
}

gboolean SettingsWindow::deleted(GtkWidget* widget, GdkEvent*, gpointer) {
    gtk_widget_hide(widget);
    return TRUE;
}

} // namespace ulvo::gtk
