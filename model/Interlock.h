#pragma once

#include "devices/Options.h"
#include "model/ProgramRows.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace model {

// A write refused because it would put two relays of an interlocked group on together; nothing
// of it was written.
class InterlockRefused : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// How a write is carried out: its first write (the relays `which` to their bits of `relays`),
// and under `switch` the relays held back from it, which go on in a second write once the
// others of their group have been off for the dead time.
struct InterlockSwitch {
    std::uint8_t which = 0;
    std::uint8_t relays = 0;
    std::uint8_t onAfter = 0; // none: the first write is all
};

// The relays of a board that must never be on together (a motor's two directions), and what a
// write that would break that gets.
class Interlocks {
public:
    Interlocks() = default;
    explicit Interlocks(const devices::BoardOptions& options);

    bool empty() const { return groups_.empty(); }
    devices::InterlockPolicy policy() const { return policy_; }
    std::chrono::milliseconds deadTime() const { return deadTime_; }

    // Why the relays `after` may not stand once a write has turned the `asserted` ones on: a
    // group with one of them and another relay on. Relays the write leaves alone are not judged,
    // so switching a relay off is never refused.
    std::optional<std::string> breach(std::uint8_t asserted, std::uint8_t after) const;
    // Under `switch`: how a write of `after` to the relays `which`, from `before` (the relays that
    // are or may be on), is carried out, or why it cannot be (it turns two relays of a group on
    // itself: which one should win?).
    std::variant<InterlockSwitch, std::string> plan(std::uint8_t before, std::uint8_t which,
                                                    std::uint8_t after) const;

private:
    std::vector<std::uint8_t> groups_; // bit n-1 = relay n
    devices::InterlockPolicy policy_ = devices::InterlockPolicy::Reject;
    std::chrono::milliseconds deadTime_{0};
};

// How the write of `relays` to the relays `which`, from `before`, is carried out: as it is without
// interlocks or under `reject` (where the model refuses it if it breaks one); under `switch` in
// two writes. Throws InterlockRefused when `switch` cannot tell which relay to keep.
InterlockSwitch planInterlockedWrite(const Interlocks& interlocks, std::uint8_t before,
                                     std::uint8_t which, std::uint8_t relays);

// The first step of a program with two relays of a group on, and why.
struct InterlockBreach {
    std::size_t row = 0;
    std::string why;
};

// Whatever the policy: a program's steps are whole patterns, and none may break an interlock.
// Rows that cannot be read are left to the dry run, which says so.
std::optional<InterlockBreach> findInterlockBreach(const ProgramRows& rows,
                                                   const Interlocks& interlocks);

} // namespace model
