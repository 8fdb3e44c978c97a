#pragma once

#include "base/SerialQueue.h"
#include "card/Speaker.h"

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace ulvo {

// Read aloud through speech-dispatcher (libspeechd), reached on a worker thread: connecting may start
// the service, which can take a moment. The connection's address is the library's own choice
// (SPEECHD_ADDRESS, else the user's socket).
class SpeechDispatcherSpeaker final : public Speaker {
public:
    // Connects at once, away from the caller; ready runs (on the worker) when the answer is known.
    explicit SpeechDispatcherSpeaker(std::function<void()> ready = {});
    ~SpeechDispatcherSpeaker() override;
    SpeechDispatcherSpeaker(const SpeechDispatcherSpeaker&) = delete;
    SpeechDispatcherSpeaker& operator=(const SpeechDispatcherSpeaker&) = delete;

    bool available() const override { return available_; }
    std::string unavailableReason() const override;
    void speak(const std::string& text, const std::string& language, std::function<void()> ended) override;
    void stop() override;

private:
    class Connection; // libspeechd's connection, closed when it goes
    static void notified(std::size_t message, std::size_t client, int type);
    void finished(std::size_t message);
    // Worker only.
    void endCurrent();

    std::atomic<bool> available_{false};
    mutable std::mutex mutex_;
    std::string reason_;
    std::unique_ptr<Connection> connection_; // worker only
    // The message being spoken, and who waits for its end.
    std::size_t speaking_ = 0;
    std::function<void()> ended_;
    std::set<std::size_t> endedEarly_; // ended before spd_say returned their numbers
    SerialQueue queue_{"ulvo.speech"};
};

} // namespace ulvo
