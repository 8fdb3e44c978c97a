// ulvo: starts the desktop program, or hands an action to the one that runs. A desktop's key binding
// runs this at every press, so the hand-over links GIO alone: the program itself loads some two hundred
// libraries, which takes longer than a key press should wait.
#include "platform/linux/glib/GObjectPtr.h"

#include <gio/gio.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

// The running program's action for these arguments; absent when they are for the program itself.
std::optional<std::string> actionFor(int argc, char** argv) {
    if (argc == 1) {
        return "explain"; // a later plain start shows the card with the current selection
    }
    if (argc == 2) {
        const std::string_view option = argv[1];
        if (option == "--explain" || option == "--capture" || option == "--settings") {
            return std::string(option.substr(2));
        }
    }
    return std::nullopt;
}

// Asks the running program to run an action; false when none runs.
bool handOver(const std::string& action) {
    GError* error = nullptr;
    const ulvo::glib::GObjectPtr<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error));
    g_clear_error(&error);
    if (!bus) {
        return false;
    }
    // The compositor's permission to take the focus travels along, so the card can come to the front.
    GVariantBuilder platform;
    g_variant_builder_init(&platform, G_VARIANT_TYPE_VARDICT);
    for (const auto& [variable, key] : {std::pair{"XDG_ACTIVATION_TOKEN", "activation-token"},
                                        std::pair{"DESKTOP_STARTUP_ID", "desktop-startup-id"}}) {
        if (const char* value = std::getenv(variable)) {
            g_variant_builder_add(&platform, "{sv}", key, g_variant_new_string(value));
        }
    }
    const ulvo::glib::GVariantPtr reply(g_dbus_connection_call_sync(
        bus.get(), "com.zvk.ULVO", "/com/zvk/ULVO", "org.freedesktop.Application", "ActivateAction",
        g_variant_new("(s@ava{sv})", action.c_str(), g_variant_new_array(G_VARIANT_TYPE_VARIANT, nullptr, 0),
                      &platform),
        nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, 5000, nullptr, &error));
    g_clear_error(&error);
    return reply != nullptr;
}

} // namespace

int main(int argc, char** argv) {
    if (const std::optional<std::string> action = actionFor(argc, argv); action && handOver(*action)) {
        return 0;
    }
    // No program runs, or the arguments are its own to read (--help, a wrong option): it takes over
    // this process.
    std::error_code error;
    std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    program = error ? std::filesystem::path("/usr/bin/ulvo-app") : program.replace_filename("ulvo-app");
    std::vector<char*> arguments(argv, argv + argc);
    std::string name = program.string();
    arguments[0] = name.data();
    arguments.push_back(nullptr);
    execv(name.c_str(), arguments.data());
    std::fprintf(stderr, "ulvo: cannot start %s\n", program.c_str());
    return 127;
}
