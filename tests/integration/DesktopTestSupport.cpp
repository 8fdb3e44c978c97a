#include "tests/integration/DesktopTestSupport.h"
#include "platform/linux/glib/GObjectPtr.h"
#include "tests/integration/Subprocess.h"

#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>
#include <thread>

namespace ulvo::test {

bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        if (g_main_context_iteration(nullptr, FALSE) == FALSE) {
            std::this_thread::sleep_for(2ms);
        }
    }
    return true;
}

void pumpFor(std::chrono::milliseconds duration) {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    pumpUntil([&] { return std::chrono::steady_clock::now() >= deadline; }, duration + 1s);
}

namespace {

struct Evaluation {
    bool done = false;
    std::string json; // empty for undefined
    std::string error;
};

void evaluated(GObject* source, GAsyncResult* result, gpointer data) {
    auto* evaluation = static_cast<Evaluation*>(data);
    GError* error = nullptr;
    const glib::GObjectPtr<JSCValue> value(
        webkit_web_view_evaluate_javascript_finish(reinterpret_cast<WebKitWebView*>(source), result, &error));
    if (!value) {
        evaluation->error = error != nullptr ? glib::GErrorPtr(error)->message : "no value";
    } else if (const glib::GCharPtr json{jsc_value_to_json(value.get(), 0)}) {
        evaluation->json = json.get();
    }
    evaluation->done = true;
}

} // namespace

nlohmann::json evaluate(WebKitWebView* view, const std::string& script) {
    Evaluation evaluation;
    webkit_web_view_evaluate_javascript(view, script.c_str(), -1, nullptr, nullptr, nullptr, evaluated,
                                        &evaluation);
    if (!pumpUntil([&] { return evaluation.done; })) {
        ADD_FAILURE() << "script did not finish: " << script;
    }
    if (!evaluation.error.empty()) {
        ADD_FAILURE() << "script failed: " << evaluation.error << "\n" << script;
    }
    return evaluation.json.empty() ? nlohmann::json() : nlohmann::json::parse(evaluation.json);
}

std::string pageText(WebKitWebView* view) {
    const nlohmann::json text = evaluate(view, "document.body ? document.body.innerText : ''");
    return text.is_string() ? text.get<std::string>() : std::string();
}

bool pageShows(WebKitWebView* view, const std::string& text, std::chrono::milliseconds limit) {
    return pumpUntil([&] { return pageText(view).find(text) != std::string::npos; }, limit);
}

int run(const std::vector<std::string>& argv, std::string* output) {
    try {
        Finished finished = runToEnd(argv);
        if (output != nullptr) {
            *output = std::move(finished.standardOutput);
        }
        return finished.exitStatus;
    } catch (const std::runtime_error&) {
        return -1;
    }
}

int xdotool(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv{"xdotool"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const int status = run(argv);
    pumpFor(50ms);
    return status;
}

GdkRectangle screenRect(GtkWidget* widget) {
    GtkWidget* top = gtk_widget_get_toplevel(widget);
    int x = 0;
    int y = 0;
    gtk_window_get_position(reinterpret_cast<GtkWindow*>(top), &x, &y);
    int dx = 0;
    int dy = 0;
    gtk_widget_translate_coordinates(widget, top, 0, 0, &dx, &dy);
    return {x + dx, y + dy, gtk_widget_get_allocated_width(widget), gtk_widget_get_allocated_height(widget)};
}

bool screenshot(const std::filesystem::path& file, GdkRectangle area, int margin) {
    std::filesystem::create_directories(file.parent_path());
    pumpFor(300ms);
    const int x = std::max(0, area.x - margin);
    const int y = std::max(0, area.y - margin);
    const std::string crop = std::to_string(area.width + 2 * margin) + "x" +
                             std::to_string(area.height + 2 * margin) + "+" + std::to_string(x) + "+" +
                             std::to_string(y);
    return run({"import", "-window", "root", "-crop", crop, "+repage", file.string()}) == 0;
}

GtkWidget* showBackdrop() {
    GtkWidget* backdrop = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_decorated(reinterpret_cast<GtkWindow*>(backdrop), FALSE);
    gtk_window_move(reinterpret_cast<GtkWindow*>(backdrop), 0, 0);
    gtk_window_set_default_size(reinterpret_cast<GtkWindow*>(backdrop), 1920, 1080);
    GtkCssProvider* css = gtk_css_provider_new();
    gtk_css_provider_load_from_data(
        css, "window.backdrop { background: linear-gradient(135deg, #5b6b82, #a7b4c4); }", -1, nullptr);
    gtk_style_context_add_provider(gtk_widget_get_style_context(backdrop),
                                   reinterpret_cast<GtkStyleProvider*>(css),
                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    gtk_style_context_add_class(gtk_widget_get_style_context(backdrop), "backdrop");
    g_object_unref(css);
    gtk_widget_show(backdrop);
    gtk_window_set_keep_below(reinterpret_cast<GtkWindow*>(backdrop), TRUE);
    return backdrop;
}

void useLoopbackProvider(const std::string& baseURL) {
    const std::filesystem::path config = std::filesystem::path(g_get_user_config_dir()) / "ulvo";
    std::filesystem::create_directories(config);
    std::ofstream(config / "preferences.ini")
        << "[ulvo]\nmodelProvider=custom\nmodelBaseURL=" << baseURL << "/v1\nmodelName=test-model\n";
    ASSERT_EQ(
        run({"/bin/sh", "-c",
             "printf sk-test | secret-tool store --label=test service com.zvk.ULVO.api-keys account custom"}),
        0);
}

} // namespace ulvo::test
