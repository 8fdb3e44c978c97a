// The main of the tests that open windows: WebKit's environment as the program chooses it, GTK, then the
// tests.
#include "platform/linux/gtk/WebEnvironment.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

int main(int argc, char** argv) {
    ulvo::gtk::chooseWebProcessEnvironment(ulvo::currentSession());
    gtk_init(&argc, &argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
