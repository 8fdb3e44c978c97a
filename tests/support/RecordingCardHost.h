#pragma once

#include "card/CardBridge.h"

#include <string>
#include <vector>

namespace ulvo::test {

// The card's desktop side, recording what the bridge asks of it.
class RecordingCardHost : public CardHost {
public:
    void evaluateScript(const std::string& script) override { scripts.push_back(script); }
    void hidePanel() override { ++hides; }
    void copyText(const std::string& text) override { copies.push_back(text); }
    void captureSelectionAndShow() override { ++captures; }
    bool accessibilityTrusted() override { return trusted; }
    const std::string& pendingSelection() const override { return selection; }

    std::vector<std::string> scripts;
    std::vector<std::string> copies;
    int hides = 0;
    int captures = 0;
    bool trusted = false;
    std::string selection;
};

} // namespace ulvo::test
