#include "devices/Environment.h"

#ifdef TAMBROOK_WITH_FTDI
#include "devices/ftdi/FtdiFamily.h"
#endif
#ifdef TAMBROOK_WITH_HID
#include "devices/hid/HidFamily.h"
#endif
#ifdef TAMBROOK_WITH_LCUS
#include "devices/lcus/LcusFamily.h"
#endif
#ifdef TAMBROOK_WITH_MODBUS
#include "devices/modbus/ModbusFamily.h"
#endif
#include "devices/sim/SimulatedFamily.h"
#include "devices/testing/Faults.h"
#include "devices/testing/Tracing.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <variant>
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

// The simulated boards' relay count and whether they read back: a count that is not 1 to 8, or a
// readback that is neither 0 nor 1, gives one warning and eight relays that read back.
void simulatedBoardKind(sim::SimulatedOptions& options, const Getenv& getenv,
                        const WarningSink& warn) {
    if (const std::string relays = getenv("TAMBROOK_SIMULATED_RELAYS"); !relays.empty()) {
        const std::optional<int> count = relayCountOf(relays);
        if (!count)
            warn("TAMBROOK_SIMULATED_RELAYS=" + relays + " is not a relay count of 1 to 8; using " +
                 std::to_string(kMaxRelays));
        options.relays = count.value_or(kMaxRelays);
    }
    const std::string readback = getenv("TAMBROOK_SIMULATED_READBACK");
    if (!readback.empty() && readback != "0" && readback != "1")
        warn("TAMBROOK_SIMULATED_READBACK=" + readback +
             " is neither 0 nor 1; the boards read back");
    options.readsBack = readback != "0";
}

