#pragma once

#include <optional>
#include <stdexcept>
#include <string>

namespace ulvo {

// One secret per (service, account) pair, with a missing item told apart from other failures.
class SecretStore {
public:
    enum class Status { success, itemNotFound, failure };
    struct Outcome {
        Status status = Status::success;
        int code = 0; // the platform's own code when status is failure
        std::string message;
    };

    virtual ~SecretStore() = default;
    // Absent for a missing item and for every failure.
    virtual std::optional<std::string> read(const std::string& service, const std::string& account) const = 0;
    virtual Outcome update(const std::string& service, const std::string& account,
                           const std::string& secret) = 0;
    virtual Outcome add(const std::string& service, const std::string& account,
                        const std::string& secret) = 0;
    virtual void remove(const std::string& service, const std::string& account) = 0;
};

// A refused write, carrying the store's status code.
class KeyStoreError : public std::runtime_error {
public:
    KeyStoreError(int code, const std::string& message)
        : std::runtime_error(message)
        , code_(code) {}
    int code() const { return code_; }

private:
    int code_;
};

} // namespace ulvo
