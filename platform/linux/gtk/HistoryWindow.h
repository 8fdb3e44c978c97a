#pragma once

#include "platform/linux/glib/GObjectPtr.h"
#include "platform/linux/gtk/PageView.h"
#include "platform/linux/gtk/WidgetPtr.h"

#include <gtk/gtk.h>

#include <memory>

namespace ulvo::gtk {

// "ULVO History": a dark, resizable window whose whole content is the history page. Closing hides it.
class HistoryWindow {
public:
    static constexpr int width = 560;
    static constexpr int height = 640;

    // A related page view shares its web process.
    HistoryWindow(GtkApplication* application, WebEngine& engine, PageView::Callbacks callbacks,
                  const PageView* related);
    ~HistoryWindow();
    HistoryWindow(const HistoryWindow&) = delete;
    HistoryWindow& operator=(const HistoryWindow&) = delete;

    GtkWindow* window() const { return glib::as<GtkWindow>(window_.get()); }
    PageView& page() { return *page_; }

    void present();
    void hide() { gtk_widget_hide(window_.get()); }
    bool isVisible() const { return gtk_widget_get_visible(window_.get()) != FALSE; }

private:
    static gboolean deleted(GtkWidget* widget, GdkEvent*, gpointer);

    gtk::WindowPtr window_;
    std::unique_ptr<PageView> page_;
};

} // namespace ulvo::gtk
