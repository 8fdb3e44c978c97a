// ulvo-foundation-runtime: answers one request (availability, explain or ocr) with one JSON line on
// standard output, and always exits with status 0.
#include "base/InstallLayout.h"
#include "base/Text.h"
#include "platform/linux/TextRecognition.h"
#include "runtime-tool/LlamaModel.h"
#include "runtime-tool/Protocol.h"

#include <unicode/locid.h>

#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

namespace {

std::filesystem::path runtimeDirectory() {
    const std::optional<ulvo::InstallLayout> layout = ulvo::InstallLayout::ofRunningProgram();
    return layout ? layout->runtime() : std::filesystem::path();
}

// Libraries may print diagnostics of their own; the caller reads standard output only.
void silenceStandardError() {
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, STDERR_FILENO);
        ::close(null);
    }
}

} // namespace

int main(int argc, char** argv) {
    silenceStandardError();
    std::string line;
    try {
        std::vector<std::string> arguments;
        for (int i = 1; i < argc; ++i) {
            arguments.push_back(
                ulvo::repairedUtf8(argv[i])); // NOLINT(cppcoreguidelines-pro-bounds-pointer-arithmetic)
        }
        const std::filesystem::path runtime = runtimeDirectory();
        const ulvo::ULVOFoundationRuntime::Services services{
            .loadModel = [&runtime]() -> std::unique_ptr<ulvo::ExplanationModel> {
                return ulvo::LlamaModel::load(runtime);
            },
            .recognizeText =
                [](const std::string& path) {
                    // ICU's default locale follows the user's locale settings.
                    return ulvo::recognizeText(path, icu::Locale::getDefault().getLanguage());
                },
        };
        line = ulvo::ULVOFoundationRuntime::write(ulvo::ULVOFoundationRuntime::run(arguments, services));
    } catch (...) {
        // Still exactly one line: the same one as for a reply that cannot be encoded.
        line = "{\"ok\":false,\"error\":\"Could not encode response.\"}\n";
    }
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
    return 0;
}
