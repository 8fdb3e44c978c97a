#pragma once

#include "base/Result.h"
#include "base/StopFlag.h"

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
    // Overall limit besides the idle one: keep-alive comments alone must not hold an exchange open.
    std::optional<std::chrono::milliseconds> overallLimit;
    // Asked after each piece of the body: once it holds, the body is whole and the exchange ends
    // successfully without waiting for the peer to close (a stream that ended but stays open).
    std::function<bool()> complete;
    // Once raised, the exchange is abandoned within about a second.
    StopFlag stop;
    // Each piece of the body as it arrives, on the sending thread, before the whole response returns.
    // Returning false abandons the exchange (a file that cannot be written, say).
    std::function<bool(std::string_view)> onData;
    // False: the body goes only to onData (a download larger than memory should hold).
    bool keepBody = true;
    // Asked once, with the final response's status and headers (no body yet), before its body: false
    // keeps that body from onData (an error page must not land in a file).
    std::function<bool(const struct HttpResponse& head)> acceptBody;
    // Redirects are followed (http and https only, a few at most) without the request's headers
    // reaching another host; off for every exchange that carries a key.
    bool followRedirects = false;
};

struct HttpResponse {
    long status = 0;
    std::string body;
    // Every response's headers along the way (redirects included), names in lower case.
    std::vector<std::pair<std::string, std::string>> headers;

    // The last value of a header, if any response had it.
    std::optional<std::string> header(std::string_view name) const {
        for (auto it = headers.rbegin(); it != headers.rend(); ++it) {
            if (it->first == name) {
                return it->second;
            }
        }
        return std::nullopt;
    }
};

// The failure codes of an exchange.
enum HttpFailureCode : int {
    httpExchangeFailed = 1, // the exchange broke: connection, time-out, abandoned; the message says which
    httpNoResponse = 2,     // the transport produced neither an error nor a response
    httpOverallLimit = 3,   // the exchange ran past its overall limit
};

// One blocking HTTP exchange at a time.
class HttpTransport {
public:
    virtual ~HttpTransport() = default;
    virtual Result<HttpResponse> send(const HttpRequest& request) = 0;
};

} // namespace ulvo
