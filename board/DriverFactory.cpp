#include "board/DriverFactory.h"

#include "board/FtdiDriver.h"
#include "board/SimulatedDriver.h"

#include <cstdlib>

namespace board {

std::unique_ptr<Driver>
makeDriverFromEnvironment(const std::function<std::string(const char*)>& getenv) {
    const std::string boards = getenv("TAMBROOK_SIMULATED_BOARDS");
    if (!boards.empty()) {
        SimulatedBoardOptions options;
        try {
            options.boards = static_cast<std::uint32_t>(std::stoul(boards));
        } catch (const std::exception&) {
            options.boards = 1;
        }
        options.stateFile = getenv("TAMBROOK_SIMULATED_STATE");
        options.traceFile = getenv("TAMBROOK_SIMULATED_TRACE");
        options.faults = parseSimulatedFaults(getenv("TAMBROOK_SIMULATED_FAULTS"));
        return std::make_unique<SimulatedDriver>(std::move(options));
    }
    std::vector<UsbId> ids = builtInRelayBoardIds();
    for (const UsbId& extra : parseUsbIds(getenv("TAMBROOK_EXTRA_USB_IDS")))
        ids.push_back(extra);
    return std::make_unique<FtdiDriver>(makeLibFtdiApi(), std::move(ids));
}

std::unique_ptr<Driver> makeDriverFromEnvironment() {
    return makeDriverFromEnvironment([](const char* name) {
        const char* value = std::getenv(name);
        return std::string(value ? value : "");
    });
}

} // namespace board
