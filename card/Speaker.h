#pragma once

#include <functional>
#include <string>

namespace ulvo {

// The desktop's speech service, as the card's read-aloud button uses it. Calls return at once.
class Speaker {
public:
    virtual ~Speaker() = default;
    // Whether a speech service answers; before the first answer, false.
    virtual bool available() const = 0;
    // Why read aloud is unavailable, in words for Settings; empty while it is available.
    virtual std::string unavailableReason() const = 0;
    // Speaks the text in the language (a tag such as "de" or "en-GB"), ending whatever was spoken.
    // ended runs once, on any thread, when the speech ends or is stopped.
    virtual void speak(const std::string& text, const std::string& language, std::function<void()> ended) = 0;
    virtual void stop() = 0;
};

} // namespace ulvo
