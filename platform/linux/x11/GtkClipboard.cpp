#include "platform/linux/x11/GtkClipboard.h"

#include "platform/linux/glib/GObjectPtr.h"

#include <X11/XKBlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <array>
#include <memory>
#include <string_view>

namespace ulvo::x11 {

namespace {

// Requests about the selection itself, not data forms of its content.
constexpr std::array<std::string_view, 8> metaTargets = {"TARGETS",          "TIMESTAMP",      "MULTIPLE",
                                                         "SAVE_TARGETS",     "DELETE",         "INCR",
                                                         "INSERT_SELECTION", "INSERT_PROPERTY"};

std::string atomName(GdkAtom atom) {
    const glib::GCharPtr name(gdk_atom_name(atom));
    return name ? name.get() : "";
}

struct SnapshotJob {
    GtkClipboard* clipboard = nullptr;
    std::vector<GdkAtom> targets;
    std::size_t next = 0;
    ClipboardSnapshot result;
    std::function<void(ClipboardSnapshot)> completion;
    glib::SourceId limit;
    bool done = false;

    void finish() {
        if (done) {
            return;
        }
        done = true;
        limit.reset();
        auto completionNow = std::move(completion);
        completionNow(std::move(result));
    }
};
using JobRef = std::shared_ptr<SnapshotJob>;

void requestNext(const JobRef& job);

void contentArrived(GtkClipboard*, GtkSelectionData* data, gpointer raw) {
    const std::unique_ptr<JobRef> ref = glib::unbox<JobRef>(raw);
    const JobRef& job = *ref;
    if (job->done) {
        return;
    }
    const gint length = data != nullptr ? gtk_selection_data_get_length(data) : -1;
    if (length >= 0) {
        const guchar* bytes = gtk_selection_data_get_data(data);
        ClipboardEntry entry;
        entry.target = atomName(job->targets[job->next]);
        entry.type = atomName(gtk_selection_data_get_data_type(data));
        entry.format = gtk_selection_data_get_format(data);
        if (bytes != nullptr) {
            entry.data.assign(bytes, bytes + length);
        }
        job->result.push_back(std::move(entry));
    }
    ++job->next;
    requestNext(job);
}

void requestNext(const JobRef& job) {
    if (job->next >= job->targets.size()) {
        job->finish();
        return;
    }
    gtk_clipboard_request_contents(job->clipboard, job->targets[job->next], contentArrived, glib::box(job));
}

void targetsArrived(GtkClipboard*, GdkAtom* atoms, gint count, gpointer raw) {
    const std::unique_ptr<JobRef> ref = glib::unbox<JobRef>(raw);
    const JobRef& job = *ref;
    if (job->done) {
        return;
    }
    for (gint i = 0; atoms != nullptr && i < count; ++i) {
        const std::string name = atomName(atoms[i]);
        const bool meta = std::find(metaTargets.begin(), metaTargets.end(), name) != metaTargets.end();
        const bool seen = std::find(job->targets.begin(), job->targets.end(), atoms[i]) != job->targets.end();
        if (!meta && !seen) {
            job->targets.push_back(atoms[i]);
        }
    }
    requestNext(job);
}

struct TextJob {
    std::function<void(std::optional<std::string>)> completion;
    glib::SourceId limit;

