#pragma once

#include <stdexcept>
#include <string>

namespace ulvo {

// The answer service's own failure; its message is shown to the user unchanged.
class ModelFailure : public std::runtime_error {
public:
    explicit ModelFailure(const std::string& message)
        : std::runtime_error(message) {}
};

// A failure of the HTTP transport (connection, time-out, TLS, bad URL), shown as the transport words it.
class TransportError : public std::runtime_error {
public:
    explicit TransportError(const std::string& message)
        : std::runtime_error(message) {}
};

} // namespace ulvo
