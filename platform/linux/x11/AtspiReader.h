#pragma once

#include "base/Result.h"
#include "capture/SelectionReader.h"
#include "platform/linux/glib/GObjectPtr.h"

#include <atspi/atspi.h>

#include <functional>
#include <memory>

namespace ulvo::x11 {

// One accessible element's text through AT-SPI 2, with the children its hypertext embeds.
class AtspiElementText final : public AccessibleText {
public:
    explicit AtspiElementText(glib::GObjectPtr<AtspiAccessible> element);
    // Whether the element exposes text at all.
    bool hasText() const { return text_ != nullptr; }
    AtspiAccessible* element() const { return element_.get(); }

    std::optional<TextRange> selectedRange() override;
    std::optional<std::string> text(TextRange range) override;
    std::optional<Rect> rangeExtents(TextRange range) override;
    std::optional<int> characterCount() override;
    std::unique_ptr<AccessibleText> embeddedAt(int offset) override;
    bool isBlock() override;

private:
    glib::GObjectPtr<AtspiAccessible> element_;
    glib::GObjectPtr<AtspiText> text_;
};

// The focused element's text through AT-SPI 2. The element with the keyboard focus is followed through
// the accessibility bus's focus events; when none has been seen (focus given before this started), the
// active application's active window is searched for its focused element.
class AtspiFocusedText final : public FocusedText {
public:
    // How long one query waits for the focused application.
    static constexpr int queryTimeoutMilliseconds = 250;

    // activePid: the process behind the active window, for the search; 0 when unknown.
    explicit AtspiFocusedText(std::function<unsigned long()> activePid);
    ~AtspiFocusedText() override;
    AtspiFocusedText(const AtspiFocusedText&) = delete;
    AtspiFocusedText& operator=(const AtspiFocusedText&) = delete;

    // Whether the accessibility bus answered when this started.
    bool available() const { return available_; }

    bool focus() override;
    // Whether the focused element is a terminal (accessibility role "terminal").
    bool focusedIsTerminal();
    std::optional<TextRange> selectedRange() override { return current_->selectedRange(); }
    std::optional<std::string> text(TextRange range) override { return current_->text(range); }
    std::optional<Rect> rangeExtents(TextRange range) override { return current_->rangeExtents(range); }
    std::optional<int> characterCount() override { return current_->characterCount(); }
    std::unique_ptr<AccessibleText> embeddedAt(int offset) override { return current_->embeddedAt(offset); }
    bool isBlock() override { return current_->isBlock(); }

private:
    static void focusChanged(AtspiEvent* event, void* data);
    AtspiAccessible* searchFocused();
    // The element with the keyboard focus, or the last one while its application owns the active window.
    AtspiAccessible* focusedElement();

    std::function<unsigned long()> activePid_;
    bool available_ = false;
    glib::GObjectPtr<AtspiEventListener> listener_;
    glib::GObjectPtr<AtspiAccessible> tracked_;
    std::unique_ptr<AtspiElementText> current_; // the element focus() found, until the next focus()
};

// Whether selections can be read: the accessibility bus answers and toolkit accessibility is on.
bool accessibilityEnabled();

// Switches toolkit accessibility on (org.a11y.Status IsEnabled and the desktop setting) when it is off;
// true when this call switched it on. A failure, with the reason, when the bus cannot be reached.
Result<bool> requestAccessibility();
// Switches toolkit accessibility off again, after requestAccessibility switched it on.
void releaseAccessibility();

} // namespace ulvo::x11
