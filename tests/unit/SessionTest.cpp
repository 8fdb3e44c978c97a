// Which session the program believes it runs in, from the environment's two variables; where sway says
// the focused window is.
#include "platform/linux/Session.h"
#include "platform/linux/FileDescriptor.h"
#include "platform/linux/wayland/KWinActiveWindow.h"
#include "platform/linux/wayland/SwayIpc.h"
#include "tests/support/Files.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <thread>

namespace ulvo {
namespace {

using namespace std::chrono_literals;

TEST(SessionTest, WaylandDisplayFirstThenTheSessionTypeElseX11) {
    EXPECT_EQ(detectSession({"wayland-1", "x11"}), SessionKind::wayland);
    EXPECT_EQ(detectSession({nullptr, "wayland"}), SessionKind::wayland);
    EXPECT_EQ(detectSession({"", "x11"}), SessionKind::x11);
    EXPECT_EQ(detectSession({nullptr, nullptr}), SessionKind::x11);
}

nlohmann::json window(long pid, bool focused, int x, int y) {
    return {{"type", "con"},
            {"pid", pid},
            {"focused", focused},
            {"rect", {{"x", x}, {"y", y}, {"width", 400}, {"height", 300}}},
            {"window_rect", {{"x", 2}, {"y", 24}, {"width", 396}, {"height", 274}}},
            {"nodes", nlohmann::json::array()}};
}

nlohmann::json tree(nlohmann::json tiled, nlohmann::json floating) {
    nlohmann::json workspace = {{"type", "workspace"},
                                {"focused", false},
                                {"nodes", std::move(tiled)},
                                {"floating_nodes", std::move(floating)}};
    nlohmann::json output = {{"type", "output"}, {"nodes", {workspace}}};
    return {{"type", "root"}, {"focused", false}, {"nodes", {output}}};
}

TEST(SwayIpcTest, TheFocusedWindowsContentWhereverItIsNestedAndNothingElse) {
    // Tiled and floating, the window's content: its container's place plus the content's offset.
    std::optional<wayland::FocusedWindow> found =
        wayland::focusedWindowInTree(tree({window(10, false, 0, 0), window(11, true, 400, 0)}, {}));
    ASSERT_TRUE(found);
    EXPECT_EQ(found->pid, 11);
    EXPECT_EQ(found->content, (Rect{402, 24, 396, 274}));
    found = wayland::focusedWindowInTree(tree({window(10, false, 0, 0)}, {window(12, true, 50, 60)}));
    ASSERT_TRUE(found);
    EXPECT_EQ(found->content, (Rect{52, 84, 396, 274}));

    // An empty workspace holding the focus, or a focused node without its rectangles: no place.
    nlohmann::json empty = tree({}, {});
    empty["nodes"][0]["nodes"][0]["focused"] = true;
    EXPECT_FALSE(wayland::focusedWindowInTree(empty));
    nlohmann::json broken = tree({window(13, true, 0, 0)}, {});
    broken["nodes"][0]["nodes"][0]["nodes"][0].erase("window_rect");
    EXPECT_FALSE(wayland::focusedWindowInTree(broken));
    EXPECT_FALSE(wayland::focusedWindowInTree(nlohmann::json::array()));
}

TEST(KWinActiveWindowTest, AReportIsAWindowOnlyWhenWhole) {
    const std::optional<wayland::FocusedWindow> window =
        wayland::kwinReport(R"({"pid":41,"x":640.5,"y":420,"width":640,"height":240})");
    ASSERT_TRUE(window);
    EXPECT_EQ(window->pid, 41);
    EXPECT_EQ(window->content, (Rect{640.5, 420, 640, 240}));
    for (const char* report : {R"({"pid":0,"x":0,"y":0,"width":0,"height":0})", // no active window
                               R"({"pid":41,"x":0})", "not json"}) {
        EXPECT_FALSE(wayland::kwinReport(report)) << report;
    }
}

// A peer on a scratch socket that answers one question with these bytes, or never takes the call.
class SwayPeer {
public:
    explicit SwayPeer(std::optional<std::string> reply) {
        listener_.adopt(::socket(AF_UNIX, SOCK_STREAM, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path().c_str(), sizeof(address.sun_path) - 1);
        EXPECT_EQ(::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        EXPECT_EQ(::listen(listener_.get(), 1), 0);
        if (reply) {
            thread_ = std::thread([this, message = wayland::swayMessage(4, *reply)] {
                const FileDescriptor client(::accept(listener_.get(), nullptr, nullptr));
                static_cast<void>(::send(client.get(), message.data(), message.size(), MSG_NOSIGNAL));
            });
        }
    }
    ~SwayPeer() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    SwayPeer(const SwayPeer&) = delete;
    SwayPeer& operator=(const SwayPeer&) = delete;
    std::filesystem::path path() const { return folder_ / "sway.sock"; }

private:
    test::ScratchFolder folder_;
    FileDescriptor listener_;
    std::thread thread_;
};

TEST(SwayIpcTest, GivesUpOnASilentPeerWithinItsLimitAndOnAnUnreadableOne) {
    const SwayPeer silent(std::nullopt);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(wayland::SwayIpc(silent.path()).focusedWindow());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 900ms) << "a stalled compositor held the caller";
    EXPECT_FALSE(wayland::SwayIpc(SwayPeer(std::string("not json")).path()).focusedWindow());
    EXPECT_FALSE(wayland::SwayIpc("/nonexistent/ulvo-sway.sock").focusedWindow());
}

} // namespace
} // namespace ulvo
