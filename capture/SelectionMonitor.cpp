#include "capture/SelectionMonitor.h"

#include "base/Text.h"

#include <cmath>

namespace ulvo {

namespace {

constexpr double plainClickDistance = 4.0;
constexpr double oneLineHeight = 6.0;
// How far below a point on a line of text the line may reach: a tag placed by a point alone keeps clear.
constexpr double lineClearance = 18.0;

// Beside and below a point on a text line, never over the line itself.
Point belowLine(Point point) {
    return Point{point.x + 12, point.y - lineClearance - tagHeight};
}

std::string collapsedWhitespace(std::string_view text) {
    std::string collapsed;
    bool space = false;
    for (const char c : text) {
        if (c == ' ' || c == '\n' || c == '\t' || c == '\r') {
            space = !collapsed.empty();
            continue;
        }
        if (space) {
            collapsed += ' ';
            space = false;
        }
        collapsed += c;
    }
    return collapsed;
}

// The selection the user's own program holds wins where accessibility shows a part of it (a document
// exposes only the paragraph of a selection across several). Where accessibility shows more or other
// text, the held one is stale: some toolkits leave it as it was when the user selects all by key.
bool heldSelectionIsWhole(std::string_view held, std::string_view accessible) {
    return !held.empty() &&
           collapsedWhitespace(held).find(collapsedWhitespace(accessible)) != std::string::npos;
}

} // namespace

SelectionMonitor::SelectionMonitor(MonitorHost& host)
    : host_(host) {}

void SelectionMonitor::pollExternalSelection(Clock::time_point now) {
    const bool trusted = host_.accessibilityTrusted();
    if (!lastAccessibilityTrust_ || *lastAccessibilityTrust_ != trusted) {
        lastAccessibilityTrust_ = trusted;
        host_.setAccessibility(trusted);
    }
    // A mouse-selection tag stands for its window's selection: another window taking over hides it.
    if (tagFromMouseSelection_ && host_.activeWindow() != tagWindow_) {
        dismissMouseTag();
    }
    if (!trusted || host_.frontmostIsSelf() || tagFromMouseSelection_) {
        return;
    }
    const SelectionResult selection = host_.globalSelection();
    if (selection.text.empty()) {
        selectionCandidate_.clear();
        shownTagSelection_.clear();
        host_.hideTag();
        return;
    }
    if (selection.text != selectionCandidate_) {
        selectionCandidate_ = selection.text;
        selectionCandidateSince_ = now;
        host_.hideTag();
        return;
    }
    if (selection.text == shownTagSelection_) {
        return;
    }
    if (std::chrono::duration<double>(now - selectionCandidateSince_).count() >= selectionStableDelay) {
        // With no place to show it, the tag waits: the selection may yet get a rectangle.
        if (const std::optional<Point> origin = tagOrigin(selection.bounds)) {
            shownTagSelection_ = selection.text;
            host_.setPendingSelection(selection.text);
            host_.showTag(*origin);
            takeWholeSelectionForTag();
        }
    }
}

void SelectionMonitor::takeWholeSelectionForTag() {
    if (!host_.primaryHeldByActiveProgram()) {
        return;
    }
    readPrimary([watch = lifetime_.watch(), shown = shownTagSelection_](const std::string& held) {
        SelectionMonitor* self = watch.get();
        // Only while the tag still stands for the selection it was shown for.
        if (self != nullptr && heldSelectionIsWhole(held, shown) && self->shownTagSelection_ == shown) {
            self->host_.setPendingSelection(held);
        }
    });
}

void SelectionMonitor::mouseDown(const ButtonPress& press) {
    mouseDownLocation_ = press.location;
    // The second press of a double click selects the word, so freshness counts from the first press.
    if (press.clickCount <= 1 || !sequenceStart_) {
        sequenceStart_ = press.serverTime;
    }
    awaitingSelection_.reset();
    if (tagFromMouseSelection_) {
        dismissMouseTag();
    }
}

void SelectionMonitor::dismissMouseTag() {
    tagFromMouseSelection_ = false;
    shownTagSelection_.clear();
    host_.hideTag();
}

std::optional<Point> SelectionMonitor::tagOrigin(const std::optional<Rect>& bounds) {
    if (bounds) {
        if (const std::optional<Rect> screen = host_.mainScreenFrame()) {
            return Point{bounds->maxX() + 8, (screen->maxY() - bounds->maxY()) - 46};
        }
    }
    const std::optional<Point> pointer = host_.pointer();
    if (!pointer) {
        return std::nullopt;
    }
    return belowLine(*pointer);
}

void SelectionMonitor::handleGlobalMouseUp(int clickCount) {
    if (host_.frontmostIsSelf() || mouseTagBusy_) {
        return;
    }
    const std::optional<Point> released = host_.pointer();
    if (!released) {
        return;
    }
    const Point end = *released;
    const Point start = mouseDownLocation_.value_or(end);
    if (std::hypot(end.x - start.x, end.y - start.y) <= plainClickDistance && clickCount < 2) {
        return;
    }
    MouseSelection selection;
    if (std::abs(start.y - end.y) < oneLineHeight) {
        selection.anchor = end.x < start.x ? start : end;
    } else {
        selection.anchor = start.y < end.y ? start : end;
    }
    // The rectangle, where accessibility has one; the text always comes from the desktop's selection.
    if (host_.accessibilityTrusted()) {
        selection.bounds = host_.globalSelection().bounds;
    }
    selection.attempt = ++mouseUps_;
    awaitingSelection_ = selection;
    if (primaryIsFresh()) {
        readMouseSelection();
        return;
    }
    // Not taken yet, or its announcement is still on the way: a terminal takes the selection at the
    // release. Without a fresh owner in time, the drag selected nothing and the old selection stays.
    host_.runAfter(selectionChangeWait, [watch = lifetime_.watch(), attempt = selection.attempt] {
        SelectionMonitor* self = watch.get();
        if (self != nullptr && self->awaitingSelection_ && self->awaitingSelection_->attempt == attempt) {
            self->awaitingSelection_.reset();
        }
    });
}

void SelectionMonitor::primarySelectionChanged() {
    if (awaitingSelection_ && !mouseTagBusy_ && primaryIsFresh()) {
        readMouseSelection();
        return;
    }
    // The selection the tag stands for is gone.
    if (tagFromMouseSelection_ && !host_.primarySelection().ownerTime()) {
        dismissMouseTag();
    }
}

bool SelectionMonitor::primaryIsFresh() {
    const std::optional<std::uint32_t> owned = host_.primarySelection().ownerTime();
    // Unsigned subtraction read as signed keeps the order right across the server clock's wrap.
    return owned && sequenceStart_ && static_cast<std::int32_t>(*owned - *sequenceStart_) >= 0;
}

void SelectionMonitor::readMouseSelection() {
    const MouseSelection selection = *awaitingSelection_;
    awaitingSelection_.reset();
    mouseTagBusy_ = true;
    readPrimary([watch = lifetime_.watch(), selection](const std::string& text) {
        SelectionMonitor* self = watch.get();
        if (self == nullptr) {
            return;
        }
        self->mouseTagBusy_ = false;
        if (!text.empty()) {
            self->showMouseTag(selection, text);
        }
    });
}

void SelectionMonitor::showMouseTag(const MouseSelection& selection, const std::string& text) {
    shownTagSelection_ = text;
    host_.setPendingSelection(text);
    tagFromMouseSelection_ = true;
    tagWindow_ = host_.activeWindow();
    const std::optional<Rect>& bounds = selection.bounds;
    const std::optional<Point> beside =
        bounds && bounds->width > 1 && bounds->height > 1 ? tagOrigin(bounds) : std::nullopt;
    host_.showTag(beside.value_or(belowLine(selection.anchor)));
}

void SelectionMonitor::tagOpened() {
    host_.hideTag();
    tagFromMouseSelection_ = false;
}

void SelectionMonitor::cardShown() {
    host_.hideTag();
}

void SelectionMonitor::readPrimary(std::function<void(std::string)> completion) {
    PrimarySelection& primary = host_.primarySelection();
    // Text selected in the card itself is not a selection of another program.
    if (primary.ownedBySelf()) {
        completion({});
        return;
    }
    primary.readText(
        [watch = lifetime_.watch(), completion = std::move(completion)](std::optional<std::string> text) {
            if (watch.get() != nullptr) {
                completion(text ? trimmedWhitespaceAndNewlines(*text) : std::string());
            }
        });
}

void SelectionMonitor::readCurrentSelection(std::function<void(std::string)> completion) {
    SelectionResult selection = host_.globalSelection();
    if (selection.text.empty()) {
        readPrimary(std::move(completion));
        return;
    }
    if (!host_.primaryHeldByActiveProgram()) {
        completion(std::move(selection.text));
        return;
    }
    readPrimary(
        [accessible = std::move(selection.text), completion = std::move(completion)](std::string held) {
            completion(heldSelectionIsWhole(held, accessible) ? std::move(held) : accessible);
        });
}

void SelectionMonitor::captureSelectionAndShow(
    std::function<void(const std::string&)> showCardWithSelection) {
    readCurrentSelection(
        [watch = lifetime_.watch(), show = std::move(showCardWithSelection)](const std::string& text) {
            SelectionMonitor* self = watch.get();
            if (self == nullptr) {
                return;
            }
            if (!text.empty()) {
                show(text);
                return;
            }
            self->host_.copySelectionViaClipboard([watch, show](const std::string& copied) {
                if (watch.get() != nullptr) {
                    show(copied);
                }
            });
        });
}

ClickCounter::ClickCounter(DoubleClickSettings settings)
    : time_(settings.milliseconds)
    , distance_(settings.distance) {}

int ClickCounter::press(std::uint32_t timeMilliseconds, Point location) {
    // Unsigned subtraction keeps the interval right across the server clock's wrap.
    const bool continues = lastTime_ && timeMilliseconds - *lastTime_ <= time_ &&
                           std::abs(location.x - lastLocation_.x) <= distance_ &&
                           std::abs(location.y - lastLocation_.y) <= distance_;
    count_ = continues ? count_ + 1 : 1;
    lastTime_ = timeMilliseconds;
    lastLocation_ = location;
    return count_;
}

} // namespace ulvo
