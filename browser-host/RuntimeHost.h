#pragma once

#include "answer/ModelService.h"
#include "browser-host/HostProtocol.h"

#include <atomic>
#include <functional>
#include <mutex>

namespace ulvo::host {

// Serves one browser connection: reads framed requests, answers each through the answer service and
// writes one final framed reply per request, after any number of partial ones. Replies may come out of
// order; they carry the request's "id". The latest explanation wins: an earlier one still running ends
// with a superseded reply.
class RuntimeHost {
public:
    // Runs on the model queue, after the requests queued before it.
    using AvailabilityCheck = std::function<Availability()>;

    // The browser's pipes; not owned.
    struct Pipes {
        int input = -1;
        int output = -1;
    };

    RuntimeHost(ModelService& service, AvailabilityCheck availability, Pipes pipes);

    // Until the browser closes the pipe or sends a cut-short frame. Then waits for the answers still
    // due while the browser still reads; returns whether some are left unanswered (the reader is gone).
    bool run();

private:
    void dispatch(Request request);
    void reply(const std::string& payload);

    ModelService& service_;
    AvailabilityCheck availability_;
    int input_;
    int output_;
    std::mutex writeMutex_;
    std::atomic<int> pending_{0};
};

} // namespace ulvo::host
