#pragma once

#include "devices/DeviceInfo.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What a board's section of boards.conf says of its relays, beside how the board is reached.
namespace devices {

enum class StartState { Keep, Off, On, Last };
enum class ExitState { Keep, Off };
enum class InterlockPolicy { Reject, Switch };

struct RelayOptions {
    std::string name;                               // empty: none given
    std::optional<std::chrono::milliseconds> pulse; // its default pulse length
    bool invert = false;                            // on while its bit is 0
    std::optional<StartState> onStart;              // none: the board's
    std::optional<ExitState> onExit;                // none: the board's
};

struct BoardOptions {
    std::array<RelayOptions, kMaxRelays> relays{}; // relays[0] is relay 1
    StartState onStart = StartState::Keep;
    ExitState onExit = ExitState::Keep;
    std::vector<std::vector<int>> interlocks; // groups of relay numbers, 1 to 8
    InterlockPolicy interlockPolicy = InterlockPolicy::Reject;
    std::chrono::milliseconds interlockDeadTime{0};

    const RelayOptions& relay(int number) const {
        return relays.at(static_cast<std::size_t>(number - 1));
    }
    std::uint8_t invertMask() const {
        std::uint8_t mask = 0;
        for (std::size_t i = 0; i < relays.size(); ++i)
            if (relays[i].invert)
                mask = static_cast<std::uint8_t>(mask | (1U << i));
        return mask;
    }
};

} // namespace devices
