#include "platform/linux/SpeechDispatcherSpeaker.h"

#include <speech-dispatcher/libspeechd.h>

#include <cstdlib>
#include <map>

namespace ulvo {

namespace {

// libspeechd's notifications carry the client's id but no user data: the speakers are found by it.
std::mutex registryMutex;
std::map<std::size_t, SpeechDispatcherSpeaker*>& registry() {
    static std::map<std::size_t, SpeechDispatcherSpeaker*> speakers;
    return speakers;
}

} // namespace

class SpeechDispatcherSpeaker::Connection {
public:
    explicit Connection(SPDConnection* connection)
        : connection_(connection) {}
    ~Connection() { spd_close(connection_); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    SPDConnection* get() const { return connection_; }

private:
    SPDConnection* connection_;
};

SpeechDispatcherSpeaker::SpeechDispatcherSpeaker(std::function<void()> ready) {
    queue_.async([this, ready = std::move(ready)] {
        char* error = nullptr;
        SPDConnection* connection =
            spd_open2("ulvo", "read-aloud", nullptr, SPD_MODE_THREADED, nullptr, 1, &error);
        if (connection == nullptr) {
            std::lock_guard lock(mutex_);
            reason_ =
                "Read aloud needs the desktop's speech service (speech-dispatcher), which does not answer";
            reason_ += error != nullptr ? std::string(": ") + error + "." : std::string(".");
        } else {
            connection->callback_end = connection->callback_cancel =
                // NOLINTNEXTLINE(bugprone-easily-swappable-parameters): libspeechd's callback
                [](std::size_t message, std::size_t client, SPDNotificationType type) {
                    notified(message, client, static_cast<int>(type));
                };
            spd_set_notification_on(connection, SPD_END);
            spd_set_notification_on(connection, SPD_CANCEL);
            {
                std::lock_guard lock(registryMutex);
                registry()[static_cast<std::size_t>(spd_get_client_id(connection))] = this;
            }
            connection_ = std::make_unique<Connection>(connection);
            available_ = true;
        }
        std::free(error); // the library's own allocation
        if (ready) {
            ready();
        }
    });
}

SpeechDispatcherSpeaker::~SpeechDispatcherSpeaker() {
    queue_.async([this] {
        endCurrent();
        if (connection_) {
            {
                std::lock_guard lock(registryMutex);
                registry().erase(static_cast<std::size_t>(spd_get_client_id(connection_->get())));
            }
            connection_.reset();
        }
    });
}

std::string SpeechDispatcherSpeaker::unavailableReason() const {
    if (available_) {
        return {};
    }
    std::lock_guard lock(mutex_);
    return reason_.empty() ? "Looking for the desktop's speech service…" : reason_;
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): libspeechd's callback, passed on
void SpeechDispatcherSpeaker::notified(std::size_t message, std::size_t client, int) {
    std::lock_guard lock(registryMutex);
    const auto found = registry().find(client);
    if (found != registry().end()) {
        found->second->finished(message);
    }
}

void SpeechDispatcherSpeaker::finished(std::size_t message) {
    std::function<void()> ended;
    {
        std::lock_guard lock(mutex_);
        if (message != speaking_ || speaking_ == 0) {
            // Its end came before spd_say returned its number.
            endedEarly_.insert(message);
            return;
        }
        speaking_ = 0;
        ended = std::move(ended_);
    }
    if (ended) {
        ended();
    }
}

void SpeechDispatcherSpeaker::endCurrent() {
    std::function<void()> ended;
    {
        std::lock_guard lock(mutex_);
        if (speaking_ == 0 && !ended_) {
            return;
        }
        speaking_ = 0;
        ended = std::move(ended_);
    }
    if (connection_) {
        spd_cancel(connection_->get());
    }
    if (ended) {
        ended();
    }
}

void SpeechDispatcherSpeaker::speak(const std::string& text, const std::string& language,
                                    std::function<void()> ended) {
    queue_.async([this, text, language, ended = std::move(ended)]() mutable {
        endCurrent();
        if (!connection_) {
            ended();
            return;
        }
        if (!language.empty()) {
            spd_set_language(connection_->get(), language.c_str());
        }
        const int message = spd_say(connection_->get(), SPD_TEXT, text.c_str());
        std::unique_lock lock(mutex_);
        if (message < 0 || endedEarly_.erase(static_cast<std::size_t>(message)) > 0) {
            lock.unlock();
            ended();
            return;
        }
        speaking_ = static_cast<std::size_t>(message);
        ended_ = std::move(ended);
    });
}

void SpeechDispatcherSpeaker::stop() {
    queue_.async([this] { endCurrent(); });
}

} // namespace ulvo
