#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace ulvo {

// Why an operation failed: words for the user or the log, and the platform's own code where it has one.
struct Failure {
    std::string message;
    int code = 0;
};

// A value, or the failure that kept it from being made: the one idiom at the interfaces between rooms
// (exceptions stay inside a room).
template <class T> class [[nodiscard]] Result {
public:
    Result(T value) // implicit: returned as the plain value
        : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Failure failure)
        : state_(std::in_place_index<1>, std::move(failure)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    template <class U> T valueOr(U&& fallback) const& {
        return ok() ? value() : static_cast<T>(std::forward<U>(fallback));
    }
    const Failure& failure() const { return std::get<1>(state_); }

private:
    std::variant<T, Failure> state_;
};

template <> class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Failure failure)
        : failure_(std::move(failure)) {}

    bool ok() const { return !failure_; }
    explicit operator bool() const { return ok(); }
    const Failure& failure() const { return *failure_; }

private:
    std::optional<Failure> failure_;
};

} // namespace ulvo

// Returns the failure of a failed Result from the enclosing function, which returns a Result too.
#define ULVO_TRY(expr)                                                                                       \
    do {                                                                                                     \
        if (const auto ulvoTried = (expr); !ulvoTried) {                                                     \
            return ulvoTried.failure();                                                                      \
        }                                                                                                    \
    } while (false)
