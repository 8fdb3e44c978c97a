// The program in a Wayland session (scripts/private-session --wayland: a headless sway): on GTK's
// Wayland backend it shows the explain tag beside a selection, sway's own binding of Alt+E, pressed
// through the virtual-keyboard protocol, runs "ulvo --explain" in this instance and the card opens with
// the selection and a loopback provider's answer, again on every press; it starts without a critical
// warning or a false note of what the session lacks; Settings says the hot keys are unavailable.
#include <gtest/gtest.h>

#include "app/AppDelegate.h"
#include "platform/linux/FileDescriptor.h"
#include "platform/linux/wayland/SwayIpc.h"
#include "tests/integration/DesktopTestSupport.h"
#include "tests/integration/FocusedSelection.h"
#include "tests/integration/Subprocess.h"
#include "tests/support/LoopbackServer.h"

#include <fcntl.h>
#include <gdk/gdkwayland.h>
#include <gtk-layer-shell/gtk-layer-shell.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace ulvo {
namespace {

using namespace std::chrono_literals;
using test::pumpFor;
using test::pumpUntil;

TEST(WaylandSessionTest, SwaysBindingOfAltEExplainsTheSelectionInTheRunningProgram) {
    ASSERT_NE(std::getenv("WAYLAND_DISPLAY"), nullptr) << "run inside scripts/private-session --wayland";
    ASSERT_TRUE(GDK_IS_WAYLAND_DISPLAY(gdk_display_get_default())) << "GTK is not on its Wayland backend";

    test::LoopbackServer server([](const test::RecordedRequest&) {
        return test::CannedReply{200, test::chatReply("A loopback explanation on Wayland.")};
    });
    test::useLoopbackProvider(server.baseURL());

    // The program's own identity, so "ulvo --explain" from the compositor hands over to this instance.
    GtkApplication* application =
        gtk_application_new(AppDelegate::applicationId, G_APPLICATION_HANDLES_COMMAND_LINE);
    AppDelegate delegate(std::filesystem::path(ULVO_TEST_SHARE_DIR));
    delegate.attach(application);
    // What the program says on standard error while it starts.
    const std::filesystem::path log = std::filesystem::temp_directory_path() / "ulvo-wayland-test-stderr";
    const FileDescriptor terminal(::dup(STDERR_FILENO));
    ::dup2(FileDescriptor(::open(log.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600)).get(), STDERR_FILENO);
    const bool registered = g_application_register(G_APPLICATION(application), nullptr, nullptr); // start-up
    pumpFor(1500ms);
    std::fflush(stderr);
    ::dup2(terminal.get(), STDERR_FILENO);
    ASSERT_TRUE(registered);
    std::ifstream logged(log);
    const std::string said(std::istreambuf_iterator<char>(logged), {});
    EXPECT_EQ(said.find("the explain tag is unavailable"), std::string::npos) << "sway places it: " << said;
    EXPECT_EQ(said.find("region capture"), std::string::npos) << "sway lets grim capture: " << said;
    EXPECT_EQ(said.find("CRITICAL"), std::string::npos) << said;

    test::Background app({"/usr/bin/python3", ULVO_TEXT_APP, "--kind", "textview", "--text",
                          "Chlorophyll absorbs red and blue light", "--select", "0", "11"});
    ASSERT_EQ(app.readLine(15s).rfind("ready", 0), 0U) << "the text application did not start";

    // The explain tag: a layer surface beside the selection, which accessibility gives relative to the
    // application's window and sway's IPC places in the layout.
    GtkWidget* tag = delegate.tagWindow();
    ASSERT_NE(tag, nullptr);
    ASSERT_TRUE(pumpUntil([&] { return gtk_widget_get_visible(tag) != FALSE; }, 5s)) << "no tag";
    ASSERT_TRUE(gtk_layer_is_layer_window(GTK_WINDOW(tag)));
    // python3 runs the application in the process it was started as.
    const SelectionResult selection = test::selectionWithBounds(app.pid(), 5s);
    ASSERT_TRUE(selection.bounds);
    const std::optional<wayland::FocusedWindow> window = wayland::SwayIpc::fromEnvironment()->focusedWindow();
    ASSERT_TRUE(window);
    EXPECT_NEAR(gtk_layer_get_margin(GTK_WINDOW(tag), GTK_LAYER_SHELL_EDGE_LEFT),
                window->content.x + selection.bounds->maxX() + 8, 1.0);

    ASSERT_EQ(test::run({"wtype", "-M", "alt", "e", "-m", "alt"}), 0);
    ASSERT_TRUE(pumpUntil([&] { return delegate.panel()->isVisible(); }, 10s)) << "no card";
    WebKitWebView* view = delegate.panel()->page().view();
    ASSERT_TRUE(test::pageShows(view, "A loopback explanation on Wayland.")) << test::pageText(view);
    ASSERT_FALSE(server.requests().empty());
    EXPECT_NE(server.requests().back().body.find("\"Chlorophyll\""), std::string::npos)
        << server.requests().back().body;

    // Every press reads the selection again, the card closed or open.
    for (int press = 0; press < 20; ++press) {
        if (press % 2 == 0) {
            delegate.hidePanel();
        }
        const std::size_t asked = server.requests().size();
        ASSERT_EQ(test::run({"wtype", "-M", "alt", "e", "-m", "alt"}), 0);
        ASSERT_TRUE(pumpUntil([&] { return server.requests().size() > asked; }, 10s)) << "press " << press;
        EXPECT_NE(server.requests().back().body.find("\"Chlorophyll\""), std::string::npos)
            << "press " << press << ": " << server.requests().back().body;
    }
    pumpFor(300ms); // the compositor shows the frame
    std::filesystem::create_directories(ULVO_TEST_SCREENSHOT_DIR);
    EXPECT_EQ(test::run({"grim", std::string(ULVO_TEST_SCREENSHOT_DIR) + "/wayland-card.png"}), 0);

    // Settings says what the session lacks.
    delegate.showSettings();
    WebKitWebView* settings = delegate.settingsWindow()->page().view();
    const auto notes = [&] {
        return test::evaluate(settings, "(() => { const s = document.getElementById('session');"
                                        " return s && !s.hidden ? s.innerText : ''; })()")
            .get<std::string>();
    };
    // sway has no global-shortcuts portal: the hot keys are said to be unavailable, with the recipe.
    EXPECT_TRUE(pumpUntil([&] { return notes().find("bind \"ulvo --explain\"") != std::string::npos; }, 30s))
        << notes();

    g_application_quit(G_APPLICATION(application));
    delegate.shutDown();
}

} // namespace
} // namespace ulvo
