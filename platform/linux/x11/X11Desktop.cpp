#include "platform/linux/x11/X11Desktop.h"

#include "platform/linux/gtk/ScreenGeometry.h"
#include "platform/linux/x11/GlobalInput.h"
#include "platform/linux/x11/PrimarySelection.h"
#include "platform/linux/x11/XConnection.h"

#include <X11/keysym.h>
#include <unistd.h>

namespace ulvo::x11 {

X11Desktop::X11Desktop(Card card)
    : DesktopCapture(std::move(card), SessionKind::x11, ScreenshotTool::maim) {
    primary_ = std::make_unique<GtkPrimarySelection>([this] { monitor_.primarySelectionChanged(); });
}

void X11Desktop::registerHotKey() {
    const Result<void> explain = hotKeys_->registerHotKey({explainHotKeyId, XK_e, hotKeys_->masks().alt});
    hotKey_ = explain.ok();
    if (!explain) {
        unavailable("the hot key Alt+E", explain.failure().message);
    }
    const Result<void> capture =
        hotKeys_->registerHotKey({captureHotKeyId, XK_e, hotKeys_->masks().alt | hotKeys_->masks().shift});
    hotKeyOCR_ = capture.ok();
    if (!capture) {
        unavailable("the hot key Alt+Shift+E", capture.failure().message);
    }
}

unsigned long X11Desktop::activeProgramPid() {
    return connection_->activeWindowPid();
}

bool X11Desktop::frontmostIsSelf() {
    return connection_->display() != nullptr &&
           connection_->activeWindowPid() == static_cast<unsigned long>(getpid());
}

std::optional<Point> X11Desktop::pointer() {
    return gtk::ScreenGeometry(gdk_display_get_default()).pointer();
}

} // namespace ulvo::x11
