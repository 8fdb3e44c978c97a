// A window of labels, one per argument, for screenshots of real toolkit text. Prints "ready" once drawn.
#include <gtk/gtk.h>

#include <cstdio>

namespace {

gboolean announce(gpointer) {
    std::puts("ready");
    std::fflush(stdout);
    return G_SOURCE_REMOVE;
}

gboolean firstDraw(GtkWidget* widget, cairo_t*, gpointer) {
    g_signal_handlers_disconnect_by_func(widget, reinterpret_cast<gpointer>(firstDraw), nullptr);
    g_timeout_add(300, announce, nullptr); // let the frame reach the X server
    return FALSE;
}

} // namespace

int main(int argc, char** argv) {
    gtk_init(&argc, &argv);
    GtkCssProvider* css = gtk_css_provider_new();
    gtk_css_provider_load_from_data(css,
                                    "label { font: 16px 'DejaVu Sans'; color: #202020; } "
                                    "window { background: #f6f5f4; }",
                                    -1, nullptr);
    gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(css),
                                              GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), "Labels");
    gtk_window_maximize(GTK_WINDOW(window)); // the whole screen is this application, as in a real capture
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 14);
    gtk_container_set_border_width(GTK_CONTAINER(box), 24);
    for (int i = 1; i < argc; ++i) {
        GtkWidget* label = gtk_label_new(argv[i]);
        gtk_label_set_xalign(GTK_LABEL(label), 0);
        gtk_box_pack_start(GTK_BOX(box), label, FALSE, FALSE, 0);
    }
    gtk_container_add(GTK_CONTAINER(window), box);
    g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
    g_signal_connect(window, "draw", G_CALLBACK(firstDraw), nullptr);
    gtk_widget_show_all(window);
    gtk_main();
    g_object_unref(css);
    return 0;
}
