#pragma once

#include <exception>
#include <string>

namespace model {

// What a failure says about itself: an exception's text, or nothing for a failure that is not an
// exception.
inline std::string failureText(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return {};
    }
}

} // namespace model
