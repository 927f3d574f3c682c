#include "board/DriverFactory.h"

#include "board/FtdiDriver.h"
#include "board/SimulatedDriver.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace board {

namespace {

// A count of simulated boards: digits only, at most kMaxSimulatedBoards; anything else is 0.
std::uint32_t simulatedBoardCount(const std::string& text, const WarningSink& warn) {
    if (text.find_first_not_of("0123456789") != std::string::npos) {
        warn("TAMBROOK_SIMULATED_BOARDS=" + text + " is not a number of boards; using 0");
        return 0;
    }
    const std::size_t digits = text.find_first_not_of('0');
    if (digits != std::string::npos &&
        (text.size() - digits > 4 || std::stoul(text) > kMaxSimulatedBoards)) {
        warn("TAMBROOK_SIMULATED_BOARDS=" + text + " is more than " +
             std::to_string(kMaxSimulatedBoards) + " boards; using " +
             std::to_string(kMaxSimulatedBoards));
        return kMaxSimulatedBoards;
    }
    return digits == std::string::npos ? 0 : static_cast<std::uint32_t>(std::stoul(text));
}

} // namespace

std::unique_ptr<Driver>
makeDriverFromEnvironment(const std::function<std::string(const char*)>& getenv,
                          const WarningSink& warn) {
    const std::string boards = getenv("TAMBROOK_SIMULATED_BOARDS");
    if (!boards.empty()) {
        SimulatedBoardOptions options;
        options.warn = warn;
        options.boards = simulatedBoardCount(boards, warn);
        options.stateFile = getenv("TAMBROOK_SIMULATED_STATE");
        options.traceFile = getenv("TAMBROOK_SIMULATED_TRACE");
        options.unpluggedFile = getenv("TAMBROOK_SIMULATED_UNPLUGGED");
        options.wedgedFile = getenv("TAMBROOK_SIMULATED_WEDGED");
        options.faults = parseSimulatedFaults(getenv("TAMBROOK_SIMULATED_FAULTS"));
        return std::make_unique<SimulatedDriver>(std::move(options));
    }
    std::vector<UsbId> ids = builtInRelayBoardIds();
    for (const UsbId& extra : parseUsbIds(getenv("TAMBROOK_EXTRA_USB_IDS")))
        ids.push_back(extra);
    return std::make_unique<FtdiDriver>(makeLibFtdiApi(), std::move(ids));
}

std::unique_ptr<Driver> makeDriverFromEnvironment() {
    return makeDriverFromEnvironment(
        [](const char* name) {
            const char* value = std::getenv(name);
            return std::string(value ? value : "");
        },
        [](const std::string& message) {
            std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, message.c_str());
        });
}

} // namespace board
