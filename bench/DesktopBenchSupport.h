#pragma once

// Main-loop pumping and a stand-in card for the desktop benchmarks (GTK, inside a private session).
#include <gtk/gtk.h>

#include "bench/BenchSupport.h"
#include "platform/linux/gtk/WebEnvironment.h"

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

namespace ulvo::bench {

using BenchClock = std::chrono::steady_clock;

// The start of a desktop benchmark: WebKit's environment as the program's, GTK, line-buffered figures, the
// machine line; whether --quick was given.
inline bool startDesktopBench(int& argc, char**& argv) {
    gtk::chooseWebProcessEnvironment(ulvo::currentSession());
    gtk_init(&argc, &argv);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("machine: %s\n", machineDescription().c_str());
    return argc > 1 && std::string(argv[1]) == "--quick";
}

// Runs the main loop until `done` holds or the limit passes; returns whether it held.
inline bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = BenchClock::now() + limit;
    while (!done()) {
        if (BenchClock::now() >= deadline) {
            return false;
        }
        if (g_main_context_iteration(nullptr, FALSE) == FALSE) {
            std::this_thread::sleep_for(
                std::chrono::microseconds(200)); // short, so figures keep their resolution
        }
    }
    return true;
}

inline void pumpFor(std::chrono::milliseconds duration) {
    const auto deadline = BenchClock::now() + duration;
    pumpUntil([&] { return BenchClock::now() >= deadline; }, duration + std::chrono::seconds(1));
}

// A window with a label in place of the card, so the figures are the road's own: `drawn` turns true
// once the label has been drawn showing `expected`.
struct StandInCard {
    GtkWidget* window = nullptr;
    GtkWidget* label = gtk_label_new("");
    std::string expected;
    bool drawn = false;

    // A pop-up never takes the focus on X11; a Wayland compositor maps only top-level windows here.
    explicit StandInCard(GtkWindowType type)
        : window(gtk_window_new(type)) {
        gtk_container_add(GTK_CONTAINER(window), label);
        g_signal_connect_after(
            label, "draw", G_CALLBACK(+[](GtkWidget* widget, cairo_t*, gpointer data) -> gboolean {
                auto* card = static_cast<StandInCard*>(data);
                card->drawn = card->drawn || gtk_label_get_text(GTK_LABEL(widget)) == card->expected;
                return FALSE;
            }),
            this);
    }
    StandInCard(const StandInCard&) = delete;
    StandInCard& operator=(const StandInCard&) = delete;

    void show(const std::string& text) {
        gtk_label_set_text(GTK_LABEL(label), text.c_str());
        gtk_widget_show_all(window);
    }
    // Hidden and emptied, waiting for `text`.
    void reset(const std::string& text) {
        gtk_widget_hide(window);
        gtk_label_set_text(GTK_LABEL(label), "");
        drawn = false;
        expected = text;
    }
};

} // namespace ulvo::bench
