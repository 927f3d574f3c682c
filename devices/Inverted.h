#pragma once

#include "devices/RelayDevice.h"

#include <cstdint>
#include <memory>

namespace devices {

// A board whose relays in `mask` are active-low: on while their bit is 0. Everything above it
// speaks of the relays, so the bits are turned over here, on their way to and from the board.
std::unique_ptr<RelayDevice> inverted(std::unique_ptr<RelayDevice> device, std::uint8_t mask);

} // namespace devices
