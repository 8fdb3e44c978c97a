#pragma once

#include "platform/linux/x11/DesktopCapture.h"

namespace ulvo::x11 {

// The X11 session's desktop: root-window hot key grabs, the pointer and the active window from the X
// server, XInput 2 mouse watching and the XTest copy.
class X11Desktop final : public DesktopCapture {
public:
    explicit X11Desktop(Card card);
    ~X11Desktop() override = default;
    X11Desktop(const X11Desktop&) = delete;
    X11Desktop& operator=(const X11Desktop&) = delete;

    void registerHotKey() override;
    // The pointer says where the card belongs.
    std::optional<Point> selectionCorner() override { return std::nullopt; }

private:
    unsigned long activeProgramPid() override;
    bool tagCanShow() const override { return true; }
    bool frontmostIsSelf() override;
    std::optional<Point> pointer() override;
};

} // namespace ulvo::x11
