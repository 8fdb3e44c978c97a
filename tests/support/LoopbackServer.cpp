#include "tests/support/LoopbackServer.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <netinet/tcp.h>

#include <stdexcept>

namespace ulvo::test {

std::string RecordedRequest::header(const std::string& name) const {
    const auto found = headers.find(name);
    return found == headers.end() ? std::string() : found->second;
}

LoopbackServer::LoopbackServer(Responder responder, int port, const std::optional<TlsIdentity>& tls)
    : server_(tls ? std::make_unique<httplib::SSLServer>(tls->certificate.c_str(), tls->key.c_str())
                  : std::make_unique<httplib::Server>())
    , responder_(std::move(responder)) {
    const auto handle = [this](const httplib::Request& request, httplib::Response& response) {
        const RecordedRequest recorded{
            request.method, request.path, {request.headers.begin(), request.headers.end()}, request.body};
        Responder current;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(recorded);
            current = responder_;
        }
        const CannedReply reply = current(recorded);
        if (reply.delay.count() > 0) {
            std::this_thread::sleep_for(reply.delay);
        }
        response.status = reply.status;
        for (const auto& [name, value] : reply.headers) {
            response.set_header(name, value);
        }
        if (reply.chunks.empty()) {
            response.set_content(reply.body, reply.contentType.c_str());
            return;
        }
        auto next = std::make_shared<std::size_t>(0);
        response.set_chunked_content_provider(
            reply.contentType, [this, next, chunks = reply.chunks,
                                cut = reply.cutAfterChunks](std::size_t, httplib::DataSink& sink) {
                const Chunk& chunk = chunks[*next];
                // Paused in steps, so a client that leaves meanwhile is noticed.
                const auto until = std::chrono::steady_clock::now() + chunk.after;
                while (std::chrono::steady_clock::now() < until && sink.is_writable()) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                }
                if (!sink.is_writable() || !sink.write(chunk.bytes.data(), chunk.bytes.size())) {
                    const std::lock_guard lock(mutex_);
                    ++abandoned_;
                    return false;
                }
                if (++*next == chunks.size()) {
                    if (cut) {
                        return false;
                    }
                    sink.done();
                }
                return true;
            });
    };
    server_->Get(".*", handle);
    server_->Post(".*", handle);
    server_->set_keep_alive_max_count(1000);
    // Without TCP_NODELAY the reply's body waits out the client's delayed ACK (about 40 ms) behind its
    // headers; real servers do not stall like that. Accepted sockets inherit it from the listener.
    server_->set_socket_options([](socket_t sock) {
        httplib::default_socket_options(sock);
        const int on = 1;
        ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    });
    // Stopping waits for idle kept-alive connections; keep that wait short.
    server_->set_keep_alive_timeout(1);
    if (port == 0) {
        port_ = server_->bind_to_any_port("127.0.0.1");
    } else {
        port_ = server_->bind_to_port("127.0.0.1", port) ? port : -1;
    }
    if (port_ <= 0) {
        throw std::runtime_error("cannot bind a loopback port");
    }
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // stop() is a no-op until the accept loop runs, so a server stopped early would never end.
    while (!server_->is_running()) {
        std::this_thread::yield();
    }
}

LoopbackServer::~LoopbackServer() {
    server_->stop();
    thread_.join();
}

int LoopbackServer::abandonedStreams() const {
    const std::lock_guard lock(mutex_);
    return abandoned_;
}

std::string chatDelta(const std::string& content) {
    const nlohmann::json event = {
        {"choices", nlohmann::json::array({{{"index", 0}, {"delta", {{"content", content}}}}})}};
    return "data: " + event.dump() + "\n\n";
}

std::vector<Chunk> chatStream(const std::vector<std::string>& pieces, std::chrono::milliseconds pause) {
    std::vector<Chunk> chunks;
    chunks.push_back({pause, R"(data: {"choices":[{"index":0,"delta":{"role":"assistant"}}]})"
                             "\n\n"});
    for (const std::string& piece : pieces) {
        chunks.push_back({pause, chatDelta(piece)});
    }
    chunks.push_back({pause, R"(data: {"choices":[{"index":0,"delta":{},"finish_reason":"stop"}]})"
                             "\n\ndata: [DONE]\n\n"});
    return chunks;
}

std::string LoopbackServer::baseURL() const {
    return "http://127.0.0.1:" + std::to_string(port_);
}

std::vector<RecordedRequest> LoopbackServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void LoopbackServer::setResponder(Responder responder) {
    std::lock_guard lock(mutex_);
    responder_ = std::move(responder);
}

std::string chatReply(const std::string& content) {
    return nlohmann::json{
        {"choices", {{{"index", 0}, {"message", {{"role", "assistant"}, {"content", content}}}}}}}
        .dump();
}

} // namespace ulvo::test
