#pragma once

#include "model/StopFlag.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ulvo {

struct HttpRequest {
    std::string method = "GET";
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // Idle time-out: the exchange fails when nothing moves for this long.
    std::chrono::milliseconds timeout{50'000};
    // Once raised, the exchange is abandoned within about a second.
    StopFlag stop;
    // Each piece of the body as it arrives, on the sending thread, before the whole response returns.
    std::function<void(std::string_view)> onData;
};

struct HttpResponse {
    long status = 0;
    std::string body;
};

// One blocking HTTP exchange at a time. Throws TransportError; returns nothing when the
// transport produced neither an error nor a response.
class HttpTransport {
public:
    virtual ~HttpTransport() = default;
    virtual std::optional<HttpResponse> send(const HttpRequest& request) = 0;
};

} // namespace ulvo
