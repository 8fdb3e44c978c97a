#include "platform/linux/x11/PrimarySelection.h"

#include "platform/linux/glib/GObjectPtr.h"
#include "platform/linux/x11/GtkClipboard.h"

namespace ulvo::x11 {

GtkPrimarySelection::GtkPrimarySelection(std::function<void()> changed)
    : primary_(gtk_clipboard_get(GDK_SELECTION_PRIMARY))
    , changed_(std::move(changed)) {
    ownerChange_ =
        glib::SignalConnection(primary_, glib::connect(primary_, "owner-change", &ownerChanged, this));
}

void GtkPrimarySelection::ownerChanged(GtkClipboard*, GdkEvent* event, gpointer data) {
    auto* self = static_cast<GtkPrimarySelection*>(data);
    if (event != nullptr && event->type == GDK_OWNER_CHANGE) {
        // Cleared, or its owner's window or program gone: nobody holds a selection.
        const bool held =
            event->owner_change.owner != nullptr && event->owner_change.reason == GDK_OWNER_CHANGE_NEW_OWNER;
        self->ownerTime_ =
            held ? std::optional<std::uint32_t>(event->owner_change.selection_time) : std::nullopt;
    }
    if (self->changed_) {
        self->changed_();
    }
}

bool GtkPrimarySelection::ownedBySelf() {
    return primaryOwnedBySelf();
}

bool primaryOwnedBySelf() {
    // GDK knows only the foreign windows it has heard of (an owner change names its owner), and those as
    // foreign; any other owner comes back as none.
    GdkDisplay* display = gdk_display_get_default();
    GdkWindow* owner =
        display != nullptr ? gdk_selection_owner_get_for_display(display, GDK_SELECTION_PRIMARY) : nullptr;
    return owner != nullptr && gdk_window_get_window_type(owner) != GDK_WINDOW_FOREIGN;
}

void GtkPrimarySelection::readText(std::function<void(std::optional<std::string>)> completion) {
    requestTextWithin(primary_, readLimitMilliseconds, std::move(completion));
}

} // namespace ulvo::x11
