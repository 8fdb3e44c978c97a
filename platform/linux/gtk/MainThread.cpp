#include "platform/linux/gtk/MainThread.h"

#include "platform/linux/glib/GObjectPtr.h"

namespace ulvo::gtk {

namespace {

gboolean runTask(gpointer data) {
    (*static_cast<std::function<void()>*>(data))();
    return G_SOURCE_REMOVE;
}

} // namespace

void postToMainThread(std::function<void()> task) {
    // Default priority, so answers are not held back behind redraws and layout.
    g_idle_add_full(G_PRIORITY_DEFAULT, runTask, glib::box(std::move(task)),
                    glib::deleteBoxed<std::function<void()>>);
}

void runOnMainThreadAfter(std::chrono::milliseconds delay, std::function<void()> task) {
    g_timeout_add_full(G_PRIORITY_DEFAULT, static_cast<guint>(delay.count()), runTask,
                       glib::box(std::move(task)), glib::deleteBoxed<std::function<void()>>);
}

} // namespace ulvo::gtk
