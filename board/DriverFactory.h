#pragma once

#include "board/Driver.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace board {

// Chooses the backend from the environment: TAMBROOK_SIMULATED_BOARDS=N gives N simulated boards
// (with TAMBROOK_SIMULATED_STATE, TAMBROOK_SIMULATED_TRACE, TAMBROOK_SIMULATED_UNPLUGGED,
// TAMBROOK_SIMULATED_WEDGED and TAMBROOK_SIMULATED_FAULTS), and without it the real boards are
// reached through libftdi1 (TAMBROOK_EXTRA_USB_IDS adds ids). A setting the simulated boards cannot
// use gives one warning through `warn` and a safe value: a board count that is not a number gives 0
// boards, a larger one than 1000 gives 1000.
inline constexpr std::uint32_t kMaxSimulatedBoards = 1000;

std::unique_ptr<Driver>
makeDriverFromEnvironment(const std::function<std::string(const char*)>& getenv,
                          const std::function<void(const std::string&)>& warn);

std::unique_ptr<Driver> makeDriverFromEnvironment();

} // namespace board
