#pragma once

#include <stdexcept>

// Raised when code reads a character past the end of a text. The handler that was running stops
// there, the user sees the message, and what the handler had changed already stays changed.
struct RangeError : std::out_of_range {
    RangeError()
        : std::out_of_range("Range check error") {}
};
