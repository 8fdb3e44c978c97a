#pragma once

#include "base/HttpTransport.h"
#include "settings/ModelProvider.h"

#include <nlohmann/json.hpp>

#include <string>

namespace ulvo {

struct ModelListRequest {
    ModelProvider provider = ModelProvider::custom;
    std::string baseURL;
    std::string key;
};

// The provider's own model list for Settings: GET {base}/models with the key. {"ok": true, "models":
// [ids, sorted]} or {"ok": false, "error": the failure in the provider's words}. Blocking; never throws
// but std::bad_alloc.
nlohmann::json providerModels(HttpTransport& transport, const ModelListRequest& request);

} // namespace ulvo
