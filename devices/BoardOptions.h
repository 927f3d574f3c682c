#pragma once

#include "devices/Config.h"
#include "devices/Options.h"

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <variant>

// Reading a board's relay options out of its boards.conf section. The section is the board's
// whether it also says how the board is reached (family, device, ...) or only names a board found
// on the bus by its id (an FTDI or HID board's serial or port path, "sim1").
namespace devices {

// Whether a key is a relay option (relayN.name, on_start, interlock, ...) rather than one of how
// the board is reached.
bool isOptionKey(const std::string& key);

// "300ms", "2s", "1min": a whole number and its unit.
std::optional<std::chrono::milliseconds> durationOf(const std::string& text);

// The options of one section; an unknown option or a value that cannot be used is refused with
// its file and line. Keys that are not options are left to checkSection's callers.
std::variant<BoardOptions, ConfigError> optionsOf(const ConfiguredBoard& section);

// The options of the board with this id: those of its section, or none when it has none.
std::variant<BoardOptions, ConfigError> optionsFor(const Configuration& configuration,
                                                   const std::string& id);

// Every section's options by board id, or the first refusal.
using OptionsById = std::map<std::string, BoardOptions>;
std::variant<OptionsById, ConfigError> optionsOfAll(const Configuration& configuration);

// The same section without its options: what a family is given to judge.
ConfiguredBoard withoutOptions(const ConfiguredBoard& section);

// A section that gives only options: no family, no device.
bool givesOnlyOptions(const ConfiguredBoard& section);

} // namespace devices
