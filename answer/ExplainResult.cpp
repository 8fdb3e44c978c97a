#include "answer/ExplainResult.h"

#include <stdexcept>

namespace ulvo {

std::string ExplainResult::errorMessage() const {
    return error_ ? describeError(error_) : std::string();
}

std::string describeError(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "An unknown error occurred.";
    }
}

} // namespace ulvo
