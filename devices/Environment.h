#pragma once

#include "devices/Registry.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// The families a process reaches, chosen from its environment.
namespace devices {

using Getenv = std::function<std::string(const char* name)>;
using WarningSink = std::function<void(const std::string& message)>;

inline constexpr std::uint32_t kMaxSimulatedBoards = 1000;

// TAMBROOK_SIMULATED_BOARDS=N gives N simulated boards and nothing else, so that a test never
// reaches a real board (TAMBROOK_SIMULATED_STATE keeps board 1's relays, TAMBROOK_SIMULATED_RELAYS
// gives each fewer than eight relays, TAMBROOK_SIMULATED_READBACK=0 makes them boards that cannot
// read back); without it, every real
// family (TAMBROOK_EXTRA_USB_IDS adds USB ids to the FTDI boards'). TAMBROOK_SIMULATED_TRACE,
// TAMBROOK_SIMULATED_FAULTS, TAMBROOK_SIMULATED_UNPLUGGED and TAMBROOK_SIMULATED_WEDGED trace and
// fault whichever families those are. A setting that cannot be used gives one warning and a safe
// value: a board count that is not a number gives 0 boards, a larger one than 1000 gives 1000.
std::unique_ptr<Registry> makeRegistryFromEnvironment(const Getenv& getenv,
                                                      const WarningSink& warn);
std::unique_ptr<Registry> makeRegistryFromEnvironment();

} // namespace devices
