// Any topic under a board's prefix and any payload as an MQTT command: the reader answers with a
// command or a reason, a relay stays 1 to 8, a pattern reads back as its payload, and a name that
// may be looked up in the programs folder can never leave it.
#include "model/StepText.h"
#include "mqtt/Commands.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <variant>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    // The first line is the topic after the prefix, the rest the payload.
    const std::size_t split = std::min(input.find('\n'), input.size());
    const std::string_view subtopic = input.substr(0, split);
    const std::string_view payload = input.substr(std::min(split + 1, input.size()));
    const auto parsed = mqtt::parseCommand(subtopic, payload);
    if (const auto* command = std::get_if<mqtt::Command>(&parsed)) {
        if (command->kind == mqtt::Command::Kind::Switch &&
            (command->relay < 1 || command->relay > 8))
            std::abort();
        if (command->kind == mqtt::Command::Kind::SetAll &&
            steps::patternOfByte(command->pattern) != payload)
            std::abort();
        if (command->kind == mqtt::Command::Kind::Play && !mqtt::holdsOnlySteps(command->program) &&
            !mqtt::isProgramName(command->program))
            std::abort();
    }
    if (mqtt::isProgramName(payload) &&
        (payload.find('/') != std::string_view::npos || payload == ".." || payload == "." ||
         payload.find('\0') != std::string_view::npos))
        std::abort();
    return 0;
}
