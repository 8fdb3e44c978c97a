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
