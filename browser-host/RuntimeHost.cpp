#include "browser-host/RuntimeHost.h"

#include "browser-host/NativeMessaging.h"

#include <poll.h>

#include <memory>
#include <thread>

namespace ulvo::host {

RuntimeHost::RuntimeHost(ModelService& service, AvailabilityCheck availability, Pipes pipes)
    : service_(service)
    , availability_(std::move(availability))
    , input_(pipes.input)
    , output_(pipes.output) {}

void RuntimeHost::reply(const std::string& payload) {
    const std::lock_guard lock(writeMutex_);
    // A gone reader is noticed by the reading side; the reply has nowhere to go.
    (void)writeFrame(output_, payload);
}

void RuntimeHost::dispatch(Request request) {
    ++pending_;
    if (request.type == RequestType::availability) {
        service_.queue().async([this, request = std::move(request)] {
            Availability availability;
            try {
                availability = availability_();
            } catch (const std::exception& error) {
                availability.error = error.what();
            }
            reply(availabilityReply(request, availability));
            --pending_;
        });
        return;
    }
    std::string text = request.text;
    std::optional<std::string> question = request.question;
    const Level level = request.level;
    auto shared = std::make_shared<const Request>(std::move(request));
    service_.explain(
        std::move(text), std::move(question), level,
        [this, shared](ExplainResult result) {
            reply(answerReply(*shared, result));
            --pending_;
        },
        [this, shared](const std::string& partial) {
            if (std::optional<std::string> frame = partialReply(*shared, partial)) {
                reply(*frame);
            }
        });
}

bool RuntimeHost::run() {
    FrameReader reader(input_);
    for (bool reading = true; reading;) {
        Frame frame = reader.next();
        switch (frame.status) {
        case FrameStatus::message: {
            auto parsed = parseRequest(frame.payload);
            if (auto* request = std::get_if<Request>(&parsed)) {
                dispatch(std::move(*request));
            } else {
                const auto& error = std::get<RequestError>(parsed);
                reply(errorReply(error.message, error.id, error.type));
            }
            break;
        }
        case FrameStatus::tooLong:
            reply(errorReply("The message from the browser is larger than 1 MB.", nullptr, ""));
            break;
        case FrameStatus::truncated:
            reply(errorReply("The message from the browser was cut short.", nullptr, ""));
            reading = false;
            break;
        case FrameStatus::closed:
            reading = false;
            break;
        }
    }
    // A reader that closed only its writing end still gets the answers it asked for; once the reading
    // end is gone too (POLLERR on our end of the pipe), nobody is left to answer.
    while (pending_ > 0) {
        pollfd watch{output_, 0, 0};
        if (::poll(&watch, 1, 50) > 0 && (watch.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            break;
        }
    }
    return pending_ > 0;
}

} // namespace ulvo::host
