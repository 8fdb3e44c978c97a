// The program in a GNOME session (scripts/private-session --gnome: a headless mutter, which offers
// neither data-control nor layer surfaces): "ulvo --explain" opens the card as an ordinary window,
// which takes the keyboard focus and only then reads the primary selection, the one time the
// compositor hands it over, from an application whose text accessibility does not expose.
#include <gtest/gtest.h>

#include "app/AppDelegate.h"
#include "platform/linux/glib/GObjectPtr.h"
#include "tests/integration/DesktopTestSupport.h"
#include "tests/integration/Subprocess.h"
#include "tests/support/LoopbackServer.h"

#include <gdk/gdkwayland.h>
#include <gtk-layer-shell/gtk-layer-shell.h>
#include <gtk/gtk.h>

namespace ulvo {
namespace {

using namespace std::chrono_literals;
using test::pumpFor;
using test::pumpUntil;

// A headless mutter's only keyboard: a remote-desktop session, alive while its creator's connection is.
class RemoteKeyboard {
public:
    RemoteKeyboard() {
        if (const glib::GVariantPtr created =
                call("/org/gnome/Mutter/RemoteDesktop", "org.gnome.Mutter.RemoteDesktop", "CreateSession",
                     nullptr)) {
            const char* path = nullptr;
            g_variant_get(created.get(), "(&o)", &path);
            session_ = path;
            started_ = call(session_, sessionInterface, "Start", nullptr) != nullptr;
        }
    }
    ~RemoteKeyboard() {
        if (started_) {
            call(session_, sessionInterface, "Stop", nullptr);
        }
    }
    RemoteKeyboard(const RemoteKeyboard&) = delete;
    RemoteKeyboard& operator=(const RemoteKeyboard&) = delete;

    bool started() const { return started_; }
    bool type(unsigned keysym) {
        return call(session_, sessionInterface, "NotifyKeyboardKeysym",
                    g_variant_new("(ub)", keysym, TRUE)) &&
               call(session_, sessionInterface, "NotifyKeyboardKeysym", g_variant_new("(ub)", keysym, FALSE));
    }

private:
    static constexpr const char* sessionInterface = "org.gnome.Mutter.RemoteDesktop.Session";
    glib::GVariantPtr call(const std::string& path, const char* interface, const char* method,
                           GVariant* parameters) {
        GError* error = nullptr;
        glib::GVariantPtr result(g_dbus_connection_call_sync(
            bus_.get(), "org.gnome.Mutter.RemoteDesktop", path.c_str(), interface, method, parameters,
            nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error));
        if (!result) {
            ADD_FAILURE() << method << ": " << glib::GErrorPtr(error)->message;
        }
        return result;
    }
    glib::GObjectPtr<GDBusConnection> bus_{g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr)};
    std::string session_;
    bool started_ = false;
};

TEST(GnomeSessionTest, ExplainOpensAnOrdinaryCardThatReadsThePrimarySelectionOnceFocused) {
    ASSERT_TRUE(GDK_IS_WAYLAND_DISPLAY(gdk_display_get_default()))
        << "run inside scripts/private-session --gnome";
    test::LoopbackServer server([](const test::RecordedRequest&) {
        return test::CannedReply{200, test::chatReply("A loopback explanation on GNOME.")};
    });
    test::useLoopbackProvider(server.baseURL());
    RemoteKeyboard keyboard;
    ASSERT_TRUE(keyboard.started());

    GtkApplication* application =
        gtk_application_new(AppDelegate::applicationId, G_APPLICATION_HANDLES_COMMAND_LINE);
    AppDelegate delegate(std::filesystem::path(ULVO_TEST_SHARE_DIR));
    delegate.attach(application);
    ASSERT_TRUE(g_application_register(G_APPLICATION(application), nullptr, nullptr));
    pumpFor(1000ms);

    // The application selects while handling a key, as a compositor wants; the first key after the
    // keyboard appears can go before the window has the focus.
    test::Background app({"/usr/bin/env", "NO_AT_BRIDGE=1", "/usr/bin/python3", ULVO_TEXT_APP, "--kind",
                          "textview", "--text", "Guard cells swell with water", "--select", "0", "11",
                          "--select-on-key"});
    ASSERT_EQ(app.readLine(15s).rfind("ready", 0), 0U) << "the text application did not start";
    bool selected = false;
    for (int attempt = 0; attempt < 5 && !selected; ++attempt) {
        ASSERT_TRUE(keyboard.type(0x78)); // x
        selected = app.readLine(1s) == "selected";
    }
    ASSERT_TRUE(selected) << "the application never had the keyboard";

    // What a GNOME custom shortcut runs.
    test::Background launcher({ULVO_LAUNCHER, "--explain"});
    ASSERT_TRUE(pumpUntil([&] { return delegate.panel()->isVisible(); }, 10s)) << "no card";
    EXPECT_FALSE(gtk_layer_is_layer_window(delegate.panel()->window())) << "mutter has no layer surfaces";
    WebKitWebView* view = delegate.panel()->page().view();
    ASSERT_TRUE(test::pageShows(view, "A loopback explanation on GNOME.")) << test::pageText(view);
    ASSERT_FALSE(server.requests().empty());
    EXPECT_NE(server.requests().back().body.find("\"Guard cells\""), std::string::npos)
        << server.requests().back().body;

    g_application_quit(G_APPLICATION(application));
    delegate.shutDown();
}

} // namespace
} // namespace ulvo