    void finish(std::optional<std::string> text) {
        if (!completion) {
            return;
        }
        limit.reset();
        auto completionNow = std::move(completion);
        completion = nullptr;
        completionNow(std::move(text));
    }
};
using TextJobRef = std::shared_ptr<TextJob>;

} // namespace

void requestTextWithin(GtkClipboard* selection, unsigned limitMilliseconds,
                       std::function<void(std::optional<std::string>)> completion) {
    auto job = std::make_shared<TextJob>();
    job->completion = std::move(completion);
    // An owner that never answers would keep the request open for half a minute.
    job->limit.reset(g_timeout_add_full(
        G_PRIORITY_DEFAULT, limitMilliseconds,
        [](gpointer raw) -> gboolean {
            const TextJobRef& held = *static_cast<TextJobRef*>(raw);
            held->limit.forget();
            held->finish(std::nullopt);
            return G_SOURCE_REMOVE;
        },
        glib::box(job), glib::deleteBoxed<TextJobRef>));
    gtk_clipboard_request_text(
        selection,
        [](GtkClipboard*, const gchar* text, gpointer raw) {
            const std::unique_ptr<TextJobRef> held = glib::unbox<TextJobRef>(raw);
            (*held)->finish(text != nullptr ? std::optional<std::string>(text) : std::nullopt);
        },
        glib::box(job));
}

// What GTK serves for a restore. GTK hands it back when the clipboard is cleared, which can be after
// the port has gone (a selection-clear event still on its way), hence the weak reference.
struct GtkClipboardPort::Owned {
    Lifetime<GtkClipboardPort>::Watch port;
    std::uint64_t generation;
    ClipboardSnapshot snapshot;
};

GtkClipboardPort::GtkClipboardPort()
    : clipboard_(gtk_clipboard_get(gdk_atom_intern_static_string("CLIPBOARD"))) {
    // Connecting asks GDK for XFixes selection notifications, so every new owner is seen.
    ownerChanged_ =
        glib::SignalConnection(clipboard_, glib::connect(clipboard_, "owner-change", &ownerChanged, this));
}

GtkClipboardPort::~GtkClipboardPort() {
    ownerChanged_.end();
    if (owning_) {
        // The data stays served by GTK until another owner arrives; it must no longer call back here.
        ++generation_;
        gtk_clipboard_clear(clipboard_);
    }
}

void GtkClipboardPort::ownerChanged(GtkClipboard*, GdkEvent*, gpointer data) {
    auto* self = static_cast<GtkClipboardPort*>(data);
    if (!self->owning_) {
        ++self->changeCount_;
    }
}

void GtkClipboardPort::snapshot(std::function<void(ClipboardSnapshot)> completion) {
    auto job = std::make_shared<SnapshotJob>();
    job->clipboard = clipboard_;
    job->completion = std::move(completion);
    job->limit.reset(g_timeout_add_full(
        G_PRIORITY_DEFAULT, snapshotLimitMilliseconds,
        [](gpointer raw) -> gboolean {
            const JobRef& held = *static_cast<JobRef*>(raw);
            held->limit.forget();
            held->finish();
            return G_SOURCE_REMOVE;
        },
        glib::box(job), glib::deleteBoxed<JobRef>));
    gtk_clipboard_request_targets(clipboard_, targetsArrived, glib::box(job));
}

void GtkClipboardPort::readText(std::function<void(std::optional<std::string>)> completion) {
    requestTextWithin(clipboard_, snapshotLimitMilliseconds, std::move(completion));
}

void GtkClipboardPort::serve(GtkClipboard*, GtkSelectionData* data, guint info, gpointer raw) {
    const auto* owned = static_cast<Owned*>(raw);
    if (info >= owned->snapshot.size()) {
        return;
    }
    const ClipboardEntry& entry = owned->snapshot[info];
    const int unit = entry.format == 32 ? static_cast<int>(sizeof(long)) : entry.format / 8;
    gtk_selection_data_set(data, gdk_atom_intern(entry.type.c_str(), FALSE), entry.format, entry.data.data(),
                           static_cast<gint>(entry.data.size()) / std::max(unit, 1) * std::max(unit, 1));
}

void GtkClipboardPort::cleared(GtkClipboard*, gpointer raw) {
    const std::unique_ptr<Owned> owned(static_cast<Owned*>(raw));
    GtkClipboardPort* port = owned->port.get();
    if (port != nullptr && owned->generation == port->generation_) {
        port->owning_ = false;
    }
}

void GtkClipboardPort::restore(ClipboardSnapshot snapshot) {
    ++generation_;
    if (snapshot.empty()) {
        owning_ = false;
        // Nobody owns the clipboard afterwards, as it was.
        gdk_selection_owner_set_for_display(gdk_display_get_default(), nullptr,
                                            gdk_atom_intern_static_string("CLIPBOARD"), GDK_CURRENT_TIME,
                                            TRUE);
        return;
    }
    auto owned = std::make_unique<Owned>(Owned{lifetime_.watch(), generation_, std::move(snapshot)});
    std::vector<GtkTargetEntry> targets;
    targets.reserve(owned->snapshot.size());
    for (std::size_t i = 0; i < owned->snapshot.size(); ++i) {
        // GTK copies the names during the call.
        targets.push_back({owned->snapshot[i].target.data(), 0, static_cast<guint>(i)});
    }
    // Owning from here on: the owner change this causes is this program's own, not a copy.
    owning_ = true;
    if (gtk_clipboard_set_with_data(clipboard_, targets.data(), static_cast<guint>(targets.size()), serve,
                                    cleared, owned.get()) != FALSE) {
        static_cast<void>(owned.release()); // GTK hands it back to cleared()
        // A clipboard manager may keep the contents after this program ends.
        gtk_clipboard_set_can_store(clipboard_, nullptr, 0);
    } else {
        owning_ = false;
    }
}

XTestCopyKeystroke::XTestCopyKeystroke(XConnection& connection, std::function<void()> releaseKeyboard,
                                       std::function<bool()> isTerminal)
    : connection_(connection)
    , releaseKeyboard_(std::move(releaseKeyboard))
    , isTerminal_(std::move(isTerminal)) {
    int event = 0;
    int error = 0;
    int major = 0;
    int minor = 0;
    available_ = connection_.display() != nullptr &&
                 XTestQueryExtension(connection_.display(), &event, &error, &major, &minor) != False;
}

bool XTestCopyKeystroke::sendCopy() {
    if (!available_) {
        return false;
    }
    Display* display = connection_.display();
    if (releaseKeyboard_) {
        releaseKeyboard_();
    }
    const KeyCode control = XKeysymToKeycode(display, XK_Control_L);
    const KeyCode c = XKeysymToKeycode(display, XK_c);
    if (control == 0 || c == 0) {
        return false;
    }
    // Modifier keys held down now (Caps Lock's latched state is a lock, not a held key, and stays).
    std::array<char, 32> keys{};
    XQueryKeymap(display, keys.data());
    std::vector<KeyCode> held;
    if (const ModifierMapPtr map{XGetModifierMapping(display)}) {
        for (int modifier = 0; modifier < 8; ++modifier) {
            if (modifier == LockMapIndex) {
                continue;
            }
            for (int k = 0; k < map->max_keypermod; ++k) {
                const KeyCode code = map->modifiermap[modifier * map->max_keypermod + k];
                const bool down =
                    code != 0 && (static_cast<unsigned char>(keys[code / 8]) & (1U << (code % 8))) != 0;
                if (down && std::find(held.begin(), held.end(), code) == held.end()) {
                    held.push_back(code);
                }
            }
        }
    }
    for (const KeyCode code : held) {
        XTestFakeKeyEvent(display, code, False, CurrentTime);
    }
    XTestFakeKeyEvent(display, control, True, CurrentTime);
    XTestFakeKeyEvent(display, c, True, CurrentTime);
    XTestFakeKeyEvent(display, c, False, CurrentTime);
    XTestFakeKeyEvent(display, control, False, CurrentTime);
    for (auto it = held.rbegin(); it != held.rend(); ++it) {
        XTestFakeKeyEvent(display, *it, True, CurrentTime);
    }
    XFlush(display);
    return true;
}

} // namespace ulvo::x11