std::vector<std::unique_ptr<Family>> realFamilies([[maybe_unused]] const Getenv& getenv) {
    std::vector<std::unique_ptr<Family>> families;
#ifdef TAMBROOK_WITH_FTDI
    families.push_back(
        ftdi::makeLibFtdiFamily(ftdi::parseUsbIds(getenv("TAMBROOK_EXTRA_USB_IDS"))));
#endif
#ifdef TAMBROOK_WITH_HID
    families.push_back(std::make_unique<hid::HidFamily>());
#endif
#ifdef TAMBROOK_WITH_LCUS
    families.push_back(std::make_unique<lcus::LcusFamily>());
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

// Whether the simulated boards come beside the real families: a value neither 0 nor 1 gives one
// warning and no real family, as without it.
bool simulatedBesideReal(const Getenv& getenv, const WarningSink& warn) {
    const std::string beside = getenv("TAMBROOK_SIMULATED_BESIDE_REAL");
    if (!beside.empty() && beside != "0" && beside != "1")
        warn("TAMBROOK_SIMULATED_BESIDE_REAL=" + beside +
             " is neither 0 nor 1; the simulated boards come alone");
    return beside == "1";
}

// Only simulated boards: no real board is reached.
bool simulatedOnly(const Getenv& getenv) {
    return !getenv("TAMBROOK_SIMULATED_BOARDS").empty() &&
           getenv("TAMBROOK_SIMULATED_BESIDE_REAL") != "1";
}

std::vector<std::unique_ptr<Family>> unconfiguredFamilies(const Getenv& getenv,
                                                          const WarningSink& warn) {
    const std::string simulated = getenv("TAMBROOK_SIMULATED_BOARDS");
    if (simulated.empty())
        return realFamilies(getenv);
    std::vector<std::unique_ptr<Family>> families;
    if (simulatedBesideReal(getenv, warn))
        families = realFamilies(getenv);
    sim::SimulatedOptions options;
    options.boards = simulatedBoardCount(simulated, warn);
    options.stateFile = getenv("TAMBROOK_SIMULATED_STATE");
    options.warn = warn;
    simulatedBoardKind(options, getenv, warn);
    families.push_back(std::make_unique<sim::SimulatedFamily>(std::move(options)));
    return families;
}

// boards.conf's sections, then the boards of the command line; an id may be given once, but for
// a section that gives only options to a board the command line names.
std::variant<std::vector<ConfiguredBoard>, ConfigError>
configuredBoards(const Getenv& getenv, const std::vector<ConfiguredBoard>& named) {
    std::variant<Configuration, ConfigError> read = readConfiguration(configurationPath(getenv));
    if (auto* error = std::get_if<ConfigError>(&read))
        return std::move(*error);
    std::vector<ConfiguredBoard> boards = std::move(std::get<Configuration>(read).boards);
    for (const ConfiguredBoard& board : named) {
        const auto same = std::find_if(boards.begin(), boards.end(),
                                       [&](const ConfiguredBoard& b) { return b.id == board.id; });
        if (same != boards.end() && givesOnlyOptions(*same)) {
            // The section gives the board named on the command line its options, where the
            // command line gives none of its own.
            ConfiguredBoard merged = board;
            merged.settings.insert(same->settings.begin(), same->settings.end());
            *same = std::move(merged);
            continue;
        }
        if (same != boards.end())
            return ConfigError{board.where + ": the board " + board.id + " is named at " +
                               same->where + " already"};
        boards.push_back(board);
    }
    return boards;
}

// A section without family or device names a board found on the bus (by its id) and gives it
// options only: a key of how a board is reached has no board to go to there.
std::optional<ConfigError> checkOptionsSection(const ConfiguredBoard& board) {
    for (const auto& [key, setting] : board.settings)
        if (!isOptionKey(key))
            return ConfigError{setting.where + ": " +
                               (isBoardKey(key) ? key + " needs family and device in [" + board.id +
                                                      "] (a section without them "
                                                      "gives options to a board "
                                                      "found on the bus)"
                                                : "unknown key " + key + " for " + board.id)};
    return std::nullopt;
}

// What no family needs to judge: that the section names a family, knows its keys, and has
// relays a board can have; and its options.
std::optional<ConfigError> checkSection(const ConfiguredBoard& board) {
    if (givesOnlyOptions(board))
        return checkOptionsSection(board);
    const Setting* family = board.find("family");
    if (!family || family->value.empty())
        return ConfigError{board.where + ": [" + board.id +
                           "] names no family (family = ftdi, hid, lcus or modbus)"};
    if (!isFamilyName(family->value))
        return ConfigError{family->where + ": unknown family " + family->value +
                           " (ftdi, hid, lcus or modbus)"};
    if (family->value == "sim")
        return ConfigError{family->where + ": simulated boards take no configuration"};
    for (const auto& [key, setting] : board.settings)
        if (!isBoardKey(key) && !isOptionKey(key))
            return ConfigError{setting.where + ": unknown key " + key + " for " + board.id};
    if (const Setting* relays = board.find("relays"); relays && !relayCountOf(relays->value)) {
        const std::string& count = relays->value;
        const bool many = !count.empty() &&
                          count.find_first_not_of("0123456789") == std::string::npos &&
                          count.find_first_not_of('0') != std::string::npos;
        return ConfigError{
            relays->where + ": relays = " + relays->value +
            (many ? ": at most eight relays per board" : ": relays is a count from 1 to 8")};
    }
    return std::nullopt;
}

Family* familyNamed(const std::vector<std::unique_ptr<Family>>& families, const std::string& name) {
    const auto found = std::find_if(families.begin(), families.end(),
                                    [&](const auto& family) { return family->name() == name; });
    return found == families.end() ? nullptr : found->get();
}

// Hands each family the sections that name it, in the order of their first section. Families
// that are not in use (the real ones under simulation) are made only to judge their sections,
// and dropped unused.
std::optional<ConfigError> configure(const std::vector<std::unique_ptr<Family>>& families,
                                     const std::vector<ConfiguredBoard>& boards,
                                     const Getenv& getenv) {
    std::vector<std::unique_ptr<Family>> judges;
    std::vector<std::string> done;
    for (const ConfiguredBoard& first : boards) {
        if (givesOnlyOptions(first))
            continue;
        const std::string name = first.value("family");
        if (std::find(done.begin(), done.end(), name) != done.end())
            continue;
        done.push_back(name);
        Family* family = familyNamed(families, name);
        if (!family && simulatedOnly(getenv)) {
            if (judges.empty())
                judges = realFamilies(getenv);
            family = familyNamed(judges, name);
        }
        if (!family)
            return ConfigError{first.find("family")->where + ": the family " + name +
                               " is not in this build"};
        // Relay options are not the family's to judge: it sees how its boards are reached.
        std::vector<ConfiguredBoard> sections;
        for (const ConfiguredBoard& board : boards)
            if (board.value("family") == name)
                sections.push_back(withoutOptions(board));
        if (std::optional<ConfigError> error = family->configure(sections))
            return error;
    }
    return std::nullopt;
}

// Judges every section, and gives every board's options.
std::variant<OptionsById, ConfigError>
configureAll(const std::vector<std::unique_ptr<Family>>& families,
             const std::vector<ConfiguredBoard>& boards, const Getenv& getenv) {
    for (const ConfiguredBoard& board : boards)
        if (std::optional<ConfigError> error = checkSection(board))
            return std::move(*error);
    std::variant<OptionsById, ConfigError> options = optionsOfAll(Configuration{boards});
    if (std::holds_alternative<ConfigError>(options))
        return options;
    if (std::optional<ConfigError> error = configure(families, boards, getenv))
        return std::move(*error);
    return options;
}

} // namespace

