// The first card after an idle spell: with the web views released, Alt+E in a GTK application until the
// provider has the request, until the card's page shows the selection, and until it shows the answer.
// Runs inside scripts/private-session (a display, the keyring, a scratch HOME).
#include "app/AppDelegate.h"
#include "bench/DesktopBenchSupport.h"
#include "tests/integration/DesktopTestSupport.h"
#include "tests/integration/Subprocess.h"
#include "tests/support/LoopbackServer.h"

#include <algorithm>
#include <sstream>
#include <vector>

namespace {

using namespace std::chrono_literals;
using ulvo::bench::BenchClock;

double millisecondsSince(BenchClock::time_point start) {
    return std::chrono::duration<double, std::milli>(BenchClock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    const bool quick = ulvo::bench::startDesktopBench(argc, argv);
    ulvo::test::LoopbackServer server([](const ulvo::test::RecordedRequest&) {
        return ulvo::test::CannedReply{200, ulvo::test::chatReply("A loopback explanation of the words.")};
    });
    ulvo::test::useLoopbackProvider(server.baseURL());

    GtkApplication* application =
        gtk_application_new("com.zvk.ULVO.FirstCardBench", G_APPLICATION_NON_UNIQUE);
    ulvo::AppDelegate delegate(std::filesystem::path(ULVO_BENCH_SHARE_DIR), 1s);
    delegate.attach(application);
    if (!g_application_register(G_APPLICATION(application), nullptr, nullptr)) {
        std::fprintf(stderr, "the application did not start\n");
        return 1;
    }
    ulvo::test::Background app({"/usr/bin/python3", ULVO_TEXT_APP, "--kind", "textview", "--text",
                                "Photosynthesis turns light into sugar", "--select", "0", "14"});
    if (app.readLine(15s).rfind("ready", 0) != 0) {
        std::fprintf(stderr, "the text application did not start\n");
        return 1;
    }

    const auto pageHas = [&](const std::string& text) {
        return delegate.panel()->hasPage() &&
               ulvo::test::evaluate(delegate.panel()->page().view(), "document.body.innerText")
                       .get<std::string>()
                       .find(text) != std::string::npos;
    };
    std::vector<double> toRequest;
    std::vector<double> toSelection;
    std::vector<double> toAnswer;
    for (int run = 0; run < (quick ? 2 : 7); ++run) {
        delegate.hidePanel();
        if (!ulvo::bench::pumpUntil([&] { return !delegate.holdsWebViews(); }, 10s)) {
            std::fprintf(stderr, "the web views were not released\n");
            return 1;
        }
        ulvo::bench::pumpUntil([] { return false; }, 1500ms); // WebKit's processes end
        const std::size_t asked = server.requests().size();
        const auto start = BenchClock::now();
        ulvo::test::xdotool({"key", "alt+e"});
        bool shown = false;
        bool requested = false;
        const bool answered = ulvo::bench::pumpUntil(
            [&] {
                if (!requested && server.requests().size() > asked) {
                    requested = true;
                    toRequest.push_back(millisecondsSince(start));
                }
                if (!shown && pageHas("Photosynthesis")) {
                    shown = true;
                    toSelection.push_back(millisecondsSince(start));
                }
                return shown && pageHas("A loopback explanation of the words.");
            },
            20s);
        if (!answered) {
            std::fprintf(stderr, "no answer in the card\n");
            return 1;
        }
        toAnswer.push_back(millisecondsSince(start));
    }
    // Each run starts where a long idle spell leaves the program: no web view and no web process (the
    // first may find the page made already, when the explain tag showed for the selection at start).
    std::printf("first_card_after_idle_to_request_p50: %.0f ms\n", median(toRequest));
    std::printf("first_card_after_idle_to_request_max: %.0f ms\n",
                *std::max_element(toRequest.begin(), toRequest.end()));
    std::printf("first_card_after_idle_to_selection_shown_p50: %.0f ms\n", median(toSelection));
    std::printf("first_card_after_idle_to_answer_shown_p50: %.0f ms\n", median(toAnswer));
    delegate.shutDown();
    return 0;
}
