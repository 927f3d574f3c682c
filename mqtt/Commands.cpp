#include "mqtt/Commands.h"

#include "devices/RelayMap.h"
#include "model/StepText.h"

#include <array>
#include <charconv>
#include <utility>

namespace mqtt {

namespace {

std::string quoted(std::string_view payload) {
    return "\"" + printable(payload) + "\"";
}

// The length of the UTF-8 sequence text starts with, or 0 when it does not start with one.
std::size_t utf8Length(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    if (lead >= 0xc2 && lead <= 0xdf)
        length = 2;
    else if (lead >= 0xe0 && lead <= 0xef)
        length = 3;
    else if (lead >= 0xf0 && lead <= 0xf4)
        length = 4;
    if (length == 0 || text.size() < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i)
        if ((byte(i) & 0xc0) != 0x80)
            return 0;
    // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8; the C1 controls
    // (U+0080 to U+009F) are, but some terminals take them as line ends.
    if ((lead == 0xc2 && byte(1) < 0xa0) || (lead == 0xe0 && byte(1) < 0xa0) ||
        (lead == 0xed && byte(1) > 0x9f) || (lead == 0xf0 && byte(1) < 0x90) ||
        (lead == 0xf4 && byte(1) > 0x8f))
        return 0;
    return length;
}

std::variant<Command, std::string> relayCommand(std::string_view number, std::string_view payload) {
    using Kind = service::Command::Kind;
    constexpr std::array<std::pair<std::string_view, Kind>, 3> kSwitches{
        {{"ON", Kind::On}, {"OFF", Kind::Off}, {"TOGGLE", Kind::Toggle}}};
    Command command;
    command.kind = Command::Kind::Switch;
    command.relay = number.size() == 1 ? number[0] - '0' : 0;
    bool known = false;
    for (const auto& [word, how] : kSwitches)
        if (payload == word) {
            command.how = how;
            known = true;
        }
    if (command.relay < 1 || command.relay > devices::kRelayCount || !known)
        return quoted(payload) + " is not understood";
    return command;
}

// The payload is the pulse's milliseconds, or empty for the relay's own length.
std::variant<Command, std::string> pulseCommand(std::string_view number, std::string_view payload) {
    Command command;
    command.kind = Command::Kind::Pulse;
    command.relay = number.size() == 1 ? number[0] - '0' : 0;
    if (command.relay < 1 || command.relay > devices::kRelayCount)
        return "no relay " + quoted(number);
    if (payload.empty())
        return command;
    std::int64_t ms = 0;
    const char* end = payload.data() + payload.size();
    const auto [stop, error] = std::from_chars(payload.data(), end, ms);
    if (error != std::errc() || stop != end ||
        !service::isPulseLength(std::chrono::milliseconds(ms)))
        return quoted(payload) + " is not a pulse length (10 to 86400000 ms)";
    command.pulse = std::chrono::milliseconds(ms);
    return command;
}

// The relay's number between "relay/" and the topic's last part, when the topic ends so.
std::optional<std::string_view> relayTopic(std::string_view subtopic, std::string_view last) {
    constexpr std::string_view relay = "relay/";
    if (subtopic.substr(0, relay.size()) != relay || subtopic.size() < relay.size() + last.size() ||
        subtopic.substr(subtopic.size() - last.size()) != last)
        return std::nullopt;
    return subtopic.substr(relay.size(), subtopic.size() - relay.size() - last.size());
}

} // namespace

std::variant<Command, std::string> parseCommand(std::string_view subtopic,
                                                std::string_view payload) {
    if (const std::optional<std::string_view> number = relayTopic(subtopic, "/set"))
        return relayCommand(*number, payload);
    if (const std::optional<std::string_view> number = relayTopic(subtopic, "/pulse"))
        return pulseCommand(*number, payload);
    Command command;
    if (subtopic == "state/set") {
        if (payload.size() != devices::kRelayCount ||
            payload.find_first_not_of("01") != std::string_view::npos)
            return quoted(payload) + " is not eight 0/1";
        command.kind = Command::Kind::SetAll;
        command.pattern = steps::relayByteOfRow(std::string(payload));
        return command;
    }
    if (subtopic == "program/stop")
        return command;
    if (subtopic == "program/play") {
        if (!holdsOnlySteps(payload) && !isProgramName(payload))
            return quoted(payload) + " is neither a program nor a program's name";
        command.kind = Command::Kind::Play;
        command.program = std::string(payload);
        return command;
    }
    return "not a command topic";
}

std::string printable(std::string_view text, std::size_t limit) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string shown;
    std::size_t characters = 0;
    while (!text.empty() && characters < limit) {
        const auto c = static_cast<unsigned char>(text[0]);
        std::size_t taken = 1;
        if (c == '\\') {
            shown += "\\\\";
        } else if (c == '\n') {
            shown += "\\n";
        } else if (c == '\r') {
            shown += "\\r";
        } else if (c == '\t') {
            shown += "\\t";
        } else if (c >= 0x20 && c < 0x7f) {
            shown += static_cast<char>(c);
        } else if (const std::size_t length = utf8Length(text); length > 0) {
            shown += text.substr(0, length);
            taken = length;
        } else {
            shown += "\\x";
            shown += kHex[c >> 4];
            shown += kHex[c & 0xf];
        }
        text.remove_prefix(taken);
        ++characters;
    }
    return text.empty() ? shown : shown + "...";
}

} // namespace mqtt
