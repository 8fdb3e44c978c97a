#include "capture/ClipboardCopy.h"

#include "base/Text.h"

#include <utility>

namespace ulvo {

struct ClipboardCopier::Pending {
    std::vector<std::function<void(std::string)>> completions;
    ClipboardSnapshot snapshot;
    std::uint64_t changeCountBefore = 0;
};

ClipboardCopier::ClipboardCopier(ClipboardPort& clipboard, CopyKeystroke& keystroke, DelayedCall later)
    : clipboard_(clipboard)
    , keystroke_(keystroke)
    , later_(std::move(later)) {}

ClipboardCopier::~ClipboardCopier() = default;

void ClipboardCopier::copySelectionViaClipboard(std::function<void(std::string)> completion) {
    if (pending_) {
        pending_->completions.push_back(std::move(completion));
        return;
    }
    if (keystroke_.targetIsTerminal()) {
        later_(std::chrono::milliseconds{0}, [completion = std::move(completion)] { completion({}); });
        return;
    }
    pending_ = std::make_unique<Pending>();
    pending_->completions.push_back(std::move(completion));
    clipboard_.snapshot([watch = lifetime_.watch()](ClipboardSnapshot snapshot) {
        if (ClipboardCopier* self = watch.get()) {
            self->snapshotTaken(std::move(snapshot));
        }
    });
}

void ClipboardCopier::snapshotTaken(ClipboardSnapshot snapshot) {
    pending_->snapshot = std::move(snapshot);
    pending_->changeCountBefore = clipboard_.changeCount();
    // The focus may have moved to a terminal while the snapshot was read.
    if (keystroke_.targetIsTerminal()) {
        finish({});
        return;
    }
    // A keystroke that could not be sent changes nothing; the look below then finds no change.
    keystroke_.sendCopy();
    later_(lookDelay, [watch = lifetime_.watch()] {
        if (ClipboardCopier* self = watch.get()) {
            self->look();
        }
    });
}

void ClipboardCopier::look() {
    if (clipboard_.changeCount() == pending_->changeCountBefore) {
        finish({});
        return;
    }
    clipboard_.readText([watch = lifetime_.watch()](std::optional<std::string> text) {
        if (ClipboardCopier* self = watch.get()) {
            ClipboardCopier& copier = *self;
            const std::string trimmed = text ? trimmedWhitespaceAndNewlines(*text) : std::string();
            copier.clipboard_.restore(std::move(copier.pending_->snapshot));
            copier.finish(trimmed);
        }
    });
}

void ClipboardCopier::finish(const std::string& text) {
    // Cleared before the completions run, so a completion may start the next copy.
    const std::unique_ptr<Pending> done = std::move(pending_);
    for (const auto& completion : done->completions) {
        completion(text);
    }
}

} // namespace ulvo
