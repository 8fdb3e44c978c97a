#include "platform/linux/wayland/KWinActiveWindow.h"

#include <nlohmann/json.hpp>
#include <unistd.h>

#include <fstream>

namespace ulvo::wayland {

namespace {

constexpr const char* objectPath = "/com/zvk/ULVO/ActiveWindow";
constexpr const char* interfaceName = "com.zvk.ULVO.ActiveWindow";
constexpr const char* introspection = R"(<node>
  <interface name="com.zvk.ULVO.ActiveWindow">
    <method name="Report"><arg type="s" name="window" direction="in"/></method>
  </interface>
</node>)";
// KWin answers at once; a stalled one must not hold the start for long.
constexpr int callLimitMilliseconds = 500;

struct NodeInfoUnref {
    void operator()(GDBusNodeInfo* node) const { g_dbus_node_info_unref(node); }
};

// For KWin 5.27 (activeClient, clientActivated) and 6 (activeWindow, windowActivated). The place is
// the window's buffer: what a toolkit's accessibility measures from. The report is JSON text, so no
// number type of the script's D-Bus bridge has to match a signature.
std::string scriptFor(const std::string& destination) {
    return "const destination = '" + destination + "';\n" + R"(
function active() { return workspace.activeWindow !== undefined ? workspace.activeWindow : workspace.activeClient; }
function report() {
    const w = active();
    let place = { pid: 0, x: 0, y: 0, width: 0, height: 0 };
    if (w) {
        const g = w.bufferGeometry;
        place = { pid: w.pid, x: g.x, y: g.y, width: g.width, height: g.height };
    }
    callDBus(destination, '/com/zvk/ULVO/ActiveWindow', 'com.zvk.ULVO.ActiveWindow', 'Report', JSON.stringify(place));
}
function watch(w) {
    if (w && w.frameGeometryChanged) {
        w.frameGeometryChanged.connect(function () { if (w === active()) { report(); } });
    }
}
(workspace.windowList ? workspace.windowList() : workspace.clientList()).forEach(watch);
(workspace.windowAdded || workspace.clientAdded).connect(watch);
(workspace.windowActivated || workspace.clientActivated).connect(report);
report();
)";
}

glib::GVariantPtr callKWin(GDBusConnection* bus, const char* path, const char* interface, const char* method,
                           GVariant* parameters, std::string* error) {
    GError* raw = nullptr;
    glib::GVariantPtr reply(g_dbus_connection_call_sync(bus, "org.kde.KWin", path, interface, method,
                                                        parameters, nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START,
                                                        callLimitMilliseconds, nullptr, &raw));
    const glib::GErrorPtr failure(raw);
    if (failure && error != nullptr) {
        *error = failure->message;
    }
    return reply;
}

} // namespace

