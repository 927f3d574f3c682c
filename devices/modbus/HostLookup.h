#pragma once

#include "devices/Result.h"

#include <chrono>
#include <string>
#include <vector>

namespace devices::modbus {

// The numeric addresses of a host, in the order to try them, looked up within a time: a name server
// that never answers makes this fail, not the caller wait for ever. A lookup still running when the
// time is up goes on in a thread of its own and is forgotten.
Result<std::vector<std::string>> lookUpHost(const std::string& host,
                                            std::chrono::milliseconds within);

} // namespace devices::modbus
