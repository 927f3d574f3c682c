#pragma once

#include <optional>
#include <string>
#include <utility>

// What a board call gives back: its value, or why it failed. Every call on a relay device
// returns one, so a failure is never silent.
namespace devices {

struct Failure {
    enum class Kind {
        NotOpen,    // no board was opened, or the one opened was let go
        Gone,       // the board left the bus
        NoAnswer,   // the board stopped answering (a wedged board, a silent serial line)
        Refused,    // the board or another process would not have it (held elsewhere, no access)
        Io,         // the call failed on the way
        ShortWrite, // only part of a write reached the board
    };
    Kind kind = Kind::Io;
    std::string detail; // for people: what was tried and what the system said
};

// A call's value or its failure.
template <typename T> class [[nodiscard]] Result {
public:
    Result(T value)
        : value_(std::move(value)) {}
    Result(Failure failure)
        : failure_(std::move(failure)) {}

    bool ok() const { return value_.has_value(); }
    explicit operator bool() const { return ok(); }
    const T& value() const& { return *value_; }
    T& value() & { return *value_; }
    T&& value() && { return std::move(*value_); }
    const Failure& failure() const { return *failure_; }

private:
    std::optional<T> value_;
    std::optional<Failure> failure_;
};

// A call that gives nothing back but whether it went through.
template <> class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Failure failure)
        : failure_(std::move(failure)) {}

    bool ok() const { return !failure_.has_value(); }
    explicit operator bool() const { return ok(); }
    const Failure& failure() const { return *failure_; }

private:
    std::optional<Failure> failure_;
};

} // namespace devices
