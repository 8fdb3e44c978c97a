#include "server/FoundationClient.h"

#include "server/RuntimeConfig.h"

#include <new>
#include <nlohmann/json.hpp>

namespace ulvo {

FoundationRuntimeClient::FoundationRuntimeClient(Options options)
    : options_(std::move(options)) {}

std::vector<std::string> FoundationRuntimeClient::explainArguments(const std::string& text, Level level,
                                                                   const std::string& language) {
    return {"explain", "--level", std::to_string(level), "--language", language, "--", text};
}

std::optional<std::string> FoundationRuntimeClient::replyAnswer(const std::string& output) {
    const nlohmann::json reply = nlohmann::json::parse(output, nullptr, false);
    if (reply.is_discarded() || !reply.is_object()) {
        return std::nullopt;
    }
    const auto ok = reply.find("ok");
    if (ok == reply.end() || !ok->is_boolean() || !ok->get<bool>()) {
        return std::nullopt;
    }
    const auto text = reply.find("text");
    if (text == reply.end() || !text->is_string()) {
        return std::nullopt;
    }
    return text->get<std::string>();
}

std::optional<std::string> FoundationRuntimeClient::foundationAnswer(const std::string& text, Level level) {
    try {
        if (!options_.runtimeRoot || !options_.launcher) {
            return std::nullopt;
        }
        const std::filesystem::path& root = *options_.runtimeRoot;
        const Result<RuntimeConfig> config = RuntimeConfig::load(root);
        if (!config || !config->appleFoundationRuntime) {
            return std::nullopt;
        }
        const std::filesystem::path tool = root / *config->appleFoundationRuntime;
        if (!options_.launcher->isExecutableFile(tool)) {
            return std::nullopt;
        }
        const std::string language =
            options_.responseLanguage ? options_.responseLanguage() : std::string("en");
        LaunchRequest request;
        request.executable = tool;
        request.arguments = explainArguments(text, level, language);
        request.stop = options_.stop;
        // The launcher drains the reply while the tool runs and discards its error output.
        const Result<ProcessOutput> output = options_.launcher->run(request, options_.timeLimit);
        if (!output || output->exitStatus != 0) {
            return std::nullopt;
        }
        return replyAnswer(output->standardOutput);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (...) {
        return std::nullopt; // unreadable configuration and the like: no answer, no reason
    }
}

} // namespace ulvo
