#include "answer/ModelList.h"

#include "answer/ChatRequest.h"
#include "answer/ModelFailure.h"
#include "answer/ProviderError.h"
#include "base/Url.h"

#include <algorithm>
#include <new>

namespace ulvo {

namespace {

constexpr std::size_t maxModels = 1000;
constexpr std::chrono::milliseconds listTimeout{15'000};

std::vector<std::string> modelIds(const std::string& body) {
    const nlohmann::json reply = nlohmann::json::parse(body, nullptr, false);
    const nlohmann::json* list = nullptr;
    if (reply.is_object()) {
        for (const char* name : {"data", "models"}) {
            if (const auto found = reply.find(name); found != reply.end() && found->is_array()) {
                list = &*found;
                break;
            }
        }
    }
    if (list == nullptr) {
        throw ModelFailure("The provider sent a model list that cannot be read.");
    }
    std::vector<std::string> ids;
    for (const nlohmann::json& entry : *list) {
        if (ids.size() == maxModels) {
            break;
        }
        const nlohmann::json* id = entry.is_object() && entry.contains("id") ? &entry["id"] : &entry;
        if (id->is_string() && !id->get_ref<const std::string&>().empty()) {
            std::string name = id->get<std::string>();
            if (name.rfind("models/", 0) == 0) {
                name.erase(0, 7); // Gemini names its models as resources
            }
            ids.push_back(std::move(name));
        }
    }
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    return ids;
}

} // namespace

nlohmann::json providerModels(HttpTransport& transport, const ModelListRequest& wanted) {
    try {
        std::string base = wanted.baseURL;
        while (!base.empty() && base.back() == '/') {
            base.pop_back();
        }
        const std::string url = base + "/models";
        if (wanted.key.empty()) {
            throw ModelFailure("Enter the API key first.");
        }
        if (!isParsableUrl(url) || !isPrivateProviderAddress(url)) {
            throw ModelFailure(providerAddressMessage);
        }
        HttpRequest request;
        request.url = url;
        request.headers = {{"Authorization", "Bearer " + wanted.key}};
        request.timeout = listTimeout;
        request.overallLimit = listTimeout;
        const HttpResponse response = syncRequest(transport, request, "The provider did not respond.");
        if (response.status != 200) {
            const std::string name = wanted.provider == ModelProvider::custom
                                         ? std::string("The provider")
                                         : std::string(label(wanted.provider));
            throw ModelFailure(refusalMessage(readProviderError(response), name, ""));
        }
        return {{"ok", true}, {"models", modelIds(response.body)}};
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& error) {
        return {{"ok", false}, {"error", error.what()}};
    }
}

} // namespace ulvo