ConfiguredRegistry makeConfiguredRegistry(const Getenv& getenv, const WarningSink& warn,
                                          const std::vector<ConfiguredBoard>& named) {
    std::vector<std::unique_ptr<Family>> families = unconfiguredFamilies(getenv, warn);
    std::optional<ConfigError> refused;
    std::variant<std::vector<ConfiguredBoard>, ConfigError> boards =
        configuredBoards(getenv, named);
    OptionsById options;
    if (auto* error = std::get_if<ConfigError>(&boards)) {
        refused = std::move(*error);
    } else {
        std::variant<OptionsById, ConfigError> configured =
            configureAll(families, std::get<std::vector<ConfiguredBoard>>(boards), getenv);
        if (auto* error = std::get_if<ConfigError>(&configured))
            refused = std::move(*error);
        else
            options = std::move(std::get<OptionsById>(configured));
    }
    // A family may have taken some sections before another was refused: start it over bare. The
    // simulated family is never configured (its sections are refused first), so it is kept.
    if (refused && !simulatedOnly(getenv)) {
        std::vector<std::unique_ptr<Family>> bare = realFamilies(getenv);
        if (!families.empty() && families.back()->name() == "sim")
            bare.push_back(std::move(families.back()));
        families = std::move(bare);
    }
    for (std::unique_ptr<Family>& family : families)
        family = decorated(std::move(family), getenv, warn);
    return {std::make_unique<Registry>(std::move(families), std::move(options)),
            std::move(refused)};
}

std::unique_ptr<Registry> makeRegistryFromEnvironment(const Getenv& getenv,
                                                      const WarningSink& warn) {
    ConfiguredRegistry configured = makeConfiguredRegistry(getenv, warn, {});
    if (configured.refused)
        warn(configured.refused->message);
    return std::move(configured.registry);
}

namespace {

std::string processEnvironment(const char* name) {
    const char* value = std::getenv(name);
    return std::string(value ? value : "");
}

void warnOnStderr(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, message.c_str());
}

} // namespace

std::unique_ptr<Registry> makeRegistryFromEnvironment() {
    return makeRegistryFromEnvironment(processEnvironment, warnOnStderr);
}

ConfiguredRegistry makeConfiguredRegistry(const std::vector<ConfiguredBoard>& named) {
    return makeConfiguredRegistry(processEnvironment, warnOnStderr, named);
}

} // namespace devices
