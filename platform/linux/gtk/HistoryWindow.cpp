#include "platform/linux/gtk/HistoryWindow.h"

namespace ulvo::gtk {

HistoryWindow::HistoryWindow(GtkApplication* application, WebEngine& engine, PageView::Callbacks callbacks,
                             const PageView* related) {
    window_.reset(gtk_window_new(GTK_WINDOW_TOPLEVEL));
    GtkWindow* window = this->window();
    gtk_window_set_title(window, "ULVO History");
    gtk_window_set_default_size(window, width, height);
    gtk_window_set_position(window, GTK_WIN_POS_CENTER);
    gtk_window_set_skip_taskbar_hint(window, TRUE);
    if (application != nullptr) {
        gtk_window_set_application(window, application);
    }
    page_ = engine.makePage("ulvohistory", std::move(callbacks), related);
    // The window has no visual with alpha, so the page paints the settings window's colour itself.
    const GdkRGBA background{10 / 255.0, 10 / 255.0, 11 / 255.0, 1};
    page_->setBackground(background);
    gtk_container_add(glib::as<GtkContainer>(window_.get()), page_->widget());
    glib::connect(window_.get(), "delete-event", &HistoryWindow::deleted, this);
    gtk_widget_show(page_->widget());
}

HistoryWindow::~HistoryWindow() {
    g_signal_handlers_disconnect_by_data(window_.get(), this);
}

void HistoryWindow::present() {
    gtk_widget_show(window_.get());
    gtk_window_present(window());
}

gboolean HistoryWindow::deleted(GtkWidget* widget, GdkEvent*, gpointer) {
    gtk_widget_hide(widget);
    return TRUE;
}

} // namespace ulvo::gtk
