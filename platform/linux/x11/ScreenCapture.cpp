#include "platform/linux/x11/ScreenCapture.h"

#include "platform/linux/gtk/DesktopServices.h"
#include "platform/linux/gtk/GObjectPtr.h"
#include "recognition/TextRecognition.h"

#include <gio/gio.h>
#include <gtk/gtk.h>

#include <memory>

namespace ulvo::x11 {

using gtk::as;

namespace {

enum AlertResponse { openSettingsResponse = 1, okResponse = 2 };

struct Recognition {
    std::string path;
    std::string languageTag;
    std::function<void(std::string)> completion;
};

} // namespace

LinuxRegionCaptureHost::LinuxRegionCaptureHost(std::function<void(const std::string&)> showCard,
                                               std::string languageTag)
    : showCard_(std::move(showCard))
    , languageTag_(std::move(languageTag)) {}

std::filesystem::path LinuxRegionCaptureHost::temporaryDirectory() {
    return g_get_tmp_dir();
}

std::string LinuxRegionCaptureHost::newUUID() {
    gtk::GCharPtr uuid(g_uuid_string_random());
    return uuid.get();
}

std::optional<std::string> LinuxRegionCaptureHost::launchScreenshotTool(const std::vector<std::string>& argv,
                                                                        std::function<void()> onExit) {
    if (unavailable_) {
        return unavailable_;
    }
    std::vector<const gchar*> arguments;
    for (const std::string& argument : argv) {
        arguments.push_back(argument.c_str());
    }
    arguments.push_back(nullptr);
    GError* raw = nullptr;
    gtk::GObjectPtr<GSubprocess> process(g_subprocess_newv(
        arguments.data(),
        static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDOUT_SILENCE | G_SUBPROCESS_FLAGS_STDERR_SILENCE),
        &raw));
    gtk::GErrorPtr error(raw);
    if (!process) {
        return std::string(error ? error->message : "the screenshot tool did not start");
    }
    using Exit = std::function<void()>;
    // The wait completes on this (the main) thread's loop once the tool has ended.
    g_subprocess_wait_async(
        process.get(), nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            const std::unique_ptr<Exit> exit(static_cast<Exit*>(data));
            g_subprocess_wait_finish(as<GSubprocess>(source), result, nullptr);
            (*exit)();
        },
        new Exit(std::move(onExit)));
    return std::nullopt;
}

bool LinuxRegionCaptureHost::fileExists(const std::filesystem::path& file) {
    std::error_code error;
    return std::filesystem::exists(file, error);
}

void LinuxRegionCaptureHost::removeFile(const std::filesystem::path& file) {
    std::error_code error;
    std::filesystem::remove(file, error);
}

void LinuxRegionCaptureHost::recognizeText(const std::filesystem::path& image,
                                           std::function<void(std::string)> completion) {
    auto* job = new Recognition{image.string(), languageTag_, std::move(completion)};
    // The task's callback runs on the main loop; the recognition itself on GLib's worker threads.
    gtk::GObjectPtr<GTask> task(g_task_new(
        nullptr, nullptr,
        [](GObject*, GAsyncResult* result, gpointer data) {
            const std::unique_ptr<Recognition> done(static_cast<Recognition*>(data));
            const std::unique_ptr<std::string> text(
                static_cast<std::string*>(g_task_propagate_pointer(as<GTask>(result), nullptr)));
            done->completion(text ? *text : std::string());
        },
        job));
    g_task_set_task_data(task.get(), job, nullptr);
    g_task_run_in_thread(task.get(), [](GTask* running, gpointer, gpointer data, GCancellable*) {
        const auto* work = static_cast<const Recognition*>(data);
        auto* text = new std::string(ulvo::recognizeText(work->path, work->languageTag));
        g_task_return_pointer(running, text, [](gpointer p) { delete static_cast<std::string*>(p); });
    });
}

void LinuxRegionCaptureHost::showScreenCaptureAlert(const std::string& message) {
    x11::showScreenCaptureAlert(message);
}

void showScreenCaptureAlert(const std::string& message) {
    GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_WARNING,
                                               GTK_BUTTONS_NONE, "%s", screenCaptureAlertTitle);
    gtk_message_dialog_format_secondary_text(as<GtkMessageDialog>(dialog), "%s", message.c_str());
    gtk_window_set_title(as<GtkWindow>(dialog), screenCaptureAlertTitle);
    gtk_dialog_add_button(as<GtkDialog>(dialog), openScreenRecordingSettingsButton, openSettingsResponse);
    gtk_dialog_add_button(as<GtkDialog>(dialog), "OK", okResponse);
    gtk_dialog_set_default_response(as<GtkDialog>(dialog), openSettingsResponse);
    gtk_window_set_keep_above(as<GtkWindow>(dialog), TRUE);
    gtk_window_set_position(as<GtkWindow>(dialog), GTK_WIN_POS_CENTER);
    g_signal_connect_data(dialog, "response", gtk::callback(+[](GtkDialog* self, gint response, gpointer) {
                              if (response == openSettingsResponse) {
                                  gtk::openAccessibilitySettings();
                              }
                              gtk_widget_destroy(as<GtkWidget>(self));
                          }),
                          nullptr, nullptr, GConnectFlags{});
    gtk_window_present(as<GtkWindow>(dialog));
}

} // namespace ulvo::x11
