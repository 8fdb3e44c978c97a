// Test tool: writes the native-messaging manifests into a home directory, exactly as the application's
// start-up does. Usage: install_native_hosts RUNTIME_DIR HOME_DIR
#include "browser/NativeMessagingInstaller.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        return 2;
    }
    ulvo::NativeMessagingInstaller::install(std::filesystem::path(argv[1]), std::filesystem::path(argv[2]));
    return 0;
}
