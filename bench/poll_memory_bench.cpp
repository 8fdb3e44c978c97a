// A day of the selection poll: the work the program does five times a second while it waits (the
// accessibility check, the active window, the focused text's selection through AT-SPI from a GTK
// application holding one), run back to back as many times as a day holds, with this process's memory
// read along the way. Runs inside scripts/private-session; --quick runs a tenth of a day.
#include "bench/DesktopBenchSupport.h"
#include "capture/SelectionMonitor.h"
#include "capture/SelectionReader.h"
#include "platform/linux/x11/AtspiReader.h"
#include "platform/linux/x11/XConnection.h"
#include "tests/integration/Subprocess.h"
#include "tests/support/ProcessMemory.h"

#include <cstdio>
#include <string>

namespace {

using namespace std::chrono_literals;

constexpr long pollsPerDay = 24L * 3600 * 1000 / ulvo::SelectionMonitor::pollInterval.count();

} // namespace

int main(int argc, char** argv) {
    const bool quick = ulvo::bench::startDesktopBench(argc, argv);
    const long polls = quick ? pollsPerDay / 10 : pollsPerDay;
    ulvo::test::Background app({"/usr/bin/python3", ULVO_TEXT_APP, "--kind", "textview", "--text",
                                "Photosynthesis turns light into sugar", "--select", "0", "14"});
    if (app.readLine(15s).rfind("ready", 0) != 0) {
        std::fprintf(stderr, "the text application did not start\n");
        return 1;
    }
    ulvo::x11::XConnection connection;
    ulvo::x11::AtspiFocusedText reader([&] { return connection.activeWindowPid(); });
    if (!ulvo::x11::accessibilityEnabled() || !reader.available()) {
        std::fprintf(stderr, "the accessibility bus does not answer\n");
        return 1;
    }

    // Whatever the first polls allocate for good (caches, the bus's proxies) is not growth.
    const long warmUp = polls / 20;
    long startKilobytes = 0;
    long halfKilobytes = 0;
    long misses = 0;
    const auto start = ulvo::bench::BenchClock::now();
    for (long poll = 0; poll < polls; ++poll) {
        if (poll == warmUp) {
            startKilobytes = ulvo::test::residentKilobytes();
        }
        if (poll == polls / 2) {
            halfKilobytes = ulvo::test::residentKilobytes();
        }
        static_cast<void>(ulvo::x11::accessibilityEnabled());
        static_cast<void>(connection.activeWindow());
        if (ulvo::globalSelection(reader).text != "Photosynthesis") {
            ++misses;
        }
        while (g_main_context_iteration(nullptr, FALSE) != FALSE) {
        }
    }
    const double seconds = std::chrono::duration<double>(ulvo::bench::BenchClock::now() - start).count();
    const long endKilobytes = ulvo::test::residentKilobytes();
    const double measuredPolls = static_cast<double>(polls - warmUp);

    std::printf("poll_count: %ld polls\n", polls);
    std::printf("poll_time: %.2f ms per poll\n", 1000.0 * seconds / static_cast<double>(polls));
    std::printf("poll_selection_misses: %ld polls\n", misses);
    std::printf("poll_resident_after_warm_up: %.1f MB\n", static_cast<double>(startKilobytes) / 1024.0);
    std::printf("poll_resident_growth: %.1f kB over %.0f polls\n",
                static_cast<double>(endKilobytes - startKilobytes), measuredPolls);
    // Growth that settles (the allocator reaching its working size) shows mostly in the first half.
    std::printf("poll_resident_growth_second_half: %.1f kB\n",
                static_cast<double>(endKilobytes - halfKilobytes));
    std::printf("poll_resident_growth_per_day: %.1f kB\n",
                static_cast<double>(endKilobytes - startKilobytes) * static_cast<double>(pollsPerDay) /
                    measuredPolls);
    return 0;
}
