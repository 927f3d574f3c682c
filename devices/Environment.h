#pragma once

#include "devices/Config.h"
#include "devices/Registry.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The families a process reaches, chosen from its environment.
namespace devices {

using Getenv = std::function<std::string(const char* name)>;
using WarningSink = std::function<void(const std::string& message)>;

inline constexpr std::uint32_t kMaxSimulatedBoards = 1000;

// TAMBROOK_SIMULATED_BOARDS=N gives N simulated boards and nothing else, so that a test never
// reaches a real board (TAMBROOK_SIMULATED_STATE keeps board 1's relays, TAMBROOK_SIMULATED_RELAYS
// gives each fewer than eight relays, TAMBROOK_SIMULATED_READBACK=0 makes them boards that cannot
// read back); without it, every real family (TAMBROOK_EXTRA_USB_IDS adds USB ids to the FTDI
// boards'). TAMBROOK_SIMULATED_BESIDE_REAL=1 puts the simulated boards after the real families
// instead of in their place, for a bench that holds emulated boards of every family and
// simulated ones at once; it is off unless set to 1, and means nothing without
// TAMBROOK_SIMULATED_BOARDS. TAMBROOK_SIMULATED_TRACE, TAMBROOK_SIMULATED_FAULTS,
// TAMBROOK_SIMULATED_UNPLUGGED and TAMBROOK_SIMULATED_WEDGED trace and fault whichever families
// those are. A setting that cannot be used gives one warning and a safe value: a board count that
// is not a number gives 0 boards, a larger one than 1000 gives 1000.
//
// Boards are configured by boards.conf (configurationPath()) and by the boards named on the
// command line (parseBoardArgument); each family takes the sections that name it. A configuration
// that is refused gives one warning here, and the registry goes on without any configuration.
std::unique_ptr<Registry> makeRegistryFromEnvironment(const Getenv& getenv,
                                                      const WarningSink& warn);
std::unique_ptr<Registry> makeRegistryFromEnvironment();

// The same, for a front end that says itself why a configuration was refused: the registry, and
// the refusal (one message naming the file and line, or the --board) when there was one; then
// the registry has the families as they are without configuration. Under
// TAMBROOK_SIMULATED_BOARDS no real family is reached, but the configuration is checked all the
// same, so that a test sees what a real run would refuse.
struct ConfiguredRegistry {
    std::unique_ptr<Registry> registry;
    std::optional<ConfigError> refused;
};
ConfiguredRegistry makeConfiguredRegistry(const Getenv& getenv, const WarningSink& warn,
                                          const std::vector<ConfiguredBoard>& named);
// From the process's environment, warnings to stderr under the program's name.
ConfiguredRegistry makeConfiguredRegistry(const std::vector<ConfiguredBoard>& named = {});

} // namespace devices
