// Sway's own binding of Alt+E to the card holding the text, in a Wayland session; run inside
// `ULVO_SESSION_PROGRAM=build/bin/ulvo scripts/private-session --wayland build/bench/wayland_bench`.
// The key press goes through the virtual-keyboard protocol (wtype); sway runs a copy of the program with
// --explain, which asks this process (registered as the program) to run its action; the selection
// is read through accessibility from a GTK application on Wayland. The card stand-in is a plain window
// with a label, so the figures are the road's own.
#include "bench/BenchSupport.h"
#include "bench/DesktopBenchSupport.h"
#include "platform/linux/wayland/WaylandDesktop.h"

#include <gtk/gtk.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using ulvo::bench::pumpUntil;

} // namespace

int main(int argc, char** argv) {
    const bool quick = ulvo::bench::startDesktopBench(argc, argv);
    ulvo::bench::StandInCard card(GTK_WINDOW_TOPLEVEL);
    ulvo::desktop::DesktopCard side;
    side.showCardWithSelection = [&](const std::string& text) { card.show(text); };
    side.setPendingSelection = [](const std::string&) {};
    side.setAccessibility = [](bool) {};
    side.showSettings = [] {};
    side.terminate = [] {};
    ulvo::wayland::WaylandDesktop capture(side);

    GtkApplication* application = gtk_application_new("com.zvk.ULVO", G_APPLICATION_DEFAULT_FLAGS);
    // The action a key binding's "ulvo --explain" asks the running program for.
    GSimpleAction* explain = g_simple_action_new("explain", nullptr);
    g_signal_connect(explain, "activate", G_CALLBACK(+[](GSimpleAction*, GVariant*, gpointer data) {
                         static_cast<ulvo::wayland::WaylandDesktop*>(data)->captureSelectionAndShow();
                     }),
                     &capture);
    g_action_map_add_action(G_ACTION_MAP(application), G_ACTION(explain));
    if (g_application_register(G_APPLICATION(application), nullptr, nullptr) == FALSE) {
        std::fprintf(stderr, "cannot register as the program\n");
        return 1;
    }

    const pid_t app = fork();
    if (app == 0) {
        execl("/usr/bin/python3", "python3", ULVO_TEXT_APP, "--kind", "textview", "--text",
              "Wayland bindings read this selection", "--select", "0", "7", static_cast<char*>(nullptr));
        _exit(127);
    }
    pumpUntil([] { return false; }, 2500ms);

    const int runs = quick ? 5 : 40;
    std::vector<double> samples;
    for (int run = 0; run < runs; ++run) {
        card.reset("Wayland");
        pumpUntil([] { return false; }, 300ms);
        gchar* press[] = {const_cast<gchar*>("wtype"),
                          const_cast<gchar*>("-M"),
                          const_cast<gchar*>("alt"),
                          const_cast<gchar*>("e"),
                          const_cast<gchar*>("-m"),
                          const_cast<gchar*>("alt"),
                          nullptr};
        const auto start = Clock::now();
        GPid pid = 0;
        if (g_spawn_async(nullptr, press, nullptr,
                          static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD), nullptr,
                          nullptr, &pid, nullptr) == FALSE) {
            std::fprintf(stderr, "wtype did not start\n");
            return 1;
        }
        if (pumpUntil([&] { return card.drawn; }, 3s)) {
            samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        } else {
            std::fprintf(stderr, "run %d: no card\n", run);
        }
        waitpid(pid, nullptr, 0);
        g_spawn_close_pid(pid);
    }
    std::printf("binding_to_card_runs: %zu of %d\n", samples.size(), runs);
    std::printf("binding_to_card_p50: %.1f ms\n", ulvo::bench::quantile(samples, 0.5));
    std::printf("binding_to_card_p95: %.1f ms\n", ulvo::bench::quantile(samples, 0.95));
    kill(app, SIGTERM);
    waitpid(app, nullptr, 0);
    return 0;
}
