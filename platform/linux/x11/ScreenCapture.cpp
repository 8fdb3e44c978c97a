#include "platform/linux/x11/ScreenCapture.h"

#include "platform/linux/TextRecognition.h"
#include "platform/linux/glib/GObjectPtr.h"
#include "platform/linux/gtk/DesktopServices.h"
#include "platform/linux/gtk/MainThread.h"
#include "platform/linux/gtk/RegionPicker.h"
#include "platform/linux/portal/ScreenshotPortal.h"

#include <gio/gio.h>
#include <gtk/gtk.h>

#include <cctype>
#include <cstdlib>
#include <memory>
#include <variant>

namespace ulvo::x11 {

using glib::as;

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

LinuxRegionCaptureHost::~LinuxRegionCaptureHost() = default;

std::optional<std::string>
LinuxRegionCaptureHost::captureRegionThroughDesktop(const std::filesystem::path& file,
                                                    std::function<void()> onEnd) {
    if (picker_) {
        return std::string("a region is being framed already");
    }
    if (!portal_) {
        portal_ = std::make_unique<portal::ScreenshotPortal>();
    }
    const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
    const bool framesRegions = desktopFramesRegions(desktop != nullptr ? desktop : "");
    portal_->take(framesRegions, [this, file, framesRegions, onEnd = std::move(onEnd)](
                                     portal::ScreenshotPortal::Outcome outcome) mutable {
        if (const auto* failed = std::get_if<portal::ScreenshotPortal::Failed>(&outcome)) {
            std::string reason = failed->reason;
            reason[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(reason[0])));
            showScreenCaptureAlert(captureStartFailedMessage + reason + ".");
            onEnd();
            return;
        }
        const auto* shot = std::get_if<portal::ScreenshotPortal::Shot>(&outcome);
        if (shot == nullptr) {
            onEnd(); // cancelled or refused: nothing to say, as Escape
            return;
        }
        if (!framesRegions) {
            pickFrom(shot->file, file, std::move(onEnd));
            return;
        }
        // The desktop framed it: its file is the region. Moved, so no copy of the screen stays behind.
        glib::GObjectPtr<GFile> from(g_file_new_for_path(shot->file.c_str()));
        glib::GObjectPtr<GFile> to(g_file_new_for_path(file.c_str()));
        g_file_move(from.get(), to.get(), G_FILE_COPY_OVERWRITE, nullptr, nullptr, nullptr, nullptr);
        onEnd();
    });
    return std::nullopt;
}

void LinuxRegionCaptureHost::pickFrom(const std::filesystem::path& shot, const std::filesystem::path& file,
                                      std::function<void()> onEnd) {
    GError* raw = nullptr;
    glib::GObjectPtr<GdkPixbuf> image(gdk_pixbuf_new_from_file(shot.c_str(), &raw));
    const glib::GErrorPtr error(raw);
    removeFile(shot); // the screen's picture is not kept beyond the picker
    if (!image) {
        showScreenCaptureAlert(std::string(captureStartFailedMessage) +
                               "The desktop's screenshot could not be read.");
        onEnd();
        return;
    }
    picker_ = std::make_unique<gtk::RegionPicker>(
        image.get(),
        [this, image = std::shared_ptr<GdkPixbuf>(as<GdkPixbuf>(g_object_ref(image.get())), g_object_unref),
         file, onEnd = std::move(onEnd)](std::optional<PixelRect> region) {
            if (region) {
                glib::GObjectPtr<GdkPixbuf> crop(gdk_pixbuf_new_subpixbuf(image.get(), region->x, region->y,
                                                                          region->width, region->height));
                gdk_pixbuf_save(crop.get(), file.c_str(), "png", nullptr, nullptr);
            }
            // The picker goes once this callback has returned.
            gtk::postToMainThread([this] { picker_.reset(); });
            onEnd();
        });
}

std::filesystem::path LinuxRegionCaptureHost::temporaryDirectory() {
    return g_get_tmp_dir();
}

std::string LinuxRegionCaptureHost::newUUID() {
    glib::GCharPtr uuid(g_uuid_string_random());
    return uuid.get();
}

std::optional<std::string> LinuxRegionCaptureHost::launchScreenshotTool(const std::vector<std::string>& argv,
                                                                        std::function<void()> onExit) {
    std::vector<const gchar*> arguments;
    for (const std::string& argument : argv) {
        arguments.push_back(argument.c_str());
    }
    arguments.push_back(nullptr);
    GError* raw = nullptr;
    glib::GObjectPtr<GSubprocess> process(g_subprocess_newv(
        arguments.data(),
        static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDOUT_SILENCE | G_SUBPROCESS_FLAGS_STDERR_SILENCE),
        &raw));
    glib::GErrorPtr error(raw);
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
    // The job goes to the task's callback, which takes it back when the task has run.
    auto* job = static_cast<Recognition*>(
        glib::box(Recognition{image.string(), languageTag_, std::move(completion)}));
    // The task's callback runs on the main loop; the recognition itself on GLib's worker threads.
    glib::GObjectPtr<GTask> task(g_task_new(
        nullptr, nullptr,
        [](GObject*, GAsyncResult* result, gpointer data) {
            const std::unique_ptr<Recognition> done = glib::unbox<Recognition>(data);
            const std::unique_ptr<std::string> text =
                glib::unbox<std::string>(g_task_propagate_pointer(as<GTask>(result), nullptr));
            done->completion(text ? *text : std::string());
        },
        job));
    g_task_set_task_data(task.get(), job, nullptr);
    g_task_run_in_thread(task.get(), [](GTask* running, gpointer, gpointer data, GCancellable*) {
        const auto* work = static_cast<const Recognition*>(data);
        g_task_return_pointer(running, glib::box(ulvo::recognizeText(work->path, work->languageTag)),
                              glib::deleteBoxed<std::string>);
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
    gtk_dialog_add_button(as<GtkDialog>(dialog), openDesktopSettingsButton, openSettingsResponse);
    gtk_dialog_add_button(as<GtkDialog>(dialog), "OK", okResponse);
    gtk_dialog_set_default_response(as<GtkDialog>(dialog), openSettingsResponse);
    gtk_window_set_keep_above(as<GtkWindow>(dialog), TRUE);
    gtk_window_set_position(as<GtkWindow>(dialog), GTK_WIN_POS_CENTER);
    g_signal_connect_data(dialog, "response", glib::callback(+[](GtkDialog* self, gint response, gpointer) {
                              if (response == openSettingsResponse) {
                                  gtk::openAccessibilitySettings();
                              }
                              gtk_widget_destroy(as<GtkWidget>(self));
                          }),
                          nullptr, nullptr, GConnectFlags{});
    gtk_window_present(as<GtkWindow>(dialog));
}

} // namespace ulvo::x11
