// Card page latency: from the native call to the page showing the text, for setSelection and for
// receiveResult, timed by a requestAnimationFrame callback in the page that posts back. Needs a display
// (run inside scripts/private-session).
#include "bench/BenchSupport.h"
#include "card/CardBridge.h"
#include "platform/linux/gtk/CardPanel.h"
#include "platform/linux/gtk/MainThread.h"
#include "platform/linux/gtk/WebEnvironment.h"

#include <chrono>
#include <iomanip>
#include <iostream>

namespace {

using Clock = std::chrono::steady_clock;

bool pumpUntil(const std::function<bool()>& done, std::chrono::seconds limit = std::chrono::seconds(20)) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > deadline) {
            return false;
        }
        g_main_context_iteration(nullptr, TRUE);
    }
    return true;
}

class Host : public ulvo::CardHost {
public:
    explicit Host(ulvo::gtk::CardPanel*& panel)
        : panel_(panel) {}
    void evaluateScript(const std::string& script) override { panel_->page().evaluate(script); }
    void hidePanel() override {}
    void copyText(const std::string&) override {}
    void captureSelectionAndShow() override {}
    bool accessibilityTrusted() override { return true; }
    const std::string& pendingSelection() const override { return selection; }
    std::string selection;

private:
    ulvo::gtk::CardPanel*& panel_;
};

// The call, then a frame callback that reports what the page shows.
std::string timedCall(const std::string& call, const char* shownElement) {
    return call +
           ";requestAnimationFrame(() => window.webkit.messageHandlers.ulvo.postMessage({action: "
           "'bench-painted', length: document.getElementById('" +
           shownElement + "').textContent.length}))";
}

} // namespace

int main(int argc, char** argv) {
    ulvo::gtk::chooseWebProcessEnvironment(ulvo::currentSession());
    gtk_init(&argc, &argv);
    const std::unique_ptr<ulvo::gtk::WebEngine> engine = ulvo::gtk::loadWebEngine().value();
    ulvo::gtk::CardPanel* panelPointer = nullptr;
    Host host(panelPointer);
    int loads = 0;
    std::optional<Clock::time_point> painted;
    double paintedLength = -1;
    std::unique_ptr<ulvo::CardBridge> bridge;

    ulvo::gtk::CardPanel::Callbacks callbacks;
    callbacks.page.loadFinished = [&] { ++loads; };
    callbacks.page.message = [&](const nlohmann::json& body) {
        if (body.is_object() && body.value("action", "") == "bench-painted") {
            painted = Clock::now();
            paintedLength = body.value("length", -1.0);
        }
    };
    ulvo::gtk::CardPanel panel(nullptr, *engine, callbacks);
    panelPointer = &panel;
    bridge = std::make_unique<ulvo::CardBridge>(host, ulvo::CardAnswers{[](auto&&...) {}, {}, {}},
                                                ulvo::gtk::postToMainThread);
    panel.page().load(std::filesystem::path(ULVO_BENCH_WEB_DIR) / "index.html");
    panel.present();
    if (!pumpUntil([&] { return loads > 0; })) {
        std::cerr << "the card page did not load\n";
        return 1;
    }

    const std::string text = "Photosynthesis turns light, water and carbon dioxide into sugar and oxygen. ";
    std::string selection;
    for (int i = 0; i < 6; ++i) {
        selection += text;
    }
    const std::string answer =
        "Plants catch sunlight in their leaves and use it to make food from air and water.";
    constexpr int warmup = 20;
    constexpr int rounds = 300;
    std::vector<double> selectionMs;
    std::vector<double> resultMs;
    for (int round = 0; round < warmup + rounds; ++round) {
        const std::string shown = selection + std::to_string(round);
        painted.reset();
        auto start = Clock::now();
        panel.page().evaluate(
            timedCall(ulvo::cardCallScript("setSelection", {{"text", shown}}), "selection-text"));
        if (!pumpUntil([&] { return painted.has_value(); }) ||
            paintedLength != static_cast<double>(shown.size())) {
            std::cerr << "setSelection was not shown\n";
            return 1;
        }
        const double selectionTime = std::chrono::duration<double, std::milli>(*painted - start).count();

        const std::string reply = answer + std::to_string(round);
        painted.reset();
        start = Clock::now();
        panel.page().evaluate(timedCall(
            ulvo::cardCallScript("receiveResult", {{"text", reply}, {"followup", false}}), "answer"));
        if (!pumpUntil([&] { return painted.has_value(); }) ||
            paintedLength != static_cast<double>(reply.size())) {
            std::cerr << "receiveResult was not shown\n";
            return 1;
        }
        const double resultTime = std::chrono::duration<double, std::milli>(*painted - start).count();
        if (round >= warmup) {
            selectionMs.push_back(selectionTime);
            resultMs.push_back(resultTime);
        }
    }

    std::cout << "machine: " << ulvo::bench::machineDescription() << "\n"
              << std::fixed << std::setprecision(2);
    std::cout << "card_set_selection_to_frame_p50: " << ulvo::bench::quantile(selectionMs, 0.5) << " ms\n";
    std::cout << "card_set_selection_to_frame_p95: " << ulvo::bench::quantile(selectionMs, 0.95) << " ms\n";
    std::cout << "card_receive_result_to_frame_p50: " << ulvo::bench::quantile(resultMs, 0.5) << " ms\n";
    std::cout << "card_receive_result_to_frame_p95: " << ulvo::bench::quantile(resultMs, 0.95) << " ms\n";
    std::cout << "card_rounds: " << rounds << " rounds\n";
    return 0;
}
