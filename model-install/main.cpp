// ulvo-install-model: puts a GGUF chat model where the built-in runtime finds it, the user's own
// models folder ($XDG_DATA_HOME/ulvo/models). With no SOURCE, the catalogue's default model is
// downloaded; SOURCE is a local file or an http(s) address. Downloads resume (Ctrl+C, then run again).
#include "base/InstallLayout.h"
#include "download/ModelCatalogue.h"
#include "download/ModelDownload.h"
#include "platform/linux/CurlTransport.h"
#include "server/ModelFiles.h"
#include "server/RuntimeConfig.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::shared_ptr<std::atomic<bool>> interrupted = std::make_shared<std::atomic<bool>>(false);

void onInterrupt(int) {
    interrupted->store(true);
}

constexpr const char* usage =
    "usage: ulvo-install-model [--runtime DIR] [--sha256 HEX] [SOURCE]\n"
    "  SOURCE: a GGUF file or an http(s) address; without it, the catalogue's default model.\n";

fs::path defaultRuntime() {
    const std::optional<ulvo::InstallLayout> layout = ulvo::InstallLayout::ofRunningProgram();
    return layout ? layout->runtime() : fs::path();
}

std::string megabytes(std::int64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
}

// One updating line on a terminal, a line every few seconds otherwise.
class ProgressLine {
public:
    void operator()(const ulvo::DownloadProgress& progress) {
        const auto now = Clock::now();
        if (!first_) {
            first_ = {now, progress.done};
        }
        if (now - last_ < (tty_ ? std::chrono::milliseconds(200) : std::chrono::seconds(5)) &&
            progress.done != progress.total) {
            return;
        }
        last_ = now;
        const double seconds = std::chrono::duration<double>(now - first_->first).count();
        const double speed = seconds > 0 ? static_cast<double>(progress.done - first_->second) / seconds : 0;
        std::string line = megabytes(progress.done);
        if (progress.total > 0) {
            char percent[64];
            std::snprintf(percent, sizeof percent, "%.1f%% of ",
                          100.0 * static_cast<double>(progress.done) / static_cast<double>(progress.total));
            line = percent + megabytes(progress.total) + " (" + line + ")";
        }
        line += ", " + megabytes(static_cast<std::int64_t>(speed)) + "/s";
        if (progress.total > 0 && speed > 0) {
            line += ", " +
                    std::to_string(
                        static_cast<long>(static_cast<double>(progress.total - progress.done) / speed)) +
                    " s left";
        }
        std::cerr << (tty_ ? "\r" : "") << line << (tty_ ? "   " : "\n") << std::flush;
    }
    void end() const {
        if (tty_ && first_) {
            std::cerr << "\n";
        }
    }

private:
    bool tty_ = isatty(STDERR_FILENO) != 0;
    Clock::time_point last_{};
    std::optional<std::pair<Clock::time_point, std::int64_t>> first_;
};

bool isHex64(std::string& text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

} // namespace

int main(int argc, char** argv) {
    std::optional<fs::path> runtime;
    std::optional<std::string> sha256;
    std::optional<std::string> source;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--runtime" && i + 1 < argc) {
            runtime = fs::path(argv[++i]);
        } else if (argument == "--sha256" && i + 1 < argc) {
            sha256 = argv[++i];
        } else if (argument == "-h" || argument == "--help") {
            std::cout << usage;
            return 0;
        } else if (source || (!argument.empty() && argument[0] == '-')) {
            std::cerr << usage; // an unknown option, or a second source
            return 2;
        } else {
            source = argument;
        }
    }
    if (sha256 && !isHex64(*sha256)) {
        std::cerr << "ulvo-install-model: --sha256 wants 64 hexadecimal digits.\n";
        return 2;
    }
    const fs::path root = runtime.value_or(defaultRuntime());
    const ulvo::Result<ulvo::RuntimeConfig> config = ulvo::RuntimeConfig::load(root);
    if (!config) {
        std::cerr
            << "ulvo-install-model: " << root.string()
            << " is not a ULVO runtime directory (no readable runtime-config.json); use --runtime DIR.\n";
        return 1;
    }
    const fs::path destination = ulvo::downloadDestination(*config);
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    // A copy or download that failed, or was stopped by Ctrl+C.
    const auto failed = [](const ulvo::Failure& failure) {
        if (interrupted->load()) {
            std::cerr << "ulvo-install-model: interrupted; run it again to resume.\n";
            return 130;
        }
        std::cerr << "ulvo-install-model: " << failure.message << "\n";
        return 1;
    };
    if (source && source->rfind("http://", 0) != 0 && source->rfind("https://", 0) != 0) {
        std::error_code error;
        if (!fs::is_regular_file(*source, error)) {
            std::cerr << "ulvo-install-model: " << *source << " does not exist or is not a file.\n";
            return 1;
        }
        if (sha256) {
            const ulvo::Result<std::string> actual = ulvo::sha256OfFile(*source);
            if (!actual) {
                return failed(actual.failure());
            }
            if (*actual != *sha256) {
                std::cerr
                    << "ulvo-install-model: the file did not match its checksum; nothing was installed.\n";
                return 1;
            }
        }
        if (const ulvo::Result<void> copied = ulvo::installModelFile(*source, destination); !copied) {
            return failed(copied.failure());
        }
    } else {
        ulvo::DownloadRequest request;
        request.destination = destination;
        request.sha256 = sha256;
        request.stop = interrupted;
        if (source) {
            request.url = *source;
        } else {
            const ulvo::Result<ulvo::ModelCatalogue> catalogue = ulvo::ModelCatalogue::load(root);
            if (!catalogue) {
                std::cerr << "ulvo-install-model: " << catalogue.failure().message << "\n";
                return 1;
            }
            const ulvo::CatalogueModel* model = catalogue->byFile(destination.filename().string());
            const ulvo::CatalogueModel& chosen = model != nullptr ? *model : catalogue->defaultModel();
            request.url = chosen.url;
            request.expectedBytes = chosen.bytes;
            if (!sha256) {
                request.sha256 = chosen.sha256;
            }
            std::cerr << "Downloading " << chosen.name << " (" << megabytes(chosen.bytes) << ")\n";
        }
        ProgressLine progress;
        request.progress = [&progress](const ulvo::DownloadProgress& now) { progress(now); };
        ulvo::CurlTransport transport;
        const ulvo::Result<void> downloaded = ulvo::downloadModel(transport, request);
        progress.end();
        if (!downloaded) {
            return failed(downloaded.failure());
        }
    }
    std::cout << destination.string() << "\n";
    return 0;
}
