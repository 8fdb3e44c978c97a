// ulvo-runtime-host: the native-messaging host the browser extension talks to. Browsers start it with
// the extension's origin as argument; stdin and stdout carry framed JSON and nothing else.
#include "answer/ModelService.h"
#include "base/InstallLayout.h"
#include "browser-host/Availability.h"
#include "browser-host/RuntimeHost.h"
#include "platform/linux/FileDescriptor.h"
#include "platform/linux/KeyFilePreferenceStore.h"
#include "platform/linux/LibsecretStore.h"
#include "platform/linux/SystemAnswerService.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

namespace {

// From the resolved executable: the manifests name a link in the runtime directory, and /proc/self/exe
// resolves it to bin/.
std::optional<std::filesystem::path> runtimeRoot() {
    const std::optional<ulvo::InstallLayout> layout = ulvo::InstallLayout::ofRunningProgram();
    if (!layout) {
        return std::nullopt;
    }
    const std::filesystem::path root = layout->runtime();
    std::error_code error;
    if (!std::filesystem::is_directory(root, error)) {
        return std::nullopt;
    }
    return root;
}

// Takes the browser's pipes away from descriptors 0 and 1, so no library or child can write into the
// framed channel; 0 and 1 become /dev/null.
bool takeBrowserPipes(int& input, int& output) {
    input = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
    output = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (input < 0 || output < 0) {
        return false;
    }
    const ulvo::FileDescriptor null(::open("/dev/null", O_RDWR | O_CLOEXEC));
    return null.get() >= 0 && ::dup2(null.get(), STDIN_FILENO) >= 0 && ::dup2(null.get(), STDOUT_FILENO) >= 0;
}

} // namespace

int main() {
    // A browser that went away must not kill the host in the middle of a write.
    std::signal(SIGPIPE, SIG_IGN);
    int inputFd = -1;
    int outputFd = -1;
    const bool piped = takeBrowserPipes(inputFd, outputFd);
    const ulvo::FileDescriptor input(inputFd);
    const ulvo::FileDescriptor output(outputFd);
    if (!piped) {
        return EXIT_FAILURE;
    }

    const std::optional<std::filesystem::path> root = runtimeRoot();
    auto preferences =
        std::make_shared<ulvo::KeyFilePreferenceStore>(ulvo::KeyFilePreferenceStore::defaultPath());
    auto secrets = std::make_shared<ulvo::LibsecretStore>();
    ulvo::ModelService service(ulvo::systemAnswerServiceDependencies(root, preferences, secrets));

    ulvo::host::RuntimeHost host(service,
                                 [&] { return ulvo::host::checkAvailability(*preferences, *secrets, root); },
                                 {input.get(), output.get()});
    if (host.run()) {
        // Answers still running have no reader left; waiting for them (up to a cloud time-out) would
        // only keep a dead connection's process alive.
        std::_Exit(EXIT_SUCCESS);
    }
    return EXIT_SUCCESS;
}
