#include "server/RuntimeConfig.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <system_error>

namespace ulvo {

Result<RuntimeConfig> RuntimeConfig::decode(const std::string& json) try {
    const nlohmann::json object = nlohmann::json::parse(json);
    RuntimeConfig config;
    // at() and get<>() throw on a missing key or a wrong type: there are no defaults.
    config.llamaServer = object.at("llamaServer").get<std::string>();
    config.model = object.at("model").get<std::string>();
    config.modelAlias = object.at("modelAlias").get<std::string>();
    const nlohmann::json& contextSize = object.at("contextSize");
    if (!contextSize.is_number_integer()) {
        throw nlohmann::json::type_error::create(302, "contextSize must be an integer", &contextSize);
    }
    config.contextSize = contextSize.get<std::int64_t>();
    if (const auto tool = object.find("appleFoundationRuntime"); tool != object.end() && !tool->is_null()) {
        config.appleFoundationRuntime = tool->get<std::string>();
    }
    return config;
} catch (const nlohmann::json::exception& error) {
    return Failure{error.what()};
}

Result<RuntimeConfig> RuntimeConfig::load(const std::filesystem::path& runtimeRoot) {
    const std::filesystem::path path = runtimeRoot / fileName;
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        const int code = errno;
        return Failure{"Cannot read " + path.string() + ": " + std::generic_category().message(code), code};
    }
    std::ostringstream contents;
    contents << file.rdbuf();
    return decode(contents.str());
}

} // namespace ulvo
