// Selection capture's costs on a real X11 desktop; run inside scripts/private-session.
//   hot key to card: Alt+E sent through XTest until a card window showing the text has drawn, on the
//   accessibility path (a GtkTextView), the PRIMARY path (a GtkTextView without accessibility) and the
//   copy path (an application with neither);
//   idle: CPU share of the poll, the hot-key grab and the mouse watcher over 60 s, and resident memory
//   across 10,000 polls of a selection.
// The card stand-in is a plain pop-up window with a label, so the figures are the capture's own.
#include "bench/BenchSupport.h"
#include "bench/DesktopBenchSupport.h"
#include "platform/linux/x11/X11Desktop.h"
#include "platform/linux/x11/XConnection.h"
#include "tests/support/ProcessMemory.h"

#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <gtk/gtk.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using ulvo::bench::pumpFor;
using ulvo::bench::pumpUntil;

// A fixture application; ended with the object.
struct Fixture {
    pid_t pid = -1;
    Fixture(const std::string& kind, const std::string& text, int start, int end, bool accessible) {
        pid = fork();
        if (pid == 0) {
            if (!accessible) {
                setenv("NO_AT_BRIDGE", "1", 1);
            }
            const std::string from = std::to_string(start);
            const std::string to = std::to_string(end);
            execl("/usr/bin/python3", "python3", ULVO_TEXT_APP, "--kind", kind.c_str(), "--text",
                  text.c_str(), "--select", from.c_str(), to.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        pumpFor(2500ms);
    }
    ~Fixture() {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    Fixture(const Fixture&) = delete;
    Fixture& operator=(const Fixture&) = delete;
};

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Card : ulvo::bench::StandInCard {
    Card()
        : StandInCard(GTK_WINDOW_POPUP) {
        gtk_window_move(GTK_WINDOW(window), 1200, 100);
        gtk_window_set_default_size(GTK_WINDOW(window), 420, 200);
    }
};

std::vector<double> hotKeyToCard(ulvo::x11::XConnection& keys, Card& card, const std::string& text,
                                 int runs) {
    Display* display = keys.display();
    const KeyCode alt = XKeysymToKeycode(display, XK_Alt_L);
    const KeyCode e = XKeysymToKeycode(display, XK_e);
    std::vector<double> samples;
    for (int run = 0; run < runs; ++run) {
        card.reset(text);
        pumpFor(150ms);
        XTestFakeKeyEvent(display, alt, True, CurrentTime);
        XTestFakeKeyEvent(display, e, True, CurrentTime);
        XSync(display, False);
        const auto start = Clock::now();
        // A person lets go after about 80 ms; the card may already be there.
        bool released = false;
        pumpUntil(
            [&] {
                if (!released && Clock::now() - start >= 80ms) {
                    XTestFakeKeyEvent(display, e, False, CurrentTime);
                    XTestFakeKeyEvent(display, alt, False, CurrentTime);
                    XFlush(display);
                    released = true;
                }
                return card.drawn;
            },
            3s);
        if (!card.drawn) {
            std::fprintf(stderr, "run %d: no card (shown: %s)\n", run,
                         gtk_label_get_text(GTK_LABEL(card.label)));
        }
        if (card.drawn) {
            samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }
        if (!released) {
            XTestFakeKeyEvent(display, e, False, CurrentTime);
            XTestFakeKeyEvent(display, alt, False, CurrentTime);
            XFlush(display);
        }
        pumpFor(100ms);
    }
    return samples;
}

void report(const std::string& name, const std::vector<double>& samples, int runs) {
    std::printf("%s_runs: %zu of %d\n", name.c_str(), samples.size(), runs);
    std::printf("%s_p50: %.1f ms\n", name.c_str(), ulvo::bench::quantile(samples, 0.5));
    std::printf("%s_p95: %.1f ms\n", name.c_str(), ulvo::bench::quantile(samples, 0.95));
}

} // namespace

int main(int argc, char** argv) {
    const bool quick = ulvo::bench::startDesktopBench(argc, argv);
    Card card;
    ulvo::desktop::DesktopCard side;
    side.showCardWithSelection = [&](const std::string& text) { card.show(text); };
    side.setPendingSelection = [](const std::string&) {};
    side.setAccessibility = [](bool) {};
    side.showSettings = [] {};
    side.terminate = [] {};
    ulvo::x11::X11Desktop capture(side);
    capture.buildTagPanel();
    capture.registerHotKey();
    ulvo::x11::XConnection keys;
    const int runs = quick ? 5 : 40;
    {
        Fixture view("textview", "The accessibility path reads this selection", 4, 17, true);
        report("hotkey_to_card_accessibility", hotKeyToCard(keys, card, "accessibility", runs), runs);
    }
    {
        Fixture view("textview", "The PRIMARY path reads this selection", 4, 11, false);
        report("hotkey_to_card_primary", hotKeyToCard(keys, card, "PRIMARY", runs), runs);
    }
    {
        Fixture opaque("opaque", "The copy path reads this selection", 4, 8, false);
        report("hotkey_to_card_copy", hotKeyToCard(keys, card, "copy", runs), runs);
    }

    capture.startSelectionMonitor();
    {
        Fixture idle("textview", "Nothing is selected here", 0, 0, true);
        // A blocking loop, so only the capture's own wake-ups cost anything.
        GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
        g_timeout_add(
            quick ? 5000 : 60000,
            +[](gpointer data) -> gboolean {
                g_main_loop_quit(static_cast<GMainLoop*>(data));
                return G_SOURCE_REMOVE;
            },
            loop);
        const double cpuBefore = cpuSeconds();
        const auto start = Clock::now();
        g_main_loop_run(loop);
        g_main_loop_unref(loop);
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        std::printf("idle_cpu_60s: %.3f %% of one core\n", 100.0 * (cpuSeconds() - cpuBefore) / elapsed);
    }
    {
        Fixture selected("textview", "A selection the poll reads ten thousand times", 2, 11, true);
        for (int i = 0; i < 1000; ++i) {
            capture.monitor().pollExternalSelection(ulvo::SelectionMonitor::Clock::now());
            g_main_context_iteration(nullptr, FALSE);
        }
        const long before = ulvo::test::residentKilobytes();
        const auto start = Clock::now();
        for (int i = 0; i < 10000; ++i) {
            capture.monitor().pollExternalSelection(ulvo::SelectionMonitor::Clock::now());
            g_main_context_iteration(nullptr, FALSE);
        }
        const double perPoll =
            std::chrono::duration<double, std::micro>(Clock::now() - start).count() / 10000;
        std::printf("poll_cost: %.0f us per poll\n", perPoll);
        std::printf("rss_growth_10000_polls: %ld KiB\n", ulvo::test::residentKilobytes() - before);
    }
    return 0;
}
