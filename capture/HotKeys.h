#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ulvo {

// The two global hot keys: one signature, told apart by id.
inline constexpr std::uint32_t hotKeySignature =
    (std::uint32_t{'U'} << 24) | (std::uint32_t{'L'} << 16) | (std::uint32_t{'V'} << 8) | std::uint32_t{'O'};
inline constexpr std::uint32_t explainHotKeyId = 1;
inline constexpr std::uint32_t captureHotKeyId = 2;

enum class HotKeyAction { explain, capture };

// Id 2 captures; every other id (1, or 0 for an unreadable event) explains.
HotKeyAction hotKeyAction(std::uint32_t id);

// The hot keys as a desktop's shortcut service knows them (a Wayland session's portal): a stable id,
// a description the desktop shows, and the trigger asked for, in the shortcut portal's notation.
struct DesktopShortcut {
    std::string id;
    std::string description;
    std::string preferredTrigger;
    HotKeyAction action = HotKeyAction::explain;
};

const std::vector<DesktopShortcut>& desktopShortcuts();

// The program's shortcuts the desktop does not hold yet. Binding again what it holds would make some
// desktops ask the user again at every start.
std::vector<DesktopShortcut> shortcutsToBind(const std::vector<std::string>& heldIds);

// The action of a shortcut the desktop reports as activated; none for an id this program never bound.
std::optional<HotKeyAction> desktopShortcutAction(std::string_view id);

// X11 modifier masks as the server reports them.
struct ModifierMasks {
    unsigned shift = 1U << 0;
    unsigned capsLock = 1U << 1;
    unsigned alt = 1U << 3; // Mod1
    unsigned numLock = 0;   // found from the keyboard's modifier map; 0 when no key is Num Lock
};

// One registered hot key: a key code with exact modifiers.
struct HotKeyBinding {
    std::uint32_t id = 0;
    unsigned keycode = 0;
    unsigned modifiers = 0;
};

// The modifier sets a binding is grabbed with, so Num Lock and Caps Lock do not disable it.
std::vector<unsigned> grabModifierVariants(unsigned modifiers, const ModifierMasks& masks);

// A key press as the server reports it: the key and the modifier and button state.
struct KeyPress {
    unsigned keycode = 0;
    unsigned state = 0;
};

// The binding a key press stands for, ignoring Num Lock and Caps Lock and the mouse-button bits.
std::optional<std::uint32_t> matchHotKey(const std::vector<HotKeyBinding>& bindings, KeyPress press,
                                         const ModifierMasks& masks);

} // namespace ulvo
