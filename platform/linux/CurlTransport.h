#pragma once

#include "base/HttpTransport.h"

#include <curl/curl.h>

#include <memory>

namespace ulvo {

// HTTP over libcurl. One easy handle for the transport's life, so connections stay alive between
// requests; used from one thread at a time (the model queue).
class CurlTransport final : public HttpTransport {
public:
    CurlTransport();
    Result<HttpResponse> send(const HttpRequest& request) override;

private:
    struct HandleDeleter {
        void operator()(CURL* handle) const;
    };
    std::unique_ptr<CURL, HandleDeleter> handle_;
};

} // namespace ulvo
