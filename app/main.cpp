// ulvo: the desktop program. One instance per session; a later start hands its command line over.
#include "app/AppDelegate.h"
#include "app/ResourceDirectory.h"
#include "platform/linux/glib/GObjectPtr.h"
#include "platform/linux/gtk/WebEnvironment.h"

#include <glib-unix.h>
#include <gtk/gtk.h>

namespace {

gboolean quitOnSignal(gpointer application) {
    g_application_quit(ulvo::glib::as<GApplication>(application));
    return G_SOURCE_CONTINUE;
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> chosen = ulvo::gtk::chooseWebProcessEnvironment(ulvo::currentSession());
    // GTK probes OpenGL as it opens an X display, which maps Mesa and LLVM (about 28 MB) into a program
    // that never draws with GL. Only for GTK's start: programs started later (a browser for a link) get
    // the user's own environment.
    const bool glChosenHere = g_getenv("GDK_GL") == nullptr;
    if (glChosenHere) {
        g_setenv("GDK_GL", "disable", TRUE);
    }
    g_set_prgname("ulvo");
    g_set_application_name("ULVO");
    ulvo::glib::GObjectPtr<GtkApplication> application(
        gtk_application_new(ulvo::AppDelegate::applicationId, G_APPLICATION_HANDLES_COMMAND_LINE));
    ulvo::AppDelegate delegate(ulvo::resourceDirectory());
    delegate.keepOutOfOpenedPrograms(chosen);
    if (glChosenHere) {
        ulvo::glib::connect(
            application.get(), "startup", +[](GApplication*, gpointer) { g_unsetenv("GDK_GL"); }, nullptr);
    }
    delegate.attach(application.get());
    // A terminal's Ctrl+C or a session's TERM ends through the same shut-down as Quit.
    g_unix_signal_add(SIGINT, quitOnSignal, application.get());
    g_unix_signal_add(SIGTERM, quitOnSignal, application.get());
    const int status = g_application_run(ulvo::glib::as<GApplication>(application.get()), argc, argv);
    return status;
}
