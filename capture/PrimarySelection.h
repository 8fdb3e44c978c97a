#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace ulvo {

// The desktop's own current selection (X11's PRIMARY): every toolkit sets it when the user selects, and
// another program reads it without touching the focused one, so reading it sends no keystroke.
class PrimarySelection {
public:
    virtual ~PrimarySelection() = default;
    // The server time (milliseconds, wrapping) at which the current owner took the selection, as the
    // last owner change announced it; absent until one was seen, and once nobody holds a selection. It
    // tells a fresh selection from an old one whatever order the announcement and the mouse events
    // arrive in.
    virtual std::optional<std::uint32_t> ownerTime() = 0;
    // Whether one of this program's own windows holds the selection.
    virtual bool ownedBySelf() = 0;
    // The selection's text; absent without an owner, without text, or when the owner does not answer in
    // time. The completion runs once, on the main thread.
    virtual void readText(std::function<void(std::optional<std::string>)> completion) = 0;
};

} // namespace ulvo
