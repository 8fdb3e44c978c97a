#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace ulvo::test {

struct RecordedRequest {
    std::string method;
    std::string path;
    std::multimap<std::string, std::string> headers;
    std::string body;
    std::string header(const std::string& name) const;
};

// One piece of a streamed body, sent after a pause.
struct Chunk {
    std::chrono::milliseconds after{0};
    std::string bytes;
};

struct CannedReply {
    int status = 200;
    std::string body;
    std::string contentType = "application/json";
    std::chrono::milliseconds delay{0}; // silence before anything is sent
    std::vector<Chunk> chunks{};        // set: the body is sent in these pieces (chunked), body unused
    std::vector<std::pair<std::string, std::string>> headers{};
};

// A certificate (PEM) and its key: the server speaks HTTPS.
struct TlsIdentity {
    std::filesystem::path certificate;
    std::filesystem::path key;
};

// A real HTTP server on 127.0.0.1 (an ephemeral port) that records what it receives and answers
// with whatever the test's responder returns.
class LoopbackServer {
public:
    using Responder = std::function<CannedReply(const RecordedRequest&)>;

    // Port 0 picks a free ephemeral port.
    explicit LoopbackServer(Responder responder, int port = 0, const std::optional<TlsIdentity>& tls = {});
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int port() const { return port_; }
    std::string baseURL() const; // http://127.0.0.1:PORT
    std::vector<RecordedRequest> requests() const;
    void setResponder(Responder responder);
    // Streamed replies whose client went away before the last piece.
    int abandonedStreams() const;

private:
    std::unique_ptr<httplib::Server> server_;
    mutable std::mutex mutex_;
    Responder responder_;
    std::vector<RecordedRequest> requests_;
    int abandoned_ = 0;
    int port_ = 0;
    std::thread thread_;
};

// A chat-completions reply whose first choice says `content`.
std::string chatReply(const std::string& content);
// One server-sent event carrying a delta of `content` ("data: {...}" and a blank line).
std::string chatDelta(const std::string& content);
// A streamed answer in `pieces`, each after `pause`: a role-only first event, the deltas, a
// finish_reason and [DONE].
std::vector<Chunk> chatStream(const std::vector<std::string>& pieces, std::chrono::milliseconds pause);

} // namespace ulvo::test
