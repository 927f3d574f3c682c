// Any bytes as boards.conf: the reader answers with sections or an error naming a line; every
// section's options are read or refused, and options it accepts stay in their ranges.
#include "devices/BoardOptions.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <variant>

namespace {

using std::chrono::milliseconds;

bool inRange(const devices::BoardOptions& options) {
    for (const devices::RelayOptions& relay : options.relays)
        if (relay.pulse &&
            (*relay.pulse < milliseconds(10) || *relay.pulse > std::chrono::hours(24)))
            return false;
    for (const std::vector<int>& group : options.interlocks) {
        if (group.size() < 2)
            return false;
        for (const int relay : group)
            if (relay < 1 || relay > devices::kMaxRelays)
                return false;
    }
    return options.interlockDeadTime >= milliseconds(0) &&
           options.interlockDeadTime <= std::chrono::seconds(10);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto read = devices::parseConfiguration(text, "boards.conf");
    if (const auto* error = std::get_if<devices::ConfigError>(&read)) {
        if (error->message.rfind("boards.conf:", 0) != 0)
            std::abort();
        return 0;
    }
    const auto options = devices::optionsOfAll(std::get<devices::Configuration>(read));
    if (const auto* all = std::get_if<devices::OptionsById>(&options))
        for (const auto& [id, board] : *all)
            if (!inRange(board))
                std::abort();
    return 0;
}
