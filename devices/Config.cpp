#include "devices/Config.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace devices {

namespace {

constexpr std::array<const char*, 5> kFamilies{"ftdi", "hid", "lcus", "modbus", "sim"};
// How a board is reached; its relay options (relayN.name, on_start, ...) are BoardOptions.h's.
constexpr std::array<const char*, 6> kBoardKeys{"family",  "device", "relays",
                                                "address", "baud",   "profile"};

std::string trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return {};
    const std::size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

bool isFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

} // namespace

const ConfiguredBoard* Configuration::board(const std::string& id) const {
    for (const ConfiguredBoard& configured : boards)
        if (configured.id == id)
            return &configured;
    return nullptr;
}

std::variant<Configuration, ConfigError> parseConfiguration(const std::string& text,
                                                            const std::string& where) {
    Configuration configuration;
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        const std::string at = where + ':' + std::to_string(number);
        const std::string content = trimmed(line);
        if (content.empty() || content[0] == '#' || content[0] == ';')
            continue;
        if (content.front() == '[') {
            const std::string id =
                content.back() == ']' ? trimmed(content.substr(1, content.size() - 2)) : "";
            if (id.empty())
                return ConfigError{at + ": a section is [ID], with the board's id"};
            if (configuration.board(id))
                return ConfigError{at + ": the board " + id + " has a section already"};
            configuration.boards.push_back({id, at, {}});
            continue;
        }
        const std::size_t equals = content.find('=');
        if (equals == std::string::npos)
            return ConfigError{at + ": not KEY = VALUE nor [ID]: " + content};
        if (configuration.boards.empty())
            return ConfigError{at + ": a key before the first [ID] names no board"};
        const std::string key = trimmed(content.substr(0, equals));
        const std::string value = trimmed(content.substr(equals + 1));
        if (key.empty())
            return ConfigError{at + ": no key before \"=\""};
        ConfiguredBoard& board = configuration.boards.back();
        if (!board.settings.emplace(key, Setting{value, at}).second)
            return ConfigError{at + ": " + key + " is given twice for " + board.id};
    }
    return configuration;
}

std::variant<Configuration, ConfigError> readConfiguration(const std::string& path) {
    if (path.empty() || !isFile(path))
        return Configuration{};
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return ConfigError{"cannot read " + path + ": " + std::strerror(errno)};
    std::ostringstream text;
    text << file.rdbuf();
    return parseConfiguration(text.str(), path);
}

bool isFamilyName(const std::string& name) {
    return std::find(kFamilies.begin(), kFamilies.end(), name) != kFamilies.end();
}

bool isBoardKey(const std::string& key) {
    return std::find(kBoardKeys.begin(), kBoardKeys.end(), key) != kBoardKeys.end();
}

bool namesFamily(const std::string& text) {
    const std::size_t colon = text.find(':');
    return colon != std::string::npos && isFamilyName(text.substr(0, colon));
}

// The device may hold commas only where a key would not start; the first "," followed by
// KEY= begins the options.
std::variant<ConfiguredBoard, ConfigError> parseBoardArgument(const std::string& text) {
    const std::string where = "--board " + text;
    if (!namesFamily(text))
        return ConfigError{where + ": a board is FAMILY:DEVICE[,KEY=VALUE]..., the family one of "
                                   "ftdi, hid, lcus, modbus, sim"};
    const std::size_t colon = text.find(':');
    std::vector<std::string> parts;
    std::string rest = text.substr(colon + 1);
    for (std::size_t comma; (comma = rest.find(',')) != std::string::npos;) {
        parts.push_back(rest.substr(0, comma));
        rest = rest.substr(comma + 1);
    }
    parts.push_back(rest);
    ConfiguredBoard board;
    board.where = where;
    board.settings.emplace("family", Setting{text.substr(0, colon), where});
    const std::string device = parts.front();
    if (device.empty())
        return ConfigError{where + ": no device after the family"};
    board.settings.emplace("device", Setting{device, where});
    for (std::size_t i = 1; i < parts.size(); ++i) {
        const std::size_t equals = parts[i].find('=');
        if (equals == std::string::npos || equals == 0)
            return ConfigError{where + ": \"" + parts[i] + "\" is not KEY=VALUE"};
        const std::string key = parts[i].substr(0, equals);
        if (key == "family" || key == "device" ||
            !board.settings.emplace(key, Setting{parts[i].substr(equals + 1), where}).second)
            return ConfigError{where + ": " + key + " is given twice"};
    }
    board.id = text.substr(0, colon) + ':' + device;
    return board;
}

std::string configurationPath(const std::function<std::string(const char* name)>& getenv) {
    if (const std::string forced = getenv("TAMBROOK_BOARDS_CONF"); !forced.empty())
        return forced;
    const std::string config = getenv("XDG_CONFIG_HOME");
    const std::string home = getenv("HOME");
    std::string own;
    if (!config.empty())
        own = config + "/tambrook/boards.conf";
    else if (!home.empty())
        own = home + "/.config/tambrook/boards.conf";
    if (!own.empty() && isFile(own))
        return own;
    const std::string system = "/etc/tambrook/boards.conf";
    return isFile(system) ? system : std::string();
}

std::string configurationPath() {
    return configurationPath([](const char* name) {
        const char* value = std::getenv(name);
        return std::string(value ? value : "");
    });
}

std::optional<int> relayCountOf(const std::string& text) {
    if (text.size() != 1 || text[0] < '1' || text[0] > '8')
        return std::nullopt;
    return text[0] - '0';
}

} // namespace devices
