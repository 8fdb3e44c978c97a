#pragma once

#include "platform/linux/glib/GObjectPtr.h"
#include "platform/linux/gtk/PageView.h"
#include "platform/linux/gtk/WidgetPtr.h"

#include <gtk/gtk.h>

#include <memory>

namespace ulvo::gtk {

// "ULVO Settings": a fixed-size dark window whose whole content is the settings page. Closing hides it.
class SettingsWindow {
public:
    static constexpr int width = 460;
    static constexpr int height = 640;
    static constexpr int titleBarHeight = 34;

    // A related page view shares its web process.
    SettingsWindow(GtkApplication* application, WebEngine& engine, PageView::Callbacks callbacks,
                   const PageView* related);
    ~SettingsWindow();
    SettingsWindow(const SettingsWindow&) = delete;
    SettingsWindow& operator=(const SettingsWindow&) = delete;

    GtkWindow* window() const { return glib::as<GtkWindow>(window_.get()); }
    PageView& page() { return *page_; }

    void present();
    void hide() { gtk_widget_hide(window_.get()); }
    bool isVisible() const { return gtk_widget_get_visible(window_.get()) != FALSE; }

private:
    static gboolean deleted(GtkWidget* widget, GdkEvent*, gpointer);

    gtk::WindowPtr window_;
    std::unique_ptr<PageView> page_;
    glib::GObjectPtr<GtkCssProvider> css_;
};

} // namespace ulvo::gtk
