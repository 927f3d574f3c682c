#include "devices/Environment.h"

#ifdef TAMBROOK_WITH_FTDI
#include "devices/ftdi/FtdiFamily.h"
#endif
#ifdef TAMBROOK_WITH_MODBUS
#include "devices/modbus/ModbusFamily.h"
#endif
#include "devices/sim/SimulatedFamily.h"
#include "devices/testing/Faults.h"
#include "devices/testing/Tracing.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace devices {

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

std::vector<std::unique_ptr<Family>> realFamilies([[maybe_unused]] const Getenv& getenv) {
    std::vector<std::unique_ptr<Family>> families;
#ifdef TAMBROOK_WITH_FTDI
    families.push_back(
        ftdi::makeLibFtdiFamily(ftdi::parseUsbIds(getenv("TAMBROOK_EXTRA_USB_IDS"))));
#endif
#ifdef TAMBROOK_WITH_MODBUS
    families.push_back(std::make_unique<modbus::ModbusFamily>());
#endif
    return families;
}

// Faults inside, trace outside: a traced call's time includes what the faults make it take.
std::unique_ptr<Family> decorated(std::unique_ptr<Family> family, const Getenv& getenv,
                                  const WarningSink& warn) {
    testing::Faults faults = testing::parseFaults(getenv("TAMBROOK_SIMULATED_FAULTS"));
    for (const std::string& word : faults.unknown)
        warn("simulated fault \"" + word + "\" not understood; ignored");
    faults.unpluggedFile = getenv("TAMBROOK_SIMULATED_UNPLUGGED");
    faults.wedgedFile = getenv("TAMBROOK_SIMULATED_WEDGED");
    if (faults.any())
        family = std::make_unique<testing::FaultyFamily>(std::move(family), std::move(faults));
    const std::string trace = getenv("TAMBROOK_SIMULATED_TRACE");
    if (!trace.empty())
        family = std::make_unique<testing::TracingFamily>(std::move(family), trace, warn);
    return family;
}

} // namespace

std::unique_ptr<Registry> makeRegistryFromEnvironment(const Getenv& getenv,
                                                      const WarningSink& warn) {
    std::vector<std::unique_ptr<Family>> families;
    const std::string simulated = getenv("TAMBROOK_SIMULATED_BOARDS");
    if (!simulated.empty()) {
        sim::SimulatedOptions options;
        options.boards = simulatedBoardCount(simulated, warn);
        options.stateFile = getenv("TAMBROOK_SIMULATED_STATE");
        options.warn = warn;
        families.push_back(std::make_unique<sim::SimulatedFamily>(std::move(options)));
    } else {
        families = realFamilies(getenv);
    }
    for (std::unique_ptr<Family>& family : families)
        family = decorated(std::move(family), getenv, warn);
    return std::make_unique<Registry>(std::move(families));
}

std::unique_ptr<Registry> makeRegistryFromEnvironment() {
    return makeRegistryFromEnvironment(
        [](const char* name) {
            const char* value = std::getenv(name);
            return std::string(value ? value : "");
        },
        [](const std::string& message) {
            std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, message.c_str());
        });
}

} // namespace devices
