#pragma once

#include "devices/Result.h"

#include <chrono>
#include <string>

namespace devices::modbus {

// The numeric address of a host, looked up within a time: a name server that never answers
// makes this fail, not the caller wait for ever. A lookup still running when the time is up goes
// on in a thread of its own and is forgotten.
Result<std::string> lookUpHost(const std::string& host, std::chrono::milliseconds within);

} // namespace devices::modbus
