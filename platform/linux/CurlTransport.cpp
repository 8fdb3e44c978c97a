#include "platform/linux/CurlTransport.h"

#include <algorithm>
#include <chrono>
#include <string>

namespace ulvo {

namespace {

struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, SlistDeleter>;

struct BodySink {
    std::string body;
    const HttpRequest* request = nullptr;
    std::vector<std::pair<std::string, std::string>> headers;
    CURL* curl = nullptr;
    std::optional<bool> accepted; // asked at the body's first piece
    bool whole = false;           // the caller found the body complete and ended the exchange
};

std::size_t appendBody(char* data, std::size_t size, std::size_t count, void* target) {
    auto* sink = static_cast<BodySink*>(target);
    if (isRaised(sink->request->stop)) {
        return 0; // abandoned: the connection closes now, not at the next progress look
    }
    if (sink->request->keepBody) {
        sink->body.append(data, size * count);
    }
    if (!sink->accepted) {
        long status = 0;
        curl_easy_getinfo(sink->curl, CURLINFO_RESPONSE_CODE, &status);
        sink->accepted =
            !sink->request->acceptBody || sink->request->acceptBody(HttpResponse{status, {}, sink->headers});
    }
    if (*sink->accepted && sink->request->onData &&
        !sink->request->onData(std::string_view(data, size * count))) {
        return 0;
    }
    if (*sink->accepted && sink->request->complete && sink->request->complete()) {
        sink->whole = true;
        return 0; // ends the transfer now, however long the peer keeps the connection
    }
    return size * count;
}

std::size_t appendHeader(char* data, std::size_t size, std::size_t count, void* target) {
    const std::string_view line(data, size * count);
    const std::size_t colon = line.find(':');
    if (colon != std::string_view::npos) {
        std::string name(line.substr(0, colon));
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return std::tolower(c); });
        std::string_view value = line.substr(colon + 1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
            value.remove_prefix(1);
        }
        while (!value.empty() && (value.back() == '\r' || value.back() == '\n' || value.back() == ' ')) {
            value.remove_suffix(1);
        }
        static_cast<BodySink*>(target)->headers.emplace_back(std::move(name), value);
    }
    return size * count;
}

// False when there is no memory for the line.
bool addHeader(HeaderList& list, const std::string& line) {
    curl_slist* extended = curl_slist_append(list.get(), line.c_str());
    if (extended == nullptr) {
        return false;
    }
    static_cast<void>(list.release());
    list.reset(extended);
    return true;
}

// Aborts the exchange once no byte has moved in either direction for the idle limit.
struct IdleWatch {
    std::chrono::steady_clock::duration limit;
    StopFlag stop;
    std::optional<std::chrono::steady_clock::duration> overall;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point lastActivity = started;
    curl_off_t lastTotal = 0;
    bool expired = false;
    bool overran = false;

    static int onProgress(void* self, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
        auto& watch = *static_cast<IdleWatch*>(self);
        if (isRaised(watch.stop)) {
            return 1;
        }
        const auto now = std::chrono::steady_clock::now();
        if (watch.overall && now - watch.started >= *watch.overall) {
            watch.overran = true;
            return 1;
        }
        if (downloaded + uploaded != watch.lastTotal) {
            watch.lastTotal = downloaded + uploaded;
            watch.lastActivity = now;
        } else if (now - watch.lastActivity >= watch.limit) {
            watch.expired = true;
            return 1;
        }
        return 0;
    }
};

// Keeps the first failed option of a setup, so one look after all of them is enough.
class Setup {
public:
    void operator()(CURLcode code) {
        if (first_ == CURLE_OK) {
            first_ = code;
        }
    }
    bool failed() const { return first_ != CURLE_OK; }
    const char* reason() const { return curl_easy_strerror(first_); }

private:
    CURLcode first_ = CURLE_OK;
};

Failure exchangeFailure(std::string message) {
    return Failure{std::move(message), httpExchangeFailed};
}

} // namespace

void CurlTransport::HandleDeleter::operator()(CURL* handle) const {
    curl_easy_cleanup(handle);
}

CurlTransport::CurlTransport()
    : handle_(curl_easy_init()) {}

Result<HttpResponse> CurlTransport::send(const HttpRequest& request) {
    CURL* curl = handle_.get();
    if (curl == nullptr) {
        return exchangeFailure("The HTTP client could not be initialised.");
    }
    // Reset keeps the connection cache, so a warm server connection is reused.
    curl_easy_reset(curl);

    HeaderList headers;
    bool built = true;
    for (const auto& [name, value] : request.headers) {
        built = built && addHeader(headers, name + ": " + value);
    }
    // A large POST would otherwise wait for a 100-continue that many servers never send.
    built = built && addHeader(headers, "Expect:");
    if (!built) {
        return exchangeFailure("Out of memory while building the request.");
    }

    BodySink sink{{}, &request, {}, curl, std::nullopt, false};
    char errorText[CURL_ERROR_SIZE] = {};
    Setup check;
    check(curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str()));
    // Only HTTP: a configured address must never read local files or speak other protocols.
    check(curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https"));
    check(curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L));
    check(curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText));
    check(curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get()));
    check(curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, appendBody));
    check(curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink));
    check(curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, appendHeader));
    check(curl_easy_setopt(curl, CURLOPT_HEADERDATA, &sink));
    if (request.followRedirects) {
        // curl drops Authorization and cookies on a redirect to another host by itself.
        check(curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L));
        check(curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L));
        check(curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https"));
    }
    if (request.method == "POST") {
        check(curl_easy_setopt(curl, CURLOPT_POST, 1L));
        check(curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.data()));
        check(curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                               static_cast<curl_off_t>(request.body.size())));
    } else if (request.method != "GET") {
        check(curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str()));
    }

    // The time-out is an idle time-out: a long answer that keeps arriving is not cut off. curl looks at
    // progress about once a second when idle, so sub-second limits (health probes) bound the whole exchange.
    const auto timeoutMs = static_cast<long>(std::max<std::int64_t>(request.timeout.count(), 1));
    IdleWatch idle{request.timeout, request.stop, request.overallLimit};
    check(curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs));
    if (timeoutMs < 1000) {
        check(curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeoutMs));
    } else {
        check(curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L));
        check(curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &IdleWatch::onProgress));
        check(curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &idle));
    }

    if (check.failed()) {
        return exchangeFailure(check.reason());
    }

    const CURLcode result = curl_easy_perform(curl);
    if (isRaised(request.stop)) {
        return exchangeFailure("The request was abandoned.");
    }
    if (idle.overran) {
        return Failure{"The request took longer than " +
                           std::to_string(request.overallLimit->count() / 1000) + " seconds and was ended.",
                       httpOverallLimit};
    }
    if (idle.expired) {
        return exchangeFailure("The request timed out: nothing was received for " +
                               std::to_string(timeoutMs / 1000) + " seconds.");
    }
    if (result != CURLE_OK && !sink.whole) {
        return exchangeFailure(errorText[0] != '\0' ? std::string(errorText) : curl_easy_strerror(result));
    }
    long status = 0;
    if (curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status == 0) {
        return Failure{"No response.", httpNoResponse};
    }
    return HttpResponse{status, std::move(sink.body), std::move(sink.headers)};
}

} // namespace ulvo
