#include "devices/BoardOptions.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <string_view>

namespace devices {

namespace {

constexpr std::array<std::string_view, 5> kRelayKeys{"name", "pulse", "invert", "on_start",
                                                     "on_exit"};
constexpr std::array<std::string_view, 5> kBoardOptionKeys{
    "on_start", "on_exit", "interlock", "interlock_policy", "interlock_dead_time"};

constexpr std::chrono::milliseconds kShortestPulse{10};
constexpr std::chrono::milliseconds kLongestPulse = std::chrono::hours(24);
constexpr std::chrono::milliseconds kLongestDeadTime = std::chrono::seconds(10);

template <std::size_t N>
bool isOneOf(std::string_view key, const std::array<std::string_view, N>& keys) {
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

std::optional<int> wholeNumberOf(std::string_view text) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < 0)
        return std::nullopt;
    return value;
}

// relayN.KEY: the relay number N (1 to 8) and KEY; nothing for any other key.
struct RelayKey {
    int relay = 0;
    std::string_view option;
};

std::optional<RelayKey> relayKeyOf(std::string_view key) {
    constexpr std::string_view prefix = "relay";
    const std::size_t dot = key.find('.');
    if (!key.starts_with(prefix) || dot == std::string_view::npos || dot == prefix.size())
        return std::nullopt;
    const std::string_view digits = key.substr(prefix.size(), dot - prefix.size());
    if (digits.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    const std::optional<int> relay = wholeNumberOf(digits);
    return RelayKey{relay.value_or(0), key.substr(dot + 1)};
}

ConfigError refusal(const Setting& setting, const std::string& key, const std::string& why) {
    return ConfigError{setting.where + ": " + key + " = " + setting.value + ": " + why};
}

std::optional<StartState> startStateOf(const std::string& text) {
    if (text == "keep")
        return StartState::Keep;
    if (text == "off")
        return StartState::Off;
    if (text == "on")
        return StartState::On;
    if (text == "last")
        return StartState::Last;
    return std::nullopt;
}

std::optional<ExitState> exitStateOf(const std::string& text) {
    if (text == "keep")
        return ExitState::Keep;
    if (text == "off")
        return ExitState::Off;
    return std::nullopt;
}

std::optional<bool> truthOf(const std::string& text) {
    if (text == "true" || text == "yes" || text == "1")
        return true;
    if (text == "false" || text == "no" || text == "0")
        return false;
    return std::nullopt;
}

std::string trimmed(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return std::string(text.substr(first, text.find_last_not_of(" \t") - first + 1));
}

std::vector<std::string> split(std::string_view text, char separator) {
    std::vector<std::string> parts;
    for (std::size_t at; (at = text.find(separator)) != std::string_view::npos;) {
        parts.push_back(trimmed(text.substr(0, at)));
        text.remove_prefix(at + 1);
    }
    parts.push_back(trimmed(text));
    return parts;
}

// "1+2, 3+4": groups of two or more relays, each relay once in its group.
std::variant<std::vector<std::vector<int>>, std::string> interlocksOf(const std::string& text) {
    std::vector<std::vector<int>> groups;
    for (const std::string& group : split(text, ',')) {
        std::vector<int> relays;
        for (const std::string& relay : split(group, '+')) {
            const std::optional<int> number = wholeNumberOf(relay);
            if (!number || *number < 1 || *number > kMaxRelays)
                return "\"" + relay + "\" is not a relay number from 1 to 8 (groups are 1+2, 3+4)";
            if (std::find(relays.begin(), relays.end(), *number) != relays.end())
                return "relay " + relay + " is named twice in " + group;
            relays.push_back(*number);
        }
        if (relays.size() < 2)
            return "\"" + group + "\" is not a group of two or more relays (1+2)";
        groups.push_back(std::move(relays));
    }
    return groups;
}

std::optional<ConfigError> readRelayOption(BoardOptions& options, const std::string& key,
                                           const RelayKey& relayKey, const Setting& setting) {
    if (relayKey.relay < 1 || relayKey.relay > kMaxRelays)
        return ConfigError{setting.where + ": " + key + ": relays are numbered 1 to 8"};
    RelayOptions& relay = options.relays.at(static_cast<std::size_t>(relayKey.relay - 1));
    const std::string& value = setting.value;
    if (relayKey.option == "name") {
        if (value.empty())
            return ConfigError{setting.where + ": " + key + " gives no name"};
        relay.name = value;
    } else if (relayKey.option == "pulse") {
        const std::optional<std::chrono::milliseconds> length = durationOf(value);
        if (!length || *length < kShortestPulse || *length > kLongestPulse)
            return refusal(setting, key, "a pulse is 10ms to 24h (300ms, 2s, 1min)");
        relay.pulse = length;
    } else if (relayKey.option == "invert") {
        const std::optional<bool> invert = truthOf(value);
        if (!invert)
            return refusal(setting, key, "invert is true or false");
        relay.invert = *invert;
    } else if (relayKey.option == "on_start") {
        relay.onStart = startStateOf(value);
        if (!relay.onStart)
            return refusal(setting, key, "on_start is keep, off, on or last");
    } else if (relayKey.option == "on_exit") {
        relay.onExit = exitStateOf(value);
        if (!relay.onExit)
            return refusal(setting, key, "on_exit is keep or off");
    } else {
        return ConfigError{setting.where + ": unknown relay option " + key +
                           " (relayN. takes name, pulse, invert, on_start, on_exit)"};
    }
    return std::nullopt;
}

std::optional<ConfigError> readBoardOption(BoardOptions& options, const std::string& key,
                                           const Setting& setting) {
    const std::string& value = setting.value;
    if (key == "on_start") {
        const std::optional<StartState> state = startStateOf(value);
        if (!state)
            return refusal(setting, key, "on_start is keep, off, on or last");
        options.onStart = *state;
    } else if (key == "on_exit") {
        const std::optional<ExitState> state = exitStateOf(value);
        if (!state)
            return refusal(setting, key, "on_exit is keep or off");
        options.onExit = *state;
    } else if (key == "interlock") {
        auto groups = interlocksOf(value);
        if (const auto* why = std::get_if<std::string>(&groups))
            return refusal(setting, key, *why);
        options.interlocks = std::move(std::get<std::vector<std::vector<int>>>(groups));
    } else if (key == "interlock_policy") {
        if (value != "reject" && value != "switch")
            return refusal(setting, key, "interlock_policy is reject or switch");
        options.interlockPolicy =
            value == "reject" ? InterlockPolicy::Reject : InterlockPolicy::Switch;
    } else {
        const std::optional<std::chrono::milliseconds> wait = durationOf(value);
        if (!wait || *wait > kLongestDeadTime)
            return refusal(setting, key, "a dead time is 0ms to 10s (300ms, 2s)");
        options.interlockDeadTime = *wait;
    }
    return std::nullopt;
}

} // namespace

bool isOptionKey(const std::string& key) {
    return relayKeyOf(key).has_value() || isOneOf(key, kBoardOptionKeys);
}

std::optional<std::chrono::milliseconds> durationOf(const std::string& text) {
    const std::size_t unit = text.find_first_not_of("0123456789");
    if (unit == 0 || unit == std::string::npos || unit > 9)
        return std::nullopt;
    const std::optional<int> number = wholeNumberOf(std::string_view(text).substr(0, unit));
    const std::string_view suffix = std::string_view(text).substr(unit);
    if (!number)
        return std::nullopt;
    const std::chrono::milliseconds count{*number};
    if (suffix == "ms")
        return count;
    if (suffix == "s")
        return count * 1000;
    if (suffix == "min")
        return count * 60'000;
    return std::nullopt;
}

std::variant<BoardOptions, ConfigError> optionsOf(const ConfiguredBoard& section) {
    BoardOptions options;
    for (const auto& [key, setting] : section.settings) {
        std::optional<ConfigError> refused;
        if (const std::optional<RelayKey> relayKey = relayKeyOf(key))
            refused = readRelayOption(options, key, *relayKey, setting);
        else if (isOneOf(key, kBoardOptionKeys))
            refused = readBoardOption(options, key, setting);
        if (refused)
            return std::move(*refused);
    }
    return options;
}

std::variant<BoardOptions, ConfigError> optionsFor(const Configuration& configuration,
                                                   const std::string& id) {
    const ConfiguredBoard* section = configuration.board(id);
    return section ? optionsOf(*section) : BoardOptions{};
}

std::variant<OptionsById, ConfigError> optionsOfAll(const Configuration& configuration) {
    OptionsById all;
    for (const ConfiguredBoard& section : configuration.boards) {
        std::variant<BoardOptions, ConfigError> options = optionsOf(section);
        if (auto* refused = std::get_if<ConfigError>(&options))
            return std::move(*refused);
        all.emplace(section.id, std::move(std::get<BoardOptions>(options)));
    }
    return all;
}

ConfiguredBoard withoutOptions(const ConfiguredBoard& section) {
    ConfiguredBoard bare = section;
    std::erase_if(bare.settings, [](const auto& setting) { return isOptionKey(setting.first); });
    return bare;
}

bool givesOnlyOptions(const ConfiguredBoard& section) {
    return !section.find("family") && !section.find("device");
}

} // namespace devices
