// Which session the program believes it runs in, from the environment's two variables.
#include "platform/linux/Session.h"

#include <gtest/gtest.h>

namespace ulvo {
namespace {

TEST(SessionTest, WaylandDisplayFirstThenTheSessionTypeElseX11) {
    EXPECT_EQ(detectSession({"wayland-1", nullptr}), SessionKind::wayland);
    EXPECT_EQ(detectSession({"wayland-1", "x11"}), SessionKind::wayland);
    EXPECT_EQ(detectSession({nullptr, "wayland"}), SessionKind::wayland);
    EXPECT_EQ(detectSession({"", "x11"}), SessionKind::x11);
    EXPECT_EQ(detectSession({nullptr, "tty"}), SessionKind::x11);
    EXPECT_EQ(detectSession({nullptr, nullptr}), SessionKind::x11);
}

} // namespace
} // namespace ulvo
