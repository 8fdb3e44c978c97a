#pragma once

#include "base/Lifetime.h"
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ulvo {

// One target of the clipboard as its owner delivered it: the target's name, the data's type and
// format (8, 16 or 32 bits per unit) and the bytes.
struct ClipboardEntry {
    std::string target;
    std::string type;
    int format = 8;
    std::vector<unsigned char> data;
    bool operator==(const ClipboardEntry&) const = default;
};
// Everything the clipboard held, in the owner's target order; empty for an empty clipboard.
using ClipboardSnapshot = std::vector<ClipboardEntry>;

// The system clipboard. Reads are asynchronous because the owner is another process; every completion
// runs once, on the main thread.
class ClipboardPort {
public:
    virtual ~ClipboardPort() = default;
    // Every target the owner offers with its data; targets whose data cannot be read are left out.
    virtual void snapshot(std::function<void(ClipboardSnapshot)> completion) = 0;
    // Grows whenever another owner or new content is seen; this program's own restores do not count.
    virtual std::uint64_t changeCount() = 0;
    // The clipboard's plain text; absent when it has none.
    virtual void readText(std::function<void(std::optional<std::string>)> completion) = 0;
    // Owns the clipboard again with exactly these targets and bytes; an empty snapshot leaves it empty.
    virtual void restore(ClipboardSnapshot snapshot) = 0;
};

// The synthetic copy keystroke to the focused application.
class CopyKeystroke {
public:
    virtual ~CopyKeystroke() = default;
    // Whether the keystroke would reach a terminal, where Control+C interrupts the running program.
    virtual bool targetIsTerminal() = 0;
    // Control+C down and up; false when the keystroke could not be sent.
    virtual bool sendCopy() = 0;
};

// Runs a task on the main thread after a delay.
using DelayedCall = std::function<void(std::chrono::milliseconds delay, std::function<void()> task)>;

// Reads a selection by copying it: snapshot the clipboard, send Control+C, look once 0.12 s later,
// hand over the copied text and put the snapshot back. The last resort of the explicit roads: a
// terminal never gets the keystroke, and the copy then yields "" without touching the clipboard.
//
// Overlapping copies would snapshot and restore each other's copy, losing the user's clipboard and
// returning stale text, so there is one pending copy at a time: a call made while a copy is pending
// takes no snapshot and sends no keystroke; it receives the pending copy's result.
class ClipboardCopier {
public:
    static constexpr std::chrono::milliseconds lookDelay{120};

    ClipboardCopier(ClipboardPort& clipboard, CopyKeystroke& keystroke, DelayedCall later);
    ~ClipboardCopier();
    ClipboardCopier(const ClipboardCopier&) = delete;
    ClipboardCopier& operator=(const ClipboardCopier&) = delete;

    // Returns at once; the completion runs once on the main thread with the trimmed copied text or "".
    void copySelectionViaClipboard(std::function<void(std::string)> completion);
    bool pending() const { return pending_ != nullptr; }

private:
    struct Pending;
    void snapshotTaken(ClipboardSnapshot snapshot);
    void look();
    void finish(const std::string& text);

    ClipboardPort& clipboard_;
    CopyKeystroke& keystroke_;
    DelayedCall later_;
    std::unique_ptr<Pending> pending_;
    Lifetime<ClipboardCopier> lifetime_{this};
};

} // namespace ulvo
