#include "capture/HotKeys.h"

#include <algorithm>

namespace ulvo {

namespace {

// Shift, Lock, Control and Mod1..Mod5: the key state without pointer buttons.
constexpr unsigned keyModifierBits = 0xFFU;

} // namespace

HotKeyAction hotKeyAction(std::uint32_t id) {
    return id == captureHotKeyId ? HotKeyAction::capture : HotKeyAction::explain;
}

const std::vector<DesktopShortcut>& desktopShortcuts() {
    static const std::vector<DesktopShortcut> shortcuts{
        {"explain", "Explain the selected text", "ALT+e", HotKeyAction::explain},
        {"capture", "Explain text in a screen region", "ALT+SHIFT+e", HotKeyAction::capture},
    };
    return shortcuts;
}

std::vector<DesktopShortcut> shortcutsToBind(const std::vector<std::string>& heldIds) {
    std::vector<DesktopShortcut> missing;
    for (const DesktopShortcut& shortcut : desktopShortcuts()) {
        if (std::find(heldIds.begin(), heldIds.end(), shortcut.id) == heldIds.end()) {
            missing.push_back(shortcut);
        }
    }
    return missing;
}

std::optional<HotKeyAction> desktopShortcutAction(std::string_view id) {
    for (const DesktopShortcut& shortcut : desktopShortcuts()) {
        if (shortcut.id == id) {
            return shortcut.action;
        }
    }
    return std::nullopt;
}

std::vector<unsigned> grabModifierVariants(unsigned modifiers, const ModifierMasks& masks) {
    std::vector<unsigned> variants;
    for (const unsigned extra : {0U, masks.capsLock, masks.numLock, masks.capsLock | masks.numLock}) {
        const unsigned variant = modifiers | extra;
        if (std::find(variants.begin(), variants.end(), variant) == variants.end()) {
            variants.push_back(variant);
        }
    }
    return variants;
}

std::optional<std::uint32_t> matchHotKey(const std::vector<HotKeyBinding>& bindings, KeyPress press,
                                         const ModifierMasks& masks) {
    const unsigned clean = press.state & keyModifierBits & ~(masks.capsLock | masks.numLock);
    for (const HotKeyBinding& binding : bindings) {
        if (binding.keycode == press.keycode && binding.modifiers == clean) {
            return binding.id;
        }
    }
    return std::nullopt;
}

} // namespace ulvo