std::optional<FocusedWindow> kwinReport(const std::string& json) {
    const nlohmann::json report = nlohmann::json::parse(json, nullptr, false);
    if (!report.is_object()) {
        return std::nullopt;
    }
    try {
        FocusedWindow window;
        window.pid = report.at("pid").get<long>();
        window.content = Rect{report.at("x").get<double>(), report.at("y").get<double>(),
                              report.at("width").get<double>(), report.at("height").get<double>()};
        if (window.pid <= 0 || window.content.width <= 0 || window.content.height <= 0) {
            return std::nullopt;
        }
        return window;
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

Result<std::unique_ptr<KWinActiveWindow>> KWinActiveWindow::start() {
    std::unique_ptr<KWinActiveWindow> source(new KWinActiveWindow());
    if (Result<void> loaded = source->load(); !loaded) {
        return loaded.failure();
    }
    return source;
}

Result<void> KWinActiveWindow::load() {
    GError* raw = nullptr;
    bus_.reset(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &raw));
    const glib::GErrorPtr busFailure(raw);
    if (!bus_) {
        return Failure{"the session bus cannot be reached"};
    }
    std::string error;
    const glib::GVariantPtr owner(g_dbus_connection_call_sync(
        bus_.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetNameOwner",
        g_variant_new("(s)", "org.kde.KWin"), G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE,
        callLimitMilliseconds, nullptr, nullptr));
    if (!owner) {
        return Failure{"KWin is not on the session bus"};
    }
    const char* name = nullptr;
    g_variant_get(owner.get(), "(&s)", &name);
    kwin_ = name;

    // The object the script reports to, on this program's own connection.
    const std::unique_ptr<GDBusNodeInfo, NodeInfoUnref> node(
        g_dbus_node_info_new_for_xml(introspection, nullptr));
    static const GDBusInterfaceVTable vtable{&KWinActiveWindow::called, nullptr, nullptr, {}};
    registration_ = g_dbus_connection_register_object(
        bus_.get(), objectPath, g_dbus_node_info_lookup_interface(node.get(), interfaceName), &vtable, this,
        nullptr, nullptr);
    if (registration_ == 0) {
        return Failure{"the report object cannot be registered on the session bus"};
    }

    // The script names this connection as its destination; the file stays while KWin holds the script.
    const std::string self = g_dbus_connection_get_unique_name(bus_.get());
    const std::string pid = std::to_string(::getpid());
    // One name in the session: a script left by an earlier run that ended without unloading it goes first.
    plugin_ = "ulvo-active-window";
    static_cast<void>(callKWin(bus_.get(), "/Scripting", "org.kde.kwin.Scripting", "unloadScript",
                               g_variant_new("(s)", plugin_.c_str()), nullptr));
    script_ = std::filesystem::path(g_get_user_runtime_dir()) / ("ulvo-active-window-" + pid + ".js");
    {
        std::ofstream file(script_, std::ios::trunc);
        file << scriptFor(self);
        if (!file.flush()) {
            return Failure{"the KWin script cannot be written to " + script_.string()};
        }
    }
    const glib::GVariantPtr loaded(callKWin(bus_.get(), "/Scripting", "org.kde.kwin.Scripting", "loadScript",
                                            g_variant_new("(ss)", script_.c_str(), plugin_.c_str()), &error));
    gint32 id = -1;
    if (loaded && g_variant_is_of_type(loaded.get(), G_VARIANT_TYPE("(i)"))) {
        g_variant_get(loaded.get(), "(i)", &id);
    }
    if (id < 0) {
        return Failure{"KWin did not load the script" + (error.empty() ? std::string() : ": " + error)};
    }
    // KWin 6 names a script's object /Scripting/Script<id>; 5.27 names it /<id>.
    for (const std::string& path : {"/Scripting/Script" + std::to_string(id), "/" + std::to_string(id)}) {
        error.clear();
        if (callKWin(bus_.get(), path.c_str(), "org.kde.kwin.Script", "run", nullptr, &error)) {
            return {};
        }
    }
    return Failure{"KWin did not run the script: " + error};
}

KWinActiveWindow::~KWinActiveWindow() {
    if (!plugin_.empty() && bus_) {
        static_cast<void>(callKWin(bus_.get(), "/Scripting", "org.kde.kwin.Scripting", "unloadScript",
                                   g_variant_new("(s)", plugin_.c_str()), nullptr));
    }
    if (!script_.empty()) {
        std::error_code ignored;
        std::filesystem::remove(script_, ignored);
    }
    if (registration_ != 0) {
        g_dbus_connection_unregister_object(bus_.get(), registration_);
    }
}

void KWinActiveWindow::called(GDBusConnection*, const char* sender, const char*, const char*,
                              const char* method, GVariant* parameters, GDBusMethodInvocation* invocation,
                              void* data) {
    auto* self = static_cast<KWinActiveWindow*>(data);
    // Only KWin says where windows are: anyone else on the bus could only mislead the tag.
    if (sender != nullptr && self->kwin_ == sender && std::string(method) == "Report") {
        const char* report = nullptr;
        g_variant_get(parameters, "(&s)", &report);
        self->latest_ = kwinReport(report != nullptr ? report : "");
    }
    g_dbus_method_invocation_return_value(invocation, nullptr);
}

} // namespace ulvo::wayland
