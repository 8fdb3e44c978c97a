#pragma once

// Helpers for tests of real GTK windows and WebKit pages inside scripts/private-session.
#include <gtk/gtk.h>
#include <nlohmann/json.hpp>
#include <webkit2/webkit2.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace ulvo::test {

using namespace std::chrono_literals;

// Runs the main loop until `done` holds or the limit passes; returns whether it held.
bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s);
void pumpFor(std::chrono::milliseconds duration);

// Evaluates an expression in the page and returns its value as JSON (undefined is null).
nlohmann::json evaluate(WebKitWebView* view, const std::string& script);

// The page's visible text, and whether it comes to show `text` within the limit.
std::string pageText(WebKitWebView* view);
bool pageShows(WebKitWebView* view, const std::string& text, std::chrono::milliseconds limit = 20s);

// Runs a program to its end; returns its exit status, or -1 when it could not run.
int run(const std::vector<std::string>& argv, std::string* output = nullptr);
int xdotool(const std::vector<std::string>& arguments);

// The widget's rectangle in root-window coordinates.
GdkRectangle screenRect(GtkWidget* widget);

// Saves the part of the screen under `area`, grown by `margin`, as a PNG.
bool screenshot(const std::filesystem::path& file, GdkRectangle area, int margin = 24);

// Points the program at a chat-completions server (the custom provider at baseURL + "/v1") with a key
// in the keyring, through the stored preferences of this session's scratch HOME.
void useLoopbackProvider(const std::string& baseURL);

// A plain grey window under everything, so screenshots show the card's rounded edges.
GtkWidget* showBackdrop();

} // namespace ulvo::test
