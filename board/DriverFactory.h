#pragma once

#include "board/Driver.h"

#include <functional>
#include <memory>
#include <string>

namespace board {

// Chooses the backend from the environment: TAMBROOK_SIMULATED_BOARDS=N gives N simulated boards
// (with TAMBROOK_SIMULATED_STATE, TAMBROOK_SIMULATED_TRACE and TAMBROOK_SIMULATED_FAULTS), and
// without it the real boards are reached through libftdi1 (TAMBROOK_EXTRA_USB_IDS adds ids).
std::unique_ptr<Driver>
makeDriverFromEnvironment(const std::function<std::string(const char*)>& getenv);

std::unique_ptr<Driver> makeDriverFromEnvironment();

} // namespace board
